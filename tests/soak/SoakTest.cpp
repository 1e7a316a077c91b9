// Twelve channels on the virtual card, recorded, under random loads, plays,
// restarts, repositions and closes for many minutes. Afterwards the whole
// recording is read back: on every pair each stretch of sound must be a run
// of consecutive frames of a file that channel held, starting exactly where
// a command put it, and silence everywhere else; any other jump is a
// glitch. No mapping, thread or memory may be left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/IdentifiedWav.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveData.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kChannels = 12;
constexpr int32_t kOutputs = 24;
constexpr uint32_t kBlockFrames = 4608;  // a block of a 48 kHz file

int SoakSeconds() {
    if (const char* text = std::getenv("CANTABILE_SOAK_SECONDS")) {
        const int seconds = std::atoi(text);
        if (seconds > 0) return seconds;
    }
    return 600;
}

std::ptrdiff_t ThreadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return std::distance(begin(tasks), end(tasks));
}

// Anonymous resident memory: the mapped files' pages come and go with what
// is loaded and how far it has played, so they say nothing about leaks.
int64_t ResidentKiB() {
    const std::string status = ReadWholeFile("/proc/self/status");
    const size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 8);
}

// Where a command put a channel: the file and the frame its next sound
// starts at.
struct Landing {
    int32_t file;
    int32_t frame;
};

// Follows one pair through the recording.
struct PairCheck {
    std::vector<Landing> landings;  // in command order
    size_t nextLanding = 0;
    int32_t file = 0;    // file of the current run, 0 in silence
    int32_t frame = -1;  // last frame heard
    int64_t runs = 0, glitches = 0;
    std::string firstGlitch;

    void Frame(int16_t left, int16_t right, int64_t at) {
        const e2e::Identified id = e2e::Identify(left, right);
        if (id.file == 0) {
            file = 0;
            return;
        }
        if (id.file == file && id.frame == frame + 1) {
            frame = id.frame;
            return;
        }
        // A new run: it must start where some later command put the channel.
        size_t k = nextLanding;
        while (k < landings.size() &&
               (landings[k].file != id.file || landings[k].frame != id.frame))
            ++k;
        if (k == landings.size()) {
            if (glitches++ == 0) {
                firstGlitch = "output frame " + std::to_string(at) + ": file " +
                              std::to_string(id.file) + " frame " + std::to_string(id.frame) +
                              " after file " + std::to_string(file) + " frame " +
                              std::to_string(frame);
            }
        } else {
            nextLanding = k + 1;
            ++runs;
        }
        file = id.file;
        frame = id.frame;
    }
};

