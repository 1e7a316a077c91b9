// The engine's commands on good and bad input: every result code with its
// log line, eviction of the oldest load, failed starts, and Close.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <new>
#include <set>
#include <string>

#include "tests/support/EngineRig.h"

// Allocations that answer null on failure: a test arms the n-th to fail.
static std::atomic<int> nothrowCountdown{0};
static void* AllocateUnlessArmed(std::size_t size, bool array) noexcept {
    int n = nothrowCountdown.load();
    while (n > 0 && !nothrowCountdown.compare_exchange_weak(n, n - 1)) {
    }
    return n == 1 ? nullptr : array ? ::operator new[](size) : ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateUnlessArmed(size, false);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateUnlessArmed(size, true);
}

namespace {

bool Contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

class EngineCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(rig.Open(), 0);
        engine = rig.engine.get();
        song = rig.Wav("song.wav", WavLayout{}, 4608 * 6);
    }
    // The engine's log is flushed when the engine closes.
    std::string CloseAndReadLog() {
        engine->Close();
        return rig.Log();
    }
    EngineRig rig;
    Sarabande* engine = nullptr;
    std::string song;
};

TEST_F(EngineCommands, BadLoadsReturnTheirCodesAndReasonsAndLeaveTheChannelFree) {
    ASSERT_TRUE(WriteBytes(rig.dir.File("small.wav"), std::vector<uint8_t>(1024, 0)));
    ASSERT_TRUE(WriteBytes(rig.dir.File("junk.wav"), std::vector<uint8_t>(1025, 'j')));
    rig.Wav("six.wav", {.nChannels = 6}, 4608);
    WavLayout empty{.wFormatTag = 3, .wBitsPerSample = 32};      // decoded, without a frame
    empty.extraChunks = {{"pad ", std::vector<uint8_t>(1100)}};  // larger than 1024 bytes
    rig.Wav("empty.wav", empty, 0);
    // A directory is found by name but cannot be mapped; it is larger than
    // 1024 bytes only with enough entries.
    const std::string folder = rig.dir.File("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (int i = 0; i < 200; ++i)
        WriteBytes(folder + "/entry-with-a-long-name-" + std::to_string(i), {});
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    const struct {
        int32_t channel;
        const char* name;  // in the test's directory; null: no path
        int32_t code;
        const char* reason;
    } cases[] = {
        {12, "song.wav", SARABANDE_BAD_CHANNEL, "there is no such channel"},
        {0, nullptr, SARABANDE_NO_PATH, "no file was given"},
        {0, "missing.wav", SARABANDE_UNUSABLE_FILE, "missing (no such file)"},
        {0, "small.wav", SARABANDE_UNUSABLE_FILE,
         "too small (1024 bytes; a file must be larger than 1024 bytes)"},
        {0, "junk.wav", SARABANDE_BUILD_FAILED, "an unreadable format (Format not recognised.)"},
        {0, "six.wav", SARABANDE_BUILD_FAILED, "6 channels: a channel plays a mono or stereo file"},
        {0, "empty.wav", SARABANDE_BUILD_FAILED, "no audio frames to play"},
        {0, "folder", SARABANDE_OPEN_FAILED, "cannot be opened (a folder, not a file)"},
    };
    for (const auto& c : cases) {
        const std::string path = c.name ? rig.dir.File(c.name) : "";
        if (path == folder && st.st_size <= 1024) continue;
        EXPECT_EQ(engine->LoadFile(c.channel, c.name ? path.c_str() : nullptr), c.code) << path;
        EXPECT_STREQ(engine->GetLoadError(), c.reason) << path;
    }
    ASSERT_EQ(engine->LoadFile(0, song.c_str()), 0);
    EXPECT_STREQ(engine->GetLoadError(), "");
    EXPECT_EQ(engine->LoadFile(0, song.c_str()), SARABANDE_CHANNEL_IN_USE);
    EXPECT_STREQ(engine->GetLoadError(), "the channel is in use");
    EXPECT_EQ(engine->CloseChannelInstantly(0), 0);

    for (int32_t ch = 0; ch < kNumChannels; ++ch)
        EXPECT_EQ(engine->GetChannelStatus(ch), CHANNEL_FREE);
    const std::string log = CloseAndReadLog();
    EXPECT_TRUE(Contains(log, "Files loaded: 1\n"));  // a file that opened counts even unbuilt
    for (const char* reason : {"Refused: missing (no such file)\n",
                               "Refused: 6 channels: a channel plays a mono or stereo file\n",
                               "Refused: an unreadable format ("})
        EXPECT_TRUE(Contains(log, reason)) << reason;
}

// Callers tell results from refusals by their sign, and refusals by number.
TEST(EngineCodes, EveryRefusalIsNegativeAndItsOwn) {
    const std::set<int32_t> codes{
        SARABANDE_CHANNEL_IN_USE,    SARABANDE_INIT_FAILED,   SARABANDE_RESTART_FAILED,
        SARABANDE_OPEN_FAILED,       SARABANDE_NO_PATH,       SARABANDE_WRONG_STATE,
        SARABANDE_BAD_CHANNEL,       SARABANDE_PLAY_FAILED,   SARABANDE_NEGATIVE_BLOCK,
        SARABANDE_NO_VACANT_CHANNEL, SARABANDE_UNUSABLE_FILE, SARABANDE_BUILD_FAILED,
        SARABANDE_BAD_LEVEL,         SARABANDE_BAD_TIME};
    EXPECT_EQ(codes.size(), 14u);
    EXPECT_LT(*codes.rbegin(), 0);
}

TEST_F(EngineCommands, EveryCommandAnswersEveryStateWithItsCode) {
    // Free channel.
    EXPECT_EQ(engine->PlayChannel(0), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->ReStartChannel(0), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->SetPosition(0, 0), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->SetPosition(0, -1), SARABANDE_NEGATIVE_BLOCK);
    EXPECT_EQ(engine->CloseChannelInstantly(0), SARABANDE_WRONG_STATE);
    EXPECT_EQ(engine->GetChannelStatus(12), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->GetChannelStatus(-1), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->PlayChannel(-1), SARABANDE_BAD_CHANNEL);

    // Loaded.
    ASSERT_EQ(engine->LoadFile(0, song.c_str()), 0);
    EXPECT_EQ(engine->LoadFile(0, nullptr), SARABANDE_CHANNEL_IN_USE);  // the channel first
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_LOADED);
    EXPECT_EQ(engine->ReStartChannel(0), 0);  // not playing: nothing to do
    EXPECT_EQ(engine->SetPosition(0, 1), 1);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_LOADED);

    // Playing.
    EXPECT_EQ(engine->PlayChannel(0), 0);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_PLAYING);
    EXPECT_EQ(engine->PlayChannel(0), SARABANDE_WRONG_STATE);
    EXPECT_EQ(engine->ReStartChannel(0), 0);
    EXPECT_EQ(engine->SetPosition(0, 2), 2);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_PLAYING);

    // Closing, then terminated: play the six blocks out.
    rig.Switch(72 * 3);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_CLOSING);
    EXPECT_EQ(engine->ReStartChannel(0), 0);  // only a playing channel restarts
    EXPECT_EQ(engine->PlayChannel(0), SARABANDE_WRONG_STATE);
    rig.Switch(72 * 4);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_TERMINATED);
    EXPECT_EQ(engine->PlayChannel(0), SARABANDE_WRONG_STATE);
    EXPECT_EQ(engine->SetPosition(0, 0), 0);
    EXPECT_EQ(engine->PlayChannel(0), 0);
    EXPECT_EQ(engine->CloseChannelInstantly(0), 0);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_FREE);
    EXPECT_EQ(engine->CloseChannelInstantly(0), SARABANDE_WRONG_STATE);

    // After Close every command refuses and nothing is left behind.
    ASSERT_EQ(engine->LoadFile(1, song.c_str()), 1);
    engine->Close();
    EXPECT_EQ(engine->GetChannelStatus(1), CHANNEL_FREE);
    EXPECT_EQ(engine->LoadFile(1, song.c_str()), SARABANDE_BUILD_FAILED);
    EXPECT_STREQ(engine->GetLoadError(), "the engine is closed");
    EXPECT_EQ(engine->PlayChannel(1), SARABANDE_BAD_CHANNEL);
    EXPECT_EQ(engine->SetPosition(1, 0), SARABANDE_BAD_CHANNEL);
    EXPECT_FALSE(engine->FlushNotifications());
    Sarabande unstarted(-1, nullptr);  // Init without a window closes the engine as well
    EXPECT_EQ(unstarted.Init(nullptr, nullptr, "."), SARABANDE_INIT_FAILED);
    EXPECT_EQ(unstarted.LoadFile(1, song.c_str()), SARABANDE_BUILD_FAILED);
    EXPECT_STREQ(unstarted.GetLoadError(), "the engine is closed");
}

