// A card that fails at each step of being opened, a card the output stage
// cannot use, a card that stops switching and a JACK server that dies and
// comes back: the engine refuses or goes on, says so, and never crashes or
// hangs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "drivers/BuiltinDrivers.h"
#include "tests/support/EngineRig.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/JackServer.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Each way a card can fail while being opened: Init reports it (or goes on
// without a device), loads are refused with their reason, and Close is quick.
struct OpenFault {
    const char* name;
    void (*apply)(EngineRig&);
    int32_t init;        // Init's result
    int32_t channel;     // loaded next
    int32_t load;        // the load's result
    const char* reason;  // GetLoadError after it
    bool bStartWorks;    // ASIOStartPlay succeeds
};

constexpr int32_t kFailed = SARABANDE_INIT_FAILED;
constexpr int32_t kRefused = SARABANDE_BUILD_FAILED;
const char* const kNoDevice = "no device is open";

const OpenFault kOpenFaults[] = {
    {"InitFails", [](EngineRig& r) { r.driver.initResult = false; }, kFailed, 0, kRefused,
     kNoDevice, false},
    {"StartFails", [](EngineRig& r) { r.driver.startResult = ASE_HWMalfunction; }, 0, 0, 0, "",
     false},
    {"BuffersFail", [](EngineRig& r) { r.driver.createBuffersResult = ASE_NoMemory; }, kFailed, 0,
     kRefused, kNoDevice, false},
    {"NoDriverOpens",
     [](EngineRig&) {
         static FakeDriverSource empty;
         ASIOSetDriverSource(&empty);
     },
     0, 3, kRefused, kNoDevice, false},
    {"TwoPairsHaveNoneForChannelTwo", [](EngineRig& r) { r.driver.channels.resize(4); }, 0, 2,
     kRefused, "the device has no output pair for this channel (it has 2)", true},
};

class OpenFaults : public ::testing::TestWithParam<OpenFault> {};

TEST_P(OpenFaults, AreRefusedLoggedAndCloseQuickly) {
    const OpenFault& fault = GetParam();
    EngineRig rig;
    ASIOSetLogDirectory(nullptr);  // this test's own mixer log
    fault.apply(rig);
    const std::string file = rig.Wav("a.wav", WavLayout{}, 4608 * 6);
    EXPECT_EQ(rig.Open(), fault.init);
    Sarabande& engine = *rig.engine;
    EXPECT_EQ(engine.LoadFile(fault.channel, file.c_str()), fault.load);
    EXPECT_STREQ(engine.GetLoadError(), fault.reason);
    if (fault.load == 0) {
        EXPECT_EQ(engine.PlayChannel(0), 0);
    } else {
        EXPECT_EQ(engine.GetChannelStatus(fault.channel), CHANNEL_FREE);
    }
    EXPECT_EQ(ASIOStartPlay(), fault.bStartWorks);
    // Whatever state the card is in, switching it harms nothing.
    for (int i = 0; i < 40; ++i) rig.driver.Switch(i & 1);
    const auto closing = Clock::now();
    engine.Close();
    EXPECT_LT(MsSince(closing), 1000);
    // The refusal is in the mixer's log; without a started engine no file
    // is even opened.
    EXPECT_FALSE(ReadWholeFile(rig.dir.File("OstinatoDbg.Log")).empty());
    EXPECT_EQ(rig.Log().find("Opened file: ") != std::string::npos, fault.init == 0);
}

INSTANTIATE_TEST_SUITE_P(Card, OpenFaults, ::testing::ValuesIn(kOpenFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StalledCard, TheEngineClosesWithinASecondWhenSwitchesStopMidPlay) {
    EngineRig rig(ASIOSTInt32LSB, 256);
    ASSERT_EQ(rig.Open(), 0);
    Sarabande& engine = *rig.engine;
    for (int32_t c = 0; c < 12; ++c) {
        ASSERT_EQ(engine.LoadFile(
                      c, rig.Wav("f" + std::to_string(c) + ".wav", WavLayout{}, 4608 * 20).c_str()),
                  c);
        ASSERT_EQ(engine.PlayChannel(c), 0);
    }
    ASSERT_TRUE(ASIOStartPlay());
    rig.Switch(18 * 3 + 7);
    // The card goes quiet in the middle of a block; nothing more arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto closing = Clock::now();
    engine.Close();
    EXPECT_LT(MsSince(closing), 1000);
    EXPECT_EQ(engine.GetChannelStatus(0), CHANNEL_FREE);
}

// Loads and plays the file on channel 0 of a new engine on JACK; true once
// a refill has published a position, i.e. the server is switching for us.
bool PlaysOnJack(Sarabande& engine, const TempDir& dir, const std::string& file) {
    static int hwnd = 0;
    if (engine.Init(&hwnd, nullptr, dir.path().c_str()) != 0) return false;
    if (engine.LoadFile(0, file.c_str()) != 0 || engine.PlayChannel(0) != 0) return false;
    if (!ASIOStartPlay()) return false;
    return engine.GetPositionEvent() != nullptr && engine.GetPositionEvent()->Wait(3000);
}

TEST(JackServerLoss, AKilledServerIsReportedLeavesTheEngineClosableAndANewServerPlaysAgain) {
    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    const std::string file = dir.File("long.wav");
    ASSERT_TRUE(WriteBytes(file, e2e::MakeFile({1, 2, 48000, 48000 * 20, {}})));
    JackServer server(
        jackd, JackServer::NameFor("JackServerLoss", "AKilledServerLeavesTheEngineClosable"));
    ASSERT_TRUE(server.Start());
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    struct SourceReset {
        ~SourceReset() { ASIOSetDriverSource(nullptr); }
    } sourceReset;
    {
        Sarabande engine(0, nullptr);  // JACK
        ASSERT_TRUE(PlaysOnJack(engine, dir, file));
        EXPECT_FALSE(ASIODeviceLost());
        server.Kill(SIGKILL);
        // The host hears of it within a second, with the driver's reason.
        const auto killed = Clock::now();
        while (!ASIODeviceLost() && MsSince(killed) < 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(ASIODeviceLost());
        EXPECT_STREQ(ASIOErrorText(), "the JACK server went away");
        // The device change: the old engine goes, quickly, with its dead server.
        const auto closing = Clock::now();
        engine.Close();
        EXPECT_LT(MsSince(closing), 2000);
    }
    ASSERT_TRUE(server.Start());
    {
        Sarabande engine(0, nullptr);
        EXPECT_TRUE(PlaysOnJack(engine, dir, file));
        EXPECT_FALSE(ASIODeviceLost());
        engine.Close();
    }
}

}  // namespace
