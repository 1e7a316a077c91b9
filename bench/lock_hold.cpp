// How long the buffer switch can be kept waiting on its two locks by the
// other threads that take them. A driver-like thread runs whole switches of
// twelve playing buffers, at real-time priority where the system grants it,
// while two ordinary threads storm the same locks as refills and commands
// do: sound buffers made and released, levels set, fades programmed,
// positions read, memory locked. The longest switch under the storm is
// reported beside the longest switch of a quiet run and of a run beside two
// threads that only spin, taking no lock, all in the same process: what the
// machine's scheduling alone costs a real-time thread (on a virtual machine,
// milliseconds now and then) is the figure to hold the storm against.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "diag/DebugLog.h"
#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"
#include "mixer/SoundBuffer.h"
#include "tests/support/FakeDriver.h"

namespace {

constexpr uint32_t kRingBytes = 4 * 4608 * 4;
constexpr int kSwitches = 20000;

AudioBuffer* MakePlaying(ASIOBuffers& out, int32_t pair) {
    BufferDescription desc{kRingBytes, 48000, 2, pair};
    auto* buffer = static_cast<AudioBuffer*>(out.CreateSoundBuffer(&desc));
    if (buffer) buffer->Play(true);
    return buffer;
}

struct Times {
    double maxNs = 0;
    double p999Ns = 0;
};

// Whole switches on this thread; the storm, if any, runs meanwhile.
Times RunSwitches(FakeDriver& drv) {
    sched_param param{};
    param.sched_priority = 70;
    const bool realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    std::vector<double> ns(kSwitches);
    for (int i = 0; i < kSwitches; ++i) {
        const auto start = std::chrono::steady_clock::now();
        drv.Switch(i & 1);
        ns[i] = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                    .count();
        // A period's worth of rest, so that the storm can take the locks.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (realTime) {
        param.sched_priority = 0;
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    }
    std::sort(ns.begin(), ns.end());
    return {ns.back(), ns[static_cast<size_t>(kSwitches * 0.999)]};
}

void LockHold(benchmark::State& state) {
    MixerDebugLog().Close();  // the storm's releases would log
    FakeDriver drv(24);
    drv.preferredSize = 64;
    ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
    if (!out.CreatePrimaryBuffers()) {
        state.SkipWithError("no buffers");
        return;
    }
    std::vector<AudioBuffer*> steady;
    for (int32_t pair = 0; pair < 10; ++pair) steady.push_back(MakePlaying(out, pair));

    Times quiet, busy, storm;
    for (auto _ : state) {
        quiet = RunSwitches(drv);
        std::atomic<bool> stop{false};
        {
            const auto spin = [&] {
                uint64_t n = 0;
                while (!stop.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(++n);
            };
            std::thread a(spin), b(spin);
            busy = RunSwitches(drv);
            stop = true;
            a.join();
            b.join();
            stop = false;
        }
        // Refills and commands: levels, fades, positions, locks on the
        // playing buffers, and a channel loaded and closed over and over.
        std::thread commands([&] {
            uint32_t db = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                for (AudioBuffer* b : steady) {
                    b->SetAttenuation(db++ % 40);
                    b->FadeTo(db % 30, 500, false);
                    uint32_t pos = 0;
                    b->GetAudioPosition(&pos);
                    void* p = nullptr;
                    uint32_t n = 0;
                    (void)b->Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER);
                }
            }
        });
        std::thread loads([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                AudioBuffer* a = MakePlaying(out, 10);
                AudioBuffer* b = MakePlaying(out, 11);
                out.ReleaseSoundBuffer(a);
                out.ReleaseSoundBuffer(b);
            }
        });
        storm = RunSwitches(drv);
        stop = true;
        commands.join();
        loads.join();
    }
    state.counters["quiet_max_us"] = quiet.maxNs / 1000.0;
    state.counters["quiet_p999_us"] = quiet.p999Ns / 1000.0;
    state.counters["storm_max_us"] = storm.maxNs / 1000.0;
    state.counters["storm_p999_us"] = storm.p999Ns / 1000.0;
    state.counters["busy_max_us"] = busy.maxNs / 1000.0;
    state.counters["busy_p999_us"] = busy.p999Ns / 1000.0;
    state.counters["storm_over_busy_max"] = busy.maxNs > 0 ? storm.maxNs / busy.maxNs : 0.0;
}

}  // namespace

BENCHMARK(LockHold)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
