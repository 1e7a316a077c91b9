#include "drivers/VirtualCardSettings.h"

#include <cstdlib>
#include <cstring>

namespace drivers {

namespace {

// Whole decimal numbers only: "48k", "4.8e4", " 48000" or "-1" are refused
// rather than half understood.
bool ParseWhole(const char* text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    uint64_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > high) {
            return false;
        }
    }
    if (n < low) {
        return false;
    }
    *value = static_cast<uint32_t>(n);
    return true;
}

bool IsSet(const char* text) {
    return text != nullptr && text[0] != '\0';
}

}  // namespace

bool ParseVirtualCardSettings(const char* rate, const char* frames, const char* format,
                              const char* record, VirtualCardSettings* settings,
                              std::string* error) {
    VirtualCardSettings parsed;
    if (IsSet(rate) && !ParseWhole(rate, VirtualCardSettings::kMinRate,
                                   VirtualCardSettings::kMaxRate, &parsed.dwSampleRate)) {
        *error = "CANTABILE_VC_RATE must be a whole number of Hz from 8000 to 384000";
        return false;
    }
    if (IsSet(frames) && !ParseWhole(frames, VirtualCardSettings::kMinFrames,
                                     VirtualCardSettings::kMaxFrames, &parsed.dwBufferFrames)) {
        *error = "CANTABILE_VC_FRAMES must be a whole number of frames from 16 to 8192";
        return false;
    }
    if (IsSet(format)) {
        if (std::strcmp(format, "int32") == 0) {
            parsed.sampleType = ASIOSTInt32LSB;
        } else if (std::strcmp(format, "int16") == 0) {
            parsed.sampleType = ASIOSTInt16LSB;
        } else {
            *error = "CANTABILE_VC_FORMAT must be int32 or int16";
            return false;
        }
    }
    if (IsSet(record)) {
        parsed.recordPath = record;
    }
    *settings = parsed;
    return true;
}

bool VirtualCardSettingsFromEnvironment(VirtualCardSettings* settings, std::string* error) {
    return ParseVirtualCardSettings(
        std::getenv("CANTABILE_VC_RATE"), std::getenv("CANTABILE_VC_FRAMES"),
        std::getenv("CANTABILE_VC_FORMAT"), std::getenv("CANTABILE_VC_RECORD"), settings, error);
}

}  // namespace drivers
