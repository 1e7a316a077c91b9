#include "drivers/JackDriver.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/drivers/JackCapture.h"
#include "tests/drivers/TestHost.h"
#include "tests/support/JackServer.h"

using drivers::JackDriver;
using testhost::DriverPtr;
using testhost::ErrorOf;
using testhost::Host;

namespace {

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

}  // namespace

TEST_F(JackDriverTest, PatternArrivesExactlyThroughTheFloatPorts) {
    EXPECT_EQ(driver_->canSampleRate(44100), ASE_NoClock);  // the server's rate only
    ASIOChannelInfo info = {};
    info.channel = 2;
    ASSERT_EQ(driver_->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "system:playback_3");
    EXPECT_EQ(info.type, ASIOSTInt32LSB);

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
    EXPECT_EQ(driver_->start(), ASE_HWMalfunction);
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

TEST(JackDriver, InitFailsClearlyWithoutAServer) {
    setenv("JACK_DEFAULT_SERVER", ("cantabile-nobody-" + std::to_string(getpid())).c_str(), 1);
    DriverPtr driver(new JackDriver());
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_NE(ErrorOf(driver.get()).find("No JACK server answers"), std::string::npos);
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
    unsetenv("JACK_DEFAULT_SERVER");
}
