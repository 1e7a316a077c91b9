// The program's driver source: the drivers built into it, in a stable order
// so that the one-byte configuration file keeps naming the same driver:
// 0 JACK, 1 ALSA "default", 2 the virtual card, then one entry per ALSA
// hardware playback device found when the source was made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/AlsaDriver.h"
#include "mixer/DriverSource.h"

namespace drivers {

// Class ids of the fixed entries. A hardware device's id is
// {5a1c3e71-CCCC-DDDD-8e9a-0c1d2e3f4a10}, CCCC its card and DDDD its device
// number in hexadecimal.
inline constexpr const char* kJackClassId = "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a01}";
inline constexpr const char* kAlsaDefaultClassId = "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a02}";
inline constexpr const char* kVirtualCardClassId = "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a03}";
std::string AlsaHardwareClassId(int32_t card, int32_t device);

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (either case) into the
// 16-byte layout of a class-id record: the first three groups as
// little-endian 32-, 16- and 16-bit numbers, the last eight bytes in order.
[[nodiscard]] bool ParseClassId(const char* text, DriverClassId* id);

// Results of Create besides 0, as the platform's object factory gives them.
inline constexpr int kClassNotRegistered = static_cast<int>(0x80040154u);
inline constexpr int kInvalidPointer = static_cast<int>(0x80004003u);

class BuiltinDrivers final : public DriverSource {
  public:
    // Looks for ALSA hardware playback devices once, now.
    BuiltinDrivers();
    // With a given device list instead (tests).
    explicit BuiltinDrivers(std::vector<AlsaDevice> hardware);

    std::vector<InstalledDriver> Enumerate() override;
    int Create(const DriverClassId& clsid, IASIO** driver) override;

    // The file this code lives in: the executable, or the shared library
    // the drivers were linked into.
    static std::string LibraryPath();

  private:
    std::vector<AlsaDevice> hardware_;
};

}  // namespace drivers
