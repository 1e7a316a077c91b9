#include "drivers/BuiltinDrivers.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "drivers/JackDriver.h"
#include "drivers/VirtualCard.h"

namespace drivers {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The sixteen bytes in the order the text spells them.
bool ParseTextOrder(const char* text, unsigned char bytes[16]) {
    if (text == nullptr || std::strlen(text) != 38 || text[0] != '{' || text[37] != '}') {
        return false;
    }
    int b = 0;
    for (int i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') {
                return false;
            }
            ++i;
            continue;
        }
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes[b++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    return b == 16;
}

// The drivers' own ids, in both byte orders a class-id text may be turned
// into: a caller that keeps the bytes as spelled is understood as well.
bool Matches(const DriverClassId& id, const std::string& text) {
    DriverClassId record;
    unsigned char spelled[16];
    if (!ParseClassId(text.c_str(), &record) || !ParseTextOrder(text.c_str(), spelled)) {
        return false;
    }
    return std::memcmp(id.bytes, record.bytes, 16) == 0 || std::memcmp(id.bytes, spelled, 16) == 0;
}

}  // namespace

std::string AlsaHardwareClassId(int32_t card, int32_t device) {
    char text[40];
    std::snprintf(text, sizeof text, "{5a1c3e71-%04x-%04x-8e9a-0c1d2e3f4a10}",
                  static_cast<unsigned>(card) & 0xffffu, static_cast<unsigned>(device) & 0xffffu);
    return text;
}

bool ParseClassId(const char* text, DriverClassId* id) {
    unsigned char spelled[16];
    if (id == nullptr || !ParseTextOrder(text, spelled)) {
        return false;
    }
    // Data1, Data2 and Data3 are stored little-endian.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) {
        id->bytes[i] = spelled[order[i]];
    }
    return true;
}

BuiltinDrivers::BuiltinDrivers() : hardware_(ListAlsaPlaybackDevices()) {}

BuiltinDrivers::BuiltinDrivers(std::vector<AlsaDevice> hardware) : hardware_(std::move(hardware)) {}

std::string BuiltinDrivers::LibraryPath() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&BuiltinDrivers::LibraryPath), &info) != 0 &&
        info.dli_fname != nullptr && info.dli_fname[0] == '/') {
        return info.dli_fname;
    }
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    path[n] = '\0';
    return path;
}

std::vector<InstalledDriver> BuiltinDrivers::Enumerate() {
    const std::string library = LibraryPath();
    std::vector<InstalledDriver> list;
    auto add = [&](std::string key, std::string clsid, std::string description) {
        InstalledDriver entry;
        entry.keyName = std::move(key);
        entry.clsid = std::move(clsid);
        entry.description = std::move(description);
        entry.libraryPath = library;
        list.push_back(std::move(entry));
    };
    add("JACK", kJackClassId, "JACK Audio Connection Kit");
    add("ALSA default", kAlsaDefaultClassId, "ALSA default device");
    add("Virtual Card", kVirtualCardClassId, "Virtual Card");
    for (const AlsaDevice& device : hardware_) {
        add("ALSA " + device.pcmName, AlsaHardwareClassId(device.card, device.device),
            "ALSA " + device.pcmName + " " + device.description);
    }
    return list;
}

int BuiltinDrivers::Create(const DriverClassId& clsid, IASIO** driver) {
    if (driver == nullptr) {
        return kInvalidPointer;
    }
    *driver = nullptr;
    IASIO* made = nullptr;
    if (Matches(clsid, kJackClassId)) {
        made = new (std::nothrow) JackDriver();
    } else if (Matches(clsid, kAlsaDefaultClassId)) {
        made = new (std::nothrow) AlsaDriver("default");
    } else if (Matches(clsid, kVirtualCardClassId)) {
        made = new (std::nothrow) VirtualCard();
    } else {
        for (const AlsaDevice& device : hardware_) {
            if (Matches(clsid, AlsaHardwareClassId(device.card, device.device))) {
                made = new (std::nothrow) AlsaDriver(device.pcmName);
                break;
            }
        }
        if (made == nullptr) {
            return kClassNotRegistered;
        }
    }
    if (made == nullptr) {
        return static_cast<int>(0x8007000Eu);  // out of memory
    }
    *driver = made;
    return 0;
}

}  // namespace drivers
