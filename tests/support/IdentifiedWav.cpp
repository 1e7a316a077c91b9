#include "tests/support/IdentifiedWav.h"

namespace e2e {

int32_t SampleOf(const TestFile& file, uint32_t frame, int side) {
    const uint32_t id = static_cast<uint32_t>(file.nId & 0xF) << 12;
    const uint32_t value = side == 0 ? id | (frame & 0x7FF) : id | 0x800 | ((frame >> 11) & 0x7FF);
    const uint32_t low = file.encoding == Encoding::Pcm24 ? ((frame * 2 + side) % 255 + 1) << 8 : 0;
    return static_cast<int32_t>(value << 16 | low);
}

std::vector<uint8_t> MakeFile(const TestFile& file) {
    WavLayout layout;
    layout.nChannels = file.nChannels;
    layout.nSamplesPerSec = file.dwSamplesPerSec;
    layout.cue = file.cue;
    layout.bExtensible = file.encoding == Encoding::Extensible16;
    layout.wFormatTag = file.encoding == Encoding::Float ? 3 : 1;
    layout.wBitsPerSample = file.encoding == Encoding::Pcm24   ? 24
                            : file.encoding == Encoding::Float ? 32
                                                               : 16;
    std::vector<int32_t> samples;
    samples.reserve(static_cast<size_t>(file.dwFrames) * file.nChannels);
    for (uint32_t f = 0; f < file.dwFrames; ++f)
        for (int side = 0; side < file.nChannels; ++side)
            samples.push_back(SampleOf(file, f, side));
    return MakeWav(layout, EncodeSamples(layout, samples));
}

std::vector<Frame> ExpectedOutput(const TestFile& file, uint32_t deviceRate) {
    // The file as a 32-bit recording of its samples at full scale would hold it.
    WaveData wave;
    wave.nChannels = file.nChannels;
    wave.nSamplesPerSec = file.dwSamplesPerSec;
    wave.wBitsPerSample = 32;
    wave.bHasCue = file.cue.has_value();
    wave.nCueIn = file.cue ? file.cue->nCueIn : 0;
    wave.nCueOut = file.cue ? file.cue->nCueOut : 0;
    for (uint32_t f = 0; f < file.dwFrames; ++f)
        for (int side = 0; side < file.nChannels; ++side)
            PutU32(wave.data, static_cast<uint32_t>(SampleOf(file, f, side)));
    return ExpectedPairFrames(wave, deviceRate, 32);
}

}  // namespace e2e
