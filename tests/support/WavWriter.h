// Builds WAV files for tests, benchmarks and fuzz seeds: canonical 16-bit PCM,
// other formats and bit depths for refusal tests, extra chunks, a cue chunk
// right before the data chunk, and deliberately broken headers.
//
// Layout of what MakeWav writes, in this order: "RIFF", size, "WAVE"; "fmt "
// with 16 bytes (18 with cbSize); every extra chunk; the cue chunk ("cue ",
// size 12, one zero word, cue-in, cue-out: 20 bytes); "data", size, payload.
// Chunks of odd size get their pad byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct WavCue {
    int32_t nCueIn = 0;
    int32_t nCueOut = 0;
};

struct WavChunk {
    std::string id;  // four characters
    std::vector<uint8_t> payload;
};

struct WavLayout {
    uint16_t wFormatTag = 1;  // 1 PCM, 2 MS ADPCM, 3 float, 17 IMA ADPCM, 85 MP3
    uint16_t nChannels = 2;
    uint32_t nSamplesPerSec = 44100;
    uint16_t wBitsPerSample = 16;
    // Derived from the above when not given: nChannels * wBitsPerSample / 8,
    // and nBlockAlign * nSamplesPerSec.
    std::optional<uint16_t> nBlockAlign;
    std::optional<uint32_t> nAvgBytesPerSec;
    bool bWithCbSize = false;  // an 18-byte format chunk ending in cbSize 0
    // A 40-byte WAVE_FORMAT_EXTENSIBLE format chunk whose subformat is
    // wFormatTag (and whose own tag is 0xFFFE).
    bool bExtensible = false;
    std::vector<WavChunk> extraChunks;  // between the format and the data
    std::optional<WavCue> cue;          // immediately before the data chunk
    // The data chunk's size field; the payload's size when not given (a value
    // larger than the payload makes a truncated file).
    std::optional<uint32_t> dataSizeField;

    uint16_t BlockAlign() const;
    uint32_t AvgBytesPerSec() const;
};

// The whole file: header chunks and the given payload.
std::vector<uint8_t> MakeWav(const WavLayout& layout, const std::vector<uint8_t>& payload);

// The sample at a given index of a pattern payload (interleaved index: frame *
// channels + channel). Distinct for 65536 consecutive samples, so a test can
// tell which bytes of the data landed where.
int16_t PatternSample(uint32_t sampleIndex);
// A payload of `frames` frames of 16-bit PatternSample values (for other bit
// depths: frames * BlockAlign() bytes of a byte pattern).
std::vector<uint8_t> PatternPcm(const WavLayout& layout, uint32_t frames);

// Interleaved samples at full 32-bit scale as the layout stores them: the
// top 16 or 24 bits, or, for wFormatTag 3, floats of value / 2^31.
std::vector<uint8_t> EncodeSamples(const WavLayout& layout, const std::vector<int32_t>& samples);

// Writes bytes to a file, replacing it. False on any failure.
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Little-endian helpers for building raw headers by hand.
void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
void PutId(std::vector<uint8_t>& out, const char* id);
