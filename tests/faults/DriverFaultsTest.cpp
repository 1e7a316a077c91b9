// A card that fails at each step of being opened, a card the output stage
// cannot use, a card that stops switching, and a card whose refills come one,
// two and three blocks late: the engine refuses or recovers, says so in its
// log, and never crashes or hangs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "engine/Sarabande.h"
#include "tests/engine/EngineRig.h"
#include "tests/faults/FaultRig.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string MixerLog(const EngineRig& rig) {
    return ReadWholeFile(rig.dir.File("OstinatoDbg.Log"));
}

// Each way a card can fail while being opened: Init reports it (or goes on
// without a device), every load is refused, and Close is quick.
struct OpenFault {
    const char* name;
    void (*apply)(FakeDriver&);
    bool bInitFails;   // Init returns -4 (else 0)
    bool bLoadsWork;   // a load succeeds
    bool bStartWorks;  // ASIOStartPlay succeeds
};

const OpenFault kOpenFaults[] = {
    {"InitFails", [](FakeDriver& d) { d.initResult = false; }, true, false, false},
    {"CreateBuffersFails", [](FakeDriver& d) { d.createBuffersResult = ASE_NoMemory; }, true, false,
     false},
    {"StartFails", [](FakeDriver& d) { d.startResult = ASE_HWMalfunction; }, false, true, false},
    {"NoActiveChannel",
     [](FakeDriver& d) {
         for (FakeChannel& c : d.channels) c.active = ASIOFalse;
     },
     true, false, false},
    {"TwentyFourBitCard",
     [](FakeDriver& d) {
         for (FakeChannel& c : d.channels) c.type = ASIOSTInt24LSB;
     },
     true, false, false},
};

class OpenFaults : public ::testing::TestWithParam<OpenFault> {};

TEST_P(OpenFaults, AreRefusedLoggedAndCloseQuickly) {
    const OpenFault& fault = GetParam();
    EngineRig rig;
    ASIOSetLogDirectory(nullptr);  // this test's own mixer log
    fault.apply(rig.driver);
    const std::string file = rig.Wav("a.wav", WavLayout{}, faults::kBlockFrames * 6);
    {
        Sarabande engine(-1, nullptr);
        const int32_t init = engine.Init(&rig.hwnd, nullptr, rig.dir.path().c_str());
        EXPECT_EQ(init, fault.bInitFails ? SARABANDE_INIT_FAILED : 0);
        const int32_t load = engine.LoadFile(0, file.c_str());
        if (fault.bLoadsWork) {
            EXPECT_EQ(load, 0);
            EXPECT_EQ(engine.PlayChannel(0), 0);
        } else {
            EXPECT_LT(load, 0);
            EXPECT_EQ(engine.GetChannelStatus(0), CHANNEL_FREE);
        }
        EXPECT_EQ(ASIOStartPlay(), fault.bStartWorks);
        // Whatever state the card is in, switching it harms nothing.
        for (int i = 0; i < 40; ++i) rig.driver.Switch(i & 1);
        const auto closing = Clock::now();
        engine.Close();
        EXPECT_LT(MsSince(closing), 1000);
    }
    // The refusal is in the mixer's log.
    EXPECT_FALSE(MixerLog(rig).empty());
}

INSTANTIATE_TEST_SUITE_P(Card, OpenFaults, ::testing::ValuesIn(kOpenFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StalledCard, TheEngineClosesWithinASecondWhenSwitchesStopMidPlay) {
    EngineRig rig(ASIOSTInt32LSB, 256);
    Sarabande engine(-1, nullptr);
    ASSERT_EQ(engine.Init(&rig.hwnd, nullptr, rig.dir.path().c_str()), 0);
    for (int32_t c = 0; c < 12; ++c) {
        ASSERT_EQ(engine.LoadFile(
                      c, rig.Wav("f" + std::to_string(c) + ".wav", WavLayout{}, 4608 * 20).c_str()),
                  c);
        ASSERT_EQ(engine.PlayChannel(c), 0);
    }
    ASSERT_TRUE(ASIOStartPlay());
    for (int i = 0; i < 18 * 3 + 7; ++i) {
        rig.driver.Switch(i & 1);
        ASSERT_TRUE(engine.FlushNotifications());
    }
    // The card goes quiet in the middle of a block; nothing more arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto closing = Clock::now();
    engine.Close();
    EXPECT_LT(MsSince(closing), 1000);
    EXPECT_EQ(engine.GetChannelStatus(0), CHANNEL_FREE);
}

// Stalls the engine's event thread inside a signal handler until released,
// so that the card can run ahead of the refills by an exact number of blocks.
int gStallPipe[2] = {-1, -1};
std::atomic<bool> gStalled{false};

void StallHandler(int) {
    gStalled.store(true);
    char byte;
    while (read(gStallPipe[0], &byte, 1) < 0) {
    }
    gStalled.store(false);
}

std::set<pid_t> Threads() {
    std::set<pid_t> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
        closedir(dir);
    }
    return tids;
}

