#include "streams/DecodeStream.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Only PCM gets past the parser; any other tag is named as unknown.
const char* FormatName(uint16_t wFormatTag) {
    return wFormatTag == 1 ? "PCM\n" : nullptr;
}

int32_t SaturatingAdd(int32_t a, int32_t b) {
    const int64_t sum = static_cast<int64_t>(a) + b;
    return sum > INT32_MAX ? INT32_MAX : sum < INT32_MIN ? INT32_MIN : static_cast<int32_t>(sum);
}

}  // namespace

DecodeStream::DecodeStream(std::unique_ptr<WaveFile> pWave, LogFunction pLog)
    : pWaveFile(std::move(pWave)), pLogFunction(pLog) {
    text[0] = '\0';
    if (!pWaveFile || !pWaveFile->GetFormat()) return;

    // In the 32-bit float of the milliseconds per block, product included, as
    // the logs have always shown it.
    const float fCuedMs = pWaveFile->GetMsPerBlock() * static_cast<float>(pWaveFile->cueIn);
    dwCuedMilisecs = FloorToUint32(fCuedMs);
    SongPlayTime = pWaveFile->SongPlayTime;

    pFormat.reset(new (std::nothrow) WAVEFORMATEX(*pWaveFile->GetFormat()));
    if (!pFormat) return;

    dwBytesPerSec = pFormat->nAvgBytesPerSec;
    cbDstBufSize = pWaveFile->GetBlockSize();
    BufferSize = kRingBlocks * cbDstBufSize;
    BufferPlayTime = PlayTimeMs(BufferSize);
    DstBufSizePlayTime = PlayTimeMs(cbDstBufSize);
    dwRingRate = pFormat->nSamplesPerSec;
    nRingChannels = pFormat->nChannels;
    dwSampleBits = 16;

    // The play range in frames, for loops and positions; cue blocks that
    // reach outside the data are held to it.
    dwFrameBytes = pFormat->nBlockAlign;
    const int64_t frames = pWaveFile->GetDataSize() / dwFrameBytes;
    const int64_t block = pWaveFile->GetReader()->GetFramesPerBlock();
    const auto inData = [frames](int64_t frame) { return std::clamp<int64_t>(frame, 0, frames); };
    const int64_t start = inData(pWaveFile->cueIn * block);
    const int64_t end = pWaveFile->cueOut != 0 ? inData(pWaveFile->cueOut * block) : frames;
    SetRange(frames, start, end < start ? start : end, pFormat->nSamplesPerSec, 1.0, dwFrameBytes);

    bReady = true;
    WriteDescription();
}

DecodeStream::~DecodeStream() = default;

uint32_t DecodeStream::PlayTimeMs(uint32_t dwBytes) const {
    if (dwBytesPerSec == 0) return 0;
    return FloorToUint32(static_cast<double>(dwBytes) / dwBytesPerSec * 1000.0 + 0.5);
}

void DecodeStream::Log(const char* line) {
    if (pLogFunction) pLogFunction(line, false);
}

void DecodeStream::WriteDescription() {
    const WaveFile& wave = *pWaveFile;
    const WAVEFORMATEX& src = *wave.GetFormat();

    Log("Prepare stream success!\n");
    Log("Format: ");
    if (const char* name = FormatName(pFormat->wFormatTag)) {
        Log(name);
    } else {
        std::snprintf(text, sizeof text, "Unknown - tag: %d\n", pFormat->wFormatTag);
        Log(text);
    }
    std::snprintf(text, sizeof text,
                  "Src: bitrate: %" PRIu32 " Kbits, AvgBytesPerSec: %" PRIu32
                  ", SrcReadSize: %" PRIu32 ", BlockAlign: %u\n",
                  FloorToUint32(src.nAvgBytesPerSec * 0.008), src.nAvgBytesPerSec,
                  wave.GetBlockSize(), static_cast<unsigned>(src.nBlockAlign));
    Log(text);
    std::snprintf(text, sizeof text,
                  "Output: nChannels: %u, nSamplesPerSec: %" PRIu32
                  ", wBitsPerSample: %u, dwBytesPerSec: %" PRIu32 "\n",
                  static_cast<unsigned>(pFormat->nChannels), pFormat->nSamplesPerSec,
                  static_cast<unsigned>(pFormat->wBitsPerSample), dwBytesPerSec);
    Log(text);
    std::snprintf(text, sizeof text,
                  "BufferSize: %" PRIu32 ", BufferPlayTime: %" PRIu32 " ms, cbDstBufSize: %" PRIu32
                  ", DstBufSizePlayTime: %" PRIu32 " ms\n",
                  BufferSize, BufferPlayTime, cbDstBufSize, DstBufSizePlayTime);
    Log(text);

    // Whole seconds round up from 501 ms on.
    uint32_t dwSeconds = SongPlayTime / 1000;
    if (SongPlayTime % 1000 > 500) ++dwSeconds;
    const int32_t nEndBlock = wave.cueOut != 0 ? wave.cueOut : wave.GetBlockCount();
    std::snprintf(text, sizeof text,
                  "SongPlayTime: %" PRIu32 " Minutes, %" PRIu32 " Seconds [%" PRIu32
                  " ms], dwCuedMilisecs: %" PRIu32 ", Cue out block: %" PRId32 "\n",
                  dwSeconds / 60, dwSeconds % 60, SongPlayTime, dwCuedMilisecs, nEndBlock);
    Log(text);
}

