#include "drivers/VirtualCard.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "diag/DebugLog.h"
#include "tests/drivers/TestHost.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveData.h"

using drivers::VirtualCard;
using drivers::VirtualCardSettings;
using testhost::DriverPtr;
using testhost::ErrorOf;
using testhost::Host;

namespace {

// Compares a recording period by period with what the host wrote: channels
// below `written` carry the pattern of their period, the rest silence.
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
                const int32_t want = c >= written               ? 0
                                     : wav.wBitsPerSample == 16 ? testhost::Pattern16(ch, n, fr)
                                                                : testhost::Pattern32(ch, n, fr);
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
    ASIOSampleType type;
    uint32_t channelsWritten;
    // A file size limit standing in for a full disk leaves room for the
    // header and this many periods and a half; 0 for none.
    int64_t periodsOfRoom;
};

void PrintTo(const RecordCase& c, std::ostream* out) {
    *out << c.name;
}

class VirtualCardRecording : public ::testing::TestWithParam<RecordCase> {};

}  // namespace

// The recording is complete at stop, before the buffers are gone; a disk
// that fills up ends it cleanly with whole periods, says so once in the
// log, and the clock plays on.
TEST_P(VirtualCardRecording, RecordsEveryPeriodExactlyOnceUntilTheDiskIsFull) {
    const RecordCase param = GetParam();
    TempDir dir;
    MixerDebugLog().Open(dir.path().c_str());
    VirtualCardSettings settings;
    settings.dwBufferFrames = 256;
    settings.sampleType = param.type;
    settings.recordPath = dir.File("out.wav");
    DriverPtr card(new VirtualCard(settings));
    ASSERT_EQ(card->init(nullptr), ASIOTrue) << ErrorOf(card.get());
    int32_t inputs = -1, outputs = -1;
    ASSERT_EQ(card->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 24);
    ASIOChannelInfo info = {};
    info.channel = 23;
    ASSERT_EQ(card->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "Out 24");
    EXPECT_EQ(info.type, param.type);
    EXPECT_EQ(info.channelGroup, 0);

    Host host;
    ASSERT_EQ(host.CreateBuffers(card.get(), static_cast<int32_t>(param.channelsWritten), 256,
                                 param.type),
              ASE_OK);
    // Before the first switch the file is already a whole, empty recording.
    std::string bytes = ReadWholeFile(settings.recordPath);
    EXPECT_EQ(RecordingHeaderProblem(bytes, bytes.size()), "");
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    if (param.periodsOfRoom > 0) {
        const size_t periodBytes = 256 * 24 * (param.type == ASIOSTInt16LSB ? 2 : 4);
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
    EXPECT_EQ(wav.nSamplesPerSec, 48000u);
    EXPECT_EQ(wav.wBitsPerSample, param.type == ASIOSTInt16LSB ? 16u : 32u);
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
                         ::testing::Values(RecordCase{"Int32", ASIOSTInt32LSB, 24, 0},
                                           RecordCase{"Int16SixWritten", ASIOSTInt16LSB, 6, 0},
                                           RecordCase{"FullDisk", ASIOSTInt16LSB, 24, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VirtualCard, RefusesBadSettingsWithAClearText) {
    const struct {
        const char *rate, *frames, *format, *mentions;
    } cases[] = {
        {"fast", nullptr, nullptr, "CANTABILE_VC_RATE"},
        {"7999", nullptr, nullptr, "8000 to 384000"},
        {"384001", nullptr, nullptr, "CANTABILE_VC_RATE"},
        {"-48000", nullptr, nullptr, "CANTABILE_VC_RATE"},
        {nullptr, "15", nullptr, "16 to 8192"},
        {nullptr, "8193", nullptr, "CANTABILE_VC_FRAMES"},
        {nullptr, "256.0", nullptr, "CANTABILE_VC_FRAMES"},
        {nullptr, nullptr, "float", "int32 or int16"},
        {nullptr, nullptr, "INT32", "CANTABILE_VC_FORMAT"},
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
    EXPECT_EQ(settings.dwSampleRate, 384000u);
    EXPECT_EQ(settings.dwBufferFrames, 16u);
    EXPECT_EQ(settings.sampleType, ASIOSTInt16LSB);
    ASSERT_TRUE(
        drivers::ParseVirtualCardSettings("8000", "8192", "int32", nullptr, &settings, &error));

    // init reads the environment and reports through getErrorMessage.
    setenv("CANTABILE_VC_FRAMES", "lots", 1);
    DriverPtr card(new VirtualCard());
    EXPECT_EQ(card->init(nullptr), ASIOFalse);
    EXPECT_NE(ErrorOf(card.get()).find("CANTABILE_VC_FRAMES"), std::string::npos);
    unsetenv("CANTABILE_VC_FRAMES");

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
    Host host;
    EXPECT_EQ(card->start(), ASE_InvalidMode);
    EXPECT_EQ(host.CreateBuffers(card.get(), 2, 128, ASIOSTInt32LSB), ASE_InvalidMode);
    EXPECT_EQ(host.CreateBuffers(card.get(), 25, 256, ASIOSTInt32LSB), ASE_InvalidParameter);
    host.infos[1].channelNum = 0;
    EXPECT_EQ(card->createBuffers(host.infos, 2, 256, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(card->disposeBuffers(), ASE_InvalidMode);
    ASSERT_EQ(host.CreateBuffers(card.get(), 2, 256, ASIOSTInt32LSB), ASE_OK);
    EXPECT_EQ(host.CreateBuffers(card.get(), 2, 256, ASIOSTInt32LSB), ASE_InvalidMode);
    EXPECT_EQ(card->setSampleRate(44100), ASE_InvalidMode);
    EXPECT_EQ(card->canSampleRate(7000), ASE_NoClock);
}
