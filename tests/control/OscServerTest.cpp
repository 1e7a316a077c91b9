// The OSC server driven by a liblo client over UDP on 127.0.0.1, with the
// commands run on a thread of their own against a fake target, as a front
// end runs them.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <sys/socket.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "control/CommandQueue.h"
#include "control/OscServer.h"
#include "tests/support/FakeCommandTarget.h"

using namespace control;
using namespace std::chrono_literals;

namespace {

template <typename... Args>
lo_message Msg(const char* types, Args... args) {
    lo_message message = lo_message_new();
    lo_message_add(message, types, args...);
    return message;
}

// Sends from its own port and records what comes back there as text:
// "/cantabile/ok level", "/cantabile/status 3 playing /a.wav 1.5 ...".
class OscClient {
  public:
    explicit OscClient(int port)
        : server_(lo_server_new_with_proto(nullptr, LO_UDP, nullptr)),
          target_(lo_address_new("127.0.0.1", std::to_string(port).c_str())) {
        lo_server_add_method(server_, nullptr, nullptr, &OscClient::Record, this);
        const int bytes = 1 << 20;  // room for every reply a window can bring
        setsockopt(lo_server_get_socket_fd(server_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    ~OscClient() {
        lo_address_free(target_);
        lo_server_free(server_);
    }
    void Send(const char* path, lo_message message) {
        lo_send_message_from(target_, server_, path, message);
        lo_message_free(message);
    }
    void SendBundle(lo_bundle bundle) {
        lo_send_bundle_from(target_, server_, bundle);
        lo_bundle_free_recursive(bundle);
    }
    // Receives what has come, waiting up to ms for the first.
    void Wait(int ms) {
        while (lo_server_recv_noblock(server_, ms) > 0) ms = 0;
    }
    // Replies so far that end an answer (ok or error).
    int Answered() const { return answered_; }
    // What has come, once `count` messages have (or 10 s have passed).
    std::vector<std::string> Take(size_t count) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (got_.size() < count && std::chrono::steady_clock::now() < end) {
            lo_server_recv_noblock(server_, 10);
        }
        return std::exchange(got_, {});
    }

  private:
    static int Record(const char* path, const char* types, lo_arg** argv, int argc, lo_message,
                      void* self) {
        std::string text = path;
        for (int i = 0; i < argc; ++i) {
            char value[64];
            std::snprintf(value, sizeof value, "%g", types[i] == 'i' ? argv[i]->i : argv[i]->f);
            text += " " + std::string(types[i] == 's' ? &argv[i]->s : value);
        }
        auto* client = static_cast<OscClient*>(self);
        client->answered_ +=
            text.starts_with("/cantabile/ok") || text.starts_with("/cantabile/error");
        client->got_.push_back(text);
        return 0;
    }
    lo_server server_;
    lo_address target_;
    std::vector<std::string> got_;
    int answered_ = 0;
};

// A server whose commands go through a queue of `capacity` to a consumer
// thread, which takes `pause` for each one.
struct Rig {
    explicit Rig(std::chrono::microseconds pause = 0us, size_t capacity = 256)
        : queue(capacity, capacity / 8), consumer([this, pause] {
              while (!done) {
                  (void)queue.Ready().Wait(5);
                  while (queue.RunPending(target, 1) == 1) std::this_thread::sleep_for(pause);
              }
          }) {
        std::string error;
        EXPECT_TRUE(server.Start(0, kDefaultOscAddress, &error)) << error;
    }
    ~Rig() { Finish(); }
    // Ends the consumer: only then may the test read the target.
    void Finish() {
        done = true;
        if (consumer.joinable()) consumer.join();
    }

    FakeCommandTarget target;
    CommandQueue queue;
    OscServer server{[this](Request&& request) { return queue.Push(std::move(request)); }};
    std::atomic<bool> done{false};
    std::thread consumer;
};

TEST(OscServer, CommandsReachTheTargetInOrderAndEachIsAnswered) {
    Rig rig;
    rig.target.status.channels[0] = {ChannelState::Playing, "/x/a.wav", 1.5, 3, -6, false, {}};
    rig.target.status.device = "Fake card";
    rig.target.status.running = true;
    OscClient client(rig.server.Port());
    client.Send("/cantabile/load", Msg("is", 1, "/x/a.wav"));
    client.Send("/cantabile/level", Msg("ii", 2, -6));
    client.Send("/cantabile/level", Msg("fd", 2.0f, -6.0));
    client.Send("/cantabile/go", Msg(""));
    client.Send("/cantabile/fade", Msg("hfi", int64_t{1}, -20.0f, 1500));
    client.Send("/cantabile/loop", Msg("iT", 12));
    client.Send("/cantabile/status", Msg(""));
    const std::vector<std::string> got = client.Take(20);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 7),
              (std::vector<std::string>{"/cantabile/ok load", "/cantabile/ok level",
                                        "/cantabile/ok level", "/cantabile/ok go",
                                        "/cantabile/ok fade", "/cantabile/ok loop",
                                        "/cantabile/status 1 playing /x/a.wav 1.5 3 -6 0"}));
    EXPECT_EQ(got[17], "/cantabile/status 12 empty  0 0 0 0");
    EXPECT_EQ(got[18], "/cantabile/device Fake card 1");
    EXPECT_EQ(got[19], "/cantabile/ok status");
    rig.Finish();
    EXPECT_EQ(rig.target.calls,
              (std::vector<std::string>{"load 0 /x/a.wav", "level 1 -6", "level 1 -6", "go",
                                        "fade 0 -20 1500", "loop 11 1"}));
}

TEST(OscServer, BadMessagesAreRefusedWithAReasonAndChangeNothing) {
    Rig rig;
    OscClient client(rig.server.Port());
    const std::string hugePath = "/" + std::string(65000, 'a');  // as much as a datagram holds
    uint8_t bytes[4] = {};
    lo_blob blob = lo_blob_new(sizeof bytes, bytes);
    const struct {
        const char* path;
        lo_message message;
        const char* reason;
    } cases[] = {
        {"/cantabile/jump", Msg("i", 1), "unknown command 'jump'"},
        {"/other/play", Msg("i", 1), "unknown address /other/play"},
        {"/cantabile/level", Msg("is", 2, "loud"), "level: DB must be a number, got a string"},
        {"/cantabile/load", Msg("ii", 1, 2), "load: PATH must be a string"},
        {"/cantabile/level", Msg("i", 2), "level: expected 'level K DB', got 1 argument"},
        {"/cantabile/play", Msg("i", 0), "play: K must be a row 1 to 12, got 0"},
        {"/cantabile/play", Msg("f", 13.0f), "play: K must be a row 1 to 12, got 13"},
        {"/cantabile/play", Msg("b", blob), "play: argument 1 has the OSC type 'b'"},
        {"/cantabile/level", Msg("if", 1, std::nanf("")), "level: DB must be a finite number"},
        {"/cantabile/load", Msg("is", 1, hugePath.c_str()), "load: PATH is longer than 4095 bytes"},
    };
    for (const auto& c : cases) {
        client.Send(c.path, c.message);
        const std::vector<std::string> got = client.Take(1);
        ASSERT_EQ(got.size(), 1u) << c.path;
        EXPECT_EQ(got[0].find(std::string("/cantabile/error ") + c.reason), 0u) << got[0];
    }
    lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
    lo_bundle_add_message(bundle, "/cantabile/go", Msg(""));
    client.SendBundle(bundle);
    EXPECT_EQ(client.Take(1),
              std::vector<std::string>{
                  "/cantabile/error bundles are not accepted, send single messages"});
    lo_blob_free(blob);
    rig.Finish();
    EXPECT_TRUE(rig.target.calls.empty());
}

TEST(OscServer, AFloodIsAnsweredOrRefusedAndStatusStillGetsThrough) {
    // The consumer manages 2000 commands a second, so 10,000 in a second fill
    // its queue. The client keeps at most kWindow unanswered, as the kernel's
    // socket buffers drop what does not fit; the queue is smaller than that.
    Rig rig(500us, 48);
    OscClient client(rig.server.Port());
    constexpr int kFlood = 10000, kWindow = 128;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFlood;) {
        if (i - client.Answered() >= kWindow) {
            client.Wait(1);
            continue;
        }
        if (i == kFlood / 2) client.Send("/cantabile/status", Msg(""));
        client.Send("/cantabile/play", Msg("i", i % kRows + 1));
        if (++i % 10 == 0) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(i / 10));
            client.Wait(0);
        }
    }
    std::vector<std::string> got = client.Take(kFlood + 14);
    int played = 0, busy = 0, status = 0;
    for (const std::string& reply : got) {
        played += reply == "/cantabile/ok play";
        busy += reply == "/cantabile/error play: busy, too many commands waiting";
        status += reply.starts_with("/cantabile/status ") || reply == "/cantabile/ok status";
    }
    std::printf("flood: %d messages in %lld ms, %d run, %d refused as busy\n", kFlood,
                static_cast<long long>((std::chrono::steady_clock::now() - start) / 1ms), played,
                busy);
    EXPECT_EQ(played + busy, kFlood);
    EXPECT_GT(busy, 0);
    EXPECT_EQ(status, kRows + 1);
    rig.Finish();
    EXPECT_EQ(rig.target.calls.size(), static_cast<size_t>(played));
}

