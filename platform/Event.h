// Auto-reset events on Linux eventfds, and waiting on any of several.
#pragma once

#include <cstdint>

namespace platform {

// An unnamed auto-reset event: Set leaves it signalled until one waiter
// consumes the signal. Setting twice before a wait still wakes one wait.
class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // False when the kernel refused the eventfd; such an event never fires.
    bool IsValid() const noexcept { return fd_ >= 0; }

    // One non-blocking write: safe on the driver's real-time thread.
    void Set() noexcept;

    // Consumes a pending signal without waiting; true if there was one.
    bool TryWait() noexcept;

    // Waits for the signal and consumes it. A negative timeout waits without
    // limit. False on time-out or failure.
    bool Wait(int timeoutMs = -1) noexcept;

    int Fd() const noexcept { return fd_; }

  private:
    int fd_;
};

constexpr int kMaxWaitEvents = 12;

// Waits until one of events[0..count) or the wake event is signalled.
// Returns the lowest signalled index, its signal consumed; the others stay
// signalled. Returns count when only the wake event fired (consumed), and -1
// on time-out, failure or a count above kMaxWaitEvents. Null entries, and a
// null wake event, are never waited on.
int WaitAny(Event* const* events, int count, Event* wake, int timeoutMs = -1) noexcept;

// Monotonic milliseconds, wrapping modulo 2^32.
uint32_t TimeGetTime() noexcept;

void SleepMs(uint32_t ms) noexcept;

}  // namespace platform
