// Where the driver list finds the installed drivers, and how it makes one.
#pragma once

#include <cstring>
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

// A class id: the 32 hex digits of its text, two to a byte, in the order they
// are written. All zero when the text does not parse.
struct DriverClassId {
    unsigned char bytes[16] = {};
};

inline bool operator==(const DriverClassId& a, const DriverClassId& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits in either case).
// False, and *id all zero, for anything else.
[[nodiscard]] inline bool ParseDriverClassId(const char* text, DriverClassId* id) {
    if (!id) return false;
    *id = DriverClassId{};
    if (!text || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}') return false;
    DriverClassId parsed;
    int nibbles = 0;
    for (int i = 1; i < 37; ++i) {
        const char c = text[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != '-') return false;
            continue;
        }
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        parsed.bytes[nibbles / 2] = static_cast<unsigned char>(parsed.bytes[nibbles / 2] << 4 | v);
        ++nibbles;
    }
    *id = parsed;
    return true;
}

class DriverSource {
  public:
    virtual ~DriverSource() = default;

    // The installed drivers, in a stable order.
    virtual std::vector<InstalledDriver> Enumerate() = 0;

    // Makes the driver with this class id. Returns 0 and the driver through
    // *driver, or a negative result (the driver pointer left null).
    virtual int Create(const DriverClassId& clsid, IASIO** driver) = 0;
};
