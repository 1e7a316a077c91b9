// The real-time guard (see RtGuard.h). Everything here that runs inside a
// marked scope must itself neither allocate nor write to a file: the checks
// read one thread-local counter, the verdict is written with the raw system
// call, and the real functions are glibc's own entry points.
#include "tests/support/RtGuard.h"

#if defined(CANTABILE_RT_GUARD) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CANTABILE_RT_GUARD_ACTIVE 1
#endif

#include <atomic>

namespace {

// Depth of marked scopes on this thread. initial-exec: reading it must not
// go through __tls_get_addr, which may itself allocate.
[[gnu::tls_model("initial-exec")]] thread_local int tDepth = 0;

std::atomic<uint64_t> gMarkedSwitches{0};

}  // namespace

// Without the guard a scope marks the thread but nothing looks at the mark.
namespace rtguard {

bool Enabled() noexcept {
#ifdef CANTABILE_RT_GUARD_ACTIVE
    return true;
#else
    return false;
#endif
}
Scope::Scope() noexcept {
    ++tDepth;
}
Scope::~Scope() {
    --tDepth;
}
uint64_t MarkedSwitches() noexcept {
    return gMarkedSwitches.load(std::memory_order_relaxed);
}

}  // namespace rtguard

#ifdef CANTABILE_RT_GUARD_ACTIVE

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

[[noreturn, gnu::noinline, gnu::cold]] void Die(const char* call) noexcept {
    tDepth = 0;  // abort's own work must not come back here
    char line[160];
    size_t n = 0;
    auto put = [&](const char* text) {
        while (*text != '\0' && n < sizeof line - 1) line[n++] = *text++;
    };
    put("RtGuard: ");
    put(call);
    put(" on the driver's thread\n");
    const ssize_t written = syscall(SYS_write, 2, line, n);
    (void)written;
    std::abort();
}

inline void Check(const char* call) noexcept {
    if (tDepth > 0) [[unlikely]]
        Die(call);
}

bool IsRegularFile(int fd) noexcept {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

template <typename F>
F Next(const char* name) noexcept {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// --- the output stage's buffer-switch callbacks, wrapped by the linker ---

// Weak: the test executables are linked with --wrap, which makes these the
// real callbacks; the benchmarks, linked without it, never call the wrappers.
extern "C" {
[[gnu::weak]] void __real__ZN11ASIOBuffers20OnBufferSwitch16BitsEii(int32_t index,
                                                                    int32_t directProcess);
[[gnu::weak]] void __real__ZN11ASIOBuffers20OnBufferSwitch32BitsEii(int32_t index,
                                                                    int32_t directProcess);

void __wrap__ZN11ASIOBuffers20OnBufferSwitch16BitsEii(int32_t index, int32_t directProcess) {
    rtguard::Scope scope;
    gMarkedSwitches.fetch_add(1, std::memory_order_relaxed);
    __real__ZN11ASIOBuffers20OnBufferSwitch16BitsEii(index, directProcess);
}

void __wrap__ZN11ASIOBuffers20OnBufferSwitch32BitsEii(int32_t index, int32_t directProcess) {
    rtguard::Scope scope;
    gMarkedSwitches.fetch_add(1, std::memory_order_relaxed);
    __real__ZN11ASIOBuffers20OnBufferSwitch32BitsEii(index, directProcess);
}
}

// --- the C allocator ---
// Every global operator new and delete of the C++ library ends here, so
// these calls guard them as well.

extern "C" {
void* malloc(size_t size) {
    Check("malloc");
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Check("calloc");
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    Check("realloc");
    return __libc_realloc(pointer, size);
}
void free(void* pointer) {
    if (pointer != nullptr) Check("free");
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size) {
    Check("memalign");
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    Check("aligned_alloc");
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
    Check("posix_memalign");
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *result = pointer;
    return 0;
}
}

// --- writes: the raw calls to regular files, every stdio write ---

extern "C" {
ssize_t write(int fd, const void* data, size_t bytes) {
    // An eventfd or a pipe is how the driver's thread signals: allowed.
    if (tDepth > 0 && IsRegularFile(fd)) Die("write");
    return syscall(SYS_write, fd, data, bytes);
}
ssize_t pwrite(int fd, const void* data, size_t bytes, off_t offset) {
    if (tDepth > 0 && IsRegularFile(fd)) Die("pwrite");
    return syscall(SYS_pwrite64, fd, data, bytes, offset);
}
ssize_t writev(int fd, const struct iovec* vectors, int count) {
    if (tDepth > 0 && IsRegularFile(fd)) Die("writev");
    return syscall(SYS_writev, fd, vectors, count);
}

// A stdio stream buffers, locks and may allocate whatever it is bound to:
// any stdio write on the driver's thread is a fault.
#define GUARDED_STDIO(RESULT, NAME, PARAMETERS, ARGUMENTS)          \
    RESULT NAME PARAMETERS {                                        \
        Check(#NAME);                                               \
        static const auto real = Next<RESULT(*) PARAMETERS>(#NAME); \
        return real ARGUMENTS;                                      \
    }
GUARDED_STDIO(size_t, fwrite, (const void* data, size_t size, size_t count, FILE* stream),
              (data, size, count, stream))
GUARDED_STDIO(int, fputs, (const char* text, FILE* stream), (text, stream))
GUARDED_STDIO(int, puts, (const char* text), (text))
GUARDED_STDIO(int, fputc, (int c, FILE* stream), (c, stream))
GUARDED_STDIO(int, putc, (int c, FILE* stream), (c, stream))
GUARDED_STDIO(int, vfprintf, (FILE * stream, const char* format, va_list arguments),
              (stream, format, arguments))
GUARDED_STDIO(int, fflush, (FILE * stream), (stream))
int fprintf(FILE* stream, const char* format, ...) {
    Check("fprintf");
    static const auto real = Next<int (*)(FILE*, const char*, va_list)>("vfprintf");
    va_list arguments;
    va_start(arguments, format);
    const int result = real(stream, format, arguments);
    va_end(arguments);
    return result;
}
}

#endif
