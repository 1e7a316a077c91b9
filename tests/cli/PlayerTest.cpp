// End-to-end tests of cantabile-play: each runs the real program in a
// temporary working directory, through the virtual card, and checks its exit
// status, its messages, its logs and what the card recorded.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/PlayerProcess.h"
#include "tests/cli/WaveData.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

namespace {

constexpr const char* kGoodbye = "Goodbye, and may all your code compile!\n";

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> WavFilesIn(const std::string& dir, const std::string& except) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (EndsWith(name, ".wav") && name != except) names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string WriteWav(const TempDir& dir, const std::string& name, const WavLayout& layout,
                     uint32_t frames) {
    const std::string path = dir.File(name);
    EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
    return path;
}

// A recording's header is complete once its data size matches the file.
void ExpectCompleteRecording(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    const WaveData recording = ReadWave(path);
    ASSERT_TRUE(recording.bOk) << path;
    EXPECT_EQ(uint64_t{recording.dwDeclaredDataBytes} + 68u, bytes.size());
}

class PlayerTest : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(PlayerTest, DemoRecordsEveryFileBitForBitOnItsOwnPairUnconverted) {
    const PlayerResult run = RunPlayer(dir.path(), {"--demo", "--no-convert"});
    ASSERT_EQ(run.nExitStatus, 0) << run.err;

    const std::string demo = dir.File("demo");
    const std::vector<std::string> names = WavFilesIn(demo, "recording.wav");
    ASSERT_GE(names.size(), 6u);
    ASSERT_LE(names.size(), 12u);
    ExpectCompleteRecording(demo + "/recording.wav");
    const WaveData recording = ReadWave(demo + "/recording.wav");
    ASSERT_EQ(recording.nChannels, 24);
    ASSERT_EQ(recording.wBitsPerSample, 32);
    const uint32_t deviceRate = recording.nSamplesPerSec;

    bool bRates[3] = {}, bMono = false, bStereo = false, bCue = false;
    uint32_t longestMs = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const WaveData file = ReadWave(demo + "/" + names[i]);
        ASSERT_TRUE(file.bOk) << names[i];
        ASSERT_EQ(file.wBitsPerSample, 16);
        bRates[0] |= file.nSamplesPerSec == 22050;
        bRates[1] |= file.nSamplesPerSec == 44100;
        bRates[2] |= file.nSamplesPerSec == 48000;
        bMono |= file.nChannels == 1;
        bStereo |= file.nChannels == 2;
        bCue |= file.bHasCue && file.nCueIn > 0 && file.nCueOut > file.nCueIn;
        const uint32_t ms =
            static_cast<uint32_t>(uint64_t{file.Frames()} * 1000 / file.nSamplesPerSec);
        EXPECT_GE(ms, 2000u) << names[i];
        EXPECT_LE(ms, 4000u) << names[i];
        longestMs = std::max(longestMs, ms);
        // Comparing from the recording's first frame also proves that every
        // channel started on the same frame.
        EXPECT_EQ(ComparePair(recording, static_cast<uint32_t>(i),
                              ExpectedPairFrames(file, deviceRate, 32)),
                  "")
            << names[i];
    }
    EXPECT_TRUE(bRates[0] && bRates[1] && bRates[2]);
    EXPECT_TRUE(bMono && bStereo && bCue);
    for (uint32_t pair = static_cast<uint32_t>(names.size()); pair < 12; ++pair) {
        EXPECT_EQ(ComparePair(recording, pair, {}), "") << "an unused pair is silent";
    }
    // Playing in real time, the run takes about as long as the longest file.
    EXPECT_LT(run.dSeconds, longestMs / 1000.0 + 5.0);
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
}