TEST(SoakTest, TwelveChannelsUnderRandomCommandsRecordExactlyWhatWasPlayed) {
    const int seconds = SoakSeconds();
    const uint32_t seed = std::random_device{}();
    std::printf("soak: %d s, seed %u (CANTABILE_SOAK_SEED to repeat)\n", seconds, seed);
    const char* seedText = std::getenv("CANTABILE_SOAK_SEED");
    std::mt19937 random(
        seedText != nullptr ? static_cast<uint32_t>(std::strtoul(seedText, nullptr, 10)) : seed);

    const std::ptrdiff_t threadsAtStart = ThreadCount();
    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    // Files of 3 to 25 seconds, so that some end by themselves.
    std::vector<std::string> files;
    for (int32_t id = 1; id <= kChannels; ++id) {
        files.push_back(dir.File("soak-" + std::to_string(id) + ".wav"));
        const uint32_t frames = kBlockFrames * static_cast<uint32_t>(30 + 20 * (id - 1));
        ASSERT_TRUE(WriteBytes(files.back(), e2e::MakeFile({id, 2, 48000, frames, {}})));
    }
    const std::string recording = dir.File("soak-recording.wav");
    setenv("CANTABILE_VC_RATE", "48000", 1);
    setenv("CANTABILE_VC_FRAMES", "256", 1);
    setenv("CANTABILE_VC_FORMAT", "int16", 1);
    setenv("CANTABILE_VC_RECORD", recording.c_str(), 1);
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);

    PairCheck pairs[kChannels];
    int32_t loaded[kChannels] = {};  // file id on each channel, 0 for none
    int64_t commands = 0;
    std::vector<int64_t> rss;  // KiB, one sample every five seconds
    {
        int hwnd = 0;
        Sarabande engine(2, nullptr);  // the virtual card
        ASSERT_EQ(engine.Init(&hwnd, nullptr, dir.path().c_str()), 0);
        ASSERT_TRUE(ASIOStartPlay());
        const auto start = Clock::now();
        auto next = start;
        while (Clock::now() - start < std::chrono::seconds(seconds)) {
            if (Clock::now() >= next) {
                rss.push_back(ResidentKiB());
                next += std::chrono::seconds(5);
            }
            const int32_t c = static_cast<int32_t>(random() % kChannels);
            const int32_t state = engine.ChannelState(c);
            const uint32_t pick = random() % 100;
            ++commands;
            if (loaded[c] == 0 || state == CHANNEL_TERMINATED || pick < 8) {
                engine.CloseChannelInstantly(c);
                loaded[c] = 0;
                if (pick % 4 != 0) {  // sometimes leave it empty for a while
                    const int32_t file = 1 + static_cast<int32_t>(random() % kChannels);
                    ASSERT_EQ(engine.LoadFile(c, files[file - 1].c_str()), c);
                    loaded[c] = file;
                    pairs[c].landings.push_back({file, 0});
                    EXPECT_EQ(engine.PlayChannel(c), 0);
                }
            } else if (pick < 30) {
                const int32_t block = static_cast<int32_t>(random() % 40);
                const int32_t set = engine.SetPosition(c, block);
                if (set >= 0)
                    pairs[c].landings.push_back(
                        {loaded[c], set * static_cast<int32_t>(kBlockFrames)});
            } else if (pick < 45) {
                if (engine.ChannelState(c) == CHANNEL_PLAYING && engine.ReStartChannel(c) == 0)
                    pairs[c].landings.push_back({loaded[c], 0});
            } else {
                --commands;  // let it play
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        }
        ASIOStopPlay();
        engine.Close();
    }
    ASIOSetDriverSource(nullptr);
    for (const char* name :
         {"CANTABILE_VC_RATE", "CANTABILE_VC_FRAMES", "CANTABILE_VC_FORMAT", "CANTABILE_VC_RECORD"})
        unsetenv(name);

    // Nothing of ours is left mapped, running or growing.
    const std::string maps = ReadWholeFile("/proc/self/maps");
    EXPECT_EQ(maps.find("soak-"), std::string::npos) << maps;
    EXPECT_EQ(ThreadCount(), threadsAtStart);
    // After the first minute (half the run when shorter) nothing grows.
    const auto [low, high] = std::minmax_element(
        rss.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(12, rss.size() / 2)), rss.end());
    ASSERT_NE(low, rss.end());
    EXPECT_LE(*high - *low, 1024) << "resident KiB from " << *low << " to " << *high;

    // Read the recording back, frame by frame, after its header.
    const int fd = open(recording.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string header(68, '\0');
    ASSERT_EQ(read(fd, header.data(), header.size()), 68);
    ASSERT_EQ(RecordingHeaderProblem(header, static_cast<uint64_t>(lseek(fd, 0, SEEK_END))), "");
    ASSERT_EQ(lseek(fd, 68, SEEK_SET), 68);
    std::vector<int16_t> chunk(kOutputs * 4096);
    int64_t at = 0;
    for (ssize_t n; (n = read(fd, chunk.data(), chunk.size() * sizeof(int16_t))) > 0;) {
        const size_t frames = static_cast<size_t>(n) / (kOutputs * sizeof(int16_t));
        for (size_t f = 0; f < frames; ++f, ++at)
            for (int32_t p = 0; p < kChannels; ++p)
                pairs[p].Frame(chunk[f * kOutputs + 2 * p], chunk[f * kOutputs + 2 * p + 1], at);
    }
    close(fd);

    int64_t glitches = 0, runs = 0;
    for (const PairCheck& pair : pairs) {
        glitches += pair.glitches;
        runs += pair.runs;
        if (pair.glitches > 0) ADD_FAILURE() << "first glitch: " << pair.firstGlitch;
    }
    std::printf(
        "soak: %lld commands, %lld runs heard, %lld output frames, %lld glitches; anonymous "
        "resident KiB after a minute %lld..%lld\n",
        static_cast<long long>(commands), static_cast<long long>(runs), static_cast<long long>(at),
        static_cast<long long>(glitches), static_cast<long long>(*low),
        static_cast<long long>(*high));
    EXPECT_GT(runs, 0);
    EXPECT_GE(at, static_cast<int64_t>(seconds - 1) * 48000);
}

}  // namespace
