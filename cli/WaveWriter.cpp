#include "cli/WaveWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

void Put16(std::vector<uint8_t>* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out->push_back(static_cast<uint8_t>(v >> shift));
    }
}

void PutId(std::vector<uint8_t>* out, const char* id) {
    out->insert(out->end(), id, id + 4);
}

}  // namespace

bool WriteWave16(const std::string& path, uint16_t channels, uint32_t samplesPerSec,
                 const std::vector<int16_t>& samples, const WaveCue* cue, std::string* error) {
    const uint64_t dataBytes = uint64_t{samples.size()} * 2u;
    const uint32_t cueBytes = cue ? 20u : 0u;
    if (channels == 0 || dataBytes + 36u + cueBytes > 0xFFFFFFFFull) {
        *error = path + ": the signal does not fit a WAV file";
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(64 + dataBytes);
    PutId(&bytes, "RIFF");
    Put32(&bytes, static_cast<uint32_t>(36u + cueBytes + dataBytes));
    PutId(&bytes, "WAVE");
    PutId(&bytes, "fmt ");
    Put32(&bytes, 16);
    Put16(&bytes, 1);
    Put16(&bytes, channels);
    Put32(&bytes, samplesPerSec);
    Put32(&bytes, samplesPerSec * channels * 2u);
    Put16(&bytes, static_cast<uint16_t>(channels * 2u));
    Put16(&bytes, 16);
    if (cue) {
        PutId(&bytes, "cue ");
        Put32(&bytes, 12);
        Put32(&bytes, 1);
        Put32(&bytes, static_cast<uint32_t>(cue->nCueIn));
        Put32(&bytes, static_cast<uint32_t>(cue->nCueOut));
    }
    PutId(&bytes, "data");
    Put32(&bytes, static_cast<uint32_t>(dataBytes));
    for (const int16_t s : samples) {
        Put16(&bytes, static_cast<uint16_t>(s));
    }

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool bWritten = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool bClosed = std::fclose(file) == 0;
    if (!bWritten || !bClosed) {
        *error = path + ": could not be written whole";
        return false;
    }
    return true;
}

}  // namespace cli
