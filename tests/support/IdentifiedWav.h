// Files whose every frame says which file and which frame it is, and the
// reader that turns an output frame back into those numbers.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/WavWriter.h"

namespace faults {

constexpr uint32_t kBlockFrames = 4608;  // a block of a 44.1/48 kHz file
constexpr int32_t kSilence = -1;
constexpr int32_t kForeign = -2;  // neither silence nor a frame of the file

// A 48 kHz stereo file `id` (1..127) of `frames` frames (below 2^23): the
// left sample is the frame number's low 16 bits, the right one the file id
// and the frame number's high bits. No frame is all zeros.
inline std::vector<uint8_t> IdentifiedWav(uint8_t id, uint32_t frames) {
    std::vector<uint8_t> pcm;
    pcm.reserve(frames * 4);
    for (uint32_t f = 0; f < frames; ++f) {
        PutU16(pcm, static_cast<uint16_t>(f & 0xFFFF));
        PutU16(pcm, static_cast<uint16_t>((id << 8) | (f >> 16)));
    }
    WavLayout layout;
    layout.nSamplesPerSec = 48000;
    return MakeWav(layout, pcm);
}

// The file and frame number a 16-bit output frame carries.
struct Identified {
    int32_t file;   // 0 for silence, kForeign for anything unreadable
    int32_t frame;  // kSilence or kForeign when file is not a file id
};

inline Identified Identify(int16_t left, int16_t right) {
    if (left == 0 && right == 0) return {0, kSilence};
    const uint16_t r = static_cast<uint16_t>(right);
    const int32_t id = r >> 8;
    if (id == 0 || id > 127) return {kForeign, kForeign};
    return {id, static_cast<int32_t>((static_cast<uint32_t>(r & 0xFF) << 16) |
                                     static_cast<uint16_t>(left))};
}

}  // namespace faults
