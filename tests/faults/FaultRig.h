// What the fault tests share: files whose every frame says which file and
// which frame it is, and a reader that turns a captured pair back into
// those frame numbers.
#pragma once

#include <cstdint>
#include <string>
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

// The frame numbers of one file along a 32-bit capture (a value of another
// file, or with bits below the top 16, is kForeign).
inline std::vector<int32_t> FramesOf(const std::vector<int32_t>& left,
                                     const std::vector<int32_t>& right, int32_t file) {
    std::vector<int32_t> frames;
    frames.reserve(left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        if ((left[i] & 0xFFFF) != 0 || (right[i] & 0xFFFF) != 0) {
            frames.push_back(kForeign);
            continue;
        }
        const Identified id =
            Identify(static_cast<int16_t>(left[i] >> 16), static_cast<int16_t>(right[i] >> 16));
        frames.push_back(id.file == 0 ? kSilence : id.file == file ? id.frame : kForeign);
    }
    return frames;
}

// Consecutive frame numbers from `from` to `to` (exclusive), appended.
inline void AppendRun(std::vector<int32_t>& frames, int32_t from, int32_t to) {
    for (int32_t f = from; f < to; ++f) frames.push_back(f);
}

// "a..b, c..d" runs of a frame sequence, for failure messages.
inline std::string Runs(const std::vector<int32_t>& frames) {
    std::string text;
    size_t i = 0;
    while (i < frames.size()) {
        size_t j = i + 1;
        while (j < frames.size() && frames[i] >= 0 && frames[j] == frames[j - 1] + 1) ++j;
        while (j < frames.size() && frames[i] < 0 && frames[j] == frames[i]) ++j;
        if (!text.empty()) text += ", ";
        text += frames[i] == kSilence ? "silence x" + std::to_string(j - i)
                : frames[i] == kForeign
                    ? "foreign x" + std::to_string(j - i)
                    : std::to_string(frames[i]) + ".." + std::to_string(frames[j - 1]);
        i = j;
    }
    return text;
}

}  // namespace faults
