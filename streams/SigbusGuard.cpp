#include "streams/SigbusGuard.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace sigbus_guard {
namespace {

struct Entry {
    // Written by Register/Unregister (any thread), read by the handler on the
    // faulting thread. An entry is claimed by a compare-exchange on base; its
    // length is published after the base and withdrawn before it, so the
    // handler never sees a length that belongs to another mapping.
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> length{0};
    // Set by the handler, taken by the owner of the mapping.
    std::atomic<bool> truncated{false};
};

Entry entries[kMaxMappings];
struct sigaction previousAction;
uintptr_t pageSize = 4096;  // learnt at installation; sysconf is not for signal handlers
std::once_flag installOnce;

bool HandleFault(uintptr_t address) {
    for (Entry& entry : entries) {
        const uintptr_t base = entry.base.load(std::memory_order_acquire);
        const size_t length = entry.length.load(std::memory_order_acquire);
        // A free or half-claimed entry has length 0 and holds no address.
        if (address < base || address - base >= length) continue;
        // Pages are gone from the faulting one onwards: a file only loses its
        // tail. The raw system call keeps sanitizer interceptors out of the
        // handler.
        const uintptr_t from = address & ~(pageSize - 1);
        const uintptr_t to = (base + length + pageSize - 1) & ~(pageSize - 1);
        const intptr_t result = static_cast<intptr_t>(syscall(
            SYS_mmap, from, to - from, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (result == -1) return false;
        entry.truncated.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

void OnSigbus(int signal, siginfo_t* info, void* context) {
    // Only a touch of a page past the end of a mapped file is ours to mend;
    // a SIGBUS sent by kill() or raised for misalignment is not.
    if (info && info->si_code == BUS_ADRERR &&
        HandleFault(reinterpret_cast<uintptr_t>(info->si_addr)))
        return;
    if (previousAction.sa_flags & SA_SIGINFO) {
        if (previousAction.sa_sigaction) {
            previousAction.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    // Not ours and nobody else's: end the process as the default would. The
    // signal raised here is blocked until the handler returns, then delivered.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    raise(SIGBUS);
}

void Install() {
    pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = OnSigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousAction);
}

}  // namespace

int32_t Register(const void* base, size_t length) {
    std::call_once(installOnce, Install);
    if (!base || length == 0) return -1;
    for (int32_t i = 0; i < kMaxMappings; ++i) {
        uintptr_t expected = 0;
        if (entries[i].base.compare_exchange_strong(expected, reinterpret_cast<uintptr_t>(base),
                                                    std::memory_order_acq_rel)) {
            entries[i].truncated.store(false, std::memory_order_relaxed);
            entries[i].length.store(length, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void Unregister(int32_t slot) {
    if (slot < 0 || slot >= kMaxMappings) return;
    entries[slot].length.store(0, std::memory_order_release);
    entries[slot].truncated.store(false, std::memory_order_relaxed);
    entries[slot].base.store(0, std::memory_order_release);
}

bool TakeTruncated(int32_t slot) {
    if (slot < 0 || slot >= kMaxMappings) return false;
    return entries[slot].truncated.exchange(false, std::memory_order_acq_rel);
}

}  // namespace sigbus_guard
