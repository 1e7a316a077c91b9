#include "streams/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "streams/SigbusGuard.h"

MappedFile::MappedFile() {
    szPath[0] = '\0';
}

MappedFile::~MappedFile() {
    Close();
}

bool MappedFile::Open(const char* path) {
    Close();
    pszOpenError = "no file name";
    if (!path || !*path) return false;
    // Non-blocking, so that a FIFO given by name cannot hang the caller before
    // it is found not to be a regular file.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        pszOpenError = std::strerror(errno);
        return false;
    }
    struct stat info;
    // Sizes are 32 bits wide throughout; a file of 4 GiB or more is refused
    // rather than played as whatever its size's low 32 bits would say.
    const bool bStat = fstat(fd, &info) == 0;
    pszOpenError = !bStat                                             ? std::strerror(errno)
                   : S_ISDIR(info.st_mode)                            ? "a folder, not a file"
                   : !S_ISREG(info.st_mode)                           ? "not a regular file"
                   : info.st_size <= 0                                ? "an empty file"
                   : static_cast<uint64_t>(info.st_size) > UINT32_MAX ? "4 GiB or larger"
                                                                      : "";
    if (*pszOpenError != '\0') {
        ::close(fd);
        return false;
    }
    const size_t length = static_cast<size_t>(info.st_size);
    void* view = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        pszOpenError = std::strerror(errno);
        ::close(fd);
        return false;
    }
    madvise(view, length, MADV_SEQUENTIAL);

    nFileHandle = fd;
    pBase = static_cast<const uint8_t*>(view);
    dwFileSize = static_cast<uint32_t>(length);
    nGuardSlot = sigbus_guard::Register(view, length);
    // The field holds 259 characters; a longer path is cut, not overrun.
    const size_t pathLength = strnlen(path, kPathField - 1);
    std::memcpy(szPath, path, pathLength);
    szPath[pathLength] = '\0';
    return true;
}

void MappedFile::Close() {
    if (nFileHandle < 0) return;
    // Forget the guard entry first: once unmapped, the addresses may be reused.
    sigbus_guard::Unregister(nGuardSlot);
    nGuardSlot = -1;
    munmap(const_cast<uint8_t*>(pBase), dwFileSize);
    ::close(nFileHandle);
    nFileHandle = -1;
    pBase = nullptr;
    dwFileSize = 0;
}

bool MappedFile::TakeTruncatedFlag() {
    return sigbus_guard::TakeTruncated(nGuardSlot);
}
