// Files played through the whole chain: engine, event thread, stream buffer,
// output stage and the fake card, switched by the test. After each switch the
// test waits until the event thread has served every notification, so the
// audio that reaches a pair can be compared bit for bit.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/EngineRig.h"

namespace {

struct PlayRun {
    PairCapture capture;
    int32_t closingAt = -1;     // the switch after which the channel read CHANNEL_CLOSING
    int32_t terminatedAt = -1;  // ... CHANNEL_TERMINATED
    int32_t switches = 0;
};

class EnginePlayback : public ::testing::Test {
  protected:
    void Start(ASIOSampleType type = ASIOSTInt32LSB, double rate = 44100.0) {
        rig.reset();
        rig = std::make_unique<EngineRig>(type, 64, rate);
        ASSERT_EQ(rig->Open(), 0);
        engine = rig->engine.get();
        ASSERT_TRUE(ASIOStartPlay());
    }
    // Switches until the channel has terminated (or `limit` switches), reading
    // pair `channel`.
    PlayRun Play(int32_t channel, int32_t limit, bool b16Bits = false) {
        PlayRun run;
        for (; run.switches < limit; ++run.switches) {
            rig->Switch(1, &run.capture, channel, b16Bits);
            const int32_t state = engine->ChannelState(channel);
            if (state == CHANNEL_CLOSING && run.closingAt < 0) run.closingAt = run.switches + 1;
            if (state == CHANNEL_TERMINATED) {
                run.terminatedAt = run.switches + 1;
                break;
            }
        }
        return run;
    }

