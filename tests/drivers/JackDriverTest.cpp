#include "drivers/JackDriver.h"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/drivers/TestHost.h"
#include "tests/support/JackServer.h"

using drivers::JackDriver;
using testhost::Host;

namespace {

int64_t ElapsedMs(int64_t sinceNs) {
    return (testhost::NowNs() - sinceNs) / 1000000;
}

// A second client that captures whatever arrives at its 24 inputs.
class Recorder {
  public:
    static constexpr size_t kCapacity = 48000 * 3;

    bool Open() {
        jack_status_t status;
        client_ = jack_client_open("recorder", JackNoStartServer, &status);
        if (client_ == nullptr) {
            return false;
        }
        for (int c = 0; c < 24; ++c) {
            const std::string name = "in_" + std::to_string(c + 1);
            in_[c] = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsInput, 0);
            data_[c].assign(kCapacity, 0.0f);
        }
        jack_set_process_callback(client_, &Recorder::OnProcess, this);
        jack_set_xrun_callback(client_, &Recorder::OnXrun, this);
        return jack_activate(client_) == 0;
    }

    bool ConnectFrom(const char* client) {
        for (int c = 0; c < 24; ++c) {
            const std::string from = std::string(client) + ":out_" + std::to_string(c + 1);
            if (jack_connect(client_, from.c_str(), jack_port_name(in_[c])) != 0) {
                return false;
            }
        }
        return true;
    }

    // The ports our output port is connected to, as the server sees it.
    std::vector<std::string> ConnectionsOf(const char* port) {
        std::vector<std::string> names;
        const char** list =
            jack_port_get_all_connections(client_, jack_port_by_name(client_, port));
        for (int i = 0; list != nullptr && list[i] != nullptr; ++i) {
            names.emplace_back(list[i]);
        }
        jack_free(list);
        return names;
    }

    size_t Frames() const { return frames_.load(std::memory_order_acquire); }
    // The server's xruns since the recorder opened: each may cost a period.
    uint32_t Xruns() const { return xruns_.load(std::memory_order_acquire); }
    float At(int channel, size_t frame) const { return data_[channel][frame]; }

    void Close() {
        if (client_ != nullptr) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~Recorder() { Close(); }

  private:
    static int OnProcess(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Recorder*>(arg);
        const size_t at = self->frames_.load(std::memory_order_relaxed);
        if (at + frames > kCapacity) {
            return 0;
        }
        for (int c = 0; c < 24; ++c) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->in_[c], frames));
            std::memcpy(&self->data_[c][at], in, frames * sizeof(float));
        }
        self->frames_.store(at + frames, std::memory_order_release);
        return 0;
    }

    static int OnXrun(void* arg) {
        static_cast<Recorder*>(arg)->xruns_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::atomic<uint32_t> xruns_{0};
    jack_port_t* in_[24] = {};
    std::vector<float> data_[24];
    std::atomic<size_t> frames_{0};
};

struct DriverDeleter {
    void operator()(IASIO* driver) const { driver->Release(); }
};

class JackDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string jackd = JackServer::FindJackd();
        if (jackd.empty()) {
            GTEST_SKIP() << "jackd is not installed";
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        server_ = std::make_unique<JackServer>(
            jackd, JackServer::NameFor(info->test_suite_name(), info->name()));
        ASSERT_TRUE(server_->Start()) << "the test's JACK server did not answer";
    }

    std::unique_ptr<JackServer> server_;
};

}  // namespace

