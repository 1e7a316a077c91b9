// Faults of the real drivers under the whole engine: the virtual card's
// recording disk filling up, and the JACK server dying and coming back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/JackServer.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint32_t U32At(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// Waits for the channel to reach `state`; false after `ms`.
bool WaitForState(Sarabande& engine, int32_t channel, int32_t state, int ms) {
    const auto start = Clock::now();
    while (engine.ChannelState(channel) != state) {
        if (MsSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(FullDisk, TheVirtualCardStopsRecordingOnceAndThePlayerKeepsTime) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    const std::string file = dir.File("one-second.wav");
    ASSERT_TRUE(WriteBytes(file, faults::IdentifiedWav(1, 48000)));
    setenv("CANTABILE_VC_RATE", "48000", 1);
    setenv("CANTABILE_VC_FRAMES", "256", 1);
    setenv("CANTABILE_VC_FORMAT", "int32", 1);
    setenv("CANTABILE_VC_RECORD", dir.File("out.wav").c_str(), 1);
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);

    // A file size limit stands in for a full disk: the card records 4.6 MB a
    // second, so a quarter of a megabyte is gone in a few dozen periods,
    // while the two logs stay far below it.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    // A failed assertion must leave neither the limit, the ignored signal,
    // the card's settings nor a dead driver source to the tests after it.
    struct Restore {
        rlimit limit;
        void (*handler)(int);
        ~Restore() {
            setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, handler);
            ASIOSetDriverSource(nullptr);
            for (const char* name : {"CANTABILE_VC_RATE", "CANTABILE_VC_FRAMES",
                                     "CANTABILE_VC_FORMAT", "CANTABILE_VC_RECORD"})
                unsetenv(name);
        }
    } restore{saved, std::signal(SIGXFSZ, SIG_IGN)};
    rlimit limit = saved;
    limit.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    int64_t playedMs = 0;
    {
        int hwnd = 0;
        Sarabande engine(2, nullptr);  // the virtual card
        ASSERT_EQ(engine.Init(&hwnd, nullptr, dir.path().c_str()), 0);
        ASSERT_EQ(engine.LoadFile(0, file.c_str()), 0);
        ASSERT_EQ(engine.PlayChannel(0), 0);
        const auto start = Clock::now();
        ASSERT_TRUE(ASIOStartPlay());
        EXPECT_TRUE(WaitForState(engine, 0, CHANNEL_TERMINATED, 5000));
        playedMs = MsSince(start);
        engine.Close();
    }
    // Lifted before the checks: their messages may go to a file.
    setrlimit(RLIMIT_FSIZE, &saved);

    // A one-second file with its ring of four 96 ms blocks ends about 1.4 s
    // after the start: the card kept real time after the disk filled.
    EXPECT_GT(playedMs, 1000);
    EXPECT_LT(playedMs, 2500);
    const std::string log = ReadWholeFile(dir.File("OstinatoDbg.Log"));
    const size_t stopped = log.find("VirtualCard: recording stopped");
    EXPECT_NE(stopped, std::string::npos) << log;
    EXPECT_EQ(log.find("VirtualCard: recording stopped", stopped + 1), std::string::npos) << log;
    // What was recorded is a whole WAV file: header sizes match the bytes.
    const std::string wav = ReadWholeFile(dir.File("out.wav"));
    ASSERT_GE(wav.size(), 68u);
    EXPECT_LE(wav.size(), limit.rlim_cur);
    EXPECT_EQ(U32At(wav, 4), wav.size() - 8);
    EXPECT_EQ(U32At(wav, 64), wav.size() - 68);
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
    ASSERT_TRUE(WriteBytes(file, faults::IdentifiedWav(1, 48000 * 20)));
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