    std::unique_ptr<EngineRig> rig;
    Sarabande* engine = nullptr;
};

// A second of 1 kHz at another rate comes out at 1 kHz, and for a second.
// Blocks of a file, each at its own level: after a reposition the first block
// heard is the block asked for, converted, and the next follows it.
TEST_F(EnginePlayback, ConvertedChannelsKeepPitchAndLengthAndLandOnTheBlockAskedFor) {
    struct Conversion {
        uint32_t fileRate, deviceRate;
    };
    for (const Conversion c : {Conversion{44100, 48000}, Conversion{96000, 44100}}) {
        SCOPED_TRACE(std::to_string(c.fileRate) + " Hz at " + std::to_string(c.deviceRate));
        Start(ASIOSTInt32LSB, c.deviceRate);
        const auto sine = [&](uint32_t f) {
            return static_cast<int32_t>(
                std::lround(16384.0 * std::sin(2 * M_PI * 1000.0 * f / c.fileRate)));
        };
        const std::string path = rig->StereoWav("tone.wav", c.fileRate, c.fileRate, sine, sine);
        ASSERT_EQ(engine->LoadFile(0, path.c_str()), 0);
        ASSERT_EQ(engine->PlayChannel(0), 0);
        const PlayRun run = Play(0, static_cast<int32_t>(c.deviceRate / 64) * 2);
        EXPECT_GT(run.terminatedAt, 0);
        const std::vector<int32_t>& out = run.capture.left;
        int64_t first = -1, last = -1;
        std::vector<double> rising;
        for (size_t i = 0; i < out.size(); ++i) {
            if (std::abs(static_cast<double>(out[i])) > 1e8) last = static_cast<int64_t>(i);
            if (first < 0 && last >= 0) first = last;
            if (i > 0 && out[i - 1] < 0 && out[i] >= 0)
                rising.push_back(static_cast<double>(i - 1) +
                                 out[i - 1] / double(out[i - 1] - out[i]));
        }
        ASSERT_GT(rising.size(), 100u);
        // Away from the edges, where the filter rings.
        const double span = rising[rising.size() - 10] - rising[10];
        const double hz = (static_cast<double>(rising.size()) - 20.0) * c.deviceRate / span;
        EXPECT_NEAR(hz, 1000.0, 1.0);
        EXPECT_NEAR(static_cast<double>(last - first), c.deviceRate, 3);  // the edges: below 1e8
    }

    Start(ASIOSTInt32LSB, 48000);
    const auto level = [](int32_t block) { return (block + 1) * 1500; };
    const auto steps = [&](uint32_t f) { return level(f / 4608); };
    const std::string path =
        rig->StereoWav("steps.wav", 44100, 4608 * 12, steps, steps, WavCue{0, 11});
    ASSERT_EQ(engine->LoadFile(0, path.c_str()), 0);
    EXPECT_EQ(engine->SetPosition(0, 11), 7);  // at the cue-out: a ring before it
    EXPECT_EQ(engine->SetPosition(0, 5), 5);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    const PlayRun run = Play(0, 300);
    const double block = 4608.0 * 48000 / 44100;
    for (int32_t k : {0, 1, 2}) {
        const double heard = run.capture.left[static_cast<size_t>(block * (k + 0.5))] / 65536.0;
        EXPECT_NEAR(heard, level(5 + k), 15.0) << "block " << 5 + k;
    }
}

// A file played from load to end arrives bit for bit on its pair (its cue
// range, if it has one), then silence. The channel closes at the refill that
// meets the range's end and ends when the first block of silence begins. A
// file at half the card's rate plays each frame twice. Cue blocks outside the
// data are dropped at parse with a log line; a good cue-out stops after the
// block before it, a block later than at the data's end.
struct PlayCase {
    const char* name;
    ASIOSampleType type;
    uint16_t channels;
    uint32_t rate, deviceRate;
    uint32_t frames;
    int32_t cueIn, cueOut;  // both 0: no cue chunk
    bool zeroAvgBytesPerSec;
    uint32_t first, end;     // the blocks heard: [first, end), the last one maybe partial
    int32_t closingAtBlock;  // -1: not checked
    int32_t terminatedAtBlock;
    const char* mended;  // the log line, or null when nothing was mended
};

class EnginePlaysAFile : public EnginePlayback, public ::testing::WithParamInterface<PlayCase> {};

TEST_P(EnginePlaysAFile, ItsSamplesArriveOnItsPairThenSilenceAndTheChannelEnds) {
    const PlayCase& c = GetParam();
    const bool b16 = c.type == ASIOSTInt16LSB;
    Start(c.type, c.deviceRate);
    WavLayout layout{.nChannels = c.channels, .nSamplesPerSec = c.rate};
    if (c.cueIn || c.cueOut) layout.cue = WavCue{c.cueIn, c.cueOut};
    if (c.zeroAvgBytesPerSec) layout.nAvgBytesPerSec = 0;
    const std::string path = rig->Wav("song.wav", layout, c.frames);
    ASSERT_EQ(engine->LoadFile(5, path.c_str()), 5);
    ASSERT_EQ(engine->PlayChannel(5), 0);
    EXPECT_EQ(engine->ChannelState(5), CHANNEL_PLAYING);

    const uint32_t blockFrames = c.rate >= 44100 ? 4608 : 2304;
    const int repeat = c.rate * 2 <= c.deviceRate ? 2 : 1;
    const int32_t switchesPerBlock = static_cast<int32_t>(blockFrames * repeat / 64);
    PlayRun run = Play(5, switchesPerBlock * 20, b16);
    std::vector<int32_t> left, right;
    ExpectedPair(std::min(c.end * blockFrames, c.frames), c.channels, repeat, b16,
                 c.first * blockFrames, left, right);
    ExpectFrames(run.capture, 0, left, right);
    EXPECT_TRUE(c.closingAtBlock < 0 || run.closingAt == c.closingAtBlock * switchesPerBlock)
        << run.closingAt;
    EXPECT_EQ(run.terminatedAt, c.terminatedAtBlock * switchesPerBlock);
    // Nothing else ever reached another pair.
    for (int32_t ch = 0; ch < 24; ++ch) {
        if (ch == 10 || ch == 11) continue;
        EXPECT_EQ(b16 ? rig->driver.Sample16(ch, 0, 3) : rig->driver.Sample32(ch, 0, 3), 0);
    }
    // The mapped path describes the stream as it always has.
    engine->Close();
    const std::string log = rig->Log();
    EXPECT_NE(log.find("Format: PCM\nSrc: bitrate: "), std::string::npos);
    EXPECT_EQ(log.find("libsndfile"), std::string::npos);
    EXPECT_TRUE(std::regex_search(log, std::regex("Terminated [^\n]* on channel 5 at \\d\\d:")));
    const bool mended = log.find("Cue chunk mended") != std::string::npos ||
                        log.find("nAvgBytesPerSec 0") != std::string::npos;
    EXPECT_EQ(mended, c.mended != nullptr);
    EXPECT_TRUE(!c.mended || log.find(c.mended) != std::string::npos) << log;
}

// Eleven blocks, the last one partial, from start to end: refill k (after
// block k has played) fetches block k + 3, so the channel closes after block 6.
PlayCase Whole(const char* name, ASIOSampleType type, uint16_t channels, uint32_t rate,
               uint32_t deviceRate) {
    const uint32_t frames = (rate >= 44100 ? 4608 : 2304) * 10 + 100;
    return {name, type, channels, rate, deviceRate, frames, 0, 0, false, 0, 11, 7, 11, nullptr};
}

// Ten blocks of 44100 Hz stereo with a cue chunk (or a byte rate of 0), on a
// 32-bit card.
PlayCase Cued(const char* name, int32_t cueIn, int32_t cueOut, uint32_t first, uint32_t end,
              int32_t terminatedAtBlock, const char* mended = nullptr, bool zeroAvg = false) {
    return {name,   ASIOSTInt32LSB, 2,     44100, 44100, 4608 * 10,         cueIn,
            cueOut, zeroAvg,        first, end,   -1,    terminatedAtBlock, mended};
}

INSTANTIATE_TEST_SUITE_P(
    Files, EnginePlaysAFile,
    ::testing::Values(Whole("Stereo44100On32Bits", ASIOSTInt32LSB, 2, 44100, 44100),
                      Whole("Mono22050At44100On16Bits", ASIOSTInt16LSB, 1, 22050, 44100),
                      Cued("CueRange", 2, 9, 2, 9, 8),
                      Cued("CueOutAtTheBlockCount", 3, 10, 3, 10, 7),
                      Cued("NegativeCueIn", -3, 6, 0, 6, 7, "cue-in -3 -> 0, cue-out 6 -> 6\n"),
                      Cued("CueInAtTheBlockCount", 10, 0, 0, 10, 10, "cue-in 10 -> 0"),
                      Cued("LowestCueIn", INT32_MIN, 0, 0, 10, 10, "cue-in -2147483648 -> 0"),
                      Cued("HighestCueIn", 0x7FFFFFFE, 0, 0, 10, 10, "cue-in 2147483646 -> 0"),
                      Cued("CueOutPastTheBlockCount", 0, 60, 0, 10, 10, "cue-out 60 -> 0\n"),
                      Cued("CueOutAtTheCueIn", 5, 5, 5, 10, 5, "cue-in 5 -> 5, cue-out 5 -> 0"),
                      Cued("CueOutBelowTheCueIn", 5, 3, 5, 10, 5, "cue-out 3 -> 0"),
                      Cued("NoBytesPerSecond", 0, 0, 0, 10, 10,
                           "nAvgBytesPerSec 0 taken as block align x rate: 176400\n", true)),
    [](const ::testing::TestParamInfo<PlayCase>& info) { return info.param.name; });

// Position, restart, a stopped device and a paused channel: each lands on
// the frame due, and the refills publish the block now playing.
TEST_F(EnginePlayback, PositionRestartStopAndPauseLandOnTheFrameDueAndThePositionIsPublished) {
    Start();
    const uint32_t frames = 4608 * 30;
    const std::string path = rig->Wav("song.wav", WavLayout{}, frames);
    ASSERT_EQ(engine->LoadFile(2, path.c_str()), 2);
    ASSERT_EQ(engine->PlayChannel(2), 0);
    platform::Event* position = engine->GetPositionEvent();
    ASSERT_NE(position, nullptr);

    PlayRun first = Play(2, 72 * 3 + 10);
    EXPECT_TRUE(position->TryWait());
    EXPECT_EQ(engine->GetPositionValue(), 3);  // the refill after block 2 had played

    EXPECT_EQ(engine->SetPosition(2, 12), 12);
    EXPECT_EQ(engine->ChannelState(2), CHANNEL_PLAYING);
    PlayRun second = Play(2, 72 * 2);
    ExpectPattern(second.capture, 0, 12 * 4608, 14 * 4608);

    EXPECT_EQ(engine->ReStartChannel(2), 0);
    PlayRun third = Play(2, 72 * 5);
    ExpectPattern(third.capture, 0, 0, 5 * 4608);

    // Neither a stopped device nor a paused channel, each in mid-block, loses
    // or repeats a frame.
    uint32_t due = 5 * 4608;
    const auto playsOn = [&](int32_t switches) {
        ExpectPattern(Play(2, switches).capture, 0, due, due + switches * 64);
        due += switches * 64;
    };
    playsOn(30);
    ASIOStopPlay();
    platform::SleepMs(150);  // longer than a block: the next notification is late
    ASSERT_TRUE(ASIOStartPlay());
    playsOn(72);
    ASSERT_EQ(engine->PauseChannel(2), 0);
    EXPECT_EQ(engine->ChannelState(2), CHANNEL_LOADED);
    for (int32_t v : Play(2, 40).capture.left) ASSERT_EQ(v, 0);  // frozen, not played
    platform::SleepMs(150);
    ASSERT_EQ(engine->PlayChannel(2), 0);
    playsOn(72 * 2);

    // Past the end: four blocks before it. The refills that close publish,
    // the one that terminates does not; a terminated channel comes back loaded.
    EXPECT_EQ(engine->SetPosition(2, 500), 26);
    PlayRun last = Play(2, 72 * 3);
    EXPECT_TRUE(position->TryWait());
    EXPECT_EQ(engine->GetPositionValue(), 29);  // the last block, now playing
    last = Play(2, 72 * 10);
    EXPECT_EQ(last.terminatedAt, 72);
    EXPECT_FALSE(position->TryWait());
    EXPECT_EQ(engine->SetPosition(2, 0), 0);
    EXPECT_EQ(engine->ChannelState(2), CHANNEL_LOADED);
    EXPECT_EQ(engine->PlayChannel(2), 0);
}

// A decoded file publishes the block now playing, also once its end is in the ring.
TEST_F(EnginePlayback, ADecodedFilePublishesTheBlockNowPlayingToItsEnd) {
    Start();
    const std::string path = rig->Wav("deep.wav", {.wBitsPerSample = 24}, 4608 * 6);
    ASSERT_EQ(engine->LoadFile(0, path.c_str()), 0);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    for (int32_t block = 1; block <= 5; ++block) {
        Play(0, 72);
        EXPECT_TRUE(engine->GetPositionEvent()->TryWait() && engine->GetPositionValue() == block)
            << engine->GetPositionValue();
    }
    EXPECT_EQ(Play(0, 72 * 2).terminatedAt, 72);  // as the silence after it begins
}

// Each channel reports the frame of its own file, whatever was refilled last:
// one from block 3; then, started together, one at half the card's rate, one
// looping blocks 1 and 2 of its file from block 2, and one converted from 7.
TEST_F(EnginePlayback, EachChannelReportsThePositionInItsOwnFile) {
    Start();
    const std::string files[] = {
        rig->Wav("a.wav", {}, 4608 * 20),
        rig->Wav("b.wav", {.nChannels = 1, .nSamplesPerSec = 22050}, 2304 * 10),
        rig->Wav("c.wav", {.cue = WavCue{1, 3}}, 4608 * 3 + 1000),
        rig->Wav("d.wav", {.nSamplesPerSec = 48000}, 4608 * 20)};
    for (int32_t ch = 0; ch < 4; ++ch) ASSERT_EQ(engine->LoadFile(ch, files[ch].c_str()), ch);
    ASSERT_EQ(engine->SetPosition(0, 3), 3);
    ASSERT_EQ(engine->SetPosition(2, 2), 2);
    ASSERT_EQ(engine->SetChannelLoop(2, true), 0);
    ASSERT_EQ(engine->SetPosition(3, 20), 16);  // at the end: a ring before it
    ASSERT_EQ(engine->SetPosition(3, 7), 7);
    int64_t frames = -1, length = -1;
    uint32_t rate = 0;
    // Channel 0 has played `alone` frames more than the others' `played`.
    const auto expectPositions = [&](int64_t alone, int64_t played) {
        const struct {
            int64_t frames, length;
            uint32_t rate;
        } expected[] = {{3 * 4608 + alone + played, 4608 * 20, 44100},
                        {played / 2, 2304 * 10, 22050},
                        {4608 + (4608 + played) % (2 * 4608), 4608 * 3 + 1000, 44100},
                        {7 * 4608 + played * 48000 / 44100, 4608 * 20, 48000}};
        for (int32_t ch = 0; ch < 4; ++ch) {
            EXPECT_EQ(engine->GetChannelPosition(ch, &frames, &length, &rate), 0);
            EXPECT_NEAR(static_cast<double>(frames), static_cast<double>(expected[ch].frames),
                        ch == 3 ? 2.0 : 0.0)
                << ch << " after " << played;
            EXPECT_EQ(length, expected[ch].length) << ch;
            EXPECT_EQ(rate, expected[ch].rate) << ch;
        }
    };
    expectPositions(0, 0);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    Play(0, 100);
    const int32_t together[] = {1, 2, 3};
    ASSERT_EQ(engine->PlayChannels(together, 3), 3);
    Play(1, 100);
    expectPositions(100 * 64, 100 * 64);
    Play(1, 700);  // to the end of b.wav, which stays there
    EXPECT_EQ(engine->GetChannelPosition(1, &frames, &length, &rate), 0);
    EXPECT_EQ(frames, 2304 * 10);
    for (const int32_t bad : {-1, 4, kNumChannels}) {
        EXPECT_EQ(engine->GetChannelPosition(bad, &frames, &length, &rate), SARABANDE_BAD_CHANNEL);
        EXPECT_EQ(frames + length + rate, 0);
    }
}

// A level set through the engine before a reposition that stops the channel:
// each row plays block 1 of the pattern on its own channel, and a tone of
// 16384 | -8192 on another, whose meters read each side's peak after the level.
TEST_F(EnginePlayback, LevelsSurviveARepositionAndPlayToTheSample) {
    Start();
    const std::string path = rig->Wav("song.wav", WavLayout{}, 4608 * 8);
    // The left never at a switch's first frame, the right only there.
    const auto leftOnOdd = [](uint32_t f) { return f % 2 ? 16384 : 0; };
    const auto rightFirst = [](uint32_t f) { return f % 64 ? 0 : -8192; };
    const std::string tone = rig->StereoWav("tone.wav", 44100, 4608 * 8, leftOnOdd, rightFirst);
    const double gain7 = std::pow(10.0, (20.0 * std::log10(32767.0) - 7.0) * 0.05) / 32767.0;
    struct Row {
        int32_t levelDb;
        bool mute;
        std::function<int32_t(int16_t)> expected;
    };
    const Row rows[] = {
        {0, false, [](int16_t s) { return OnCard(s, false); }},  // bit for bit
        {-6, false, [](int16_t s) { return OnCard(s, false) >> 1; }},
        {-7, false, [&](int16_t s) { return OnCard(static_cast<int16_t>(s * gain7), false); }},
        {-300, false, [](int16_t) { return 0; }},
        {-6, true, [](int16_t) { return 0; }},
    };
    const int32_t count = static_cast<int32_t>(std::size(rows));
    std::vector<int32_t> channels;
    for (int32_t ch = 0; ch < 2 * count; ++ch) {
        const Row& row = rows[ch % count];
        ASSERT_EQ(engine->LoadFile(ch, (ch < count ? path : tone).c_str()), ch);
        ASSERT_EQ(engine->SetChannelLevel(ch, -20), 0);
        ASSERT_EQ(engine->SetChannelLevel(ch, row.levelDb), 0);
        ASSERT_EQ(engine->SetChannelMute(ch, row.mute), 0);
        ASSERT_EQ(engine->SetPosition(ch, 1), 1);  // sets the buffer back to 0 dB
        channels.push_back(ch);
    }
    ASSERT_EQ(engine->PlayChannels(channels.data(), 2 * count), 2 * count);
    std::vector<PairCapture> pairs(count);
    for (int32_t i = 0; i < 72 * 2; ++i) {
        rig->Switch(1);
        for (int32_t ch = 0; ch < count; ++ch)
            pairs[ch].Take(rig->driver, ch, rig->half ^ 1, false);
    }
    for (int32_t ch = 0; ch < count; ++ch) {
        for (uint32_t f = 0; f < 4608 * 2; ++f) {
            const uint32_t sample = (4608 + f) * 2;
            ASSERT_EQ(pairs[ch].left[f], rows[ch].expected(PatternSample(sample)))
                << ch << ":" << f;
            ASSERT_EQ(pairs[ch].right[f], rows[ch].expected(PatternSample(sample + 1))) << ch;
        }
        int32_t level = 1;
        double current = 1.0;
        EXPECT_EQ(engine->GetChannelLevel(ch, &level, nullptr, &current), 0);
        EXPECT_EQ(level, std::max(rows[ch].levelDb, kChannelSilenceDb));
        EXPECT_EQ(current, rows[ch].mute ? kChannelSilenceDb : level);
        float left = -1.0f, right = -1.0f;
        ASSERT_EQ(engine->GetChannelMeter(count + ch, &left, &right), 0);
        EXPECT_FLOAT_EQ(left, std::abs(rows[ch].expected(16384) / 2147483648.0)) << ch;
        EXPECT_FLOAT_EQ(right, std::abs(rows[ch].expected(-8192) / 2147483648.0)) << ch;
        EXPECT_EQ(engine->GetChannelStatus(count + ch), CHANNEL_PLAYING);  // a mute only silences
    }
}

// Fades end within one buffer switch of the time asked; a fade to silence that
// stops ends the channel, which refills no more and keeps its level for the
// next play.
TEST_F(EnginePlayback, FadesEndOnTimeAndAFadeThatStopsEndsTheChannel) {
    Start();
    const std::string path =
        rig->StereoWav("tone.wav", 44100, 4608 * 40, Constant(16384), Constant(16384));
    ASSERT_EQ(engine->LoadFile(0, path.c_str()), 0);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    const double msPerSwitch = 64 * 1000.0 / 44100.0;
    // Switches until the first frame of a switch on pair 0 is `value`.
    const auto SwitchesUntil = [&](int32_t value) {
        for (int32_t n = 1; n <= 1000; ++n) {
            rig->Switch(1);
            if (rig->driver.Sample32(0, rig->half ^ 1, 0) == value) return n;
        }
        return -1;
    };
    EXPECT_EQ(SwitchesUntil(1 << 30), 1);
    ASSERT_EQ(engine->FadeChannel(0, -12, 101, false), 0);
    ASSERT_EQ(engine->SetPosition(0, 3), 3);  // playing on: the fade goes on
    EXPECT_NEAR(SwitchesUntil(1 << 28) * msPerSwitch, 101.0, msPerSwitch);
    double current = 0.0;
    int32_t level = 0;
    ASSERT_EQ(engine->GetChannelLevel(0, &level, nullptr, &current), 0);
    EXPECT_EQ(std::make_pair(level, current), std::make_pair(-12, -12.0));

    ASSERT_EQ(engine->FadeChannel(0, kChannelSilenceDb, 50, true), 0);
    EXPECT_NEAR(SwitchesUntil(0) * msPerSwitch, 50.0, msPerSwitch);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_TERMINATED);
    for (int32_t v : Play(0, 72 * 2).capture.left) ASSERT_EQ(v, 0);
    ASSERT_EQ(engine->GetChannelLevel(0, &level), 0);
    EXPECT_EQ(level, -12);

