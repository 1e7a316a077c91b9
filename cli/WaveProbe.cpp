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

uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int32_t ProbeCueIn(const std::string& path) {
    // Only a regular file: opening a FIFO would wait for a writer.
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::vector<uint8_t> header(kHeaderBytes);
    uint32_t length = 0;
    while (length < kHeaderBytes) {
        const ssize_t n = ::read(fd, header.data() + length, kHeaderBytes - length);
        if (n <= 0) {
            break;
        }
        length += static_cast<uint32_t>(n);
    }
    ::close(fd);
    const uint8_t* bytes = header.data();
    if (length < 36 || (std::memcmp(bytes, "RIFF", 4) != 0 && std::memcmp(bytes, "RF64", 4) != 0)) {
        return 0;
    }
    for (uint32_t at = kFirstDataSearch; at <= kLastDataSearch && at + 8 <= length; ++at) {
        if (std::memcmp(bytes + at, "data", 4) != 0) {
            continue;
        }
        if (at >= 20 && std::memcmp(bytes + at - 20, "cue ", 4) == 0) {
            return static_cast<int32_t>(Read32(bytes + at - 8));
        }
        break;
    }
    return 0;
}

}  // namespace cli
