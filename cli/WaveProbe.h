// A look at a WAV file's header from the player's side: enough to say in
// words why the engine refused a file and to show how long a file plays.
// It reads the header by the engine's own rules (format at offset 20, the
// data id searched from 36 to 2084, a cue chunk exactly 20 bytes before it)
// but never decides whether a file is played: the engine does that.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

struct WaveProbe {
    bool bExists = false;  // stat found a regular file
    uint64_t qwFileBytes = 0;
    bool bReadable = false;  // the header could be read
    bool bRiff = false;
    uint16_t wFormatTag = 0;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
    bool bHasData = false;
    uint32_t dwDataBytes = 0;  // cut to what the file holds
    int32_t nCueIn = 0;
    int32_t nCueOut = 0;

    // 16-bit PCM at 22050 Hz or more, with a usable block layout.
    bool IsPlayableFormat() const;
    // Frames of one streaming block: 4608, or 2304 below 44100 Hz.
    uint32_t FramesPerBlock() const { return nSamplesPerSec >= 44100 ? 4608u : 2304u; }
    // Milliseconds between the cue-in block and the end (cue-out or data end);
    // 0 when the format is not playable.
    uint32_t PlayMs() const;
    uint32_t MsPerBlock() const;
};

[[nodiscard]] WaveProbe ProbeWave(const std::string& path);

// Parses the first `length` bytes of a file of fileBytes bytes.
void ParseWaveHeader(const uint8_t* bytes, uint32_t length, uint64_t fileBytes, WaveProbe* probe);

}  // namespace cli
