// The JACK driver against a private server on the dummy backend, alone and
// under the whole program, heard through a capture client of the test's own.
#include "drivers/JackDriver.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/drivers/TestHost.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/JackServer.h"
#include "tests/support/RtGuard.h"
#include "tests/support/TempDir.h"

using drivers::JackDriver;
using testhost::DriverPtr;
using testhost::ErrorOf;
using testhost::Host;

namespace {

// A JACK client of the test's own that captures the given output ports, one
// input each, until its buffers are full, and counts the server's xruns
// meanwhile (each may cost the capture a period).
class JackCapture {
  public:
    explicit JackCapture(size_t capacity) : capacity_(capacity) {}
    ~JackCapture() {
        if (client_ != nullptr) jack_client_close(client_);
    }

    // Registers `ports` inputs and activates the client. Activated before
    // the player's client, the capture runs after it in every cycle.
    bool Open(size_t ports) {
        jack_status_t status;
        client_ = jack_client_open("capture", JackNoStartServer, &status);
        if (client_ == nullptr) return false;
        for (size_t c = 0; c < ports; ++c) {
            const std::string name = "in_" + std::to_string(c + 1);
            ports_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsInput, 0));
            if (ports_.back() == nullptr) return false;
            data_.emplace_back(capacity_, 0.0f);
        }
        jack_set_process_callback(client_, &JackCapture::OnProcess, this);
        jack_set_xrun_callback(client_, &JackCapture::OnXrun, this);
        return jack_activate(client_) == 0;
    }

    // Connects source k to input k and waits until the server has published
    // the connections (it does so with its next graph).
    bool Connect(const std::vector<std::string>& sources) {
        for (size_t c = 0; c < sources.size() && c < ports_.size(); ++c)
            if (jack_connect(client_, sources[c].c_str(), jack_port_name(ports_[c])) != 0)
                return false;
        const auto start = std::chrono::steady_clock::now();
        for (size_t c = 0; c < sources.size() && c < ports_.size(); ++c) {
            while (jack_port_connected(ports_[c]) == 0) {
                if (std::chrono::steady_clock::now() - start > std::chrono::seconds(3))
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return true;
    }

    // The ports `port` is connected to, as the server sees it.
    std::vector<std::string> ConnectionsOf(const char* port) const {
        std::vector<std::string> names;
        const char** list =
            jack_port_get_all_connections(client_, jack_port_by_name(client_, port));
        for (int i = 0; list != nullptr && list[i] != nullptr; ++i) names.emplace_back(list[i]);
        jack_free(list);
        return names;
    }

    size_t Capacity() const { return capacity_; }
    size_t Frames() const { return frames_.load(std::memory_order_acquire); }
    uint32_t Xruns() const { return xruns_.load(std::memory_order_acquire); }
    float At(size_t port, size_t frame) const { return data_[port][frame]; }

  private:
    static int OnProcess(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackCapture*>(arg);
        const size_t at = self->frames_.load(std::memory_order_relaxed);
        const size_t n = std::min<size_t>(frames, self->capacity_ - at);
        for (size_t c = 0; c < self->ports_.size() && n > 0; ++c) {
            const auto* in =
                static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
            std::memcpy(&self->data_[c][at], in, n * sizeof(float));
        }
        self->frames_.store(at + n, std::memory_order_release);
        return 0;
    }

    static int OnXrun(void* arg) {
        auto* self = static_cast<JackCapture*>(arg);
        if (self->Frames() < self->capacity_) self->xruns_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }

    const size_t capacity_;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    std::vector<std::vector<float>> data_;
    std::atomic<size_t> frames_{0};   // written by the process thread
    std::atomic<uint32_t> xruns_{0};  // written by the notification thread
};

int64_t ElapsedMs(int64_t sinceNs) {
    return (testhost::NowNs() - sinceNs) / 1000000;
}

class JackDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string jackd = JackServer::FindJackd();
        if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        server_ = std::make_unique<JackServer>(
            jackd, JackServer::NameFor(info->test_suite_name(), info->name()));
        ASSERT_TRUE(server_->Start()) << "the test's JACK server did not answer";
        driver_.reset(new JackDriver());
        ASSERT_EQ(driver_->init(nullptr), ASIOTrue);
    }

    std::unique_ptr<JackServer> server_;
    DriverPtr driver_;
};