    EXPECT_EQ(engine->SetPosition(0, 0), 0);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_LOADED);
    ASSERT_EQ(engine->PlayChannel(0), 0);
    EXPECT_EQ(SwitchesUntil(1 << 28), 1);

    // Muted during a fade that stops, or fading to a stop while muted: nothing
    // more would be heard, so the channel ends at the next switch.
    for (const bool muteFirst : {false, true}) {
        EXPECT_EQ(engine->SetChannelMute(0, muteFirst), 0);
        ASSERT_EQ(engine->FadeChannel(0, -3, 10000, true), 0);
        EXPECT_EQ(muteFirst ? 0 : engine->SetChannelMute(0, true), 0);
        Play(0, 1);
        EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_TERMINATED) << muteFirst;
        ASSERT_EQ(engine->SetPosition(0, 0), 0);
        ASSERT_EQ(engine->PlayChannel(0), 0);
    }
    // The reposition cancelled the stop: muted again, the channel plays on.
    EXPECT_EQ(engine->SetChannelMute(0, true), 0);
    Play(0, 1);
    EXPECT_EQ(engine->GetChannelStatus(0), CHANNEL_PLAYING);
    engine->Close();
    const std::string log = rig->Log();
    const std::string line = "Terminated " + path + " on channel 0 by a fade at ";
    const size_t end = log.find(line);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::isdigit(log[end + line.size()]));  // the time
    EXPECT_EQ(log.find("Chn: 0, ", end), log.find("Chn: 0, ", log.find("SetPosition", end)));
}