TEST_F(JackDriverTest, PatternArrivesExactlyThroughTheFloatPorts) {
    Recorder recorder;
    ASSERT_TRUE(recorder.Open());
    std::unique_ptr<IASIO, DriverDeleter> driver(new JackDriver());
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);

    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 256);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(driver->canSampleRate(44100), ASE_NoClock);
    ASIOChannelInfo info = {};
    info.channel = 2;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "system:playback_3");
    EXPECT_EQ(info.type, ASIOSTInt32LSB);

    Host host;
    ASSERT_EQ(host.CreateBuffers(driver.get(), 24, 256, ASIOSTInt32LSB), ASE_OK);
    // Other clients see a new connection once the server has published the graph.
    const int64_t created = testhost::NowNs();
    while (recorder.ConnectionsOf("Cantabile:out_24").empty() && ElapsedMs(created) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(recorder.ConnectionsOf("Cantabile:out_24"),
              std::vector<std::string>{"system:playback_24"});
    ASSERT_TRUE(recorder.ConnectFrom("Cantabile"));
    while (recorder.ConnectionsOf("Cantabile:out_24").size() < 2 && ElapsedMs(created) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(driver->start(), ASE_OK);
    const int64_t begin = testhost::NowNs();
    while (host.periods.load() < 150 && ElapsedMs(begin) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(driver->stop(), ASE_OK);
    const int64_t played = host.periods.load();
    ASSERT_GE(played, 150);
    EXPECT_EQ(host.wrongHalves.load(), 0);
    // Let the recorder take the cycle that was under way at stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t frames = recorder.Frames();

    // Silence until the first switch, which starts on a period boundary.
    size_t first = 0;
    while (first < frames && recorder.At(0, first) == 0.0f) {
        ++first;
    }
    ASSERT_LT(first, frames);
    EXPECT_EQ(first % 256, 0u);
    // Every period heard is one the host wrote, in order. A client that
    // misses a cycle on a loaded machine loses that period, and the server
    // counts it as an xrun; a gap without an xrun is a fault.
    auto periodAt = [&](size_t at) {
        const auto value =
            static_cast<int64_t>(static_cast<double>(recorder.At(0, at)) * 2147483648.0);
        return ((value >> 8) - (1 << 18)) / 256;
    };
    const int64_t heard = periodAt(first);
    ASSERT_GE(heard, 0);
    ASSERT_LT(heard, played);
    EXPECT_LT(heard, 50) << "the recorder missed the start";
    int64_t matched = 0;
    int64_t lost = 0;
    int64_t expected = heard;
    size_t at = first;
    for (; at + 256 <= frames && recorder.At(0, at) != 0.0f; at += 256, ++matched) {
        const int64_t n = periodAt(at);
        ASSERT_GE(n, expected) << "a period came twice or out of order at frame " << at;
        lost += n - expected;
        for (int32_t f = 0; f < 256; ++f) {
            for (int c = 0; c < 24; ++c) {
                const double back =
                    static_cast<double>(recorder.At(c, at + static_cast<size_t>(f))) * 2147483648.0;
                ASSERT_EQ(back, static_cast<double>(testhost::Pattern32(c, n, f)))
                    << "period " << n << " frame " << f << " channel " << c;
            }
        }
        expected = n + 1;
    }
    EXPECT_LE(lost, static_cast<int64_t>(recorder.Xruns())) << "periods lost without an xrun";
    EXPECT_EQ(expected, played) << "the last periods never arrived";
    EXPECT_EQ(matched + lost, played - heard);
    // Nothing but silence after stop.
    for (size_t f = at; f < frames; ++f) {
        ASSERT_EQ(recorder.At(5, f), 0.0f) << f;
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST_F(JackDriverTest, ServerDeathMidPlayStopsTheSwitchesWithoutAHang) {
    std::unique_ptr<IASIO, DriverDeleter> driver(new JackDriver());
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    Host host;
    ASSERT_EQ(host.CreateBuffers(driver.get(), 24, 256, ASIOSTInt32LSB), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_GT(host.periods.load(), 10);

    server_->Kill(SIGKILL);
    const int64_t killed = testhost::NowNs();
    auto* jack = static_cast<JackDriver*>(driver.get());
    while (!jack->ServerGone() && ElapsedMs(killed) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(jack->ServerGone());
    EXPECT_EQ(host.resetRequests.load(), 1);  // the host is told, once
    char text[kAsioTextBytes] = {};
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "the JACK server went away");
    const int64_t afterDeath = host.periods.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host.periods.load(), afterDeath);

    int64_t begin = testhost::NowNs();
    driver->stop();
    EXPECT_LT(ElapsedMs(begin), 500);
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    begin = testhost::NowNs();
    driver->disposeBuffers();
    EXPECT_LT(ElapsedMs(begin), 500);
    begin = testhost::NowNs();
    driver.reset();
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
    std::unique_ptr<IASIO, DriverDeleter> driver(new JackDriver());
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{HeldSwitch, nullptr, nullptr, nullptr};
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_OK);
    gHoldSwitch = true;
    ASSERT_EQ(driver->start(), ASE_OK);
    const int64_t begin = testhost::NowNs();
    while (!gInsideSwitch && ElapsedMs(begin) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(gInsideSwitch);
    driver->stop();
    EXPECT_FALSE(gInsideSwitch);
}

TEST(JackDriver, InitFailsClearlyWithoutAServer) {
    setenv("JACK_DEFAULT_SERVER", ("cantabile-nobody-" + std::to_string(getpid())).c_str(), 1);
    std::unique_ptr<IASIO, DriverDeleter> driver(new JackDriver());
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char text[kAsioTextBytes] = {};
    driver->getErrorMessage(text);
    EXPECT_NE(std::string(text).find("No JACK server answers"), std::string::npos) << text;
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
    unsetenv("JACK_DEFAULT_SERVER");
}
