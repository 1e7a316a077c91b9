// Test files whose every sample names its file and its frame, so that a
// recording shows at once which file played where; what a device must play
// for each file; and the reader that turns an output frame back into the
// file and frame it came from.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tests/support/WavWriter.h"
#include "tests/support/WaveData.h"

namespace e2e {

// How a file holds its samples: 16-bit PCM (played mapped), 24-bit PCM whose
// low byte is not zero, 32-bit float holding 16-bit values, and 16-bit PCM
// under a WAVE_FORMAT_EXTENSIBLE header (the last three decoded).
enum class Encoding { Pcm16, Pcm24, Float, Extensible16 };

struct TestFile {
    int32_t nId;  // 1..15; never 0, so no sample of a file is silence
    uint16_t nChannels;
    uint32_t dwSamplesPerSec;
    uint32_t dwFrames;  // below 2^22
    std::optional<WavCue> cue;
    Encoding encoding = Encoding::Pcm16;

    // Above 16 bits in memory: reduced with dither on a 16-bit card.
    bool IsWide() const { return encoding == Encoding::Pcm24 || encoding == Encoding::Float; }
};

// One output frame as a 32-bit card plays it; a mono source feeds both sides.
using Frame = StereoFrame;

// The sample of `side` (0 left, 1 right; mono files have only 0) at `frame`,
// at full scale. Its top 16 bits hold, under the id in the top four bits,
// the frame's low 11 bits on the left and bit 11 set and the next 11 bits on
// the right; a 24-bit file adds a low byte that is never zero.
int32_t SampleOf(const TestFile& file, uint32_t frame, int side);

// The whole WAV file.
std::vector<uint8_t> MakeFile(const TestFile& file);

// What a device at `deviceRate` plays for the file until the silence after
// it: the frames from the cue-in block up to the cue-out block (or the data's
// end), each twice when the file's rate is at most half the device's.
std::vector<Frame> ExpectedOutput(const TestFile& file, uint32_t deviceRate);

// The file and frame a 16-bit stereo output frame of a stereo file carries:
// file 0 for silence, -1 for anything that is neither.
struct Identified {
    int32_t file;
    int32_t frame;
};

inline Identified Identify(int16_t left, int16_t right) {
    const uint32_t l = static_cast<uint16_t>(left), r = static_cast<uint16_t>(right);
    if (l == 0 && r == 0) return {0, -1};
    if (l >> 12 == 0 || l >> 12 != r >> 12 || (l & 0x800) != 0 || (r & 0x800) == 0) return {-1, -1};
    return {static_cast<int32_t>(l >> 12), static_cast<int32_t>((r & 0x7FF) << 11 | (l & 0x7FF))};
}

}  // namespace e2e
