// A bounded queue that carries requests from the OSC thread to the front
// end's thread, so that the OSC thread never waits on the engine and a flood
// of messages is refused instead of piling up.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "control/CommandTarget.h"
#include "control/Execute.h"
#include "platform/Event.h"

namespace control {

class CommandQueue {
  public:
    // capacity: requests waiting at most. The last `reserve` places take only
    // status requests, so that a controller can still see the state of
    // things while a flood of other commands is being refused.
    explicit CommandQueue(size_t capacity = 256, size_t reserve = 16);

    // Any thread. False, and nothing queued, when there is no room.
    bool Push(Request&& request);

    // The front end's thread: runs up to max waiting requests in order
    // against the target, replying to each. Returns how many ran.
    size_t RunPending(CommandTarget& target, size_t max = SIZE_MAX);

    // Set by every Push, for a front end that waits for work.
    platform::Event& Ready() { return ready_; }

  private:
    const size_t capacity_;
    const size_t reserve_;
    std::mutex mutex_;
    std::deque<Request> requests_;  // under mutex_: pushed by any thread, run by the front end
    platform::Event ready_;
};

}  // namespace control
