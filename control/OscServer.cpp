// The OSC server's socket, thread and subscribers.
#include "control/OscServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "control/OscMessage.h"

namespace control {

namespace {

// The kernel fills a sender's address the same way every time (the unused
// bytes zeroed), so equal bytes mean the same sender, IPv4 or IPv6.
bool SamePeer(const Peer& a, const Peer& b) {
    return a.length == b.length && std::memcmp(&a.address, &b.address, a.length) == 0;
}

// What subscribers are told again when it changes.
bool StateChanged(const ChannelStatus& now, const ChannelStatus& before) {
    return now.state != before.state || now.file != before.file || now.levelDb != before.levelDb ||
           now.loop != before.loop;
}

int BoundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    const in_port_t port = bound.ss_family == AF_INET6
                               ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                               : reinterpret_cast<const sockaddr_in&>(bound).sin_port;
    return ntohs(port);
}

}  // namespace

// Shared by the server and every reply still on its way, so that a reply
// sent after Stop never meets a closed (or reused) descriptor.
struct OscServer::Socket {
    int fd = -1;

    Socket() = default;
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void Send(const OscMessage& message, const Peer& to) const {
        const std::vector<uint8_t> bytes = SerialiseOsc(message);
        if (fd < 0 || bytes.empty()) return;
        // Never waits: a message the kernel cannot take now is dropped, as
        // the network may drop any datagram.
        (void)sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to.address), to.length);
    }

    void Send(const Reply& reply, const Peer& to) const {
        for (const OscMessage& message : ReplyOsc(reply)) Send(message, to);
    }
};

OscServer::OscServer(Handler handler, std::function<Clock::time_point()> now)
    : handler_(std::move(handler)), now_(std::move(now)), socket_(std::make_shared<Socket>()) {}

OscServer::~OscServer() {
    Stop();
}

bool OscServer::Start(int port, const std::string& address, std::string* error) {
    Stop();
    if (port < 0 || port > 65535) {
        *error = "OSC port " + std::to_string(port) + " is not 0 to 65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = "OSC address '" + address + "': " + gai_strerror(rc);
        return false;
    }
    auto socket =
        std::make_shared<Socket>(::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const bool bound = socket->fd >= 0 && bind(socket->fd, found->ai_addr, found->ai_addrlen) == 0;
    const int bindError = errno;
    freeaddrinfo(found);
    if (!bound) {
        *error =
            "OSC port " + std::to_string(port) + " on " + address + ": " + std::strerror(bindError);
        return false;
    }
    // Room for a burst while the thread catches up; the kernel caps it.
    const int receiveBytes = 1 << 20;
    (void)setsockopt(socket->fd, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes);
    port_ = BoundPort(socket->fd);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        socket_ = socket;
    }
    thread_ = std::thread(&OscServer::Run, this, std::move(socket));
    return true;
}

void OscServer::Stop() {
    if (thread_.joinable()) {
        wake_.Set();
        thread_.join();
        (void)wake_.TryWait();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    socket_ = std::make_shared<Socket>();
    subscribers_.clear();
    published_ = false;
    port_ = 0;
}

void OscServer::Run(std::shared_ptr<Socket> socket) {
    // The largest UDP payload fits, so no datagram is cut.
    std::vector<uint8_t> buffer(65536);
    pollfd fds[2] = {{socket->fd, POLLIN, 0}, {wake_.Fd(), POLLIN, 0}};
    while (true) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        // A handful at a time, so that Stop is seen during a flood.
        for (int n = 0; n < 64; ++n) {
            Peer from;
            from.length = sizeof from.address;
            const ssize_t got = recvfrom(socket->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from.address), &from.length);
            if (got < 0) break;
            HandlePacket(buffer.data(), static_cast<size_t>(got), from);
        }
    }
}

std::shared_ptr<OscServer::Socket> OscServer::CurrentSocket() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return socket_;
}

void OscServer::HandlePacket(const uint8_t* data, size_t size, const Peer& from) {
    const std::shared_ptr<Socket> socket = CurrentSocket();
    const Parsed parsed = ParseOscPacket(data, size);
    if (!parsed.ok) {
        socket->Send(Reply::Refused(parsed.error), from);
        return;
    }
    const Verb verb = parsed.command.verb;
    if (verb == Verb::Subscribe || verb == Verb::Unsubscribe) {
        socket->Send(Subscription(verb, from), from);
        return;
    }
    Request request{parsed.command,
                    [socket, from](const Reply& reply) { socket->Send(reply, from); }};
    if (!handler_(std::move(request))) {
        socket->Send(
            Reply::Refused(std::string(VerbName(verb)) + ": busy, too many commands waiting"),
            from);
    }
}

Reply OscServer::Subscription(Verb verb, const Peer& from) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto known = std::find_if(subscribers_.begin(), subscribers_.end(),
                                    [&](const Subscriber& s) { return SamePeer(s.peer, from); });
    if (verb == Verb::Unsubscribe) {
        if (known != subscribers_.end()) subscribers_.erase(known);
    } else if (known != subscribers_.end()) {
        known->renewed = now_();
    } else if (subscribers_.size() >= kMaxSubscribers) {
        return Reply::Refused("subscribe: too many subscribers (" +
                              std::to_string(kMaxSubscribers) + ")");
    } else {
        subscribers_.push_back({from, now_(), true});
    }
    return Reply::Done(verb);
}

void OscServer::Publish(const StatusSnapshot& snapshot) {
    SendToSubscribers(snapshot, true);
}

void OscServer::PublishChanges(const StatusSnapshot& snapshot) {
    SendToSubscribers(snapshot, false);
}

void OscServer::SendToSubscribers(const StatusSnapshot& snapshot, bool positions) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    std::erase_if(subscribers_,
                  [&](const Subscriber& s) { return now - s.renewed > kSubscriptionLife; });
    const bool deviceChanged =
        !published_ || snapshot.device != last_.device || snapshot.running != last_.running;
    for (Subscriber& subscriber : subscribers_) {
        const bool all = subscriber.fresh || !published_;
        for (int32_t k = 0; k < kRows; ++k) {
            const ChannelStatus& channel = snapshot.channels[k];
            if (all || StateChanged(channel, last_.channels[k])) {
                socket_->Send(StateMessage(k, channel), subscriber.peer);
            }
        }
        if (all || deviceChanged) socket_->Send(DeviceMessage(snapshot), subscriber.peer);
        for (int32_t k = 0; positions && k < kRows; ++k) {
            const ChannelStatus& channel = snapshot.channels[k];
            if (channel.state == ChannelState::Empty) continue;
            socket_->Send(PositionMessage(k, channel), subscriber.peer);
            socket_->Send(MeterMessage(k, channel), subscriber.peer);
        }
        subscriber.fresh = false;
    }
    last_ = snapshot;
    published_ = true;
}

size_t OscServer::SubscriberCount() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return subscribers_.size();
}

}  // namespace control
