// One whole buffer switch on the fake driver: the slot lock, twelve playing
// stereo buffers written into twelve pairs at a level, the meters, silence
// for the rest, and outputReady. Reported per switch, as a share of the
// period at 48 kHz, and against a memcpy of the same output bytes measured in
// the same run. Level 0 is the full-level path, 7 dB the gain path; memory
// 16 is a file played as it is, 32 a decoded or converted one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "diag/DebugLog.h"
#include "mixer/ASIOBuffers.h"
#include "mixer/AudioBuffer.h"
#include "mixer/SoundBuffer.h"
#include "tests/support/FakeDriver.h"

namespace {

// A ring of four 4608-frame blocks, as a channel's stream buffer keeps.
constexpr uint32_t kRingBytes = 4 * 4608 * 4;

void BufferSwitch(benchmark::State& state) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    const bool is16 = state.range(1) == 16;
    const auto level = static_cast<uint32_t>(state.range(2));
    const auto memoryBits = static_cast<uint32_t>(state.range(3));
    FakeDriver drv(26, is16 ? ASIOSTInt16LSB : ASIOSTInt32LSB);
    drv.preferredSize = frames;
    ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
    if (!out.CreatePrimaryBuffers()) {
        state.SkipWithError("no buffers");
        return;
    }
    for (int32_t pair = 0; pair < 12; ++pair) {
        BufferDescription desc{kRingBytes * (memoryBits / 16), 44100, 2, pair};
        auto* buffer = static_cast<AudioBuffer*>(out.CreateSoundBuffer(&desc, memoryBits));
        void* first = nullptr;
        void* second = nullptr;
        uint32_t firstBytes = 0, secondBytes = 0;
        if (!buffer ||
            !buffer->Lock(0, 0, &first, &firstBytes, &second, &secondBytes, LOCK_ENTIRE_BUFFER)) {
            state.SkipWithError("no sound buffer");
            return;
        }
        auto* samples = static_cast<int16_t*>(first);
        for (uint32_t i = 0; i < firstBytes / 2; ++i)
            samples[i] = static_cast<int16_t>(i * 7 + pair);
        buffer->SetAttenuation(level);
        buffer->Play(true);
    }

    int32_t half = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        drv.Switch(half);
        half ^= 1;
    }
    const double switchNs =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());

    // Baseline: copying the same bytes into the same 24 halves.
    const size_t bytes = out.BufferSizeBytes();
    std::vector<uint8_t> source(bytes, 0x11);
    const auto copyStart = std::chrono::steady_clock::now();
    for (benchmark::IterationCount i = 0; i < state.iterations(); ++i) {
        for (int32_t ch = 0; ch < 24; ++ch) {
            void* dst = drv.Half(ch, static_cast<int32_t>(i & 1));
            std::memcpy(dst, source.data(), bytes);
            benchmark::DoNotOptimize(dst);
        }
        benchmark::ClobberMemory();
    }
    const double copyNs =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - copyStart)
            .count() /
        static_cast<double>(state.iterations());

    const double periodNs = frames * 1e9 / 48000.0;
    state.counters["ns_per_switch"] = switchNs;
    state.counters["pct_of_period_48k"] = 100.0 * switchNs / periodNs;
    state.counters["x_memcpy"] = copyNs > 0 ? switchNs / copyNs : 0.0;
}

}  // namespace

BENCHMARK(BufferSwitch)
    ->ArgsProduct({{64, 256}, {16, 32}, {0, 7}, {16, 32}})
    ->ArgNames({"frames", "bits", "dB", "memory"});

BENCHMARK_MAIN();
