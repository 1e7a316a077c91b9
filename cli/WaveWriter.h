// Writes 16-bit PCM WAV files: the demo's test signals. The header is the
// canonical 44 bytes, or 64 with a cue chunk in the player's layout (id,
// size, one word, cue-in block, cue-out block) right before the data chunk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct WaveCue {
    int32_t nCueIn = 0;
    int32_t nCueOut = 0;
};

// samples holds interleaved frames of `channels` samples. False, with a
// sentence in *error, when the file cannot be written whole.
[[nodiscard]] bool WriteWave16(const std::string& path, uint16_t channels, uint32_t samplesPerSec,
                               const std::vector<int16_t>& samples, const WaveCue* cue,
                               std::string* error);

}  // namespace cli
