// The real-time guard: in a build made with -DCANTABILE_RT_GUARD=ON, any
// allocation or file write on a thread that is inside the host's buffer
// switch ends the process with a line naming the call. Linking the test
// support library is enough: it replaces the allocation functions and the
// write family for the whole executable, and marks the output stage's two
// buffer-switch callbacks through the linker's symbol wrapping, so the
// product code carries no hook. Built without the option it does nothing.
#pragma once

#include <cstdint>

namespace rtguard {

// True when this executable was built with the guard.
bool Enabled() noexcept;

// Marks the calling thread as the driver's thread for its lifetime, exactly
// as a buffer switch does. Scopes nest.
class Scope {
  public:
    Scope() noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// Buffer switches that ran under the mark since the process started (0
// without the guard). A test that switches the card and sees this stay at
// 0 has lost the marking.
uint64_t MarkedSwitches() noexcept;

}  // namespace rtguard
