// The virtual card alone, under a host that writes a known pattern, and under
// the whole program: twelve files through engine, stream buffers, sound
// buffers, output stage and card, recorded and checked sample for sample.
#include "drivers/VirtualCard.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/DebugLog.h"
#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/drivers/TestHost.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/RtGuard.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveData.h"

using drivers::VirtualCard;
using drivers::VirtualCardSettings;
using testhost::DriverPtr;
using testhost::ErrorOf;
using testhost::Host;

namespace {

struct ScopedEnv {
    const char* name;
    ScopedEnv(const char* n, const std::string& value) : name(n) { setenv(n, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name); }
};

// Compares a 16-bit recording period by period with what the host wrote:
// channels below `written` carry their period's pattern, the rest silence.
// Returns the number of periods found, or -1 at the first wrong sample.
int64_t CheckPeriods(const WaveData& wav, uint32_t frames, uint32_t written) {
    if (wav.Frames() % frames != 0) {
        ADD_FAILURE() << "data is not whole periods";
        return -1;
    }
    const int64_t periods = wav.Frames() / frames;
    for (int64_t n = 0; n < periods; ++n)
        for (uint32_t f = 0; f < frames; ++f)
            for (uint32_t c = 0; c < wav.nChannels; ++c) {
                const auto ch = static_cast<int32_t>(c), fr = static_cast<int32_t>(f);
                const int32_t want = c >= written ? 0 : testhost::Pattern16(ch, n, fr);
                const int32_t got = wav.Sample(static_cast<uint32_t>(n) * frames + f, c);
                if (got != want) {
                    ADD_FAILURE() << "period " << n << " frame " << f << " channel " << c << ": "
                                  << got << " instead of " << want;
                    return -1;
                }
            }
    return periods;
}

struct RecordCase {
    const char* name;
    uint32_t channelsWritten;
    // A file size limit standing in for a full disk leaves room for the
    // header and this many periods and a half; 0 for none.
    int64_t periodsOfRoom;
};

class VirtualCardRecording : public ::testing::TestWithParam<RecordCase> {};

// The recording is complete at stop, before the buffers are gone; a disk
// that fills up ends it cleanly with whole periods, says so once in the
// log, and the clock plays on.
TEST_P(VirtualCardRecording, RecordsEveryPeriodExactlyOnceUntilTheDiskIsFull) {
    const RecordCase param = GetParam();
    TempDir dir;
    MixerDebugLog().Open(dir.path().c_str());
    VirtualCardSettings settings;
    settings.dwBufferFrames = 256;
    settings.sampleType = ASIOSTInt16LSB;
    settings.recordPath = dir.File("out.wav");
    DriverPtr card(new VirtualCard(settings));
    ASSERT_EQ(card->init(nullptr), ASIOTrue) << ErrorOf(card.get());

    Host host;
    ASSERT_EQ(host.CreateBuffers(card.get(), static_cast<int32_t>(param.channelsWritten), 256,
                                 ASIOSTInt16LSB),
              ASE_OK);
    // Before the first switch the file is already a whole, empty recording.
    std::string bytes = ReadWholeFile(settings.recordPath);
    EXPECT_EQ(RecordingHeaderProblem(bytes, bytes.size()), "");
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    if (param.periodsOfRoom > 0) {
        const size_t periodBytes = 256 * 24 * 2;
        rlimit limit = saved;
        limit.rlim_cur =
            68 + periodBytes * static_cast<size_t>(param.periodsOfRoom) + periodBytes / 2;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    const int64_t started = testhost::NowNs();
    ASSERT_EQ(card->start(), ASE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(card->stop(), ASE_OK);
    const int64_t elapsedNs = testhost::NowNs() - started;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    // The clock keeps real time, full disk or not: neither stalls nor races.
    const int64_t played = host.periods.load();
    EXPECT_GT(played, 20);
    EXPECT_LE(played, elapsedNs * 48000 / 256 / 1000000000 + 2);
    EXPECT_EQ(host.wrongHalves.load(), 0);

    bytes = ReadWholeFile(settings.recordPath);
    ASSERT_EQ(RecordingHeaderProblem(bytes, bytes.size()), "");
    const WaveData wav = ReadWave(settings.recordPath);
    EXPECT_EQ(CheckPeriods(wav, 256, param.channelsWritten),
              param.periodsOfRoom > 0 ? param.periodsOfRoom : played);
    MixerDebugLog().Close();
    const std::string log = ReadWholeFile(dir.File("OstinatoDbg.Log"));
    const size_t at = log.find("VirtualCard: recording stopped");
    EXPECT_EQ(at != std::string::npos, param.periodsOfRoom > 0) << log;
    EXPECT_EQ(log.find("VirtualCard: recording stopped", at + 1), std::string::npos) << log;

    // No switch after stop; the file stays as it was through disposeBuffers.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(host.periods.load(), played);
    EXPECT_EQ(card->disposeBuffers(), ASE_OK);
    EXPECT_EQ(ReadWholeFile(settings.recordPath), bytes);
}

INSTANTIATE_TEST_SUITE_P(Cards, VirtualCardRecording,
                         ::testing::Values(RecordCase{"Int16SixWritten", 6, 0},
                                           RecordCase{"FullDisk", 24, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VirtualCard, RefusesBadSettingsWithAClearText) {
    const struct {
        const char *rate, *frames, *format, *mentions;
    } cases[] = {
        {"fast", nullptr, nullptr, "CANTABILE_VC_RATE"},
        {"7999", nullptr, nullptr, "8000 to 384000"},
        {"384001", nullptr, nullptr, "CANTABILE_VC_RATE"},
        {nullptr, "15", nullptr, "16 to 8192"},
        {nullptr, "8193", nullptr, "CANTABILE_VC_FRAMES"},
        {nullptr, "256.0", nullptr, "CANTABILE_VC_FRAMES"},
        {nullptr, nullptr, "float", "int32 or int16"},
    };
    VirtualCardSettings settings;
    std::string error;
    for (const auto& c : cases) {
        EXPECT_FALSE(drivers::ParseVirtualCardSettings(c.rate, c.frames, c.format, nullptr,
                                                       &settings, &error));
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
    // The edges of every range are accepted.
    ASSERT_TRUE(drivers::ParseVirtualCardSettings("384000", "16", "int16", "", &settings, &error));
    ASSERT_TRUE(
        drivers::ParseVirtualCardSettings("8000", "8192", "int32", nullptr, &settings, &error));

    // init reads the environment and reports through getErrorMessage.
    ScopedEnv frames("CANTABILE_VC_FRAMES", "lots");
    DriverPtr card(new VirtualCard());
    EXPECT_EQ(card->init(nullptr), ASIOFalse);
    EXPECT_NE(ErrorOf(card.get()).find("CANTABILE_VC_FRAMES"), std::string::npos);

    TempDir dir;
    settings = VirtualCardSettings{};
    settings.recordPath = dir.File("no/such/dir/out.wav");
    card.reset(new VirtualCard(settings));
    EXPECT_EQ(card->init(nullptr), ASIOFalse);
    EXPECT_NE(ErrorOf(card.get()).find("Cannot create the recording file"), std::string::npos);
}

TEST(VirtualCard, RefusesBuffersItCannotMake) {
    DriverPtr card(new VirtualCard(VirtualCardSettings{}));
    ASSERT_EQ(card->init(nullptr), ASIOTrue);
    int32_t inputs = -1, outputs = -1;
    ASSERT_EQ(card->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(std::make_pair(inputs, outputs), std::make_pair(0, 24));
    Host host;
    EXPECT_EQ(card->start(), -997);  // ASE_InvalidMode, as published
    EXPECT_EQ(host.CreateBuffers(card.get(), 2, 128, ASIOSTInt32LSB), ASE_InvalidMode);
    EXPECT_EQ(card->disposeBuffers(), ASE_InvalidMode);
    ASSERT_EQ(host.CreateBuffers(card.get(), 2, 256, ASIOSTInt32LSB), ASE_OK);
    EXPECT_EQ(host.CreateBuffers(card.get(), 2, 256, ASIOSTInt32LSB), ASE_InvalidMode);
    EXPECT_EQ(card->setSampleRate(44100), ASE_InvalidMode);
    EXPECT_EQ(card->canSampleRate(7000), ASE_NoClock);
}

using e2e::Frame;
using e2e::TestFile;

constexpr int32_t kVirtualCard = 2;
constexpr uint32_t kCardChannels = 24;

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

class EndToEndVirtualCard : public ::testing::TestWithParam<CardSetup> {};

// The recorded frame of pair `pair`, as it left the card.
Frame ReadPair(const WaveData& wav, uint32_t frame, int32_t pair) {
    return {wav.Sample(frame, 2 * static_cast<uint32_t>(pair)),
            wav.Sample(frame, 2 * static_cast<uint32_t>(pair) + 1)};
}

// Plays `files` (from dir) on channels 0, 1, ... of the virtual card, set up as
// `format` at `rate` with 256-frame periods, converted or not, from one start
// until `finished` (at most 20 s); returns the recording. `loaded` runs once
// the files are loaded.
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
        const int64_t start = testhost::NowNs();
        while (!finished(engine) && testhost::NowNs() - start < 20000000000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(finished(engine));
        // In the real-time guard build every switch of this play ran under it.
        EXPECT_TRUE(!rtguard::Enabled() || rtguard::MarkedSwitches() > marked);
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
    for (int pass = 0; pass < 4; ++pass)
        for (uint32_t f = first; f < end; ++f)
            for (int side : {0, 1}) repeated.push_back(e2e::SampleOf(file, f, side));
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
    const std::string log = ReadWholeFile(dir.File("SarabandeDbg.Log"));
    EXPECT_TRUE(loop.bConverted || log.find("Loop, ") != std::string::npos);
    const uint32_t recorded = wav.Frames();
    uint32_t at = 0;
    while (at < recorded && ReadPair(wav, at, 1) == Frame{0, 0}) ++at;
    ASSERT_EQ(ReadPair(wav, at, 0), ReadPair(wav, at, 1)) << "the channels start apart";
    const uint32_t passes = (end - first) * 3 * 48000 / file.dwSamplesPerSec;
    ASSERT_LE(at + passes, recorded);
    for (uint32_t i = 0; i < passes; ++i) {
        const Frame looped = ReadPair(wav, at + i, 0);
        ASSERT_EQ(looped, ReadPair(wav, at + i, 1)) << "output frame " << i;
        ASSERT_TRUE(loop.bConverted || looped.left == repeated[2 * i]) << "output frame " << i;
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