uint32_t DecodeStream::GetDecodedData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks,
                                      bool* pbEnd) {
    if (!bReady) return DeliverUnready(pDst, dwBytes, pbEnd);
    if (bFrameMode) {
        DeliverFrames(pDst, dwBytes, nBlocks);
        if (pbEnd) *pbEnd = bEndFlag;
        return dwBytes;
    }
    WaveFile& wave = *pWaveFile;
    const int32_t nBlockCount = wave.GetBlockCount();
    const int32_t nEndBlock = wave.cueOut != 0 ? wave.cueOut : nBlockCount;

    std::snprintf(text, sizeof text, "B %" PRId32 ", ", wave.nNextBlock);
    Log(text);

    int32_t nAdvance = nBlocks;
    if (wave.nNextBlock > nEndBlock) {
        Log("\nGetDecodedData: Cue out was not detected earlier - must be a skip!\n");
        if (dwBytes) std::memset(pDst, 0, dwBytes);
        bEndFlag = true;
    } else {
        if (wave.nNextBlock < wave.cueIn) {
            Log("\nGetDecodedData: nNextBlock < cueIn!\n\n");
            wave.nNextBlock = wave.cueIn;
        }
        // A cue-out inside the data stops the delivery at its block.
        if (nEndBlock < nBlockCount &&
            static_cast<int64_t>(wave.nNextBlock) + nBlocks >= nEndBlock) {
            nAdvance = nEndBlock - wave.nNextBlock;
        }
        PCMFetchData(pDst, dwBytes, nAdvance);
    }
    wave.nNextBlock = SaturatingAdd(wave.nNextBlock, nAdvance);
    if (pbEnd) *pbEnd = bEndFlag;
    return dwBytes;
}

int32_t DecodeStream::PCMFetchData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks) {
    WaveFile& wave = *pWaveFile;
    const uint8_t* pSrc = nullptr;
    bool bReaderEnd = false;
    uint32_t dwCount = wave.Fetch(&pSrc, nBlocks, &bReaderEnd);

    if (dwCount == 0 || !pSrc) {
        std::snprintf(text, sizeof text,
                      "\nPCMFetchData - srcreadsize <= 0, nNextBlock: %" PRId32 "\n\n",
                      wave.nNextBlock);
        Log(text);
        dwCount = 0;
    } else {
        // Never write past what the caller gave, whatever the blocks asked for.
        if (dwCount > dwBytes) dwCount = dwBytes;
        std::memcpy(pDst, pSrc, dwCount);
    }
    // The copy above is where a vanished part of the file was met; say so here,
    // off the signal handler, and only once.
    if (wave.TakeTruncatedFlag()) {
        Log("\nPCMFetchData - file shrank while mapped, the missing part plays as silence!\n\n");
    }

    bool bEnd = bReaderEnd;
    if (dwCount < dwBytes) {
        std::memset(pDst + dwCount, 0, dwBytes - dwCount);
        bEnd = true;
    }

    std::snprintf(text, sizeof text, "DLU: %" PRIu32 ", ", dwCount);
    Log(text);

    if (bEnd) MeetEnd(dwCount);
    return bEnd ? 0 : 1;
}