TEST_F(PlayerTest, SixteenBitOutputHonoursChannelOptionAndStartBlock) {
    WavLayout stereo;  // 44100 Hz stereo
    WavLayout mono;
    mono.nChannels = 1;
    mono.nSamplesPerSec = 22050;
    const std::string a = WriteWav(dir, "a.wav", stereo, 30000);  // 6.5 blocks of 4608
    const std::string b = WriteWav(dir, "b.wav", mono, 15000);    // 6.5 blocks of 2304
    const PlayerResult run =
        RunPlayer(dir.path(), {"--record", "rec.wav", "--format", "int16", "--rate", "44100",
                               "--frames", "128", "--start-block", "2", "--channel", "3=" + a, b});
    ASSERT_EQ(run.nExitStatus, 0) << run.err;
    ExpectCompleteRecording(dir.File("rec.wav"));
    const WaveData recording = ReadWave(dir.File("rec.wav"));
    ASSERT_EQ(recording.wBitsPerSample, 16);
    ASSERT_EQ(recording.nSamplesPerSec, 44100u);

    // Both files begin at block 2: the same as a cue-in there.
    WaveData fileA = ReadWave(a), fileB = ReadWave(b);
    fileA.bHasCue = fileB.bHasCue = true;
    fileA.nCueIn = fileB.nCueIn = 2;
    EXPECT_EQ(ComparePair(recording, 0, ExpectedPairFrames(fileB, 44100, 16)), "")
        << "free file on channel 0";
    EXPECT_EQ(ComparePair(recording, 3, ExpectedPairFrames(fileA, 44100, 16)), "") << "--channel 3";
    EXPECT_EQ(ComparePair(recording, 1, {}), "");
}

struct BadFile {
    const char* name;
    const char* words;
};

class BadFileTest : public PlayerTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, IsRefusedWithExitThreeAndItsReason) {
    const BadFile bad = GetParam();
    const std::string path = dir.File(bad.name);
    const std::string name = bad.name;
    if (name == "text.wav") {
        EXPECT_TRUE(WriteBytes(path, std::vector<uint8_t>(4000, 'x')));
    } else if (name == "low-rate.wav") {
        WavLayout layout;
        layout.nSamplesPerSec = 11025;
        WriteWav(dir, name, layout, 20000);
    } else if (name == "tiny.wav") {
        WriteWav(dir, name, WavLayout{}, 100);
    }
    // Converted, a low rate plays; unconverted it is refused.
    const PlayerResult run = RunPlayer(dir.path(), {"--device", "virtual", "--no-convert", path});
    EXPECT_EQ(run.nExitStatus, 3) << run.err;
    EXPECT_NE(run.err.find(path + ": " + bad.words), std::string::npos) << run.err;
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(BadFile{"missing.wav", "missing"},
                      BadFile{"text.wav", "not a 16-bit PCM WAV of 22050 Hz or more"},
                      BadFile{"low-rate.wav", "not a 16-bit PCM WAV of 22050 Hz or more"},
                      BadFile{"tiny.wav", "too small"}),
    [](const auto& info) {
        std::string n = info.param.name;
        n = n.substr(0, n.find('.'));
        std::replace(n.begin(), n.end(), '-', '_');
        return n;
    });

TEST_F(PlayerTest, AThirteenthFileFindsNoFreeChannel) {
    const std::string path = WriteWav(dir, "a.wav", WavLayout{}, 20000);
    std::vector<std::string> args = {"--device", "virtual"};
    for (int i = 0; i < 13; ++i) args.push_back(i == 12 ? dir.File("last.wav") : path);
    WriteWav(dir, "last.wav", WavLayout{}, 20000);
    const PlayerResult run = RunPlayer(dir.path(), args);
    EXPECT_EQ(run.nExitStatus, 3);
    EXPECT_NE(run.err.find(dir.File("last.wav") + ": no free channel"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find(path + ":"), std::string::npos) << "the first twelve loaded";
}

TEST_F(PlayerTest, ListDevicesNamesTheThreeBuiltInDrivers) {
    const PlayerResult run = RunPlayer(dir.path(), {"--list-devices"});
    ASSERT_EQ(run.nExitStatus, 0) << run.err;
    EXPECT_NE(run.out.find(" 0  JACK"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" 1  ALSA default"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" 2  Virtual Card"), std::string::npos) << run.out;
}

TEST_F(PlayerTest, WrongArgumentsGiveExitTwo) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 20000);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus", wav},
        {"--channel", "12=" + wav},
        {"--channel", "3"},
        {"--channel", "1=" + wav, "--channel", "1=" + wav},
        {"--rate", "48k", wav},
        {"--frames", "5", wav},
        {"--format", "int24", wav},
        {"--device", "no-such-driver", wav},
        {"--device", "7", wav},
        {"--duration", "-1", wav},
        {"--start-block", "x", wav},
        {"--record"},
        {"--record", "r.wav", "--device", "jack", wav},
        {"--demo", "d", wav},
    };
    for (const auto& args : cases) {
        const PlayerResult run = RunPlayer(dir.path(), args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(run.nExitStatus, 2) << joined << "\n" << run.err;
        EXPECT_NE(run.err.find("cantabile-play: "), std::string::npos) << joined;
    }
    // A bad setting left in the environment is named, not taken for a broken driver.
    const PlayerResult run =
        RunPlayer(dir.path(), {"--device", "virtual", wav}, {{"CANTABILE_VC_FORMAT", "float"}});
    EXPECT_EQ(run.nExitStatus, 2);
    EXPECT_NE(run.err.find("CANTABILE_VC_FORMAT"), std::string::npos) << run.err;
}

