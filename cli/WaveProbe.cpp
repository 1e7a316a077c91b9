#include "cli/WaveProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace cli {

namespace {

// The data id is searched up to offset 2084, so its size field ends by 2092.
constexpr uint32_t kHeaderBytes = 2092;
constexpr uint32_t kFirstDataSearch = 36;
constexpr uint32_t kLastDataSearch = 2084;

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool WaveProbe::IsPlayableFormat() const {
    return bRiff && wFormatTag == 1 && wBitsPerSample == 16 && nSamplesPerSec >= 22050 &&
           nBlockAlign != 0 && nChannels != 0;
}

uint32_t WaveProbe::MsPerBlock() const {
    if (nSamplesPerSec == 0) {
        return 0;
    }
    return static_cast<uint32_t>(uint64_t{FramesPerBlock()} * 1000u / nSamplesPerSec);
}

uint32_t WaveProbe::PlayMs() const {
    if (!IsPlayableFormat() || !bHasData) {
        return 0;
    }
    const uint64_t blockBytes = uint64_t{nBlockAlign} * FramesPerBlock();
    const uint64_t cueIn = nCueIn > 0 ? static_cast<uint64_t>(nCueIn) : 0;
    uint64_t playBytes = dwDataBytes;
    if (nCueOut > nCueIn && static_cast<uint64_t>(nCueOut) * blockBytes <= dwDataBytes) {
        playBytes = (static_cast<uint64_t>(nCueOut) - cueIn) * blockBytes;
    } else if (cueIn * blockBytes < dwDataBytes) {
        playBytes = dwDataBytes - cueIn * blockBytes;
    }
    const uint64_t frames = playBytes / nBlockAlign;
    return static_cast<uint32_t>(frames * 1000u / nSamplesPerSec);
}

void ParseWaveHeader(const uint8_t* bytes, uint32_t length, uint64_t fileBytes, WaveProbe* probe) {
    probe->bReadable = true;
    if (length < 36 || std::memcmp(bytes, "RIFF", 4) != 0) {
        return;
    }
    probe->bRiff = true;
    probe->wFormatTag = Read16(bytes + 20);
    probe->nChannels = Read16(bytes + 22);
    probe->nSamplesPerSec = Read32(bytes + 24);
    probe->nBlockAlign = Read16(bytes + 32);
    probe->wBitsPerSample = Read16(bytes + 34);
    for (uint32_t at = kFirstDataSearch; at <= kLastDataSearch && at + 8 <= length; ++at) {
        if (std::memcmp(bytes + at, "data", 4) != 0) {
            continue;
        }
        const uint32_t declared = Read32(bytes + at + 4);
        const uint64_t held = fileBytes > at + 8u ? fileBytes - (at + 8u) : 0;
        probe->dwDataBytes = static_cast<uint32_t>(declared < held ? declared : held);
        probe->bHasData = declared != 0;
        if (at >= 20 && std::memcmp(bytes + at - 20, "cue ", 4) == 0) {
            probe->nCueIn = static_cast<int32_t>(Read32(bytes + at - 8));
            probe->nCueOut = static_cast<int32_t>(Read32(bytes + at - 4));
        }
        return;
    }
}

WaveProbe ProbeWave(const std::string& path) {
    WaveProbe probe;
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return probe;
    }
    probe.bExists = true;
    probe.qwFileBytes = static_cast<uint64_t>(info.st_size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return probe;
    }
    std::vector<uint8_t> header(kHeaderBytes);
    uint32_t got = 0;
    while (got < kHeaderBytes) {
        const ssize_t n = ::read(fd, header.data() + got, kHeaderBytes - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    ::close(fd);
    ParseWaveHeader(header.data(), got, probe.qwFileBytes, &probe);
    return probe;
}

}  // namespace cli
