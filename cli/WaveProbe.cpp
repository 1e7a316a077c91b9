#include "cli/WaveProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "streams/WaveFile.h"

namespace cli {

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
    // The data id is searched up to offset 2084.
    uint8_t header[WaveFile::kLastDataIdOffset + 4];
    uint32_t length = 0;
    while (length < sizeof header) {
        const ssize_t n = ::read(fd, header + length, sizeof header - length);
        if (n <= 0) {
            break;
        }
        length += static_cast<uint32_t>(n);
    }
    ::close(fd);
    if (length < 4 ||
        (std::memcmp(header, "RIFF", 4) != 0 && std::memcmp(header, "RF64", 4) != 0)) {
        return 0;
    }
    return WaveFile::FindMarks(header, length).cueIn;
}

}  // namespace cli
