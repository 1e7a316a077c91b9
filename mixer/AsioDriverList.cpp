#include "mixer/AsioDriverList.h"

#include <cstring>
#include <string>

#include "diag/DebugLog.h"

namespace {

// Longest texts the installed drivers' entries may hold, as the system's
// registry reads allow: a class-id text within 256 bytes, a path within 512.
constexpr size_t kMaxClsidChars = 255;

// Copies `name` into `destination` of `size` bytes; a name that does not fit
// becomes its first size-4 characters followed by "...", filling all size bytes.
void CopyCutName(const char* name, char* destination, uint32_t size) {
    const size_t length = std::strlen(name);
    if (length < size) {
        std::memcpy(destination, name, length + 1);
        return;
    }
    if (size < 4) {
        // Too small even for the dots: as much of them as fits.
        for (uint32_t i = 0; i + 1 < size; ++i) destination[i] = '.';
        if (size > 0) destination[size - 1] = '\0';
        return;
    }
    std::memcpy(destination, name, size - 4);
    std::memcpy(destination + size - 4, "...", 4);
}

}  // namespace

AsioDriverList::AsioDriverList(DriverSource* driverSource) : source(driverSource) {
    if (source) {
        for (const InstalledDriver& installed : source->Enumerate()) {
            if (!installed.hasClsid || installed.clsid.size() > kMaxClsidChars) continue;
            if (installed.libraryPath.empty() || installed.libraryPath.size() >= kPathBytes)
                continue;
            AddDriver(installed, numDrivers);
            ++numDrivers;
        }
    }

    DebugLog& log = MixerDebugLog();
    log.WriteLine("Enumerating ASIO Drivers...\n");
    for (const DriverRecord* r = head; r; r = r->next) {
        log.WriteValue("numDev", r->number);
        char name[256];
        CopyCutName(r->name, name, sizeof name);
        log.WriteLine(name);
        log.WriteLine(std::strlen(r->path) < 255 ? r->path : "");
        log.WriteLine("");
    }
}

void AsioDriverList::AddDriver(const InstalledDriver& installed, int32_t number) {
    auto* record = new DriverRecord;
    record->number = number;
    DriverRecord** tail = &head;
    while (*tail) tail = &(*tail)->next;
    *tail = record;

    // A class id that does not parse stays zero: the driver is listed all
    // the same and fails when it is opened.
    (void)ParseDriverClassId(installed.clsid.c_str(), &record->clsid);
    std::memcpy(record->path, installed.libraryPath.c_str(), installed.libraryPath.size() + 1);
    const std::string& name = installed.hasDescription && !installed.description.empty()
                                  ? installed.description
                                  : installed.keyName;
    const size_t length = name.size() < kNameBytes - 1 ? name.size() : kNameBytes - 1;
    std::memcpy(record->name, name.data(), length);
    record->name[length] = '\0';
}

const AsioDriverList::DriverRecord* AsioDriverList::Find(int32_t number) const {
    for (const DriverRecord* r = head; r; r = r->next)
        if (r->number == number) return r;
    return nullptr;
}

int32_t AsioDriverList::DriverDescription(int32_t number, char* destination, uint32_t size) const {
    if (!destination || size == 0) return kDriverBadArgument;
    const DriverRecord* record = Find(number);
    if (!record) return kDriverNotFound;
    CopyCutName(record->name, destination, size);
    return 0;
}

int32_t AsioDriverList::DriverDllPath(int32_t number, char* destination, uint32_t size) const {
    if (!destination || size == 0) return kDriverBadArgument;
    const DriverRecord* record = Find(number);
    if (!record) return kDriverNotFound;
    const size_t length = std::strlen(record->path);
    if (length >= size) {
        destination[0] = '\0';
        return kDriverBadArgument;
    }
    std::memcpy(destination, record->path, length + 1);
    return 0;
}

int32_t AsioDriverList::asioOpenDriver(int32_t number, IASIO** driver) {
    if (!driver) return kDriverBadArgument;
    DriverRecord* record = const_cast<DriverRecord*>(Find(number));
    if (!record) return kDriverNotFound;
    if (record->driver) return kDriverAlreadyOpen;
    IASIO* made = nullptr;
    const int32_t result = source ? source->Create(record->clsid, &made) : kDriverNotFound;
    if (result < 0) {
        *driver = nullptr;
        return result;
    }
    record->driver = made;
    *driver = made;
    return 0;
}

AsioDriverList::~AsioDriverList() {
    MixerDebugLog().WriteLine("AsioDriverList destruction.");
    // Freed from the last record to the first.
    while (head) {
        DriverRecord** last = &head;
        while ((*last)->next) last = &(*last)->next;
        if ((*last)->driver) (*last)->driver->Release();
        delete *last;
        *last = nullptr;
    }
}
