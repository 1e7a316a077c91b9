// Test files for the end-to-end runs: every sample names its file and its
// frame, so a recording shows at once which file played where, and what the
// device must have played for each file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/WavWriter.h"

namespace e2e {

struct TestFile {
    int32_t nId;  // 1..15; never 0, so no sample of a file is silence
    uint16_t nChannels;
    uint32_t dwSamplesPerSec;
    uint32_t dwFrames;
    std::optional<WavCue> cue;
};

// One output frame as 16-bit source samples; a mono source feeds both sides.
struct Frame {
    int16_t left;
    int16_t right;
    bool operator==(const Frame&) const = default;
};

// The sample of `side` (0 left, 1 right; mono files have only 0) at `frame`.
// Left holds the frame's low 11 bits, right bit 11 set and the next 11 bits,
// both under the id in the top four bits.
int16_t SampleOf(const TestFile& file, uint32_t frame, int side);

// The whole WAV file.
std::vector<uint8_t> MakeFile(const TestFile& file);

// What a device at `deviceRate` plays for the file, from its first frame
// until the silence after it: the frames from the cue-in block up to the
// cue-out block (or the end of the data), each played twice when the file's
// rate is at most half the device's.
std::vector<Frame> ExpectedOutput(const TestFile& file, uint32_t deviceRate);

// The 32-bit output of a 16-bit sample at full level: the top 16 bits.
inline int32_t Top16(int16_t sample) {
    return static_cast<int32_t>(static_cast<uint32_t>(sample) << 16);
}

}  // namespace e2e
