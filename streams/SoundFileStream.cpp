#include "streams/SoundFileStream.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "streams/WaveFile.h"

namespace {

// Frames read from the file at a time for the converter.
constexpr uint32_t kInputFrames = 1024;
// A ring block of a converted channel is never shorter than this many device
// frames, however high the file's rate: the ring must outlast a buffer switch.
constexpr uint32_t kMinRingFrames = 2304;
// Where WAV headers keep the cue chunk that marks a first and a last block:
// 20 bytes before the data id, which lies within the first 2088 bytes.
constexpr uint32_t kHeaderBytes = 2088;

}  // namespace

SoundFileStream::SoundFileStream(const uint8_t* pBytes, uint64_t qwLength, const char* path,
                                 uint32_t dwDeviceRate, bool bConvert, LogFunction pLog)
    : pLogFunction(pLog) {
    std::snprintf(szFileName, sizeof szFileName, "%s", path ? path : "");
    if (pBytes ? !file.OpenBytes(pBytes, qwLength) : !file.OpenPath(path)) {
        Refuse(file.GetRefusal());
        return;
    }
    const uint32_t rate = file.Rate();
    const uint16_t channels = file.Channels();
    const int64_t frames = file.Frames();
    const bool convert =
        bConvert && dwDeviceRate != 0 && rate != dwDeviceRate && 2ull * rate != dwDeviceRate;
    if (!bConvert && rate < kMinUnconvertedRate) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "a rate of %u Hz, which plays only converted",
                      static_cast<unsigned>(rate));
        Refuse(reason);
        return;
    }

    const uint32_t block = FramesPerBlock(rate);
    nBlockCount = static_cast<int32_t>((frames + block - 1) / block);
    if (pBytes) {
        FindCue(pBytes, qwLength, nBlockCount);
    } else if (std::FILE* header = std::fopen(path, "rb")) {
        uint8_t bytes[kHeaderBytes];
        const size_t got = std::fread(bytes, 1, sizeof bytes, header);
        std::fclose(header);
        FindCue(bytes, got, nBlockCount);
    }
    const int64_t start = static_cast<int64_t>(cueIn) * block;
    const int64_t end = cueOut != 0 && static_cast<int64_t>(cueOut) * block < frames
                            ? static_cast<int64_t>(cueOut) * block
                            : frames;

    bWide = convert || file.IsWide();
    const uint32_t frameBytes = channels * (bWide ? 4u : 2u);
    uint32_t ringFrames = block;
    dwRingRate = rate;
    if (convert) {
        dwRingRate = dwDeviceRate;
        const int64_t scaled = std::llround(static_cast<double>(block) * dwDeviceRate / rate);
        ringFrames = scaled < kMinRingFrames ? kMinRingFrames : static_cast<uint32_t>(scaled);
        pConverter.reset(new (std::nothrow) RateConverter(rate, dwDeviceRate, channels));
        pInput.reset(new (std::nothrow) float[static_cast<size_t>(kInputFrames) * channels]);
        if (!pConverter || !pInput || !pConverter->IsReady()) {
            char reason[128];
            std::snprintf(reason, sizeof reason, "its rate converter could not be made (%s)",
                          pConverter ? pConverter->GetError() : "not enough memory");
            Refuse(reason);
            return;
        }
    }
    nRingChannels = channels;
    dwSampleBits = bWide ? 32 : 16;
    cbDstBufSize = ringFrames * frameBytes;
    BufferSize = kRingBlocks * cbDstBufSize;
    dwBytesPerSec = dwRingRate * frameBytes;
    // A header may claim more frames than 32 bits of milliseconds can time.
    SongPlayTime = FloorToUint32(static_cast<double>(end - start) * 1000.0 / rate);
    SetRange(frames, start, end, rate, convert ? static_cast<double>(rate) / dwDeviceRate : 1.0,
             frameBytes);
    qwFrame = start;
    if (!ReadFrom(start)) {
        Refuse("it cannot be read from its start");
        return;
    }
    bReady = true;
    Describe();
}

SoundFileStream::~SoundFileStream() = default;

void SoundFileStream::LogF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (pLogFunction) pLogFunction(text, false);
}

void SoundFileStream::Refuse(const char* reason) {
    std::snprintf(szRefusal, sizeof szRefusal, "%s", reason);
    bReady = false;
}