TEST(OscServer, SubscribersGetChangesPositionsAndMetersUntilTheyLapse) {
    std::atomic<int> seconds{0};
    OscServer server([](Request&&) { return true; },
                     [&] { return OscServer::Clock::time_point(std::chrono::seconds(seconds)); });
    std::string error;
    ASSERT_TRUE(server.Start(0, kDefaultOscAddress, &error)) << error;
    OscClient client(server.Port());
    // The reply to a renewal marks the end of what was published before it.
    auto renewThenTake = [&] {
        client.Send("/cantabile/subscribe", Msg(""));
        std::vector<std::string> got;
        while (got.empty() || got.back() != "/cantabile/ok subscribe") {
            const std::vector<std::string> more = client.Take(1);
            if (more.empty()) break;
            got.insert(got.end(), more.begin(), more.end());
        }
        got.pop_back();
        return got;
    };
    EXPECT_TRUE(renewThenTake().empty());
    StatusSnapshot snapshot;
    snapshot.device = "Fake card";
    snapshot.channels[2] = {ChannelState::Playing, "/s/b.wav", 1, 4, -6, true, {0.5f, 0.25f}};
    server.Publish(snapshot);
    std::vector<std::string> got = renewThenTake();
    ASSERT_EQ(got.size(), kRows + 3u);
    EXPECT_EQ(got[2], "/cantabile/state 3 playing /s/b.wav -6 1");
    EXPECT_EQ(got[3], "/cantabile/state 4 empty  0 0");
    EXPECT_EQ(
        std::vector<std::string>(got.end() - 3, got.end()),
        (std::vector<std::string>{"/cantabile/device Fake card 0", "/cantabile/position 3 1 4",
                                  "/cantabile/meter 3 0.5 0.25"}));

    snapshot.channels[2].elapsed = 2;
    snapshot.channels[4] = {ChannelState::Loaded, "/s/c.wav", 0, 2, 0, false, {}};
    server.PublishChanges(snapshot);
    EXPECT_EQ(renewThenTake(), std::vector<std::string>{"/cantabile/state 5 loaded /s/c.wav 0 0"});
    snapshot.running = true;
    server.Publish(snapshot);
    EXPECT_EQ(renewThenTake(),
              (std::vector<std::string>{"/cantabile/device Fake card 1",
                                        "/cantabile/position 3 2 4", "/cantabile/meter 3 0.5 0.25",
                                        "/cantabile/position 5 0 2", "/cantabile/meter 5 0 0"}));

    seconds = 60;  // renewed at 0: still there at 60 s, gone after
    server.PublishChanges(snapshot);
    EXPECT_EQ(server.SubscriberCount(), 1u);
    seconds = 61;
    server.PublishChanges(snapshot);
    EXPECT_EQ(server.SubscriberCount(), 0u);

    EXPECT_TRUE(renewThenTake().empty());  // a new subscriber is sent the whole state
    server.PublishChanges(snapshot);
    EXPECT_EQ(renewThenTake().size(), kRows + 1u);
    client.Send("/cantabile/unsubscribe", Msg(""));
    EXPECT_EQ(client.Take(1), std::vector<std::string>{"/cantabile/ok unsubscribe"});
    EXPECT_EQ(server.SubscriberCount(), 0u);
}

TEST(OscServer, StartRefusesWhatItCannotBind) {
    OscServer first([](Request&&) { return true; });
    OscServer second([](Request&&) { return true; });
    std::string error;
    ASSERT_TRUE(first.Start(0, kDefaultOscAddress, &error));
    const struct {
        int port;
        const char* address;
        const char* reason;
    } cases[] = {
        {first.Port(), kDefaultOscAddress, "Address already in use"},
        {70000, kDefaultOscAddress, "is not 0 to 65535"},
        {0, "localhost.invalid", "OSC address 'localhost.invalid'"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(second.Start(c.port, c.address, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(second.Port(), 0);
    }
}

}  // namespace
