// The OSC server: a UDP socket of its own, bound to one address (127.0.0.1
// unless the front end opens it to a network), and a thread that reads each
// datagram, turns it into a command through liblo and hands it to the front
// end. The thread never waits on the engine: the front end's handler queues
// the request or refuses it, and a refusal is answered "busy" at once.
// Replies go back to the address and port the message came from.
//
// subscribe and unsubscribe are served here: a subscriber receives what the
// front end publishes (see Reply.h) until it unsubscribes or has not renewed
// its subscription (sent subscribe again) for kSubscriptionLife.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/CommandTarget.h"
#include "control/Execute.h"
#include "platform/Event.h"

namespace control {

constexpr const char* kDefaultOscAddress = "127.0.0.1";

// Where a datagram came from.
struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;
};

class OscServer {
  public:
    using Clock = std::chrono::steady_clock;
    // Called on the OSC thread with each valid command; false refuses it.
    using Handler = std::function<bool(Request&&)>;

    static constexpr std::chrono::seconds kSubscriptionLife{60};
    static constexpr size_t kMaxSubscribers = 16;

    // now is the clock subscriptions age by. The handler must stay callable
    // until Stop (or the destructor) has returned.
    explicit OscServer(Handler handler, std::function<Clock::time_point()> now = Clock::now);
    ~OscServer();
    OscServer(const OscServer&) = delete;
    OscServer& operator=(const OscServer&) = delete;

    // Binds UDP port (0: any free one) on a numeric IPv4 or IPv6 address and
    // starts the thread. On failure returns false with the reason in *error.
    [[nodiscard]] bool Start(int port, const std::string& address, std::string* error);
    // Ends the thread and forgets the subscribers. Replies still waiting in
    // the front end's queue keep the socket until they are sent.
    void Stop();
    // The bound port, 0 when stopped.
    int Port() const { return port_; }

    // One datagram: what the thread does with each. Public for the fuzz
    // target, which calls it without a socket (replies then go nowhere).
    void HandlePacket(const uint8_t* data, size_t size, const Peer& from);

    // The front end's thread. Publish at 10 Hz: changes since the last
    // snapshot, then every loaded channel's position and meter.
    // PublishChanges: the changes alone, for right after a command.
    void Publish(const StatusSnapshot& snapshot);
    void PublishChanges(const StatusSnapshot& snapshot);

    size_t SubscriberCount() const;

  private:
    struct Socket;
    struct Subscriber {
        Peer peer;
        Clock::time_point renewed;
        bool fresh = true;  // has not had the full state yet
    };

    void Run(std::shared_ptr<Socket> socket);
    std::shared_ptr<Socket> CurrentSocket() const;
    Reply Subscription(Verb verb, const Peer& from);
    void SendToSubscribers(const StatusSnapshot& snapshot, bool positions);

    const Handler handler_;
    const std::function<Clock::time_point()> now_;

    // Guards socket_, subscribers_ and the last snapshot: the OSC thread
    // adds and renews subscribers, the front end's thread publishes.
    mutable std::mutex mutex_;
    std::shared_ptr<Socket> socket_;
    std::vector<Subscriber> subscribers_;
    StatusSnapshot last_;
    bool published_ = false;

    // Start and Stop only (the front end's thread).
    std::thread thread_;
    platform::Event wake_;
    int port_ = 0;
};

}  // namespace control
