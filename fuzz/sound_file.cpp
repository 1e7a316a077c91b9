// Opens arbitrary bytes through the decode stage (libsndfile's virtual I/O
// over the bytes, the judgement of what a channel plays, the cue chunk) and,
// when they open, delivers blocks the way a channel does: a ring of four,
// then one block at a time past the end, looping for a while, after a seek.
// The first byte picks the device's rate and whether rates are converted.
#include <cstdint>
#include <vector>

#include "streams/SoundFileStream.h"

namespace {
void DiscardLog(const char*, bool) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const uint32_t kDeviceRates[] = {0, 44100, 48000, 96000, 22050, 8000, 192000, 32000};
    const uint8_t choice = data[0];
    // An exact-size copy, so that any read past the end meets the sanitizer.
    std::vector<uint8_t> bytes(data + 1, data + size);
    SoundFileStream stream(bytes.data(), bytes.size(), "fuzz", kDeviceRates[choice & 7],
                           (choice & 8) == 0, DiscardLog);
    if (!stream.IsReady()) return 0;
    const uint32_t block = stream.cbDstBufSize;
    if (block == 0 || block > (1u << 22)) return 0;

    std::vector<uint8_t> ring(static_cast<size_t>(block) * BlockSource::kRingBlocks);
    bool bEnd = false;
    stream.GetDecodedData(ring.data(), static_cast<uint32_t>(ring.size()), BlockSource::kRingBlocks,
                          &bEnd);
    for (int i = 0; i < 48; ++i) {
        if (i == 8) stream.SetLooping((choice & 16) != 0);
        if (i == 24) stream.SetLooping(false);
        if (bEnd) {
            stream.DeliverSilence(ring.data());
        } else {
            stream.GetDecodedData(ring.data(), block, 1, &bEnd);
        }
        (void)stream.FrameAfter(stream.NextFrame(), block, stream.IsLooping());
        if (stream.PlayedOut()) break;
    }
    stream.Seek(stream.NextBlock() / 2);
    stream.ClearEndFlag();
    stream.GetDecodedData(ring.data(), static_cast<uint32_t>(ring.size()), BlockSource::kRingBlocks,
                          &bEnd);
    stream.Seek(INT32_MAX);
    stream.GetDecodedData(ring.data(), block, 1, &bEnd);
    return 0;
}
