// The OSC server driven by a liblo client over UDP on 127.0.0.1, with the
// commands run on a thread of their own against a fake target, as a front
// end runs them.
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <atomic>
#include <thread>

#include "control/CommandQueue.h"
#include "control/OscServer.h"
#include "tests/support/FakeCommandTarget.h"
#include "tests/support/OscClient.h"

using namespace control;
using namespace std::chrono_literals;

namespace {

// A server whose commands go through a queue of `capacity` to a consumer
// thread, which answers with `status` and takes `pause` for each command.
struct Rig {
    explicit Rig(const StatusSnapshot& status = {}, std::chrono::microseconds pause = 0us,
                 size_t capacity = 256)
        : queue(capacity, capacity / 8) {
        target.status = status;
        consumer = std::thread([this, pause] {
            while (!done) {
                (void)queue.Ready().Wait(5);
                while (queue.RunPending(target, 1) == 1) std::this_thread::sleep_for(pause);
            }
        });
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

TEST(OscServer, CommandsReachTheTargetInOrderAndBadOnesAreRefusedWithAReason) {
    StatusSnapshot status;
    status.channels[0] = {ChannelState::Playing, "/x/a.wav", 1.5, 3, -6, false, {}};
    status.device = "Fake card";
    status.running = true;
    Rig rig(status);
    OscClient client(rig.server.Port());
    client.Send("load", "is", 1, "/x/a.wav");
    client.Send("level", "ii", 2, -6);
    client.Send("level", "fd", 2.0f, -6.0);
    client.Send("go", "");
    client.Send("fade", "hfi", int64_t{1}, -20.0f, 1500);
    client.Send("loop", "iT", 12);
    client.Send("loop", "iF", 12);
    // Bad messages are answered at once, commands once they have run.
    Texts got = client.Take(7);
    const std::string hugePath = "/" + std::string(65000, 'a');  // as much as a datagram holds
    const uint8_t bytes[4] = {};
    lo_blob blob = lo_blob_new(sizeof bytes, bytes);
    client.Send("level", "is", 2, "loud");
    client.Send("load", "ii", 1, 2);
    client.Send("play", "f", 13.0f);
    client.Send("play", "b", blob);
    client.Send("load", "is", 1, hugePath.c_str());
    lo_send_from(client.target_, client.server_, LO_TT_IMMEDIATE, "/other/play", "i", 1);
    lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
    lo_bundle_add_message(bundle, "/cantabile/go", lo_message_new());
    lo_send_bundle_from(client.target_, client.server_, bundle);
    client.Send("status", "");
    Texts expected;
    for (const char* name : {"load", "level", "level", "go", "fade", "loop", "loop"})
        expected.push_back("/cantabile/ok " + std::string(name));
    for (const char* reason :
         {"level: DB must be a number, got a string", "load: PATH must be a string",
          "play: K must be a row 1 to 12, got 13",
          "play: argument 1 has the OSC type 'b'; numbers and strings only",
          "load: PATH is longer than 4095 bytes", "unknown address /other/play",
          "bundles are not accepted, send single messages"})
        expected.push_back("/cantabile/error " + std::string(reason));
    expected.push_back("/cantabile/status 1 playing /x/a.wav 1.5 3 -6 0");
    for (int row = 2; row <= kRows; ++row)
        expected.push_back("/cantabile/status " + std::to_string(row) + " empty  0 0 0 0");
    expected.push_back("/cantabile/device Fake card 1");
    expected.push_back("/cantabile/ok status");
    const Texts rest = client.Take(expected.size() - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expected);
    lo_bundle_free_recursive(bundle);
    lo_blob_free(blob);
    rig.Finish();
    EXPECT_EQ(rig.target.calls, (Texts{"load 0 /x/a.wav", "level 1 -6", "level 1 -6", "go",
                                       "fade 0 -20 1500", "loop 11 1", "loop 11 0"}));
}

TEST(OscServer, AFloodIsAnsweredOrRefusedAndStatusStillGetsThrough) {
    // The consumer manages 1000 commands a second: a burst fills its queue,
    // and the OSC thread refuses what does not fit rather than wait.
    Rig rig({}, 1ms, 16);
    OscClient client(rig.server.Port());
    constexpr int kFlood = 200;
    for (int i = 0; i < kFlood; ++i) client.Send("play", "i", i % kRows + 1);
    client.Send("status", "");
    int played = 0, busy = 0, status = 0;
    for (const std::string& reply : client.Take(kFlood + kRows + 2)) {
        played += reply == "/cantabile/ok play";
        busy += reply == "/cantabile/error play: busy, too many commands waiting";
        status += reply.starts_with("/cantabile/status ") || reply == "/cantabile/ok status";
    }
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
    EXPECT_EQ(client.Ask("subscribe"), Texts{"/cantabile/ok subscribe"});
    StatusSnapshot snapshot;
    snapshot.device = "Fake card";
    snapshot.channels[2] = {ChannelState::Playing, "/s/b.wav", 1, 4, -6, true, {0.5f, 0.25f}};
    server.Publish(snapshot);
    Texts got = client.Take(kRows + 3);
    ASSERT_EQ(got.size(), kRows + 3u);
    EXPECT_EQ(got[2], "/cantabile/state 3 playing /s/b.wav -6 1");
    EXPECT_EQ(got[3], "/cantabile/state 4 empty  0 0");
    EXPECT_EQ(Texts(got.end() - 3, got.end()),
              (Texts{"/cantabile/device Fake card 0", "/cantabile/position 3 1 4",
                     "/cantabile/meter 3 0.5 0.25"}));
    // Then only what changed, and with Publish the loaded channels' positions and meters.
    snapshot.channels[2].elapsed = 2;
    snapshot.channels[4] = {ChannelState::Loaded, "/s/c.wav", 0, 2, 0, false, {}};
    server.PublishChanges(snapshot);
    snapshot.running = true;
    server.Publish(snapshot);
    EXPECT_EQ(client.Take(6),
              (Texts{"/cantabile/state 5 loaded /s/c.wav 0 0", "/cantabile/device Fake card 1",
                     "/cantabile/position 3 2 4", "/cantabile/meter 3 0.5 0.25",
                     "/cantabile/position 5 0 2", "/cantabile/meter 5 0 0"}));

    seconds = 60;  // subscribed at 0 s: kept for 60 s, gone after
    server.PublishChanges(snapshot);
    EXPECT_EQ(server.SubscriberCount(), 1u);
    seconds = 61;
    server.PublishChanges(snapshot);
    EXPECT_EQ(server.SubscriberCount(), 0u);

    client.Send("subscribe", "");  // a new subscriber is sent the whole state
    EXPECT_EQ(client.Take(1), Texts{"/cantabile/ok subscribe"});
    server.PublishChanges(snapshot);
    client.Send("unsubscribe", "");
    got = client.Take(kRows + 2);
    EXPECT_EQ(got.size(), kRows + 2u);
    EXPECT_EQ(got.back(), "/cantabile/ok unsubscribe");
    EXPECT_EQ(server.SubscriberCount(), 0u);
}

}  // namespace