TEST_F(EngineCommands, ShowCommandsAnswerBadChannelsAndStatesWithTheirCodesAndLines) {
    ASSERT_EQ(engine->LoadFile(0, song.c_str()), 0);
    ASSERT_EQ(engine->LoadFile(1, song.c_str()), 1);
    ASSERT_EQ(engine->PlayChannel(1), 0);
    int32_t level = 1;
    float left = 1.0f, right = 1.0f;
    const int32_t withBad[] = {0, 12};
    const int32_t twiceAndPlaying[] = {0, 1, 0};
    const struct {
        std::function<int32_t()> call;
        int32_t code;
        std::string line;
    } rows[] = {
        {[&] { return engine->SetChannelLevel(12, -6); }, SARABANDE_BAD_CHANNEL,
         "Error - SetChannelLevel failed - channel 12 not loaded!\n\n"},
        {[&] { return engine->SetChannelLevel(0, 1); }, SARABANDE_BAD_LEVEL,
         "Error - SetChannelLevel failed - 1 dB is above 0 dB!\n\n"},
        {[&] { return engine->SetChannelMute(2, true); }, SARABANDE_BAD_CHANNEL,
         "Error - SetChannelMute failed - channel 2 not loaded!\n\n"},
        {[&] { return engine->GetChannelLevel(-1, &level); }, SARABANDE_BAD_CHANNEL,
         "Error - GetChannelLevel failed - channel -1 not loaded!\n\n"},
        {[&] { return engine->FadeChannel(3, -6, 10, false); }, SARABANDE_BAD_CHANNEL,
         "Error - FadeChannel failed - channel 3 not loaded!\n\n"},
        {[&] { return engine->FadeChannel(0, 1, 10, false); }, SARABANDE_BAD_LEVEL,
         "Error - FadeChannel failed - 1 dB is above 0 dB!\n\n"},
        {[&] { return engine->FadeChannel(0, -6, -1, true); }, SARABANDE_BAD_TIME,
         "Error - FadeChannel failed - negative time -1 ms!\n\n"},
        {[&] { return engine->SetPosition(12, 0); }, SARABANDE_BAD_CHANNEL,
         "SetPosition - invalid channel or not loaded.\n\n"},
        {[&] { return engine->SetChannelLoop(12, true); }, SARABANDE_BAD_CHANNEL,
         "SetChannelLoop - invalid channel or not loaded.\n\n"},
        {[&] { return engine->PauseChannel(12); }, SARABANDE_BAD_CHANNEL,
         "Error - PauseChannel failed - channel 12 not loaded!\n\n"},
        {[&] { return engine->PauseChannel(0); }, SARABANDE_WRONG_STATE,
         "Error - PauseChannel failed - channel 0 not playing!\n\n"},
        {[&] { return engine->CloseChannelInstantly(12); }, SARABANDE_WRONG_STATE,
         "Error - CloseChannelInstantly failed - Sound not loaded!\n\n"},
        {[&] { return engine->PlayChannels(withBad, 2); }, SARABANDE_BAD_CHANNEL,
         "Error - PlayChannels failed - channel 12 not loaded!\n\n"},
        {[&] { return engine->PlayChannels(nullptr, 1); }, SARABANDE_BAD_CHANNEL,
         "Error - PlayChannels failed - no list of 1 channels!\n\n"},
        {[&] { return engine->PlayChannels(nullptr, 0); }, 0, ""},  // nothing to play needs no list
        {[&] { return engine->GetChannelMeter(12, &left, &right); }, SARABANDE_BAD_CHANNEL,
         "Error - GetChannelMeter failed - no pair for channel 12!\n\n"},
        {[&] { return engine->SetChannelLevel(0, -6); }, 0,
         "\nSetChannelLevel on channel 0: -6 dB\n"},
        {[&] { return engine->SetChannelMute(0, true); }, 0, "\nSetChannelMute on channel 0: on\n"},
        {[&] { return engine->SetChannelLevel(0, -500); }, 0,
         "\nSetChannelLevel on channel 0: -200 dB, muted\n"},
        {[&] { return engine->FadeChannel(0, -3, 10, false); }, 0,
         "\nFadeChannel on channel 0 to -3 dB in 10 ms at "},
        {[&] { return engine->PlayChannels(twiceAndPlaying, 3); }, 1,
         "Error - Play channel 1 failed: Channel != CHANNEL_LOADED!\n\n"},
        {[&] { return engine->PauseChannel(1); }, 0,
         "\nPaused file: " + song + " on channel 1 at "},
        {[&] { return engine->FadeChannel(0, -9, 0, true); }, 0,
         "\nFadeChannel on channel 0 to -9 dB in 0 ms, then stop, at "},
    };
    for (const auto& row : rows) EXPECT_EQ(row.call(), row.code) << row.line;
    EXPECT_EQ(left, 0.0f);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_PLAYING);
    EXPECT_EQ(engine->GetChannelStatus(1), CHANNEL_LOADED);
    bool muted = false;
    EXPECT_EQ(engine->GetChannelLevel(0, &level, &muted), 0);
    EXPECT_EQ(level, -3);  // a fade that does not stop sets the level, even muted
    EXPECT_TRUE(muted);
    const std::string log = CloseAndReadLog();
    for (const auto& row : rows) {  // each line is there, and a whole line has no time after it
        const size_t at = log.find(row.line);
        EXPECT_TRUE(at != std::string::npos &&
                    !(row.line.ends_with('\n') && std::isdigit(log[at + row.line.size()])))
            << row.line;
    }
    // The milliseconds spent, not a sum of clock readings.
    EXPECT_TRUE(std::regex_search(log, std::regex("Time in this function: \\d{1,4} ms\n")));
}

