// Twelve files through the whole program onto the virtual card, recorded:
// engine, stream buffers, sound buffers, output stage, host functions and
// the card, with the recording checked sample for sample.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/RtGuard.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveData.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Frame;
using e2e::TestFile;

constexpr int32_t kVirtualCard = 2;
constexpr uint32_t kCardChannels = 24;

// Sets an environment variable for its lifetime.
struct ScopedEnv {
    const char* name;
    ScopedEnv(const char* n, const std::string& value) : name(n) { setenv(n, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name); }
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
    const char* name;
};

void PrintTo(const CardSetup& card, std::ostream* out) {
    *out << card.name;
}

class EndToEndVirtualCard : public ::testing::TestWithParam<CardSetup> {};

// The recorded frame of pair `pair`, as it left the card.
Frame ReadPair(const WaveData& wav, uint32_t frame, int32_t pair) {
    return {wav.Sample(frame, 2 * static_cast<uint32_t>(pair)),
            wav.Sample(frame, 2 * static_cast<uint32_t>(pair) + 1)};
}

// Plays `files` (from dir) on channels 0, 1, ... of the virtual card, set up
// as `format` at `rate` with 256-frame periods, converted to its rate or
// not, from one start until `finished` (at most 20 s), and returns the
// card's recording. `loaded` runs once the files are loaded.
WaveData PlayOnTheCard(const TempDir& dir, const std::vector<std::string>& files,
                       const char* format, uint32_t rate, bool bConvert,
                       const std::function<void(Sarabande&)>& loaded,
                       const std::function<bool(Sarabande&)>& finished) {
    const std::string recordingPath = dir.File("recording.wav");
    ScopedEnv rateEnv("CANTABILE_VC_RATE", std::to_string(rate));
    ScopedEnv framesEnv("CANTABILE_VC_FRAMES", "256");
    ScopedEnv formatEnv("CANTABILE_VC_FORMAT", format);
    ScopedEnv recordEnv("CANTABILE_VC_RECORD", recordingPath);
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    {
        int hwnd = 0;
        Sarabande engine(kVirtualCard, nullptr);
        EXPECT_EQ(engine.Init(&hwnd, nullptr, dir.path().c_str()), 0);
        engine.SetConvertRates(bConvert);
        for (size_t k = 0; k < files.size(); ++k)
            EXPECT_EQ(engine.LoadFile(static_cast<int32_t>(k), dir.File(files[k]).c_str()),
                      static_cast<int32_t>(k));
        loaded(engine);
        for (size_t k = 0; k < files.size(); ++k)
            EXPECT_EQ(engine.PlayChannel(static_cast<int32_t>(k)), 0);
        const uint64_t marked = rtguard::MarkedSwitches();
        EXPECT_TRUE(ASIOStartPlay());
        const auto start = Clock::now();
        while (!finished(engine) && Clock::now() - start < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(finished(engine));
        // In the real-time guard build every switch of this play ran under it.
        if (rtguard::Enabled()) {
            EXPECT_GT(rtguard::MarkedSwitches(), marked);
        }
        ASIOStopPlay();
        engine.Close();
    }
    ASIOSetDriverSource(nullptr);
    const std::string bytes = ReadWholeFile(recordingPath);
    EXPECT_EQ(RecordingHeaderProblem(bytes, bytes.size()), "");
    WaveData wav = ReadWave(recordingPath);
    EXPECT_EQ(wav.nChannels, kCardChannels);
    EXPECT_EQ(wav.nSamplesPerSec, rate);
    EXPECT_EQ(wav.wBitsPerSample, std::strcmp(format, "int16") == 0 ? 16u : 32u);
    return wav;
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
    std::vector<std::string> names;
    for (const TestFile& file : files) {
        names.push_back("file" + std::to_string(file.nId) + ".wav");
        ASSERT_TRUE(WriteBytes(dir.File(names.back()), e2e::MakeFile(file)));
    }
    const WaveData wav = PlayOnTheCard(
        dir, names, card.format, card.dwRate, false, [](Sarabande&) {},
        [](Sarabande& e) {
            for (int32_t k = 0; k < kNumChannels; ++k)
                if (e.ChannelState(k) != CHANNEL_TERMINATED) return false;
            return true;
        });
    ASSERT_FALSE(HasFailure());
    const uint32_t recorded = wav.Frames();

    // Every channel starts in the same frame: the one of the first switch.
    const bool b16 = wav.wBitsPerSample == 16;
    int64_t firstFrame = -1;
    for (int32_t k = 0; k < kNumChannels; ++k) {
        const std::vector<Frame> want = e2e::ExpectedOutput(files[k], card.dwRate);
        const bool bDithered = files[k].IsWide();
        uint32_t at = 0;
        while (at < recorded && ReadPair(wav, at, k) == Frame{0, 0}) ++at;
        ASSERT_LT(at, recorded) << "channel " << k << " is silent";
        if (firstFrame < 0) {
            firstFrame = at;
            EXPECT_EQ(firstFrame % 256, 0) << "sound begins inside a period";
        }
        EXPECT_EQ(at, firstFrame) << "channel " << k << " starts late or early";
        ASSERT_LE(at + want.size(), recorded) << "channel " << k << " was cut short";
        // The file, then silence to the end of the recording (the dither's
        // step while the ring plays out): nothing of the ring played twice,
        // nothing of another channel.
        for (uint32_t i = 0; at + i < recorded; ++i) {
            const Frame w = i < want.size() ? want[i] : Frame{0, 0};
            const Frame got = ReadPair(wav, at + i, k);
            ASSERT_TRUE(Matches(got.left, w.left, b16, bDithered) &&
                        Matches(got.right, w.right, b16, bDithered))
                << "channel " << k << " output frame " << i << ": got " << got.left << "/"
                << got.right << ", want " << w.left << "/" << w.right;
        }
    }
}

struct LoopCase {
    const char* name;
    bool bConverted;  // a 44100 Hz file on the 48000 Hz card, else at 48000 Hz
    bool bCue;        // the range is blocks 1 to 3, else the whole file
    e2e::Encoding encoding = e2e::Encoding::Pcm16;  // 24-bit: decoded
};

void PrintTo(const LoopCase& loop, std::ostream* out) {
    *out << loop.name;
}

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
    // The looping channel never ends; the other one does.
    const WaveData wav = PlayOnTheCard(
        dir, {"loop.wav", "repeated.wav"}, "int32", 48000, true,
        [](Sarabande& e) { EXPECT_EQ(e.SetChannelLoop(0, true), 0); },
        [](Sarabande& e) {
            return e.ChannelState(1) == CHANNEL_TERMINATED && e.ChannelState(0) == CHANNEL_PLAYING;
        });
    ASSERT_FALSE(HasFailure());
    const uint32_t recorded = wav.Frames();
    uint32_t at = 0;
    while (at < recorded && ReadPair(wav, at, 1) == Frame{0, 0}) ++at;
    ASSERT_EQ(ReadPair(wav, at, 0), ReadPair(wav, at, 1)) << "the channels start apart";
    const uint32_t passes = (end - first) * 3 * 48000 / file.dwSamplesPerSec;
    ASSERT_LE(at + passes, recorded);
    for (uint32_t i = 0; i < passes; ++i) {
        const Frame looped = ReadPair(wav, at + i, 0);
        ASSERT_EQ(looped, ReadPair(wav, at + i, 1)) << "output frame " << i;
        if (!loop.bConverted) {
            ASSERT_EQ(looped.left, repeated[2 * i]) << "output frame " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Loops, LoopOnTheVirtualCard,
    ::testing::Values(LoopCase{"Mapped", false, false}, LoopCase{"MappedCued", false, true},
                      LoopCase{"Decoded24Cued", false, true, e2e::Encoding::Pcm24},
                      LoopCase{"Converted", true, false}, LoopCase{"ConvertedCued", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Cards, EndToEndVirtualCard,
                         ::testing::Values(CardSetup{"int32", 48000, "int32_48000"},
                                           CardSetup{"int16", 44100, "int16_44100"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
