// The bounded request queue.
#include "control/CommandQueue.h"

#include <utility>

namespace control {

CommandQueue::CommandQueue(size_t capacity, size_t reserve)
    : capacity_(capacity), reserve_(reserve < capacity ? reserve : capacity) {}

bool CommandQueue::Push(Request&& request) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const size_t room = request.command.verb == Verb::Status ? capacity_ : capacity_ - reserve_;
        if (requests_.size() >= room) return false;
        requests_.push_back(std::move(request));
    }
    ready_.Set();
    return true;
}

size_t CommandQueue::RunPending(CommandTarget& target, size_t max) {
    size_t ran = 0;
    while (ran < max) {
        Request request;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.empty()) break;
            request = std::move(requests_.front());
            requests_.pop_front();
        }
        const Reply reply = Execute(request.command, target);
        if (request.reply) request.reply(reply);
        ++ran;
    }
    return ran;
}

}  // namespace control