TEST_F(PlayerTest, WithoutDeviceTheSavedChoiceApplies) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 10000);
    const PlayerResult picked = RunPlayer(dir.path(), {"--device", "virtual", wav});
    ASSERT_EQ(picked.nExitStatus, 0) << picked.err;
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "2");
    const PlayerResult saved = RunPlayer(dir.path(), {wav});
    EXPECT_EQ(saved.nExitStatus, 0) << saved.err;
    EXPECT_NE(saved.out.find("driver: Virtual Card"), std::string::npos) << saved.out;
}

TEST_F(PlayerTest, ADriverThatCannotOpenGivesExitOne) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 20000);
    // JACK with no server under this name, and none started for us.
    const PlayerResult run = RunPlayer(
        dir.path(), {"--device", "jack", wav},
        {{"JACK_DEFAULT_SERVER", "cantabile-cli-test-no-server"}, {"JACK_NO_START_SERVER", "1"}});
    EXPECT_EQ(run.nExitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("could not be opened"), std::string::npos) << run.err;
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
}

TEST_F(PlayerTest, SigintMidPlayStopsPromptlyAndClosesTheLogs) {
    const std::string wav = WriteWav(dir, "long.wav", WavLayout{}, 441000);  // 10 s
    PlayerProcess player(dir.path(), {"--record", "rec.wav", wav});
    ASSERT_TRUE(player.WaitForOutput("playing", 5000)) << player.OutSoFar();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto signalled = std::chrono::steady_clock::now();
    player.Signal(SIGINT);
    const PlayerResult run = player.Wait(5000);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    EXPECT_EQ(run.nExitStatus, 128 + SIGINT) << run.err;
    EXPECT_LT(took, 3.0);
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
    EXPECT_NE(ReadWholeFile(dir.File("OstinatoDbg.Log")).find("Shutting down debug logging system"),
              std::string::npos);
    ExpectCompleteRecording(dir.File("rec.wav"));
}

TEST_F(PlayerTest, DurationStopsTheRunEarly) {
    const std::string wav = WriteWav(dir, "long.wav", WavLayout{}, 441000);
    const PlayerResult run =
        RunPlayer(dir.path(), {"--record", "rec.wav", "--duration", "0.5", wav});
    EXPECT_EQ(run.nExitStatus, 0) << run.err;
    EXPECT_LT(run.dSeconds, 4.0);
    ExpectCompleteRecording(dir.File("rec.wav"));
}

TEST_F(PlayerTest, WaitHoldsALoadedSetUntilSigusr1ThenPlaysItFromItsFirstFrame) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 30000);
    PlayerProcess player(dir.path(), {"--wait", "--record", "rec.wav", "--rate", "44100", wav});
    ASSERT_TRUE(player.WaitForOutput("ready\n", 5000)) << player.OutSoFar();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(player.Running()) << "stdin at end of file must not fire the set";
    EXPECT_LE(ReadWholeFile(dir.File("rec.wav")).size(), 68u) << "nothing plays before the signal";
    player.Signal(SIGUSR1);
    const PlayerResult run = player.Wait(10000);
    ASSERT_EQ(run.nExitStatus, 0) << run.err;
    const WaveData recording = ReadWave(dir.File("rec.wav"));
    EXPECT_EQ(
        ComparePair(recording, 0, ExpectedPairFrames(ReadWave(wav), recording.nSamplesPerSec, 32)),
        "");
}

TEST_F(PlayerTest, WaitFiresOnEnterAndStopsCleanlyOnSigterm) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 30000);
    {
        PlayerProcess player(dir.path(), {"--wait", "--device", "virtual", wav}, {}, true);
        ASSERT_TRUE(player.WaitForOutput("ready\n", 5000));
        player.WriteStdin("\n");
        EXPECT_EQ(player.Wait(10000).nExitStatus, 0);
    }
    PlayerProcess player(dir.path(), {"--wait", "--device", "virtual", wav}, {}, true);
    ASSERT_TRUE(player.WaitForOutput("ready\n", 5000));
    player.Signal(SIGTERM);
    const PlayerResult run = player.Wait(5000);
    EXPECT_EQ(run.nExitStatus, 128 + SIGTERM);
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
}

}  // namespace
