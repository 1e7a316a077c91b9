// Twelve files through the whole program onto the virtual card, recorded:
// engine, stream buffers, sound buffers, output stage, host functions and
// the card, with the recording checked sample for sample.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/drivers/EndToEndFiles.h"
#include "tests/drivers/WavCheck.h"
#include "tests/support/RtGuard.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Frame;
using e2e::TestFile;

constexpr int32_t kVirtualCard = 2;
constexpr uint32_t kCardChannels = 24;

// Sets an environment variable for its lifetime.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
};

// Twelve files, one per channel, over every kind the engine plays: stereo
// and mono at 48000, 44100 and 22050 Hz (the last twice as long at both
// device rates used), partial last blocks, a cue-in and cue-out pair, a
// cue-in alone, a cue-out alone and a cued half-rate file; mapped and
// decoded (24-bit, float and extensible-header files), all unconverted.
std::vector<TestFile> TwelveFiles() {
    using e2e::Encoding;
    return {
        {1, 2, 48000, 48000, {}},
        {2, 1, 48000, 60000, {}, Encoding::Pcm24},
        {3, 2, 44100, 44100 + 123, {}, Encoding::Float},
        {4, 1, 44100, 50001, {}, Encoding::Extensible16},
        {5, 2, 22050, 22050, {}},
        {6, 1, 22050, 30001, {}, Encoding::Float},
        {7, 2, 48000, 96000, WavCue{0, 8}, Encoding::Pcm24},
        {8, 1, 48000, 70000, WavCue{3, 0}},
        {9, 2, 44100, 70000, {}, Encoding::Extensible16},
        {10, 1, 22050, 25000, WavCue{1, 6}},
        {11, 2, 48000, 77777, {}, Encoding::Pcm24},
        {12, 1, 44100, 44100, {}},
    };
}

struct CardSetup {
    const char* format;
    uint32_t dwRate;
};

void PrintTo(const CardSetup& card, std::ostream* out) {
    *out << card.format << " at " << card.dwRate << " Hz";
}

std::string PrintCard(const ::testing::TestParamInfo<CardSetup>& info) {
    return std::string(info.param.format) + "_" + std::to_string(info.param.dwRate);
}

class EndToEndVirtualCard : public ::testing::TestWithParam<CardSetup> {};

// The recorded frame of pair `pair` as it left the card: 32-bit, or 16-bit.
Frame ReadPair(const testhost::WavInfo& wav, uint32_t frame, int32_t pair) {
    const uint32_t bytes = wav.bitsPerSample / 8;
    const uint8_t* at =
        wav.data +
        (static_cast<size_t>(frame) * kCardChannels + 2 * static_cast<uint32_t>(pair)) * bytes;
    if (bytes == 2) {
        int16_t left = 0;
        int16_t right = 0;
        std::memcpy(&left, at, 2);
        std::memcpy(&right, at + 2, 2);
        return {left, right};
    }
    Frame out{};
    std::memcpy(&out.left, at, 4);
    std::memcpy(&out.right, at + 4, 4);
    return out;
}

// A 32-bit card plays the file's samples exactly; a 16-bit card their top
// 16 bits exactly, or, from 32-bit memory, within one step of them rounded.
bool Matches(int32_t got, int32_t want, bool b16Bits, bool bDithered) {
    if (!b16Bits) return got == want;
    if (!bDithered) return got == want >> 16;
    const int64_t rounded = (static_cast<int64_t>(want) + 32768) >> 16;
    return got >= rounded - 1 && got <= rounded + 1;
}

