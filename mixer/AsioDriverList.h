// The installed drivers, numbered in the order the driver source lists them,
// and the one driver opened from them. The list owns every driver it opened
// and releases it when it is deleted.
#pragma once

#include <cstdint>

#include "mixer/DriverSource.h"
#include "mixer/asio/Asio.h"

constexpr int32_t kDriverBadArgument = -5001;  // no destination, or a path too long for it
constexpr int32_t kDriverAlreadyOpen = -5002;  // the record already holds a driver
constexpr int32_t kDriverNotFound = -5003;     // no record has that number

class AsioDriverList {
  public:
    // Lists the drivers of `source` (may be null: an empty list). The source
    // must outlive the list.
    explicit AsioDriverList(DriverSource* source);
    ~AsioDriverList();
    AsioDriverList(const AsioDriverList&) = delete;
    AsioDriverList& operator=(const AsioDriverList&) = delete;

    int32_t DriverCount() const { return numDrivers; }

    // The name, cut to "first size-4 characters..." when it does not fit.
    [[nodiscard]] int32_t DriverDescription(int32_t number, char* destination, uint32_t size) const;
    // The library path; an empty text and kDriverBadArgument when it does not fit.
    [[nodiscard]] int32_t DriverDllPath(int32_t number, char* destination, uint32_t size) const;
    // Makes the driver; 0 and the driver through *driver, or an error above,
    // or the source's failing result unchanged.
    [[nodiscard]] int32_t asioOpenDriver(int32_t number, IASIO** driver);

    static constexpr uint32_t kPathBytes = 512;
    static constexpr uint32_t kNameBytes = 128;

  private:
    struct DriverRecord {
        int32_t number = 0;
        DriverClassId clsid;
        char path[kPathBytes] = {};
        char name[kNameBytes] = {};
        IASIO* driver = nullptr;  // owned: released when the list goes
        DriverRecord* next = nullptr;
    };

    void AddDriver(const InstalledDriver& installed, int32_t number);
    const DriverRecord* Find(int32_t number) const;

    DriverSource* source = nullptr;
    DriverRecord* head = nullptr;
    int32_t numDrivers = 0;
};