// The WAV family's cue chunk, found as the mapped parser finds it: the first
// "data" id from offset 36 on, and "cue " exactly 20 bytes before it. A cue-in
// outside the audio, or a cue-out not after it, is not used.
void SoundFileStream::FindCue(const uint8_t* pBytes, uint64_t qwLength, int32_t nBlocks) {
    if (qwLength < 4) return;
    if (std::memcmp(pBytes, "RIFF", 4) != 0 && std::memcmp(pBytes, "RF64", 4) != 0) return;
    const WaveFile::Marks marks = WaveFile::FindMarks(pBytes, qwLength);
    if (!marks.bCue) return;
    const int32_t in = marks.cueIn;
    const int32_t out = marks.cueOut;
    // A cue-out past the audio is held to its end, as the range is.
    if (in >= 0 && in < nBlocks && (out == 0 || out > in)) {
        cueIn = in;
        cueOut = out;
    } else {
        LogF("Cue blocks %" PRId32 " to %" PRId32 " lie outside the audio: not used\n", in, out);
    }
}

void SoundFileStream::Describe() {
    LogF("Prepare stream success!\n");
    LogF("Format: %s (libsndfile)\n", file.Describe());
    LogF("Src: nChannels: %u, nSamplesPerSec: %" PRIu32 ", frames: %" PRId64 ", block: %" PRIu32
         " frames\n",
         static_cast<unsigned>(nRingChannels), dwFileRate, qwLengthFrames, dwFramesPerBlock);
    if (pConverter) {
        LogF("Output: nSamplesPerSec: %" PRIu32 ", %" PRIu32 "-bit memory, converted from %" PRIu32
             " Hz (soxr, high quality)\n",
             dwRingRate, dwSampleBits, dwFileRate);
    } else {
        LogF("Output: nSamplesPerSec: %" PRIu32 ", %" PRIu32 "-bit memory, unconverted\n",
             dwRingRate, dwSampleBits);
    }
    LogF("BufferSize: %" PRIu32 ", cbDstBufSize: %" PRIu32 " (%" PRIu32 " frames)\n", BufferSize,
         cbDstBufSize, RingFrames());
    LogF("SongPlayTime: %" PRIu32 " ms, Cue in block: %d, Cue out block: %d\n", SongPlayTime, cueIn,
         cueOut != 0 ? cueOut : nBlockCount);
}

bool SoundFileStream::ReadFrom(int64_t qwAt) {
    if (qwAt == qwFilePos) return true;
    if (!file.Seek(qwAt)) return false;
    qwFilePos = qwAt;
    return true;
}

uint32_t SoundFileStream::Copy(uint8_t* pDst, uint32_t dwFrames) {
    const uint32_t channels = nRingChannels;
    return ReadRange(dwFrames, [&](int64_t frame, uint32_t count, uint32_t done) -> uint32_t {
        if (done != 0 && frame == qwRangeStart) LogF("Loop, ");
        if (!ReadFrom(frame)) return 0;
        const size_t at = static_cast<size_t>(done) * channels;
        const uint32_t got = bWide ? file.ReadInt(reinterpret_cast<int32_t*>(pDst) + at, count)
                                   : file.ReadShort(reinterpret_cast<int16_t*>(pDst) + at, count);
        qwFilePos += got;
        return got;
    });
}

uint32_t SoundFileStream::Convert(int32_t* pDst, uint32_t dwFrames) {
    const uint32_t channels = nRingChannels;
    uint32_t made = 0;
    while (made < dwFrames) {
        if (dwInputHeld == 0 && !bInputEnded) {
            dwInputTaken = 0;
            dwInputHeld =
                ReadRange(kInputFrames, [&](int64_t frame, uint32_t count, uint32_t done) {
                    if (done != 0 && frame == qwRangeStart) LogF("Loop, ");
                    if (!ReadFrom(frame)) return 0u;
                    const uint32_t got =
                        file.ReadFloat(pInput.get() + static_cast<size_t>(done) * channels, count);
                    qwFilePos += got;
                    return got;
                });
            qwRead += dwInputHeld;
            bInputEnded = dwInputHeld == 0;
        }
        // Once the input has ended, a null input lets the filter's tail out.
        const float* in = dwInputHeld != 0
                              ? pInput.get() + static_cast<size_t>(dwInputTaken) * channels
                              : nullptr;
        size_t used = 0;
        size_t out = 0;
        pConverter->Process(in, dwInputHeld, &used, pDst + static_cast<size_t>(made) * channels,
                            dwFrames - made, &out);
        dwInputTaken += static_cast<uint32_t>(used);
        dwInputHeld -= static_cast<uint32_t>(used);
        made += static_cast<uint32_t>(out);
        // Nothing taken and nothing given: the tail is out.
        if (used == 0 && out == 0) break;
    }
    qwMade += made;
    return made;
}

