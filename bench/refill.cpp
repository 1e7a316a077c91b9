// One refill of a playing channel, as the event thread runs it: today's
// mapped block (a 16-bit stereo 48 kHz file on a 48 kHz card: one copy)
// beside a converted one (a 24-bit stereo 44.1 kHz file on the same card:
// libsndfile, libsoxr at high quality, 32-bit memory), in one run. Each
// iteration switches the fake card until the block has been played (not
// timed) and times the refill alone; the median and the worst refill are
// reported as counters, in wall time and in the thread's CPU time (which a
// loaded machine's preemptions do not inflate). Log lines are discarded on
// both sides. Target: the converted refill's worst case at most 1 ms.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "engine/ChannelStates.h"
#include "engine/ChannelStream.h"
#include "mixer/AsioHost.h"
#include "platform/Event.h"
#include "streams/ChannelControl.h"
#include "streams/StreamBuffer.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/FakeDriverSource.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

namespace {

void DiscardLog(const char*, bool) {}

uint32_t gNow = 0;
uint32_t Clock() {
    return gNow;
}

double ThreadCpuMicroseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

void Refill(benchmark::State& state, bool bConverted) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    FakeDriver driver(24, ASIOSTInt32LSB);
    driver.rate = 48000;
    driver.preferredSize = 256;
    FakeDriverSource source;
    source.Add("Fake Card", &driver);
    ASIOSetDriverSource(&source);
    int hwnd = 0;
    if (!ASIOInitDrivers(nullptr, 0) || !ASIOSetupBuffers(&hwnd, nullptr)) {
        state.SkipWithError("no output stage");
        return;
    }
    // A minute of audio, so that the refills run through fresh pages.
    WavLayout layout;
    layout.nSamplesPerSec = bConverted ? 44100 : 48000;
    layout.wBitsPerSample = bConverted ? 24 : 16;
    const std::string path = dir.File("minute.wav");
    WriteBytes(path, MakeWav(layout, PatternPcm(layout, layout.nSamplesPerSec * 60)));

    platform::Event event;
    std::atomic<int32_t> states[kNumChannels] = {};
    ChannelStream stream(0, path.c_str(), 0);
    const PipelineParams params{
        &event, states, &ASIOCreateSoundBuffer, &ASIOReleaseSoundBuffer, &DiscardLog, 48000, true};
    if (!stream.Build(params) || !stream.GetControl()->PlayIfIdle()) {
        state.SkipWithError("the channel does not play");
        return;
    }
    stream.GetStreamBuffer()->SetClock(&Clock);
    states[0] = CHANNEL_PLAYING;
    std::vector<double> us;
    std::vector<double> cpuUs;
    int32_t half = 0;
    for (auto _ : state) {
        while (!event.TryWait()) {
            driver.Switch(half);
            half ^= 1;
        }
        gNow += 100;
        const double cpuStart = ThreadCpuMicroseconds();
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = stream.OnNotification();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuUs.push_back(ThreadCpuMicroseconds() - cpuStart);
        state.SetIterationTime(seconds);
        us.push_back(seconds * 1e6);
        if (result == 8) {
            stream.SetPosition(0, true);
            states[0] = CHANNEL_PLAYING;
        }
    }
    std::sort(us.begin(), us.end());
    std::sort(cpuUs.begin(), cpuUs.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["worst_us"] = us.back();
    state.counters["cpu_median_us"] = cpuUs[cpuUs.size() / 2];
    state.counters["cpu_worst_us"] = cpuUs.back();
    ASIOShutdown();
    ASIOSetDriverSource(nullptr);
}

void BM_RefillMapped16(benchmark::State& state) {
    Refill(state, false);
}
void BM_RefillConverted24(benchmark::State& state) {
    Refill(state, true);
}
BENCHMARK(BM_RefillMapped16)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RefillConverted24)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
