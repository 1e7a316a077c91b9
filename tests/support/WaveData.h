// Reads WAV files and the card's recordings back for the tests, by walking
// the RIFF chunks (independently of the engine's own parser), and states
// what the card must have recorded on a pair for a given file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WaveData {
    bool bOk = false;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint16_t wBitsPerSample = 0;
    bool bHasCue = false;  // the player's cue layout: "cue ", 12, word, in, out
    int32_t nCueIn = 0;
    int32_t nCueOut = 0;
    uint32_t dwDeclaredDataBytes = 0;
    std::vector<uint8_t> data;

    uint32_t Frames() const {
        return nChannels ? static_cast<uint32_t>(data.size() / (nChannels * wBitsPerSample / 8u))
                         : 0;
    }
    // A sample of a 16- or 32-bit file, sign-extended.
    int32_t Sample(uint32_t frame, uint32_t channel) const;
};

WaveData ReadWave(const std::string& path);

// What is wrong with a recording's header: the 68-byte WAVE_FORMAT_EXTENSIBLE
// PCM header must agree with itself and with the file's size, `fileBytes`
// (`header` holds at least its first 68 bytes). Empty when all is well.
std::string RecordingHeaderProblem(const std::string& header, uint64_t fileBytes);

struct StereoFrame {
    int32_t left;
    int32_t right;
    bool operator==(const StereoFrame&) const = default;
};

// What a 16- or 32-bit PCM source file plays on its pair at deviceRate: the
// frames from the cue-in block to the cue-out block (or the end), mono to
// both sides, each frame twice when the file's rate is at most half the
// device's, and for 32-bit output a 16-bit sample shifted into the top bits.
std::vector<StereoFrame> ExpectedPairFrames(const WaveData& source, uint32_t deviceRate,
                                            uint16_t outputBits);

// Compares pair `pair` of the recording with the expected frames followed
// by silence to the end of the recording. Empty when equal, else a
// description of the first difference.
std::string ComparePair(const WaveData& recording, uint32_t pair,
                        const std::vector<StereoFrame>& expected);
