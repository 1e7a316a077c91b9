#include "tests/support/FakeDriverSource.h"

#include <cstdio>

std::string FakeDriverSource::Add(const std::string& name, IASIO* driver, int createResult) {
    char clsid[40];
    std::snprintf(clsid, sizeof clsid, "{0000CAB1-0000-0000-0000-%012zX}", entries_.size() + 1);
    InstalledDriver installed;
    installed.keyName = name;
    installed.clsid = clsid;
    installed.description = name;
    installed.libraryPath = "/usr/lib/cantabile/drivers/" + name + ".so";
    entries_.push_back({installed, driver, createResult});
    return clsid;
}

std::vector<InstalledDriver> FakeDriverSource::Enumerate() {
    std::vector<InstalledDriver> list;
    for (const Entry& e : entries_) list.push_back(e.installed);
    return list;
}

int FakeDriverSource::Create(const DriverClassId& clsid, IASIO** driver) {
    *driver = nullptr;
    for (const Entry& e : entries_) {
        DriverClassId id;
        if (!ParseDriverClassId(e.installed.clsid.c_str(), &id) || !(id == clsid)) continue;
        if (!e.driver) return e.createResult != 0 ? e.createResult : -1;
        if (e.createResult < 0) return e.createResult;
        *driver = e.driver;
        return 0;
    }
    return -2147221164;  // the class is not registered
}
