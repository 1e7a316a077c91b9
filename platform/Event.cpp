#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

Event::Event() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
    if (fd_ >= 0) close(fd_);
}

// Runs on the driver's thread: no allocation, no logging.
void Event::Set() noexcept {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

bool Event::TryWait() noexcept {
    if (fd_ < 0) return false;
    uint64_t value;
    ssize_t n;
    do {
        n = read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    return n == sizeof value;
}

bool Event::Wait(int timeoutMs) noexcept {
    Event* self = this;
    return WaitAny(&self, 1, nullptr, timeoutMs) == 0;
}

int WaitAny(Event* const* events, int count, Event* wake, int timeoutMs) noexcept {
    if (count < 0 || count > kMaxWaitEvents) return -1;
    pollfd fds[kMaxWaitEvents + 1];
    int slot[kMaxWaitEvents + 1];  // the index reported for each polled fd
    int nfds = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i] && events[i]->IsValid()) {
            fds[nfds] = {events[i]->Fd(), POLLIN, 0};
            slot[nfds++] = i;
        }
    }
    if (wake && wake->IsValid()) {
        fds[nfds] = {wake->Fd(), POLLIN, 0};
        slot[nfds++] = count;
    }
    if (nfds == 0) return -1;

    const uint32_t start = TimeGetTime();
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            const uint32_t spent = TimeGetTime() - start;
            wait =
                spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
        }
        const int ready = poll(fds, static_cast<nfds_t>(nfds), wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (ready == 0) return -1;
        // The fds are in index order with the wake event last, so the first
        // one whose signal we manage to consume is the lowest index.
        for (int k = 0; k < nfds; ++k) {
            if (!(fds[k].revents & POLLIN)) continue;
            Event* e = slot[k] == count ? wake : events[slot[k]];
            if (e->TryWait()) return slot[k];
        }
        // Another waiter took every signal we saw: wait again.
    }
}

}  // namespace platform
