// cantabile-play driven from outside: by OSC, by text commands on standard
// input and by show files, through the virtual card at 44100 Hz into 16-bit
// recordings that are compared frame for frame with the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/cli/PlayerProcess.h"
#include "tests/support/WaveData.h"
#include "tests/support/OscClient.h"

namespace {

using namespace std::chrono_literals;

// Frame f of a stereo pattern file on a 16-bit card at a level of -6 * shift dB.
int32_t Expected(uint32_t frame, uint32_t side, int shift) {
    return PatternSample(frame * 2 + side) >> shift;
}

uint32_t FirstSound(const WaveData& recording, uint32_t pair) {
    uint32_t f = 0;
    while (f < recording.Frames() && recording.Sample(f, 2 * pair) == 0) ++f;
    return f;
}

// How many frames of the pair, from `at`, play a pattern of `frames` frames
// (looped) from its frame `first` at the level of `shift`, up to the first
// one that does not.
uint32_t Matching(const WaveData& recording, uint32_t pair, uint32_t at, uint32_t frames, int shift,
                  uint32_t first = 0) {
    uint32_t n = 0;
    while (at + n < recording.Frames() &&
           recording.Sample(at + n, 2 * pair) == Expected((first + n) % frames, 0, shift) &&
           recording.Sample(at + n, 2 * pair + 1) == Expected((first + n) % frames, 1, shift)) {
        ++n;
    }
    return n;
}

// The messages that come until `last` has come, leaving out the answers to
// a flood that may still be arriving.
Texts Until(OscClient& client, const std::string& last) {
    Texts kept;
    for (int i = 0; i < 500; ++i) {
        client.Wait(10);
        for (const std::string& text : std::exchange(client.got_, {}))
            if (!text.starts_with("/cantabile/error stop")) kept.push_back(text);
        if (!kept.empty() && kept.back() == last) break;
    }
    return kept;
}

TEST(RemoteTest, OscDrivesThePlayerAndBadMessagesLeaveItsPlaybackExact) {
    TempDir dir;
    constexpr uint32_t kFrames = 44100 * 5;
    const std::string a = WriteWav(dir, "a.wav", WavLayout{}, kFrames);
    WriteWav(dir, "b.wav", WavLayout{}, kFrames);
    PlayerProcess player(
        dir.path(), {"--osc", "0", "--record", "rec.wav", "--rate", "44100", "--format", "int16"});
    ASSERT_TRUE(player.WaitForOutput("ready\n", 5000)) << player.OutSoFar();
    const std::string out = player.OutSoFar();
    OscClient client(std::stoi(out.substr(out.find(" port ") + 6)));
    client.Send("load", "is", 1, a.c_str());
    client.Send("load", "fs", 2.0f, "b.wav");  // where the player was started
    client.Send("level", "if", 2, -6.0f);
    client.Send("resume", "");  // the card runs before the channels start
    EXPECT_EQ(client.Take(4), (Texts{"/cantabile/ok load", "/cantabile/ok load",
                                     "/cantabile/ok level", "/cantabile/ok resume"}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(client.Ask("go"), Texts{"/cantabile/ok go"});

    // Half refused as they arrive, half run (or refused as busy) by the player.
    int errors = 0;
    for (int i = 0; i < 10000; ++i) {
        client.Send("stop", "i", i % 2 == 0 ? 13 : 5);
        if (i % 50 == 0) {
            client.Wait(0);
            for (const std::string& text : std::exchange(client.got_, {}))
                errors += text.starts_with("/cantabile/error stop: ");
        }
    }
    EXPECT_GT(errors, 0);

    std::this_thread::sleep_for(200ms);
    client.Send("status", "");
    const Texts status = Until(client, "/cantabile/ok status");
    ASSERT_EQ(status.size(), 14u);
    EXPECT_TRUE(status[0].starts_with("/cantabile/status 1 playing " + a + " ")) << status[0];
    EXPECT_TRUE(status[1].starts_with("/cantabile/status 2 playing " + dir.File("b.wav") + " ") &&
                status[1].ends_with(" 5 -6 0"))
        << status[1];
    EXPECT_EQ(status[12], "/cantabile/device Virtual Card 1");

    client.Send("fade", "iii", 2, -20, 200);
    EXPECT_EQ(Until(client, "/cantabile/ok fade"), Texts{"/cantabile/ok fade"});
    std::this_thread::sleep_for(500ms);
    client.Send("fadeall", "i", 100);
    EXPECT_EQ(Until(client, "/cantabile/ok fadeall"), Texts{"/cantabile/ok fadeall"});
    std::this_thread::sleep_for(500ms);
    client.Send("status", "");
    EXPECT_TRUE(Until(client, "/cantabile/ok status")[0].starts_with("/cantabile/status 1 ended"));
    client.Send("quit", "");
    EXPECT_EQ(Until(client, "/cantabile/ok quit"), Texts{"/cantabile/ok quit"});
    ASSERT_EQ(player.Wait(10000).nExitStatus, 0);

    const WaveData recording = ReadWave(dir.File("rec.wav"));
    const uint32_t start = FirstSound(recording, 0);
    EXPECT_GT(start, 0u) << "the card ran before go";
    EXPECT_EQ(FirstSound(recording, 1), start) << "go starts both on one frame";
    const uint32_t played = recording.Frames() - start;
    ASSERT_LT(played, kFrames);
    // Row 2 at -6 dB until its fade to -20 dB, row 1 at 0 dB until the fade
    // of all, which silences and ends both.
    const uint32_t fade = Matching(recording, 1, start, kFrames, 1);
    EXPECT_GT(fade, 44100u / 5);  // no sooner than the 200 ms slept before it
    int32_t after = 0;
    for (uint32_t f = start + fade + 44100 / 4; f < start + fade + 44100 / 4 + 100; ++f)
        after = std::max(after, std::abs(recording.Sample(f, 2)));
    EXPECT_GT(after, 0) << "row 2 plays on at -20 dB";
    EXPECT_LT(fade + 44100u / 4, Matching(recording, 0, start, kFrames, 0));
    for (uint32_t f = recording.Frames() - 44100 / 4; f < recording.Frames(); ++f) {
        ASSERT_EQ(recording.Sample(f, 0), 0) << "frame " << f;
        ASSERT_EQ(recording.Sample(f, 2), 0) << "frame " << f;
    }
}

// A show saved from the command line, its folder moved and one of its files
// gone; the rest loads, and a script of text commands drives it.
TEST(RemoteTest, ShowFilesFollowTheirFolderAndAControlScriptIsAnsweredLineByLine) {
    TempDir dir;
    constexpr uint32_t kFrames = 10000;
    WriteWav(dir, "show/a.wav", WavLayout{}, kFrames);
    WriteWav(dir, "show/b.wav", WavLayout{}, kFrames);
    const PlayerResult saved = RunPlayer(
        dir.path(), {"--record", "rec.wav", "--rate", "44100", "--format", "int16", "--duration",
                     "1", "--level", "2=-6", "--loop", "2", "--fade-in", "50", "--save-show",
                     "show/set.json", "--channel", "2=show/a.wav", "show/b.wav"});
    ASSERT_EQ(saved.nExitStatus, 0) << saved.err;
    const WaveData recording = ReadWave(dir.File("rec.wav"));
    ASSERT_GT(recording.Frames(), 3 * kFrames);
    // Faded in over the first 2205 frames, then exact: looped at -6 dB, and at 0 dB.
    const uint32_t in = 2 * kFrames;
    EXPECT_EQ(Matching(recording, 1, in, kFrames, 1), recording.Frames() - in);
    EXPECT_EQ(Matching(recording, 0, 2205, kFrames, 0, 2205), kFrames - 2205);
    EXPECT_LT(Matching(recording, 0, 0, kFrames, 0), 2205u);

    std::filesystem::rename(dir.File("show"), dir.File("moved"));
    std::filesystem::remove(dir.File("moved/b.wav"));
    PlayerProcess player(
        dir.path(), {"--show", "moved/set.json", "--control", "--device", "virtual"}, {}, true);
    // The card is not started until go: every time shown is exact.
    player.WriteStdin(
        "status\nlevel 2 -12.4\nloop 2 0\nbogus 1\nplay 13\n# a comment\n\n"
        "position 2 0.2\nplay 3\n" +
        std::string(20000, 'x') +
        "\nplay 2\nstop 2\nstop 2\nstatus\nrestart 2\nstatus\nposition 2 0.2\n"
        "restart 2\nstatus\ngo\nfadeall 0\npause\nunload 2\nunload 2\nquit\nplay 2\n");
    const PlayerResult run = player.Wait(10000);
    EXPECT_EQ(run.nExitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("row 1: " + dir.File("moved/b.wav") + ": no such file"),
              std::string::npos)
        << run.err;
    auto status = [&](const std::string& row2) {
        std::string text = "channel 1 empty 0.000 0.000 0.0 0 \"\"\nchannel 2 " + row2 + " \"" +
                           dir.File("moved/a.wav") + "\"\n";
        for (int k = 3; k <= 12; ++k)
            text += "channel " + std::to_string(k) + " empty 0.000 0.000 0.0 0 \"\"\n";
        return text + "device \"Virtual Card\" paused\nok\n";
    };
    EXPECT_EQ(run.out, status("loaded 0.000 0.227 -6.0 1") +
                           "ok\nok\nerror: unknown command 'bogus'\n"
                           "error: play: K must be a row 1 to 12, got 13\nok\n"
                           "error: play: not loaded\nerror: a line is longer than 16384 bytes\n"
                           "ok\nok\nerror: stop: not playing\n" +
                           status("stopped 0.104 0.227 -12.0 0") + "ok\n" +
                           status("playing 0.000 0.227 -12.0 0") + "ok\nok\n" +
                           status("playing 0.000 0.227 -12.0 0") +
                           "ok\nok\nok\nok\nerror: unload: not loaded\nok\n");
}

}  // namespace