// Started together while another thread switches the card as fast as it can:
// every channel's first frame lands in the same switch.
TEST_F(EnginePlayback, ChannelsPlayedTogetherBeginInOneSwitchWhileTheCardRuns) {
    Start();
    const std::string path =
        rig->StereoWav("tone.wav", 44100, 4608 * 20, Constant(1000), Constant(-1000));
    std::vector<int32_t> channels{7, 2, 5, 0, 11, 3};
    for (int32_t ch : channels) ASSERT_EQ(engine->LoadFile(ch, path.c_str()), ch);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> switches{0};
    std::vector<int64_t> first(kNumChannels, -1);
    std::thread card([&] {
        // A card that never waits for a processor, even on a busy machine,
        // where that is allowed: it switches many times during the command.
        sched_param fifo{};
        fifo.sched_priority = 1;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo);
        for (int64_t n = 0; !stop.load() && n < 10000000; ++n) {
            rig->driver.Switch(n & 1);
            for (int32_t ch : channels)
                if (first[ch] < 0 && rig->driver.Sample32(2 * ch, n & 1, 0) != 0) first[ch] = n;
            switches.store(n + 1);
        }
    });
    // Waits (2 s at most) until the card has switched 100 times more: a
    // loaded machine may keep the card's thread from starting for a while.
    const auto awaitSwitches = [&] {
        const int64_t until = switches.load() + 100;
        for (int i = 0; i < 2000 && switches.load() < until; ++i) platform::SleepMs(1);
    };
    awaitSwitches();
    EXPECT_EQ(engine->PlayChannels(channels.data(), 6), 6);
    awaitSwitches();
    stop.store(true);
    card.join();
    for (int32_t ch : channels) {
        EXPECT_GT(first[ch], 0);
        EXPECT_EQ(first[ch], first[channels[0]]) << "channel " << ch;
    }
}

}  // namespace
