// End-to-end tests of cantabile-play: each runs the real program in a
// temporary working directory, through the virtual card, and checks its exit
// status, its messages, its logs and what the card recorded.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/cli/PlayerProcess.h"
#include "tests/support/JackServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"
#include "tests/support/WaveData.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kGoodbye = "Goodbye, and may all your code compile!\n";

// A recording's header is complete once its data size matches the file.
void ExpectCompleteRecording(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    const WaveData recording = ReadWave(path);
    ASSERT_TRUE(recording.bOk) << path;
    EXPECT_EQ(uint64_t{recording.dwDeclaredDataBytes} + 68u, bytes.size());
}

// The same 16-bit audio as an AIFF file, which the decode stage plays: its
// header says nothing at the offsets a WAV header keeps its rate and cue at.
void WriteAiff(const std::string& path, const WaveData& wav) {
    SF_INFO info = {0, 44100, wav.nChannels, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    const auto* samples = reinterpret_cast<const short*>(wav.data.data());
    EXPECT_EQ(sf_writef_short(out, samples, wav.Frames()), wav.Frames());
    sf_close(out);
}

class PlayerTest : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(PlayerTest, DemoRecordsEveryFileBitForBitOnItsOwnPairUnconverted) {
    const PlayerResult run = RunPlayer(dir.path(), {"--demo", "--no-convert"});
    ASSERT_EQ(run.nExitStatus, 0) << run.err;

    const std::string demo = dir.File("demo");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(demo)) {
        const std::string name = entry.path().filename();
        if (name.ends_with(".wav") && name != "recording.wav") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 6u);
    ASSERT_LE(names.size(), 12u);
    ExpectCompleteRecording(demo + "/recording.wav");
    const WaveData recording = ReadWave(demo + "/recording.wav");
    ASSERT_EQ(recording.nChannels, 24);
    ASSERT_EQ(recording.wBitsPerSample, 32);
    const uint32_t deviceRate = recording.nSamplesPerSec;

    bool bCue = false;
    uint32_t longestMs = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const WaveData file = ReadWave(demo + "/" + names[i]);
        ASSERT_TRUE(file.bOk) << names[i];
        ASSERT_EQ(file.wBitsPerSample, 16);
        bCue |= file.bHasCue && file.nCueIn > 0 && file.nCueOut > file.nCueIn;
        const uint32_t ms =
            static_cast<uint32_t>(uint64_t{file.Frames()} * 1000 / file.nSamplesPerSec);
        longestMs = std::max(longestMs, ms);
        // Comparing from the recording's first frame also proves that every
        // channel started on the same frame.
        EXPECT_EQ(ComparePair(recording, static_cast<uint32_t>(i),
                              ExpectedPairFrames(file, deviceRate, 32)),
                  "")
            << names[i];
    }
    EXPECT_TRUE(bCue);
    for (uint32_t pair = static_cast<uint32_t>(names.size()); pair < 12; ++pair)
        EXPECT_EQ(ComparePair(recording, pair, {}), "") << "an unused pair is silent";
    // Playing in real time, the run ends about when the longest file does.
    EXPECT_LT(run.dSeconds, longestMs / 1000.0 + 5.0);
    EXPECT_TRUE(ReadWholeFile(dir.File("SarabandeDbg.Log")).ends_with(kGoodbye));
}

