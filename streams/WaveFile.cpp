#include "streams/WaveFile.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kFormatOffset = 20;  // the format chunk is taken to be the first chunk
constexpr uint32_t kFormatBytes = 16;   // copied from the file; cbSize is not
constexpr uint32_t kFirstDataIdOffset = 36;
constexpr uint32_t kCueToDataId = 20;  // "cue ", size, one word, cue-in, cue-out, then "data"
constexpr uint32_t kMinSamplesPerSec = 22050;

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Copies a text into a fixed field, cut to fit, always terminated.
void CopyCut(char* field, size_t fieldSize, const char* source) {
    const size_t length = strnlen(source, fieldSize - 1);
    std::memcpy(field, source, length);
    field[length] = '\0';
}

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
    return value < low ? low : value > high ? high : value;
}

}  // namespace

WaveFile::Marks WaveFile::FindMarks(const uint8_t* pBytes, uint64_t length) {
    Marks marks;
    // A plain byte search, no chunk walking: the first "data" wins, wherever
    // it stands. Bounded by the bytes as well as by the fixed range.
    for (uint32_t offset = kFirstDataIdOffset; offset <= kLastDataIdOffset && offset + 4 <= length;
         ++offset) {
        if (std::memcmp(pBytes + offset, "data", 4) != 0) continue;
        marks.dataId = offset;
        const uint8_t* pCue = pBytes + offset - kCueToDataId;
        if (std::memcmp(pCue, "cue ", 4) == 0) {
            marks.bCue = true;
            marks.cueIn = static_cast<int32_t>(ReadU32(pCue + 12));
            marks.cueOut = static_cast<int32_t>(ReadU32(pCue + 16));
        }
        break;
    }
    return marks;
}

WaveFile::WaveFile(std::unique_ptr<MappedFile> pFile) : pMappedFile(std::move(pFile)) {
    szFileName[0] = '\0';
    if (!pMappedFile) return;
    CopyCut(szFileName, kFileNameField, pMappedFile->GetPath());
    pBase = pMappedFile->GetBase();
    dwLength = pMappedFile->GetFileSize();
}

WaveFile::WaveFile(const uint8_t* pBytes, uint32_t dwBytes, const char* pszFileName)
    : pBase(pBytes), dwLength(pBytes ? dwBytes : 0) {
    CopyCut(szFileName, kFileNameField, pszFileName ? pszFileName : "");
}

WaveFile::~WaveFile() = default;

bool WaveFile::Refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(szRefusal, sizeof szRefusal, format, args);
    va_end(args);
    return false;
}

