#include "tests/support/WavWriter.h"

#include <cstdio>
#include <cstring>

uint16_t WavLayout::BlockAlign() const {
    return nBlockAlign ? *nBlockAlign : static_cast<uint16_t>(nChannels * wBitsPerSample / 8);
}

uint32_t WavLayout::AvgBytesPerSec() const {
    return nAvgBytesPerSec ? *nAvgBytesPerSec
                           : static_cast<uint32_t>(BlockAlign()) * nSamplesPerSec;
}

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutId(std::vector<uint8_t>& out, const char* id) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id[i]));
}

std::vector<uint8_t> MakeWav(const WavLayout& layout, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    PutId(out, "RIFF");
    PutU32(out, 0);  // filled in below
    PutId(out, "WAVE");

    PutId(out, "fmt ");
    PutU32(out, layout.bExtensible ? 40 : layout.bWithCbSize ? 18 : 16);
    PutU16(out, layout.bExtensible ? 0xFFFE : layout.wFormatTag);
    PutU16(out, layout.nChannels);
    PutU32(out, layout.nSamplesPerSec);
    PutU32(out, layout.AvgBytesPerSec());
    PutU16(out, layout.BlockAlign());
    PutU16(out, layout.wBitsPerSample);
    if (layout.bExtensible) {
        PutU16(out, 22);
        PutU16(out, layout.wBitsPerSample);                // valid bits
        PutU32(out, layout.nChannels == 1 ? 0x4u : 0x3u);  // the speakers
        PutU16(out, layout.wFormatTag);                    // the subformat's GUID
        out.insert(out.end(), {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00,
                               0x38, 0x9B, 0x71});
    } else if (layout.bWithCbSize) {
        PutU16(out, 0);
    }

    for (const WavChunk& chunk : layout.extraChunks) {
        PutId(out, chunk.id.c_str());
        PutU32(out, static_cast<uint32_t>(chunk.payload.size()));
        out.insert(out.end(), chunk.payload.begin(), chunk.payload.end());
        if (chunk.payload.size() % 2) out.push_back(0);
    }

    if (layout.cue) {
        PutId(out, "cue ");
        for (const int32_t word : {12, 0, layout.cue->nCueIn, layout.cue->nCueOut})
            PutU32(out, static_cast<uint32_t>(word));
    }

    PutId(out, "data");
    PutU32(out,
           layout.dataSizeField ? *layout.dataSizeField : static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());

    const uint32_t riffSize = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
    return out;
}

int16_t PatternSample(uint32_t sampleIndex) {
    // 31 is odd, so the map is a bijection on 16 bits.
    return static_cast<int16_t>(static_cast<uint16_t>(sampleIndex * 31u + 17u));
}

std::vector<uint8_t> PatternPcm(const WavLayout& layout, uint32_t frames) {
    std::vector<uint8_t> out;
    const uint64_t bytes = static_cast<uint64_t>(frames) * layout.BlockAlign();
    out.reserve(bytes);
    if (layout.wBitsPerSample == 16 && layout.BlockAlign() == layout.nChannels * 2) {
        const uint32_t samples = frames * layout.nChannels;
        for (uint32_t i = 0; i < samples; ++i) PutU16(out, static_cast<uint16_t>(PatternSample(i)));
    } else {
        for (uint64_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 3));
    }
    return out;
}

std::vector<uint8_t> EncodeSamples(const WavLayout& layout, const std::vector<int32_t>& samples) {
    std::vector<uint8_t> out;
    out.reserve(samples.size() * layout.wBitsPerSample / 8);
    for (const int32_t v : samples) {
        if (layout.wFormatTag == 3) {
            const float x = static_cast<float>(static_cast<double>(v) / 2147483648.0);
            uint32_t bits;
            std::memcpy(&bits, &x, sizeof bits);
            PutU32(out, bits);
            continue;
        }
        const uint32_t u = static_cast<uint32_t>(v);
        for (int shift = 32 - layout.wBitsPerSample; shift < 32; shift += 8)
            out.push_back(static_cast<uint8_t>(u >> shift));
    }
    return out;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}
