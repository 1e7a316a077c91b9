#include "streams/SoundFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Frames of floating point read at a time on their way to 32-bit samples.
constexpr uint32_t kScratchFrames = 1024;
// Rates a sound buffer can be made for; anything else is a broken header.
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 768000;

// Encodings of 16 bits or less: played from 16-bit memory when unconverted.
bool IsNarrow(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_IMA_ADPCM:
        case SF_FORMAT_MS_ADPCM:
        case SF_FORMAT_GSM610:
        case SF_FORMAT_VOX_ADPCM:
        case SF_FORMAT_NMS_ADPCM_16:
        case SF_FORMAT_NMS_ADPCM_24:
        case SF_FORMAT_NMS_ADPCM_32:
        case SF_FORMAT_G721_32:
        case SF_FORMAT_G723_24:
        case SF_FORMAT_G723_40:
        case SF_FORMAT_DWVW_12:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_DPCM_8:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
            return true;
        default:
            return false;
    }
}

// Encodings whose samples libsndfile hands out as floating point: their
// 32-bit samples are rounded here rather than scaled by libsndfile.
bool IsFloatingPoint(int subformat) {
    switch (subformat) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return true;
        default:
            return false;
    }
}

const char* FormatName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name)
        return "unknown";
    return info.name;
}

// round(x * 2^31), held to the 32-bit range; NaN is silence.
int32_t FullScale(double x) {
    const double scaled = std::nearbyint(x * 2147483648.0);
    if (!(scaled == scaled)) return 0;
    return static_cast<int32_t>(std::clamp(scaled, -2147483648.0, 2147483647.0));
}

}  // namespace

// The virtual I/O's file: a view of bytes and a read position.
struct SoundFile::Bytes {
    const uint8_t* pBase;
    sf_count_t length;
    sf_count_t position;

    static sf_count_t Length(void* self) { return static_cast<Bytes*>(self)->length; }
    static sf_count_t Tell(void* self) { return static_cast<Bytes*>(self)->position; }
    static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
        Bytes& b = *static_cast<Bytes*>(self);
        const sf_count_t from = whence == SEEK_CUR ? b.position : whence == SEEK_END ? b.length : 0;
        sf_count_t to = 0;
        if (__builtin_add_overflow(from, offset, &to) || to < 0) return -1;
        b.position = to;
        return to;
    }
    static sf_count_t Read(void* ptr, sf_count_t count, void* self) {
        Bytes& b = *static_cast<Bytes*>(self);
        if (count <= 0 || b.position >= b.length) return 0;
        const sf_count_t n = std::min(count, b.length - b.position);
        std::memcpy(ptr, b.pBase + b.position, static_cast<size_t>(n));
        b.position += n;
        return n;
    }
    static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
};

SoundFile::SoundFile() = default;

SoundFile::~SoundFile() {
    Forget();
}

void SoundFile::Forget() {
    if (pFile) sf_close(pFile);
    pFile = nullptr;
}

bool SoundFile::Refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(szRefusal, sizeof szRefusal, format, args);
    va_end(args);
    Forget();
    return false;
}

bool SoundFile::OpenBytes(const uint8_t* pData, uint64_t qwLength) {
    Forget();
    if (!pData || qwLength == 0 || qwLength > INT64_MAX) return Refuse("an empty file");
    pBytes.reset(new (std::nothrow) Bytes{pData, static_cast<sf_count_t>(qwLength), 0});
    if (!pBytes) return Refuse("not enough memory");
    SF_VIRTUAL_IO io{&Bytes::Length, &Bytes::Seek, &Bytes::Read, &Bytes::Write, &Bytes::Tell};
    SF_INFO info{};
    pFile = sf_open_virtual(&io, SFM_READ, &info, pBytes.get());
    return Judge(info);
}

bool SoundFile::OpenPath(const char* path) {
    Forget();
    SF_INFO info{};
    pFile = path ? sf_open(path, SFM_READ, &info) : nullptr;
    return Judge(info);
}

bool SoundFile::Judge(const SF_INFO& info) {
    if (!pFile) return Refuse("an unreadable format (%s)", sf_strerror(nullptr));
    qwFrames = info.frames;
    dwRate = info.samplerate > 0 ? static_cast<uint32_t>(info.samplerate) : 0;
    nChannels = info.channels == 1 || info.channels == 2 ? static_cast<uint16_t>(info.channels) : 0;
    if (nChannels == 0)
        return Refuse("%d channels: a channel plays a mono or stereo file", info.channels);
    const int subformat = info.format & SF_FORMAT_SUBMASK;
    std::snprintf(szDescription, sizeof szDescription, "%s, %s",
                  FormatName(info.format & SF_FORMAT_TYPEMASK), FormatName(subformat));
    bWide = !IsNarrow(subformat);
    bFloat = IsFloatingPoint(subformat);
    if (dwRate < kMinRate || dwRate > kMaxRate)
        return Refuse("a rate of %u Hz, which no card plays", static_cast<unsigned>(dwRate));
    if (qwFrames <= 0) return Refuse("no audio frames to play");
    // Blocks are counted in 32 bits.
    if (qwFrames / 2304 >= INT32_MAX) return Refuse("too long to count its blocks");
    pScratch.reset(new (std::nothrow) double[static_cast<size_t>(kScratchFrames) * nChannels]);
    if (!pScratch) return Refuse("not enough memory");
    return true;
}

bool SoundFile::Seek(int64_t qwFrame) {
    return pFile && sf_seek(pFile, qwFrame, SEEK_SET) == qwFrame;
}

uint32_t SoundFile::ReadShort(int16_t* pDst, uint32_t dwFrames) {
    if (!pFile) return 0;
    return static_cast<uint32_t>(sf_readf_short(pFile, pDst, dwFrames));
}

uint32_t SoundFile::ReadInt(int32_t* pDst, uint32_t dwFrames) {
    if (!pFile) return 0;
    if (!bFloat) return static_cast<uint32_t>(sf_readf_int(pFile, pDst, dwFrames));
    uint32_t done = 0;
    while (done < dwFrames) {
        const uint32_t want = std::min(kScratchFrames, dwFrames - done);
        const sf_count_t got = sf_readf_double(pFile, pScratch.get(), want);
        if (got <= 0) break;
        const size_t samples = static_cast<size_t>(got) * nChannels;
        int32_t* out = pDst + static_cast<size_t>(done) * nChannels;
        for (size_t i = 0; i < samples; ++i) out[i] = FullScale(pScratch[i]);
        done += static_cast<uint32_t>(got);
        if (static_cast<uint32_t>(got) < want) break;
    }
    return done;
}

uint32_t SoundFile::ReadFloat(float* pDst, uint32_t dwFrames) {
    if (!pFile) return 0;
    return static_cast<uint32_t>(sf_readf_float(pFile, pDst, dwFrames));
}