TEST_F(JackDriverTest, PatternArrivesExactlyThroughTheFloatPorts) {
    JackCapture capture(48000 * 3);
    ASSERT_TRUE(capture.Open(24));
    Host host;
    ASSERT_EQ(host.CreateBuffers(driver_.get(), 24, 256, ASIOSTInt32LSB), ASE_OK);
    std::vector<std::string> ports;
    for (int c = 1; c <= 24; ++c) ports.push_back("Cantabile:out_" + std::to_string(c));
    ASSERT_TRUE(capture.Connect(ports));
    // Besides the capture, each output goes to its playback port.
    const int64_t opened = testhost::NowNs();
    while (capture.ConnectionsOf("Cantabile:out_24").size() < 2 && ElapsedMs(opened) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> peers = capture.ConnectionsOf("Cantabile:out_24");
    std::sort(peers.begin(), peers.end());
    EXPECT_EQ(peers, (std::vector<std::string>{"capture:in_24", "system:playback_24"}));

    ASSERT_EQ(driver_->start(), ASE_OK);
    const int64_t begin = testhost::NowNs();
    while (host.periods.load() < 150 && ElapsedMs(begin) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(driver_->stop(), ASE_OK);
    const int64_t played = host.periods.load();
    ASSERT_GE(played, 150);
    EXPECT_EQ(host.wrongHalves.load(), 0);
    // Let the capture take the cycle that was under way at stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t frames = capture.Frames();

    // Silence until the first switch, which starts on a period boundary.
    size_t first = 0;
    while (first < frames && capture.At(0, first) == 0.0f) ++first;
    ASSERT_LT(first, frames);
    EXPECT_EQ(first % 256, 0u);
    // Every period heard is one the host wrote, in order. A client that
    // misses a cycle on a loaded machine loses that period, and the server
    // counts it as an xrun; a gap without an xrun is a fault.
    auto periodAt = [&](size_t at) {
        const auto value =
            static_cast<int64_t>(static_cast<double>(capture.At(0, at)) * 2147483648.0);
        return ((value >> 8) - (1 << 18)) / 256;
    };
    const int64_t heard = periodAt(first);
    ASSERT_GE(heard, 0);
    EXPECT_LT(heard, 50) << "the capture missed the start";
    int64_t matched = 0, lost = 0, expected = heard;
    size_t at = first;
    for (; at + 256 <= frames && capture.At(0, at) != 0.0f; at += 256, ++matched) {
        const int64_t n = periodAt(at);
        ASSERT_GE(n, expected) << "a period came twice or out of order at frame " << at;
        lost += n - expected;
        for (int32_t f = 0; f < 256; ++f)
            for (size_t c = 0; c < 24; ++c)
                ASSERT_EQ(
                    static_cast<double>(capture.At(c, at + static_cast<size_t>(f))) * 2147483648.0,
                    static_cast<double>(testhost::Pattern32(static_cast<int32_t>(c), n, f)))
                    << "period " << n << " frame " << f << " channel " << c;
        expected = n + 1;
    }
    EXPECT_LE(lost, static_cast<int64_t>(capture.Xruns())) << "periods lost without an xrun";
    EXPECT_EQ(expected, played) << "the last periods never arrived";
    EXPECT_EQ(matched + lost, played - heard);
    for (size_t f = at; f < frames; ++f) ASSERT_EQ(capture.At(5, f), 0.0f) << "sound after stop";
    EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(JackDriverTest, ServerDeathMidPlayStopsTheSwitchesWithoutAHang) {
    Host host;
    ASSERT_EQ(host.CreateBuffers(driver_.get(), 24, 256, ASIOSTInt32LSB), ASE_OK);
    ASSERT_EQ(driver_->start(), ASE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_GT(host.periods.load(), 10);

    server_->Kill(SIGKILL);
    const int64_t killed = testhost::NowNs();
    auto* jack = static_cast<JackDriver*>(driver_.get());
    while (!jack->ServerGone() && ElapsedMs(killed) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(jack->ServerGone());
    EXPECT_EQ(host.resetRequests.load(), 1);  // the host is told, once
    EXPECT_EQ(ErrorOf(driver_.get()), "the JACK server went away");
    const int64_t afterDeath = host.periods.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host.periods.load(), afterDeath);

    const int64_t begin = testhost::NowNs();
    driver_->stop();
    EXPECT_EQ(driver_->start(), -999);  // ASE_HWMalfunction, as published
    driver_->disposeBuffers();
    driver_.reset();
    EXPECT_LT(ElapsedMs(begin), 2000);
}

// A host whose switch is held up longer than stop's patience: stop must not
// return while the callback is still inside the host, which frees what the
// callback uses as soon as stop returns.
std::atomic<bool> gHoldSwitch{false};
std::atomic<bool> gInsideSwitch{false};

void HeldSwitch(int32_t, ASIOBool) {
    if (!gHoldSwitch.exchange(false)) return;
    gInsideSwitch = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    gInsideSwitch = false;
}

TEST_F(JackDriverTest, StopWaitsForACallbackThatIsStillInsideTheHost) {
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{HeldSwitch, nullptr, nullptr, nullptr};
    ASSERT_EQ(driver_->createBuffers(infos, 2, 256, &callbacks), ASE_OK);
    gHoldSwitch = true;
    ASSERT_EQ(driver_->start(), ASE_OK);
    const int64_t begin = testhost::NowNs();
    while (!gInsideSwitch && ElapsedMs(begin) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(gInsideSwitch);
    driver_->stop();
    EXPECT_FALSE(gInsideSwitch);
}

using e2e::Frame;
using e2e::TestFile;

constexpr int32_t kJack = 0;

// The first difference between capture ports `port` and `port + 1` from
// frame `from` on and `want` followed by silence; empty when there is none.
// A port carries a 32-bit sample over 2^31, exact in a float for 16 bits << 16.
std::string Compare(const JackCapture& capture, size_t port, size_t from,
                    const std::vector<Frame>& want) {
    for (size_t i = 0; from + i < capture.Capacity(); ++i) {
        const Frame w = i < want.size() ? want[i] : Frame{0, 0};
        const float l = capture.At(port, from + i), r = capture.At(port + 1, from + i);
        if (double{l} * 2147483648.0 != w.left || double{r} * 2147483648.0 != w.right)
            return "output frame " + std::to_string(i) + ": got " + std::to_string(l) + "/" +
                   std::to_string(r) + ", want " + std::to_string(w.left) + "/" +
                   std::to_string(w.right);
    }
    return {};
}

size_t FirstSound(const JackCapture& capture, size_t port) {
    size_t at = 0;
    while (at < capture.Frames() && capture.At(port, at) == 0.0f) ++at;
    return at;
}

// Channel 0 plays a second to its end; channel 5 a ten-second half-rate mono
// file that still plays when the capture is full. Both begin in one period
// with their first frames. Returns the first difference, empty when the
// capture is exact; `xruns` gets the server's xruns meanwhile.
std::string PlayAndCapture(const std::string& jackd, uint32_t* xruns) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    const TestFile shortFile{1, 2, 48000, 48000, {}};
    const TestFile longFile{6, 1, 24000, 240000, {}};
    EXPECT_TRUE(WriteBytes(dir.File("short.wav"), e2e::MakeFile(shortFile)));
    EXPECT_TRUE(WriteBytes(dir.File("long.wav"), e2e::MakeFile(longFile)));

    JackServer server(jackd, JackServer::NameFor("EndToEndJack", "TwoFiles"), 48000, 1024);
    if (!server.Start()) return "the test's JACK server did not answer";
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    // An early return must not leave the mixer pointing at a dead source.
    struct SourceReset {
        ~SourceReset() { ASIOSetDriverSource(nullptr); }
    } sourceReset;
    JackCapture capture(48000 * 2);
    if (!capture.Open(4)) return "the capture did not open";
    {
        int hwnd = 0;
        Sarabande engine(kJack, nullptr);
        if (engine.Init(&hwnd, nullptr, dir.path().c_str()) != 0 ||
            engine.LoadFile(0, dir.File("short.wav").c_str()) != 0 ||
            engine.LoadFile(5, dir.File("long.wav").c_str()) != 5 ||
            !capture.Connect(
                {"Cantabile:out_1", "Cantabile:out_2", "Cantabile:out_11", "Cantabile:out_12"}) ||
            engine.PlayChannel(0) != 0 || engine.PlayChannel(5) != 0)
            return "the engine or the capture did not start";
        const uint64_t marked = rtguard::MarkedSwitches();
        if (!ASIOStartPlay()) return "ASIOStartPlay failed";
        const int64_t start = testhost::NowNs();
        while ((engine.ChannelState(0) != CHANNEL_TERMINATED ||
                capture.Frames() < capture.Capacity()) &&
               ElapsedMs(start) < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(engine.ChannelState(0), CHANNEL_TERMINATED);
        EXPECT_EQ(engine.ChannelState(5), CHANNEL_PLAYING);
        if (capture.Frames() < capture.Capacity()) return "the server stalled";
        // In the real-time guard build every switch of this play ran under it.
        EXPECT_TRUE(!rtguard::Enabled() || rtguard::MarkedSwitches() > marked);
        ASIOStopPlay();
        engine.Close();
    }
    *xruns = capture.Xruns();
    const size_t first = FirstSound(capture, 0);
    if (first == capture.Capacity()) return "channel 0 is silent";
    if (FirstSound(capture, 2) != first) return "channel 5 does not start with channel 0";
    const std::vector<Frame> wantShort = e2e::ExpectedOutput(shortFile, 48000);
    if (first + wantShort.size() > capture.Capacity()) return "channel 0 started too late";
    std::string problem = Compare(capture, 0, first, wantShort);
    if (!problem.empty()) return "channel 0 " + problem;
    problem = Compare(capture, 2, first, e2e::ExpectedOutput(longFile, 48000));
    return problem.empty() ? problem : "channel 5 " + problem;
}

TEST(EndToEndJack, TwoFilesComeBackExactlyFromTheSamePeriod) {
    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
    // Only the capture listens: the dummy's playback ports are not needed.
    setenv("CANTABILE_JACK_CONNECT", "none", 1);
    // Without real-time scheduling a loaded machine can make a client miss
    // even a long cycle; the server reports an xrun and that period is lost to
    // the capture. Such a run proves nothing about the player and is repeated;
    // a difference in a run without xruns is a fault.
    std::string problems;
    for (int n = 1; n <= 5; ++n) {
        uint32_t xruns = 0;
        const std::string problem = PlayAndCapture(jackd, &xruns);
        if (HasFailure() || problem.empty()) break;
        if (xruns == 0) {
            ADD_FAILURE() << problem;
            break;
        }
        problems += "\n" + std::to_string(xruns) + " xruns: " + problem;
        std::printf("run %d lost periods to %u xruns, again\n", n, xruns);
        if (n == 5) ADD_FAILURE() << "every run had xruns:" << problems;
    }
    unsetenv("CANTABILE_JACK_CONNECT");
}

}  // namespace
