#include "tests/drivers/WavCheck.h"

#include <cstring>

namespace testhost {

namespace {

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t Get16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

WavInfo Fail(const char* why) {
    WavInfo info;
    info.problem = why;
    return info;
}

}  // namespace

WavInfo ParseRecording(const std::string& bytes) {
    if (bytes.size() < 68) {
        return Fail("shorter than a header");
    }
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    static const uint8_t kPcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    if (std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVEfmt ", 8) != 0 ||
        std::memcmp(p + 60, "data", 4) != 0) {
        return Fail("chunk names");
    }
    if (Get32(p + 4) != bytes.size() - 8) {
        return Fail("RIFF size does not match the file");
    }
    if (Get32(p + 64) != bytes.size() - 68) {
        return Fail("data size does not match the file");
    }
    if (Get32(p + 16) != 40 || Get16(p + 20) != 0xFFFE || Get16(p + 36) != 22 ||
        std::memcmp(p + 44, kPcm, 16) != 0) {
        return Fail("not WAVE_FORMAT_EXTENSIBLE PCM");
    }
    WavInfo info;
    info.channels = Get16(p + 22);
    info.sampleRate = Get32(p + 24);
    info.bitsPerSample = Get16(p + 34);
    const uint32_t blockAlign = info.channels * info.bitsPerSample / 8;
    if (Get16(p + 32) != blockAlign || Get32(p + 28) != info.sampleRate * blockAlign ||
        Get16(p + 38) != info.bitsPerSample) {
        return Fail("inconsistent format fields");
    }
    info.dataBytes = Get32(p + 64);
    if (blockAlign == 0 || info.dataBytes % blockAlign != 0) {
        return Fail("data is not whole frames");
    }
    info.data = p + 68;
    info.valid = true;
    return info;
}

}  // namespace testhost
