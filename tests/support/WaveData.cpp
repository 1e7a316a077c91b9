#include "tests/support/WaveData.h"

#include <algorithm>

#include "tests/support/TempDir.h"

namespace {

uint32_t U16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1]))
                                             << 8;
}

uint32_t U32(const std::string& b, size_t at) {
    return U16(b, at) | U16(b, at + 2) << 16;
}

}  // namespace

int32_t WaveData::Sample(uint32_t frame, uint32_t channel) const {
    const size_t bytes = wBitsPerSample / 8u;
    const size_t at = (size_t{frame} * nChannels + channel) * bytes;
    if (bytes == 2) return static_cast<int16_t>(data[at] | data[at + 1] << 8);
    return static_cast<int32_t>(
        static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
        static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24);
}

WaveData ReadWave(const std::string& path) {
    WaveData wave;
    const std::string b = ReadWholeFile(path);
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return wave;
    size_t at = 12;
    bool bFormat = false;
    std::string previousId;
    size_t previousAt = 0;
    while (at + 8 <= b.size()) {
        const std::string id = b.substr(at, 4);
        const uint32_t size = U32(b, at + 4);
        const size_t payload = at + 8;
        if (id == "fmt " && size >= 16 && payload + 16 <= b.size()) {
            wave.nChannels = static_cast<uint16_t>(U16(b, payload + 2));
            wave.nSamplesPerSec = U32(b, payload + 4);
            wave.wBitsPerSample = static_cast<uint16_t>(U16(b, payload + 14));
            bFormat = true;
        } else if (id == "data") {
            if (previousId == "cue " && payload - previousAt == 28) {
                wave.bHasCue = true;
                wave.nCueIn = static_cast<int32_t>(U32(b, previousAt + 12));
                wave.nCueOut = static_cast<int32_t>(U32(b, previousAt + 16));
            }
            wave.dwDeclaredDataBytes = size;
            if (!bFormat || payload + size > b.size()) return wave;
            wave.data.assign(b.begin() + static_cast<std::ptrdiff_t>(payload),
                             b.begin() + static_cast<std::ptrdiff_t>(payload + size));
            wave.bOk =
                wave.nChannels != 0 && (wave.wBitsPerSample == 16 || wave.wBitsPerSample == 32);
            return wave;
        }
        previousId = id;
        previousAt = at;
        at = payload + size + (size & 1u);
    }
    return wave;
}

std::string RecordingHeaderProblem(const std::string& b, uint64_t fileBytes) {
    // The PCM subformat's GUID.
    static const std::string kPcm("\x01\0\0\0\0\0\x10\0\x80\0\0\xaa\0\x38\x9b\x71", 16);
    if (b.size() < 68 || fileBytes < 68) return "shorter than a header";
    if (b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0 ||
        b.compare(60, 4, "data") != 0)
        return "chunk names";
    if (U32(b, 4) != fileBytes - 8) return "RIFF size does not match the file";
    if (U32(b, 64) != fileBytes - 68) return "data size does not match the file";
    if (U32(b, 16) != 40 || U16(b, 20) != 0xFFFE || U16(b, 36) != 22 ||
        b.compare(44, 16, kPcm) != 0)
        return "not WAVE_FORMAT_EXTENSIBLE PCM";
    const uint32_t channels = U16(b, 22), rate = U32(b, 24), bits = U16(b, 34);
    const uint32_t blockAlign = channels * bits / 8;
    if (blockAlign == 0 || U16(b, 32) != blockAlign || U32(b, 28) != rate * blockAlign ||
        U16(b, 38) != bits)
        return "inconsistent format fields";
    if ((fileBytes - 68) % blockAlign != 0) return "data is not whole frames";
    return "";
}

std::vector<StereoFrame> ExpectedPairFrames(const WaveData& source, uint32_t deviceRate,
                                            uint16_t outputBits) {
    const uint32_t framesPerBlock = source.nSamplesPerSec >= 44100 ? 4608 : 2304;
    uint32_t first = 0;
    uint32_t end = source.Frames();
    if (source.bHasCue) {
        first = static_cast<uint32_t>(source.nCueIn) * framesPerBlock;
        if (source.nCueOut != 0)
            end = std::min(end, static_cast<uint32_t>(source.nCueOut) * framesPerBlock);
    }
    const uint32_t repeat = source.nSamplesPerSec <= deviceRate / 2 ? 2 : 1;
    const int shift = outputBits == 32 && source.wBitsPerSample == 16 ? 16 : 0;
    std::vector<StereoFrame> frames;
    for (uint32_t f = first; f < end; ++f) {
        const int32_t left = source.Sample(f, 0);
        const int32_t right = source.nChannels == 2 ? source.Sample(f, 1) : left;
        const StereoFrame out{static_cast<int32_t>(static_cast<uint32_t>(left) << shift),
                              static_cast<int32_t>(static_cast<uint32_t>(right) << shift)};
        for (uint32_t r = 0; r < repeat; ++r) frames.push_back(out);
    }
    return frames;
}

std::string ComparePair(const WaveData& recording, uint32_t pair,
                        const std::vector<StereoFrame>& expected) {
    const uint32_t frames = recording.Frames();
    if (frames < expected.size())
        return "the recording has " + std::to_string(frames) + " frames, the pair needs " +
               std::to_string(expected.size());
    for (uint32_t f = 0; f < frames; ++f) {
        const StereoFrame want = f < expected.size() ? expected[f] : StereoFrame{0, 0};
        const int32_t left = recording.Sample(f, pair * 2);
        const int32_t right = recording.Sample(f, pair * 2 + 1);
        if (left != want.left || right != want.right)
            return "pair " + std::to_string(pair) + " differs first at frame " + std::to_string(f) +
                   " of " + std::to_string(expected.size()) + ": got (" + std::to_string(left) +
                   ", " + std::to_string(right) + "), want (" + std::to_string(want.left) + ", " +
                   std::to_string(want.right) + ")";
    }
    return "";
}
