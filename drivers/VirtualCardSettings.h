// The virtual card's settings: rate, buffer size, sample type and recording
// file, normally read from the environment (CANTABILE_VC_RATE,
// CANTABILE_VC_FRAMES, CANTABILE_VC_FORMAT, CANTABILE_VC_RECORD).
#pragma once

#include <cstdint>
#include <string>

#include "mixer/asio/Asio.h"

namespace drivers {

struct VirtualCardSettings {
    static constexpr uint32_t kMinRate = 8000;
    static constexpr uint32_t kMaxRate = 384000;
    static constexpr uint32_t kMinFrames = 16;
    static constexpr uint32_t kMaxFrames = 8192;

    uint32_t dwSampleRate = 48000;
    uint32_t dwBufferFrames = 256;
    ASIOSampleType sampleType = ASIOSTInt32LSB;  // or ASIOSTInt16LSB
    std::string recordPath;                      // empty: no recording
};

// Parses the four setting texts; a null or empty text keeps the default.
// On a bad value returns false and writes a sentence for the user into
// *error (which names the variable and the accepted range).
[[nodiscard]] bool ParseVirtualCardSettings(const char* rate, const char* frames,
                                            const char* format, const char* record,
                                            VirtualCardSettings* settings, std::string* error);

// The same, from the process's environment.
[[nodiscard]] bool VirtualCardSettingsFromEnvironment(VirtualCardSettings* settings,
                                                      std::string* error);

}  // namespace drivers
