// Parses arbitrary bytes as a WAV file and, when they parse, decodes every
// block the way a channel does: a ring of four, then one block at a time, past
// the end, with a seek in between.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "streams/DecodeStream.h"
#include "streams/WaveFile.h"

namespace {
void DiscardLog(const char*, bool) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    // An exact-size copy, so that any read past the end meets the sanitizer.
    std::vector<uint8_t> bytes(data, data + size);
    auto wave =
        std::make_unique<WaveFile>(bytes.data(), static_cast<uint32_t>(bytes.size()), "fuzz.wav");
    if (!wave->Parse()) return 0;

    WaveFile* pWave = wave.get();
    DecodeStream stream(std::move(wave), DiscardLog);
    if (!stream.IsReady()) return 0;
    const uint32_t dwBlock = stream.cbDstBufSize;
    if (dwBlock == 0 || dwBlock > (1u << 24)) return 0;

    std::vector<uint8_t> ring(static_cast<size_t>(dwBlock) * BlockSource::kRingBlocks);
    bool bEnd = false;
    stream.GetDecodedData(ring.data(), static_cast<uint32_t>(ring.size()), BlockSource::kRingBlocks,
                          &bEnd);
    // Run to the end and a little past it; the block count bounds the loop.
    const int64_t nLimit = static_cast<int64_t>(pWave->GetBlockCount()) + 8;
    for (int64_t i = 0; i < nLimit && i < 4096; ++i) {
        stream.GetDecodedData(ring.data(), dwBlock, 1, &bEnd);
    }
    pWave->Seek(pWave->GetBlockCount() / 2);
    stream.ClearEndFlag();
    stream.GetDecodedData(ring.data(), static_cast<uint32_t>(ring.size()), BlockSource::kRingBlocks,
                          &bEnd);
    pWave->Seek(INT32_MAX);
    stream.GetDecodedData(ring.data(), dwBlock, 1, &bEnd);
    return 0;
}