bool WaveFile::Parse() {
    // The fixed fields reach offset 35; anything shorter cannot be judged.
    if (!pBase || dwLength < kFirstDataIdOffset) return Refuse("too short for a WAV header");
    if (std::memcmp(pBase, "RIFF", 4) != 0) return Refuse("not a WAV file (no RIFF header)");

    const uint8_t* pFmt = pBase + kFormatOffset;
    const uint16_t wFormatTag = ReadU16(pFmt);
    const uint16_t nChannels = ReadU16(pFmt + 2);
    const uint32_t nSamplesPerSec = ReadU32(pFmt + 4);
    const uint32_t nAvgBytesPerSec = ReadU32(pFmt + 8);
    const uint16_t nBlockAlign = ReadU16(pFmt + 12);
    const uint16_t wBitsPerSample = ReadU16(pFmt + 14);
    if (wFormatTag != WAVE_FORMAT_PCM)
        return Refuse("not PCM (format %u); only 16-bit PCM is played", wFormatTag);
    if (wBitsPerSample != 16)
        return Refuse("%u-bit samples; only 16-bit PCM is played", wBitsPerSample);
    if (nSamplesPerSec < kMinSamplesPerSec)
        return Refuse("%u Hz; 22050 Hz or more is played", nSamplesPerSec);
    // A sound buffer plays mono or interleaved stereo; more channels would be
    // heard as scrambled stereo at the wrong speed.
    if (nChannels > 2)
        return Refuse("%u channels: a channel plays a mono or stereo file", nChannels);
    // Values that the block and play-time arithmetic divide by: a header that
    // zeroes them is broken, not merely unusual.
    if (nBlockAlign == 0 || nChannels == 0) return Refuse("a broken format chunk");
    const uint64_t qwBytesPerSecOf16Bit = static_cast<uint64_t>(nChannels) * nSamplesPerSec * 2;
    if (qwBytesPerSecOf16Bit > UINT32_MAX) return Refuse("a broken format chunk");
    // Nothing is converted, so the byte rate is block align x rate whatever
    // the header says; only a zero one, which the timing divides by, is mended.
    const uint64_t qwDerivedBytesPerSec = static_cast<uint64_t>(nBlockAlign) * nSamplesPerSec;
    if (nAvgBytesPerSec == 0 && qwDerivedBytesPerSec > UINT32_MAX)
        return Refuse("a broken format chunk");

    pFormat.reset(new (std::nothrow) WAVEFORMATEX{});
    if (!pFormat) return Refuse("not enough memory");
    std::memcpy(pFormat.get(), pFmt, kFormatBytes);
    bDerivedAvgBytesPerSec = nAvgBytesPerSec == 0;
    if (bDerivedAvgBytesPerSec)
        pFormat->nAvgBytesPerSec = static_cast<uint32_t>(qwDerivedBytesPerSec);

    const Marks marks = FindMarks(pBase, dwLength);
    if (marks.dataId < 0 || marks.dataId + 8 > dwLength) return Refuse("no data chunk");
    const uint32_t dwDataId = static_cast<uint32_t>(marks.dataId);
    nFileCueIn = marks.cueIn;
    nFileCueOut = marks.cueOut;

    dwDataSize = ReadU32(pBase + dwDataId + 4);
    if (dwDataSize == 0) return Refuse("an empty data chunk");
    const uint32_t dwPayload = dwDataId + 8;
    // A truncated file plays what it holds.
    if (dwDataSize > dwLength - dwPayload) dwDataSize = dwLength - dwPayload;
    if (dwDataSize == 0) return Refuse("an empty data chunk");
    pData = pBase + dwPayload;

    pReader.reset(new (std::nothrow) BlockReader(pData, dwDataSize, nBlockAlign, nSamplesPerSec));
    if (!pReader) return Refuse("not enough memory");
    dwBlockSize = pReader->GetBlockSize();
    fMsPerBlock = pReader->GetMsPerBlock();
    nBlockCount = pReader->GetBlockCount();

    // Cue blocks come straight from the file. A cue-in outside the data would
    // play the wrong block or never end, a cue-out outside the range would play
    // silence long after the data or blocks past it: such a value is dropped
    // here, once, so that everything downstream sees a range inside the data.
    cueIn = nFileCueIn >= 0 && nFileCueIn < nBlockCount ? nFileCueIn : 0;
    cueOut = nFileCueOut > cueIn && nFileCueOut <= nBlockCount ? nFileCueOut : 0;

    // Do the length arithmetic wide and keep the length within what a 32-bit
    // length can say.
    int64_t nPlayLength = dwDataSize;
    if (cueOut != 0) {
        nPlayLength = (static_cast<int64_t>(cueOut) - cueIn) * dwBlockSize;
    } else if (cueIn > 0) {
        nPlayLength = static_cast<int64_t>(dwDataSize) - static_cast<int64_t>(cueIn) * dwBlockSize;
    }
    dwPlayLength = static_cast<uint32_t>(Clamp(nPlayLength, 0, UINT32_MAX));
    SongPlayTime = static_cast<uint32_t>(std::floor(static_cast<double>(dwPlayLength) * 1000.0 /
                                                    static_cast<double>(qwBytesPerSecOf16Bit)));

    pReader->Seek(nullptr, nullptr, cueIn);
    nNextBlock = cueIn;
    return true;
}

int32_t WaveFile::Seek(int32_t nBlock) {
    int64_t block = nBlock;
    // Leave the last four blocks, one full ring, to play.
    if (block >= nBlockCount) block = static_cast<int64_t>(nBlockCount) - 4;
    if (cueOut != 0 && block >= cueOut) block = static_cast<int64_t>(cueOut) - 4;
    if (block < cueIn) block = cueIn;
    const int32_t nSet = static_cast<int32_t>(block);
    if (pReader) pReader->Seek(nullptr, nullptr, nSet);
    nNextBlock = nSet;
    return nSet;
}

uint32_t WaveFile::Fetch(const uint8_t** ppBlock, int32_t nBlocks, bool* pbEnd) {
    if (!pReader) {
        if (ppBlock) *ppBlock = nullptr;
        if (pbEnd) *pbEnd = true;
        return 0;
    }
    return pReader->Fetch(ppBlock, nBlocks, pbEnd);
}

bool WaveFile::TakeTruncatedFlag() {
    return pMappedFile && pMappedFile->TakeTruncatedFlag();
}

std::unique_ptr<MappedFile> WaveFile::TakeMappedFile() {
    pReader.reset();
    pBase = nullptr;
    dwLength = 0;
    return std::move(pMappedFile);
}