// Unconverted, as the engine plays with rate conversion off.
TEST_P(EndToEndVirtualCard, TwelveFilesComeBackBitForBitFromTheSameFrameThenSilence) {
    const CardSetup card = GetParam();
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    const std::vector<TestFile> files = TwelveFiles();
    for (const TestFile& file : files) {
        ASSERT_TRUE(
            WriteBytes(dir.File("file" + std::to_string(file.nId) + ".wav"), e2e::MakeFile(file)));
    }
    const std::string recordingPath = dir.File("recording.wav");
    ScopedEnv rate("CANTABILE_VC_RATE", std::to_string(card.dwRate));
    ScopedEnv frames("CANTABILE_VC_FRAMES", "256");
    ScopedEnv format("CANTABILE_VC_FORMAT", card.format);
    ScopedEnv record("CANTABILE_VC_RECORD", recordingPath);
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    // A failed assertion must not leave the mixer pointing at a dead source.
    struct SourceReset {
        ~SourceReset() { ASIOSetDriverSource(nullptr); }
    } sourceReset;
    {
        int hwnd = 0;
        Sarabande engine(kVirtualCard, nullptr);
        ASSERT_EQ(engine.Init(&hwnd, nullptr, dir.path().c_str()), 0);
        engine.SetConvertRates(false);
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const std::string path = dir.File("file" + std::to_string(files[k].nId) + ".wav");
            ASSERT_EQ(engine.LoadFile(k, path.c_str()), k);
        }
        for (int32_t k = 0; k < kNumChannels; ++k) {
            ASSERT_EQ(engine.PlayChannel(k), 0);
        }
        const uint64_t marked = rtguard::MarkedSwitches();
        ASSERT_TRUE(ASIOStartPlay());
        // The longest file plays about 1.8 s; the card keeps real time.
        const auto start = Clock::now();
        auto allDone = [&] {
            for (int32_t k = 0; k < kNumChannels; ++k) {
                if (engine.ChannelState(k) != CHANNEL_TERMINATED) return false;
            }
            return true;
        };
        while (!allDone() && Clock::now() - start < std::chrono::seconds(20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (int32_t k = 0; k < kNumChannels; ++k) {
            EXPECT_EQ(engine.ChannelState(k), CHANNEL_TERMINATED) << "channel " << k;
        }
        // In the real-time guard build every switch of this play ran under
        // the guard.
        if (rtguard::Enabled()) {
            EXPECT_GT(rtguard::MarkedSwitches(), marked);
        }
        ASIOStopPlay();
        engine.Close();
    }

    const std::string bytes = ReadWholeFile(recordingPath);
    const testhost::WavInfo wav = testhost::ParseRecording(bytes);
    ASSERT_TRUE(wav.valid) << wav.problem;
    ASSERT_EQ(wav.channels, kCardChannels);
    ASSERT_EQ(wav.sampleRate, card.dwRate);
    ASSERT_EQ(wav.bitsPerSample, std::strcmp(card.format, "int16") == 0 ? 16u : 32u);
    const uint32_t recorded = wav.dataBytes / (kCardChannels * wav.bitsPerSample / 8);

    // Every channel starts in the same frame: the one of the first switch.
    const bool b16 = wav.bitsPerSample == 16;
    int64_t firstFrame = -1;
    for (int32_t k = 0; k < kNumChannels; ++k) {
        const std::vector<Frame> want = e2e::ExpectedOutput(files[k], card.dwRate);
        const bool bDithered = files[k].IsWide();
        ASSERT_FALSE(want.empty());
        uint32_t at = 0;
        while (at < recorded && ReadPair(wav, at, k) == Frame{0, 0}) ++at;
        ASSERT_LT(at, recorded) << "channel " << k << " is silent";
        if (firstFrame < 0) {
            firstFrame = at;
            EXPECT_EQ(firstFrame % 256, 0) << "sound begins inside a period";
        }
        EXPECT_EQ(at, firstFrame) << "channel " << k << " starts late or early";
        ASSERT_LE(at + want.size(), recorded) << "channel " << k << " was cut short";
        for (size_t i = 0; i < want.size(); ++i) {
            const Frame got = ReadPair(wav, at + static_cast<uint32_t>(i), k);
            ASSERT_TRUE(Matches(got.left, want[i].left, b16, bDithered) &&
                        Matches(got.right, want[i].right, b16, bDithered))
                << "channel " << k << " output frame " << i << ": got " << got.left << "/"
                << got.right << ", want " << want[i].left << "/" << want[i].right;
        }
        // Silence after the file up to the end of the recording (the dither's
        // step while the ring plays out): nothing of the ring played twice,
        // nothing of another channel.
        for (uint32_t f = at + static_cast<uint32_t>(want.size()); f < recorded; ++f) {
            const Frame got = ReadPair(wav, f, k);
            ASSERT_TRUE(Matches(got.left, 0, b16, bDithered) &&
                        Matches(got.right, 0, b16, bDithered))
                << "channel " << k << " sounds at frame " << f;
        }
    }
}

struct LoopCase {
    bool bConverted;  // a 44100 Hz file on the 48000 Hz card, else at 48000 Hz
    bool bCue;        // the range is blocks 1 to 3, else the whole file
    e2e::Encoding encoding = e2e::Encoding::Pcm16;  // 24-bit: decoded
};

class LoopOnTheVirtualCard : public ::testing::TestWithParam<LoopCase> {};

// Channel 0 loops a short file whose last block is partial; channel 1 plays,
// unlooped, a file that holds the same range four times over (so that the
// converter's view of its end lies beyond the third). Both start in the same
// frame, and they agree frame for frame for three whole passes.
TEST_P(LoopOnTheVirtualCard, ThreePassesEqualTheRangeThreeTimesOver) {
    const LoopCase loop = GetParam();
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    std::optional<WavCue> cue;
    if (loop.bCue) cue = WavCue{1, 3};
    const TestFile file{
        5, 2, loop.bConverted ? 44100u : 48000u, 4608 * 3 + 700, cue, loop.encoding};
    const uint32_t first = loop.bCue ? 4608 : 0;
    const uint32_t end = loop.bCue ? 4608 * 3 : file.dwFrames;
    WavLayout layout;
    layout.nSamplesPerSec = file.dwSamplesPerSec;
    layout.wBitsPerSample = file.encoding == e2e::Encoding::Pcm24 ? 24 : 16;
    std::vector<int32_t> repeated;
    for (int pass = 0; pass < 4; ++pass) {
        for (uint32_t f = first; f < end; ++f) {
            repeated.push_back(e2e::SampleOf(file, f, 0));
            repeated.push_back(e2e::SampleOf(file, f, 1));
        }
    }
    ASSERT_TRUE(WriteBytes(dir.File("loop.wav"), e2e::MakeFile(file)));
    ASSERT_TRUE(
        WriteBytes(dir.File("repeated.wav"), MakeWav(layout, EncodeSamples(layout, repeated))));
    const std::string recordingPath = dir.File("recording.wav");
    ScopedEnv rate("CANTABILE_VC_RATE", "48000");
    ScopedEnv frames("CANTABILE_VC_FRAMES", "256");
    ScopedEnv format("CANTABILE_VC_FORMAT", "int32");
    ScopedEnv record("CANTABILE_VC_RECORD", recordingPath);
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    struct SourceReset {
        ~SourceReset() { ASIOSetDriverSource(nullptr); }
    } sourceReset;
    {
        int hwnd = 0;
        Sarabande engine(kVirtualCard, nullptr);
        ASSERT_EQ(engine.Init(&hwnd, nullptr, dir.path().c_str()), 0);
        ASSERT_EQ(engine.LoadFile(0, dir.File("loop.wav").c_str()), 0);
        ASSERT_EQ(engine.LoadFile(1, dir.File("repeated.wav").c_str()), 1);
        ASSERT_EQ(engine.SetChannelLoop(0, true), 0);
        ASSERT_EQ(engine.PlayChannel(0), 0);
        ASSERT_EQ(engine.PlayChannel(1), 0);
        ASSERT_TRUE(ASIOStartPlay());
        const auto start = Clock::now();
        while (engine.ChannelState(1) != CHANNEL_TERMINATED &&
               Clock::now() - start < std::chrono::seconds(20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(engine.ChannelState(1), CHANNEL_TERMINATED);
        EXPECT_EQ(engine.ChannelState(0), CHANNEL_PLAYING) << "a looping channel never ends";
        ASIOStopPlay();
        engine.Close();
    }
    const std::string bytes = ReadWholeFile(recordingPath);
    const testhost::WavInfo wav = testhost::ParseRecording(bytes);
    ASSERT_TRUE(wav.valid) << wav.problem;
    const uint32_t recorded = wav.dataBytes / (kCardChannels * 4);
    uint32_t at = 0;
    while (at < recorded && ReadPair(wav, at, 1) == Frame{0, 0}) ++at;
    ASSERT_EQ(ReadPair(wav, at, 0), ReadPair(wav, at, 1)) << "the channels start apart";
    const uint32_t passes = (end - first) * 3 * 48000 / file.dwSamplesPerSec;
    ASSERT_LE(at + passes, recorded);
    for (uint32_t i = 0; i < passes; ++i) {
        const Frame looped = ReadPair(wav, at + i, 0);
        const Frame repeatedHeard = ReadPair(wav, at + i, 1);
        ASSERT_EQ(looped, repeatedHeard) << "output frame " << i;
        if (!loop.bConverted) {
            ASSERT_EQ(looped.left, repeated[2 * i]) << "output frame " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Loops, LoopOnTheVirtualCard,
                         ::testing::Values(LoopCase{false, false}, LoopCase{false, true},
                                           LoopCase{false, true, e2e::Encoding::Pcm24},
                                           LoopCase{true, false}, LoopCase{true, true}),
                         [](const auto& info) {
                             const bool b24 = info.param.encoding == e2e::Encoding::Pcm24;
                             return std::string(info.param.bConverted ? "Converted"
                                                : b24                 ? "Decoded24"
                                                                      : "Mapped") +
                                    (info.param.bCue ? "Cued" : "");
                         });

INSTANTIATE_TEST_SUITE_P(Cards, EndToEndVirtualCard,
                         ::testing::Values(CardSetup{"int32", 48000}, CardSetup{"int16", 44100}),
                         PrintCard);

}  // namespace