TEST_F(PlayerTest, EachRefusedFileIsNamedWithItsReasonAndTheExitIsThree) {
    ASSERT_TRUE(WriteBytes(dir.File("text.wav"), std::vector<uint8_t>(4000, 'x')));
    WriteWav(dir, "six.wav", {.nChannels = 6}, 20000);
    WriteWav(dir, "tiny.wav", WavLayout{}, 100);
    // Decoded and converted, these play.
    const std::string played[] = {WriteWav(dir, "eight-bit.wav", {.wBitsPerSample = 8}, 20000),
                                  WriteWav(dir, "low-rate.wav", {.nSamplesPerSec = 11025}, 20000),
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
    args.insert(args.end(), {"--", "-x"});  // after "--" even "-x" names a file
    const PlayerResult run = RunPlayer(dir.path(), args);
    EXPECT_EQ(run.nExitStatus, 3);
    for (const auto& [name, reason] : refused)
        EXPECT_NE(run.err.find(dir.File(name) + ": " + reason + "\n"), std::string::npos)
            << run.err;
    EXPECT_NE(run.err.find(dir.File("last.wav") + ": no free channel"), std::string::npos);
    for (const std::string& path : played)
        EXPECT_EQ(run.err.find(path + ":"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadWholeFile(dir.File("SarabandeDbg.Log")).ends_with(kGoodbye));
}

TEST_F(PlayerTest, WrongArgumentsGiveExitTwo) {
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 20000);
    // Each case as words, W standing for a playable file (row 2 of the
    // --level case has none).
    for (std::string words : {"",
                              "--bogus W",
                              "--channel 13=W",
                              "--channel 3",
                              "--channel 1=W --channel 1=W",
                              "--rate 48k W",
                              "--frames 5 W",
                              "--format int24 W",
                              "--device no-such-driver W",
                              "--device 7 W",
                              "--duration 0 W",
                              "--start-block x W",
                              "--start -0.5 W",
                              "--start 1 --start-block 0 W",
                              "--record",
                              "--record r.wav --device jack W",
                              "--demo d W",
                              "--level 13=-6 W",
                              "--level 1=1 W",
                              "--level 2=-6 --device virtual W",
                              "--loop 0 W",
                              "--fade-out -1 W",
                              "--osc 70000",
                              "--osc 0 --osc-bind localhost",
                              "--control=1"}) {
        std::vector<std::string> args;
        std::istringstream in(words);
        for (std::string word; in >> word;) {
            if (word.back() == 'W') word.replace(word.size() - 1, 1, wav);
            args.push_back(word);
        }
        const PlayerResult run = RunPlayer(dir.path(), args);
        EXPECT_EQ(run.nExitStatus, 2) << words << "\n" << run.err;
        EXPECT_NE(run.err.find("cantabile-play: "), std::string::npos) << words;
    }
    // A bad setting left in the environment is named, not taken for a broken driver.
    const PlayerResult run =
        RunPlayer(dir.path(), {"--device", "virtual", wav}, {{"CANTABILE_VC_FORMAT", "float"}});
    EXPECT_EQ(run.nExitStatus, 2);
    EXPECT_NE(run.err.find("CANTABILE_VC_FORMAT"), std::string::npos) << run.err;
}

TEST_F(PlayerTest, DevicesAreListedAndWithoutDeviceTheSavedChoiceAppliesFromTheWorkDir) {
    const PlayerResult list = RunPlayer(dir.path(), {"--list-devices"});
    EXPECT_EQ(list.nExitStatus, 0) << list.err;
    EXPECT_NE(
        list.out.find(" 0  JACK Audio Connection Kit\n 1  ALSA default device\n 2  Virtual Card\n"),
        std::string::npos)
        << list.out;
    const std::string wav = WriteWav(dir, "a.wav", WavLayout{}, 10000);
    // The file is found where the player starts; the configuration and the
    // logs go to the work directory, made on the way ("~/" as a desktop
    // entry, with no shell, passes it).
    const PlayerResult picked =
        RunPlayer(dir.path(), {"--workdir", "~/state/cantabile", "--device", "virtual", "a.wav"},
                  {{"HOME", dir.path()}});
    ASSERT_EQ(picked.nExitStatus, 0) << picked.err;
    EXPECT_EQ(ReadWholeFile(dir.File("state/cantabile/ASIOConfig.txt")), "2\nVirtual Card\n");
    EXPECT_TRUE(ReadWholeFile(dir.File("state/cantabile/SarabandeDbg.Log")).ends_with(kGoodbye));
    EXPECT_EQ(ReadWholeFile(dir.File("ASIOConfig.txt")), "");
    const PlayerResult saved =
        RunPlayer(dir.path(), {"--workdir=state/cantabile", "--start", "0", wav});
    EXPECT_EQ(saved.nExitStatus, 0) << saved.err;
    EXPECT_NE(saved.out.find("driver: Virtual Card"), std::string::npos) << saved.out;
}

// With no JACK server under its name (and none started for it), and with
// one that is killed mid-play, the player ends with exit 1 and the reason.
TEST_F(PlayerTest, AJackServerMissingOrLostEndsThePlayWithExitOneAndTheReason) {
    const std::string wav = WriteWav(dir, "long.wav", WavLayout{}, 441000);  // 10 s
    const PlayerResult none = RunPlayer(
        dir.path(), {"--device", "jack", wav},
        {{"JACK_DEFAULT_SERVER", "cantabile-cli-test-no-server"}, {"JACK_NO_START_SERVER", "1"}});
    EXPECT_EQ(none.nExitStatus, 1) << none.err;
    EXPECT_NE(none.err.find("could not be opened: No JACK server answers"), std::string::npos)
        << none.err;
    EXPECT_TRUE(ReadWholeFile(dir.File("SarabandeDbg.Log")).ends_with(kGoodbye));

    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) GTEST_SKIP() << "jackd is not installed";
    JackServer server(jackd, JackServer::NameFor("PlayerTest", "ALostJackServer"));
    ASSERT_TRUE(server.Start());
    PlayerProcess player(dir.path(), {"--device", "jack", "--save-show", "s.show", wav},
                         {{"CANTABILE_JACK_CONNECT", "none"}});
    ASSERT_TRUE(player.WaitForOutput("playing", 5000)) << player.OutSoFar();
    EXPECT_NE(ReadWholeFile(dir.File("s.show")).find("\"device\": \"JACK Audio"),
              std::string::npos);
    server.Kill(SIGKILL);
    const auto killed = PlayerProcess::Clock::now();
    const PlayerResult run = player.Wait(5000);
    EXPECT_LT(PlayerProcess::Clock::now() - killed, 2s);
    EXPECT_EQ(run.nExitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("was lost: the JACK server went away"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadWholeFile(dir.File("SarabandeDbg.Log")).ends_with(kGoodbye));
}

// A run held by --wait (standard input at its end does not fire it) starts on
// Enter or SIGUSR1 from the set's first frame, here block 2 of a stereo file on
// row 4 and of a mono one at 22050 Hz on row 1, into 16-bit output; SIGTERM
// there, or SIGINT mid-play, ends the run promptly with the logs and the
// recording closed.
TEST_F(PlayerTest, EnterOrSigusr1StartAHeldSetAndSignalsEndARunCleanly) {
    const WavLayout mono{.nChannels = 1, .nSamplesPerSec = 22050};
    const std::string a = WriteWav(dir, "a.wav", WavLayout{}, 30000);  // 6.5 blocks of 4608
    const std::string b = WriteWav(dir, "b.wav", mono, 15000);         // 6.5 blocks of 2304
    WriteWav(dir, "long.wav", WavLayout{}, 441000);                    // 10 s
    WriteAiff(dir.File("a.aiff"), ReadWave(a));
    const struct {
        int signal, exit;  // signal 0: Enter
        const char* args;
    } cases[] = {
        {SIGINT, 128 + SIGINT, "--fade-out 1 long.wav"},  // even a fade of 1 ms is one
        {SIGUSR1, 0, "--wait --format int16 --frames 128 --start-block 2 --channel 4=a.wav b.wav"},
        {0, 0, "--wait --format int16 --start 0.21 --channel 4=a.aiff b.wav"},  // 0.209 s: block 2
        {SIGTERM, 128 + SIGTERM, "--wait a.wav"},
    };
    for (const auto& c : cases) {
        const bool bWait = c.signal != SIGINT;
        std::vector<std::string> args = {"--record", "rec.wav", "--rate", "44100"};
        std::istringstream words(c.args);
        for (std::string word; words >> word;) args.push_back(word);
        PlayerProcess player(dir.path(), args, {}, c.signal == 0);
        ASSERT_TRUE(player.WaitForOutput(bWait ? "ready\n" : "playing", 5000)) << c.args;
        std::this_thread::sleep_for(300ms);
        if (bWait) {
            EXPECT_TRUE(player.Running()) << c.args;
            EXPECT_LE(ReadWholeFile(dir.File("rec.wav")).size(), 68u) << "nothing before it fires";
        }
        const auto fired = PlayerProcess::Clock::now();
        c.signal ? player.Signal(c.signal) : player.WriteStdin("\n");
        const PlayerResult run = player.Wait(10000);
        EXPECT_EQ(run.nExitStatus, c.exit) << c.args << run.err;
        EXPECT_TRUE(c.exit == 0 || PlayerProcess::Clock::now() - fired < 3s) << c.args;
        const std::string log = ReadWholeFile(dir.File("SarabandeDbg.Log"));
        EXPECT_TRUE(log.ends_with(kGoodbye));
        EXPECT_EQ(log.find(" in 1 ms, then stop") != std::string::npos, c.signal == SIGINT);
        EXPECT_NE(ReadWholeFile(dir.File("OstinatoDbg.Log")).find("Shutting down debug logging"),
                  std::string::npos);
        ExpectCompleteRecording(dir.File("rec.wav"));
        if (c.exit != 0) continue;
        // Both files begin at block 2: the same as a cue-in there.
        const WaveData recording = ReadWave(dir.File("rec.wav"));
        ASSERT_EQ(recording.wBitsPerSample, 16);
        WaveData fileA = ReadWave(a), fileB = ReadWave(b);
        fileA.bHasCue = fileB.bHasCue = true;
        fileA.nCueIn = fileB.nCueIn = 2;
        EXPECT_EQ(ComparePair(recording, 0, ExpectedPairFrames(fileB, 44100, 16)), "") << c.args;
        EXPECT_EQ(ComparePair(recording, 3, ExpectedPairFrames(fileA, 44100, 16)), "") << c.args;
    }
}

// Once a stop signal has started the --fade-out, no command runs: the fade is
// the last thing the run does.
TEST_F(PlayerTest, NoCommandRunsDuringTheFadeOutASignalStarts) {
    WriteWav(dir, "long.wav", WavLayout{}, 441000);  // 10 s
    PlayerProcess player(dir.path(),
                         {"--control", "--fade-out", "500", "--device", "virtual", "long.wav"}, {},
                         true);
    player.WriteStdin("go\n");
    ASSERT_TRUE(player.WaitForOutput("ok\n", 5000)) << player.OutSoFar();
    player.Signal(SIGINT);
    std::this_thread::sleep_for(100ms);
    player.WriteStdin("status\n");
    const PlayerResult run = player.Wait(5000);
    EXPECT_EQ(run.nExitStatus, 128 + SIGINT) << run.err;
    EXPECT_EQ(run.out, "ok\n");
}

}  // namespace
