// A driver source whose entries a test lists by hand, with the fake drivers
// that Create hands out for their class ids.
#pragma once

#include <string>
#include <vector>

#include "mixer/DriverSource.h"

class FakeDriverSource final : public DriverSource {
  public:
    // Lists an entry; Create answers its class id with `driver` (null:
    // createResult, or -1 when that is 0). Returns the class-id text given.
    std::string Add(const std::string& name, IASIO* driver, int createResult = 0);
    // Lists an entry exactly as given; Create never finds it.
    void AddRaw(const InstalledDriver& installed) { entries_.push_back({installed, nullptr, 0}); }

    std::vector<InstalledDriver> Enumerate() override;
    int Create(const DriverClassId& clsid, IASIO** driver) override;

  private:
    struct Entry {
        InstalledDriver installed;
        IASIO* driver;
        int createResult;
    };
    std::vector<Entry> entries_;
};
