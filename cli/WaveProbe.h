// A look at a WAV file's header from the player's side: enough to turn a
// --start time into the file's own blocks, counted from its cue-in. It reads
// the header by the engine's own rules (the rate at offset 24, the data id
// searched from 36 to 2084, a cue chunk exactly 20 bytes before it) but never
// decides whether a file is played: the engine does that.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

struct WaveProbe {
    uint32_t nSamplesPerSec = 0;
    int32_t nCueIn = 0;

    // Frames of one streaming block: 4608, or 2304 below 44100 Hz.
    uint32_t FramesPerBlock() const { return nSamplesPerSec >= 44100 ? 4608u : 2304u; }
};

// What can be read of the file's header; zeros where nothing can.
[[nodiscard]] WaveProbe ProbeWave(const std::string& path);

}  // namespace cli
