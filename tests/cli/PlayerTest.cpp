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
#include "tests/support/JackServer.h"
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

TEST_F(PlayerTest, SixteenBitOutputHonoursChannelOptionAndStartPosition) {
    WavLayout stereo;  // 44100 Hz stereo
    WavLayout mono;
    mono.nChannels = 1;
    mono.nSamplesPerSec = 22050;
    const std::string a = WriteWav(dir, "a.wav", stereo, 30000);  // 6.5 blocks of 4608
    const std::string b = WriteWav(dir, "b.wav", mono, 15000);    // 6.5 blocks of 2304
    // Block 2 of either file begins 0.209 s in.
    for (const std::vector<std::string>& start : {std::vector<std::string>{"--start-block", "2"},
                                                  std::vector<std::string>{"--start", "0.21"}}) {
        const PlayerResult run = RunPlayer(
            dir.path(), {"--record", "rec.wav", "--format", "int16", "--rate", "44100", "--frames",
                         "128", start[0], start[1], "--channel", "4=" + a, b});
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
            << "free file on the first row, " << start[0];
        EXPECT_EQ(ComparePair(recording, 3, ExpectedPairFrames(fileA, 44100, 16)), "")
            << "--channel 4, " << start[0];
        EXPECT_EQ(ComparePair(recording, 1, {}), "");
    }
}

TEST_F(PlayerTest, EachRefusedFileIsNamedWithItsReasonAndTheExitIsThree) {
    WavLayout six, eightBit, lowRate;
    six.nChannels = 6;
    eightBit.wBitsPerSample = 8;
    lowRate.nSamplesPerSec = 11025;
    ASSERT_TRUE(WriteBytes(dir.File("text.wav"), std::vector<uint8_t>(4000, 'x')));
    WriteWav(dir, "six.wav", six, 20000);
    WriteWav(dir, "tiny.wav", WavLayout{}, 100);
    // Decoded and converted, these play.
    const std::string played[] = {WriteWav(dir, "eight-bit.wav", eightBit, 20000),
                                  WriteWav(dir, "low-rate.wav", lowRate, 20000),
                                  WriteWav(dir, "a.wav", WavLayout{}, 20000)};
    const std::pair<const char*, const char*> refused[] = {
        {"missing.wav", "missing (no such file)"},
        {"text.wav", "an unreadable format (Format not recognised.)"},
        {"six.wav", "6 channels: a channel plays a mono or stereo file"},
        {"tiny.wav", "too small (444 bytes; a file must be larger than 1024 bytes)"},
    };
    std::vector<std::string> args = {"--device", "virtual"};
    for (const auto& [name, reason] : refused) args.push_back(dir.File(name));
    // Eight files take the rows left; a thirteenth file finds none free.
    args.insert(args.end(), {played[0], played[1]});
    for (int i = 0; i < 6; ++i) args.push_back(played[2]);
    args.push_back(dir.File("last.wav"));
    const PlayerResult run = RunPlayer(dir.path(), args);
    EXPECT_EQ(run.nExitStatus, 3);
    for (const auto& [name, reason] : refused)
        EXPECT_NE(run.err.find(dir.File(name) + ": " + reason + "\n"), std::string::npos)
            << run.err;
    EXPECT_NE(run.err.find(dir.File("last.wav") + ": no free channel"), std::string::npos);
    for (const std::string& path : played)
        EXPECT_EQ(run.err.find(path + ":"), std::string::npos) << run.err;
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
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
        {"--channel", "13=" + wav},
        {"--channel", "0=" + wav},
        {"--channel", "3"},
        {"--channel", "1=" + wav, "--channel", "1=" + wav},
        {"--rate", "48k", wav},
        {"--frames", "5", wav},
        {"--format", "int24", wav},
        {"--device", "no-such-driver", wav},
        {"--device", "7", wav},
        {"--duration", "-1", wav},
        {"--duration", "0", wav},
        {"--start-block", "x", wav},
        {"--start", "-0.5", wav},
        {"--start", "1", "--start-block", "0", wav},
        {"--record"},
        {"--record", "r.wav", "--device", "jack", wav},
        {"--demo", "d", wav},
        {"--level", "13=-6", wav},
        {"--level", "1=3", wav},
        {"--level", "1=", wav},
        {"--level", "2=-6", "--device", "virtual", wav},  // no file on row 2
        {"--loop", "0", wav},
        {"--fade-out", "-1", wav},
        {"--osc", "70000"},
        {"--osc", "0", "--osc-bind", "localhost"},
        {"--control=1"},
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

TEST_F(PlayerTest, WithoutDeviceTheSavedChoiceAppliesFromTheWorkDir) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 10000);
    // The file is found where the player starts; the configuration and the
    // logs go to the work directory, made on the way ("~/" as a desktop
    // entry, with no shell, passes it).
    const PlayerResult picked =
        RunPlayer(dir.path(), {"--workdir", "~/state/cantabile", "--device", "virtual", "a.wav"},
                  {{"HOME", dir.path()}});
    ASSERT_EQ(picked.nExitStatus, 0) << picked.err;
    EXPECT_EQ(ReadWholeFile(dir.File("state/cantabile/ASIOConfig.txt")), "2\nVirtual Card\n");
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("state/cantabile/SarabandeDbg.Log")), kGoodbye));
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "");
    const PlayerResult saved =
        RunPlayer(dir.path(), {"--workdir=state/cantabile", "--start", "0", wav});
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
    EXPECT_NE(run.err.find("could not be opened: No JACK server answers"), std::string::npos)
        << run.err;
    EXPECT_TRUE(EndsWith(ReadWholeFile(dir.File("SarabandeDbg.Log")), kGoodbye));
}

TEST_F(PlayerTest, ALostJackServerEndsThePlayWithExitOneAndTheReason) {
    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
    JackServer server(jackd, JackServer::NameFor("PlayerTest", "ALostJackServer"));
    ASSERT_TRUE(server.Start());
    const std::string wav = WriteWav(dir, "long.wav", WavLayout{}, 441000);  // 10 s
    PlayerProcess player(dir.path(), {"--device", "jack", wav},
                         {{"CANTABILE_JACK_CONNECT", "none"}});
    ASSERT_TRUE(player.WaitForOutput("playing", 5000)) << player.OutSoFar();
    server.Kill(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    const PlayerResult run = player.Wait(5000);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count(),
              2.0);
    EXPECT_EQ(run.nExitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("was lost: the JACK server went away"), std::string::npos) << run.err;
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
