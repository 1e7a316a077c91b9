// The wave format record: the published 18-byte WAVEFORMATEX layout. The
// first sixteen bytes are copied straight from a file's format chunk.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18, "the record must keep the published layout");

constexpr uint16_t WAVE_FORMAT_PCM = 1;