TEST_F(EngineCommands, AFullTableEvictsTheOldestLoadEvenWhenItPlays) {
    for (int32_t ch = 0; ch < kNumChannels; ++ch) ASSERT_EQ(engine->LoadFile(-1, song.c_str()), ch);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    EXPECT_EQ(engine->LoadFile(-1, song.c_str()), 0);  // load 0 was the oldest
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_LOADED);
    EXPECT_EQ(engine->LoadFile(-1, song.c_str()), 1);
    // A load that cannot find its file closes nothing, not even the oldest.
    ASSERT_EQ(engine->PlayChannel(2), 0);
    EXPECT_EQ(engine->LoadFile(-1, rig.dir.File("gone.wav").c_str()), -35);  // as callers know it
    EXPECT_EQ(engine->LoadFile(-1, nullptr), SARABANDE_NO_PATH);
    EXPECT_EQ(engine->GetChannelStatus(2), CHANNEL_PLAYING);
    EXPECT_EQ(engine->LoadFile(-1, song.c_str()), 2);
}

TEST_F(EngineCommands, AFailedWaitIsLoggedAndTheEventThreadServesOn) {
    // poll refuses more descriptors than the open-file limit: with the limit
    // low, the event thread's next wait fails.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    (void)engine->FlushNotifications(50);  // wakes the thread into a wait that fails
    platform::SleepMs(200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(engine->FlushNotifications(2000) && engine->FlushNotifications(2000));
    const std::string log = CloseAndReadLog();
    const std::string said =
        "Event thread: wait failed (errno 22), serving on\nEvent thread: wait works again\n";
    ASSERT_TRUE(Contains(log, said));
    EXPECT_EQ(log.find("works again", log.find(said) + said.size()), std::string::npos);
}

TEST_F(EngineCommands, LongPathsAreLoggedWithoutOverrunningAnything) {
    std::string dir = rig.dir.path();
    while (dir.size() < rig.dir.path().size() + 300) {
        dir += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    }
    const std::string path = dir + "/song.wav";
    ASSERT_TRUE(WriteBytes(path, MakeWav(WavLayout{}, PatternPcm(WavLayout{}, 4608 * 6))));
    ASSERT_EQ(engine->LoadFile(4, path.c_str()), 4);
    EXPECT_EQ(engine->PlayChannel(4), 0);
    EXPECT_EQ(engine->CloseChannelInstantly(4), 0);
    EXPECT_TRUE(
        Contains(CloseAndReadLog(), "Opened file: " + path + ", destined for channel 4 in "));
}

// Each allocation that may fail, failing in turn while an engine opens and
// loads a file on the converted, decoded or mapped path: the open or the load
// is refused or does without, nothing leaks, and a load that says yes plays.
TEST(EngineAllocations, EveryFailureIsARefusalOrDoneWithout) {
    for (const WavLayout& layout :
         {WavLayout{}, WavLayout{.wFormatTag = 3, .nSamplesPerSec = 48000, .wBitsPerSample = 32},
          WavLayout{.nSamplesPerSec = 48000}}) {
        int refused = 0;
        bool playedAsItIs = false;  // a mapped file whose converter could not be made
        for (int n = 1;; ++n) {
            EngineRig rig;
            const std::string path = rig.Wav("song.wav", layout, 4608 * 2);
            nothrowCountdown = n;
            const int32_t code = rig.Open();
            const int32_t load = rig.engine->LoadFile(0, path.c_str());
            if (nothrowCountdown.exchange(0) != 0) {
                ASSERT_TRUE(code == 0 && load == 0) << code << " " << load;
                break;
            }
            EXPECT_TRUE(code == 0 || code == SARABANDE_INIT_FAILED) << n;
            refused += load < 0;
            EXPECT_EQ(rig.engine->PlayChannel(0), load < 0 ? SARABANDE_BAD_CHANNEL : 0) << n;
            rig.engine->Close();
            playedAsItIs |= Contains(rig.Log(), "(not enough memory)): played as it is");
        }
        EXPECT_GE(refused, 20) << layout.wFormatTag << " " << layout.nSamplesPerSec;
        EXPECT_EQ(playedAsItIs, layout.nSamplesPerSec == 44100) << layout.nSamplesPerSec;
    }
}

// Large sparse files load (a read of them would run past the test's time): a
// 24-bit WAV of 1 GiB (decoded over the mapping) and an RF64 WAV over 4 GiB
// (decoded by path, its cue kept).
TEST(EngineLoads, LargeFilesLoadWithoutBeingRead) {
    EngineRig rig;
    ASSERT_EQ(rig.Open(), 0);
    Sarabande& engine = *rig.engine;
    const uint64_t kGiB = 1ull << 30;
    for (const uint16_t bits : {24, 0}) {
        const std::string path = rig.dir.File("huge" + std::to_string(bits) + ".wav");
        WavLayout layout{.nSamplesPerSec = 48000, .wBitsPerSample = bits ? bits : uint16_t{24}};
        std::vector<uint8_t> bytes;
        uint64_t size = kGiB;
        if (bits != 0) {
            layout.dataSizeField = static_cast<uint32_t>(kGiB - 44);
            bytes = MakeWav(layout, PatternPcm(layout, 4608 * 5));
        } else {
            // RF64: the sizes in a ds64 chunk, the 32-bit ones all ones.
            size = 4 * kGiB + 6 * 4608 * 6;
            const uint64_t data = size - 100;
            PutId(bytes, "RF64");
            PutU32(bytes, UINT32_MAX);
            PutId(bytes, "WAVE");
            PutId(bytes, "ds64");
            PutU32(bytes, 28);
            for (const uint64_t v : {size - 8, data, data / 6}) {
                PutU32(bytes, static_cast<uint32_t>(v));
                PutU32(bytes, static_cast<uint32_t>(v >> 32));
            }
            PutU32(bytes, 0);
            layout.cue = WavCue{1, 0};
            const std::vector<uint8_t> wav = MakeWav(layout, {});
            // "fmt " and its 16 bytes, and the cue chunk.
            bytes.insert(bytes.end(), wav.begin() + 12, wav.begin() + 56);
            PutId(bytes, "data");
            PutU32(bytes, UINT32_MAX);
        }
        ASSERT_TRUE(WriteBytes(path, bytes));
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);  // sparse

        ASSERT_EQ(engine.LoadFile(0, path.c_str()), 0) << path;
        EXPECT_EQ(engine.PlayChannel(0), 0);
        EXPECT_EQ(engine.ReStartChannel(0), 0);  // back to its cue-in, block 1 for the RF64
        EXPECT_EQ(engine.CloseChannelInstantly(0), 0);
    }
    engine.Close();
    const std::string log = rig.Log();
    EXPECT_TRUE(Contains(log, "Format: WAV (Microsoft), Signed 24 bit PCM (libsndfile)\n"));
    EXPECT_TRUE(Contains(log, "Format: RF64 (RIFF 64), Signed 24 bit PCM (libsndfile)\n"));
    EXPECT_TRUE(Contains(log, "Cue in block: 1, Cue out block: 155351\n"));  // read by path
}

}  // namespace