uint32_t SoundFileStream::GetDecodedData(uint8_t* pDst, uint32_t dwBytes, int32_t nBlocks,
                                         bool* pbEnd) {
    if (!bReady) return DeliverUnready(pDst, dwBytes, pbEnd);
    LogF("B %" PRId64 ", ", NextFrame() / dwFramesPerBlock);
    const uint32_t frames = dwBytes / dwRingFrameBytes;
    uint32_t got;
    bool bEnd;
    if (pConverter) {
        got = Convert(reinterpret_cast<int32_t*>(pDst), frames);
        bEnd = bInputEnded && got < frames;
    } else {
        got = Copy(pDst, frames);
        qwRead += got;
        qwMade += got;
        bEnd = !bLooping && qwFrame >= qwRangeEnd;
    }
    const uint32_t bytes = got * dwRingFrameBytes;
    if (bytes < dwBytes) std::memset(pDst + bytes, 0, dwBytes - bytes);
    if (pMappedFile && pMappedFile->TakeTruncatedFlag())
        LogF("\nThe file shrank while mapped, the missing part plays as silence!\n\n");
    LogF("DLU: %" PRIu32 ", ", bytes);
    if (bEnd) {
        bEndFlag = true;
        LogF("\nEnd of the audio - bytes delivered: %" PRIu32 "\n\n", bytes);
    }
    CountBlocks(nBlocks, got, bEnd);
    if (pbEnd) *pbEnd = bEndFlag;
    return dwBytes;
}

void SoundFileStream::DeliverSilence(uint8_t* pDst) {
    LogF("Silence, ");
    std::memset(pDst, 0, cbDstBufSize);
    ++qwBlocks;
}

void SoundFileStream::RestartConverter() {
    if (pConverter) pConverter->Reset();
    qwRead = 0;
    qwMade = 0;
    dwInputHeld = 0;
    dwInputTaken = 0;
    bInputEnded = false;
}

int32_t SoundFileStream::Seek(int32_t nBlock) {
    int64_t block = nBlock;
    // Leave the last four blocks, one full ring, to play.
    if (block >= nBlockCount) block = static_cast<int64_t>(nBlockCount) - 4;
    if (cueOut != 0 && block >= cueOut) block = static_cast<int64_t>(cueOut) - 4;
    if (block < cueIn) block = cueIn;
    qwFrame = block * dwFramesPerBlock;
    RestartConverter();
    RestartCount();
    // A file that cannot seek plays on from where it is read next.
    (void)ReadFrom(qwFrame);
    return static_cast<int32_t>(block);
}

int32_t SoundFileStream::NextBlock() const {
    return static_cast<int32_t>(NextFrame() / dwFramesPerBlock);
}

void SoundFileStream::SetLooping(bool bLoop) {
    BlockSource::SetLooping(bLoop);
    // A converter told that its input ended takes no more: start the range
    // afresh, after the silence that is already on its way.
    if (bLoop && pConverter && bInputEnded) {
        RestartConverter();
        qwFrame = qwRangeStart;
    }
}

int64_t SoundFileStream::NextFrame() const {
    // The converter's output lags what was read by what it holds: walk back
    // from the next frame to read by that many frames, through the loop's
    // seams when they lie in between.
    const double behind = static_cast<double>(qwRead) - static_cast<double>(qwMade) * dRatio;
    int64_t frame = qwFrame - std::llround(behind);
    const int64_t length = qwRangeEnd - qwRangeStart;
    if (frame < qwRangeStart && length > 0)
        frame += (qwRangeStart - frame + length - 1) / length * length;
    return frame;
}
