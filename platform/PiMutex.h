// A mutex that lends its waiter's priority to its holder, for the two locks
// the driver's real-time thread takes: a holder preempted by some ordinary
// thread would otherwise stall the buffer switch for as long as it waits.
#pragma once

#include <pthread.h>

namespace platform {

// Meets the standard Lockable requirements, so std::lock_guard and
// std::unique_lock take it as they take a std::mutex.
class PiMutex {
  public:
    PiMutex() noexcept;
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    void lock() noexcept;
    bool try_lock() noexcept;
    void unlock() noexcept;

  private:
    pthread_mutex_t mutex_;
};

}  // namespace platform