class LateRefills : public ::testing::TestWithParam<int> {};

// The card plays N whole blocks (and two switches more) past the block end
// whose refill is held back. One or two blocks behind, the refill fills two
// or three blocks and the file goes on without a gap; three behind, the
// cursor has come round to the first slot again: the ring restarts with the
// next blocks, and what the cursor heard meanwhile is the stale start of the
// first block.
TEST_P(LateRefills, CatchUpOrResetAndTheOutputShowsExactlyWhatWasHeard) {
    const int behind = GetParam();
    constexpr int32_t kFrames = 256;
    constexpr int32_t kSwitchesPerBlock = faults::kBlockFrames / kFrames;
    constexpr uint32_t kFileBlocks = 10;
    ASSERT_EQ(pipe(gStallPipe), 0);
    struct sigaction action = {};
    action.sa_handler = StallHandler;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    EngineRig rig(ASIOSTInt32LSB, kFrames);
    const std::string path = rig.dir.File("late.wav");
    ASSERT_TRUE(WriteBytes(path, faults::IdentifiedWav(1, faults::kBlockFrames * kFileBlocks)));
    const std::set<pid_t> before = Threads();
    Sarabande engine(-1, nullptr);
    ASSERT_EQ(engine.Init(&rig.hwnd, nullptr, rig.dir.path().c_str()), 0);
    std::set<pid_t> started;
    for (pid_t tid : Threads())
        if (!before.count(tid)) started.insert(tid);
    ASSERT_EQ(started.size(), 1u) << "the event thread should be the only new thread";
    const pid_t eventThread = *started.begin();

    ASSERT_EQ(engine.LoadFile(0, path.c_str()), 0);
    ASSERT_EQ(engine.PlayChannel(0), 0);
    ASSERT_TRUE(ASIOStartPlay());
    PairCapture capture;
    int32_t half = 0;
    auto step = [&] {
        rig.driver.Switch(half);
        capture.Take(rig.driver, 0, half, false);
        half ^= 1;
    };

    ASSERT_TRUE(engine.FlushNotifications());
    ASSERT_EQ(syscall(SYS_tgkill, getpid(), eventThread, SIGUSR2), 0);
    while (!gStalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int32_t lateSwitches = kSwitchesPerBlock * (1 + behind) + 2;
    for (int32_t i = 0; i < lateSwitches; ++i) step();
    // Late in time as well as in place: well past the on-time limit of a
    // block and a device buffer.
    std::this_thread::sleep_for(std::chrono::milliseconds(100 * (behind + 2)));
    ASSERT_EQ(write(gStallPipe[1], "x", 1), 1);
    ASSERT_TRUE(engine.FlushNotifications());
    for (int32_t i = 0; i < kSwitchesPerBlock * 14; ++i) {
        step();
        ASSERT_TRUE(engine.FlushNotifications());
    }
    engine.Close();
    sigaction(SIGUSR2, &previous, nullptr);
    close(gStallPipe[0]);
    close(gStallPipe[1]);

    const int32_t block = static_cast<int32_t>(faults::kBlockFrames);
    std::vector<int32_t> expected;
    if (behind < 3) {
        faults::AppendRun(expected, 0, block * kFileBlocks);
    } else {
        faults::AppendRun(expected, 0, block * 4);
        faults::AppendRun(expected, 0, 2 * kFrames);
        faults::AppendRun(expected, block * 4, block * kFileBlocks);
    }
    std::vector<int32_t> heard = faults::FramesOf(capture.left, capture.right, 1);
    ASSERT_GE(heard.size(), expected.size());
    for (size_t i = expected.size(); i < heard.size(); ++i) {
        ASSERT_EQ(heard[i], faults::kSilence)
            << "after the file, at output frame " << i << ": " << faults::Runs(heard);
    }
    heard.resize(expected.size());
    EXPECT_EQ(heard, expected) << "heard: " << faults::Runs(heard)
                               << "\nexpected: " << faults::Runs(expected);

    const std::string log = rig.Log();
    if (behind == 1 || behind == 2) {
        EXPECT_TRUE(Contains(log, "bufs behind: " + std::to_string(behind + 1) + ", ")) << log;
    }
    EXPECT_EQ(Contains(log, "Had to reset buffer!\n"), behind == 3) << log;
}

INSTANTIATE_TEST_SUITE_P(Blocks, LateRefills, ::testing::Values(0, 1, 2, 3),
                         [](const auto& info) { return "Behind" + std::to_string(info.param); });

}  // namespace
