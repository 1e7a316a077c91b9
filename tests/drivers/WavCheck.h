// Reads back a recording of the virtual card and checks its header.
#pragma once

#include <cstdint>
#include <string>

namespace testhost {

struct WavInfo {
    bool valid = false;
    std::string problem;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t bitsPerSample = 0;
    uint32_t dataBytes = 0;
    const uint8_t* data = nullptr;  // into the text it was parsed from
};

// Checks every field of the 68-byte WAVE_FORMAT_EXTENSIBLE header against
// the file's real size.
// The result points into `bytes`, which must outlive it.
WavInfo ParseRecording(const std::string& bytes);

}  // namespace testhost
