#include "platform/PiMutex.h"

namespace platform {

PiMutex::PiMutex() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // Where the system has no priority inheritance the mutex is a plain one:
    // correct, only without the protection.
    if (pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) != 0 ||
        pthread_mutex_init(&mutex_, &attr) != 0) {
        pthread_mutex_init(&mutex_, nullptr);
    }
    pthread_mutexattr_destroy(&attr);
}

PiMutex::~PiMutex() {
    pthread_mutex_destroy(&mutex_);
}

void PiMutex::lock() noexcept {
    pthread_mutex_lock(&mutex_);
}

bool PiMutex::try_lock() noexcept {
    return pthread_mutex_trylock(&mutex_) == 0;
}

void PiMutex::unlock() noexcept {
    pthread_mutex_unlock(&mutex_);
}

}  // namespace platform
