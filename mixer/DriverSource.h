// Where the driver list finds the installed drivers, and how it makes one.
#pragma once

#include <string>
#include <vector>

#include "mixer/asio/Asio.h"

struct InstalledDriver {
    std::string keyName;      // the entry's own name
    std::string clsid;        // class-id text, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    bool hasClsid = true;     // an entry without a class id is not listed
    std::string description;  // may be empty: the key name stands in
    bool hasDescription = true;
    std::string libraryPath;  // the file the driver's code lives in; empty: not listed
};

struct DriverClassId {
    unsigned char bytes[16];
};

class DriverSource {
public:
    virtual ~DriverSource() = default;

    // The installed drivers, in a stable order.
    virtual std::vector<InstalledDriver> Enumerate() = 0;

    // Makes the driver with this class id. Returns 0 and the driver through
    // *driver, or a negative result (the driver pointer left null).
    virtual int Create(const DriverClassId& clsid, IASIO** driver) = 0;
};