void DecodeStream::MeetEnd(uint32_t dwCount) {
    bEndFlag = true;
    std::snprintf(text, sizeof text,
                  "\nPCMFetchData - found file EOF! - bytes remaining: %" PRIu32 "\n\n", dwCount);
    Log(text);
}

void DecodeStream::DeliverFrames(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks) {
    WaveFile& wave = *pWaveFile;
    std::snprintf(text, sizeof text, "B %" PRId64 ", ", qwFrame / dwFramesPerBlock);
    Log(text);
    const uint8_t* pData = wave.GetData();
    const uint32_t frames = dwBytes / dwFrameBytes;
    const uint32_t got = ReadRange(frames, [&](int64_t frame, uint32_t count, uint32_t done) {
        if (done != 0 && frame == qwRangeStart) Log("Loop, ");
        std::memcpy(pDst + static_cast<size_t>(done) * dwFrameBytes,
                    pData + static_cast<size_t>(frame) * dwFrameBytes,
                    static_cast<size_t>(count) * dwFrameBytes);
        return count;
    });
    const uint32_t dwCount = got * dwFrameBytes;
    if (dwCount < dwBytes) std::memset(pDst + dwCount, 0, dwBytes - dwCount);
    if (wave.TakeTruncatedFlag()) {
        Log("\nPCMFetchData - file shrank while mapped, the missing part plays as silence!\n\n");
    }
    std::snprintf(text, sizeof text, "DLU: %" PRIu32 ", ", dwCount);
    Log(text);
    const bool bEnd = !bLooping && qwFrame >= qwRangeEnd;
    if (bEnd) MeetEnd(dwCount);
    CountBlocks(nBlocks, got, bEnd);
}

void DecodeStream::DeliverSilence(uint8_t* pDst) {
    if (bFrameMode) {
        Log("Silence, ");
    } else {
        std::snprintf(text, sizeof text, "B %d, ", pWaveFile->nNextBlock);
        Log(text);
        Log("Silence, ");
        pWaveFile->nNextBlock += 1;
    }
    std::memset(pDst, 0, cbDstBufSize);
    ++qwBlocks;
}

int32_t DecodeStream::Seek(int32_t nBlock) {
    const int32_t set = pWaveFile->Seek(nBlock);
    RestartCount();
    // Whole blocks again unless a loop is on, which goes on frame by frame.
    bFrameMode = bLooping;
    qwFrame = static_cast<int64_t>(set) * dwFramesPerBlock;
    if (qwFrame < qwRangeStart) qwFrame = qwRangeStart;
    return set;
}

bool DecodeStream::PlayedOut() const {
    if (bFrameMode) return FramesPlayedOut();
    // The ring holds the block being heard and the next three, the last of
    // which was just written.
    const WaveFile& wave = *pWaveFile;
    const int32_t playing = wave.nNextBlock - 4;
    const int32_t endBlock = wave.cueOut != 0 ? wave.cueOut : wave.GetBlockCount();
    return playing >= endBlock;
}

int32_t DecodeStream::NextBlock() const {
    if (bFrameMode) return static_cast<int32_t>(qwFrame / dwFramesPerBlock);
    return pWaveFile->nNextBlock;
}

const char* DecodeStream::GetFileName() const {
    return pWaveFile ? pWaveFile->GetFileName() : "";
}

void DecodeStream::SetLooping(bool bLoop) {
    BlockSource::SetLooping(bLoop);
    if (!bLoop || bFrameMode || !bReady) return;
    // Whole blocks so far: the next one begins where frame by frame goes on.
    bFrameMode = true;
    const int64_t next = static_cast<int64_t>(pWaveFile->nNextBlock) * dwFramesPerBlock;
    qwFrame = std::clamp(next, qwRangeStart, qwRangeEnd);
}

int64_t DecodeStream::NextFrame() const {
    if (bFrameMode) return bLooping && qwFrame >= qwRangeEnd ? qwRangeStart : qwFrame;
    const int64_t next = static_cast<int64_t>(pWaveFile->nNextBlock) * dwFramesPerBlock;
    return std::max(next, qwRangeStart);
}
