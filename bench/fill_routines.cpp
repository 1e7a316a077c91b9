// The sixteen fill routines against memcpy of the same output bytes, measured
// in one run. Each routine is reached the way the buffer switch reaches it,
// through ProcessAudioBuffer32Bits/16Bits on a buffer configured to select it,
// so the figures include the buffer's lock and the routine choice.
//
// At the end a table gives each routine's output bytes per second and its
// ratio to memcpy at the same size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mixer/AudioBuffer.h"

namespace {

constexpr uint32_t kDeviceRate = 48000;
// Switches a once buffer holds before it is rewound: enough to make the
// rewind negligible, few enough to keep the source in cache.
constexpr uint32_t kOnceSwitches = 16;
// A ring a little longer than four switches, so that it wraps mid-switch.
constexpr uint32_t kRingFrames4 = 4;

struct Routine {
    const char* name;
    bool b16Bits;
    bool bStereo;
    bool bLooping;
    bool bLoRes;
};

constexpr Routine kRoutines[] = {
    {"FillBufferPair", false, true, false, false},
    {"FillBufferPairLoRes", false, true, false, true},
    {"FillStreaming", false, true, true, false},
    {"FillStreamingLoRes", false, true, true, true},
    {"FillBufferPairMono", false, false, false, false},
    {"FillBufferPairMonoLoRes", false, false, false, true},
    {"FillStreamingMono", false, false, true, false},
    {"FillStreamingMonoLoRes", false, false, true, true},
    {"FillBufferPair16Bits", true, true, false, false},
    {"FillBufferPairLoRes16Bits", true, true, false, true},
    {"FillStreaming16Bits", true, true, true, false},
    {"FillStreamingLoRes16Bits", true, true, true, true},
    {"FillBufferPairMono16Bits", true, false, false, false},
    {"FillBufferPairMonoLoRes16Bits", true, false, false, true},
    {"FillStreamingMono16Bits", true, false, true, false},
    {"FillStreamingMonoLoRes16Bits", true, false, true, true},
};

constexpr uint32_t kFrameCounts[] = {64, 256, 1024};

uint32_t OutputBytes(const Routine& r, uint32_t frames) {
    return frames * (r.b16Bits ? 2u : 4u) * 2u;
}

void BM_Fill(benchmark::State& state, Routine r) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    const uint32_t frameBytes = r.bStereo ? 4 : 2;
    const uint32_t sourceFrames = r.bLoRes ? (frames + 1) / 2 : frames;
    const uint32_t bytesPerSwitch = sourceFrames * frameBytes;
    const uint32_t bufferBytes = r.bLooping ? bytesPerSwitch * kRingFrames4 + 4 * frameBytes
                                            : bytesPerSwitch * kOnceSwitches;
    BufferDescription desc{bufferBytes, r.bLoRes ? kDeviceRate / 2 : kDeviceRate, r.bStereo ? 2 : 1,
                           0};
    AudioBuffer buffer(&desc, frames, kDeviceRate, r.b16Bits);
    if (!buffer.InitSuccess()) {
        state.SkipWithError("buffer not created");
        return;
    }
    void* p = nullptr;
    uint32_t n = 0;
    if (!buffer.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER)) {
        state.SkipWithError("lock refused");
        return;
    }
    auto* samples = static_cast<int16_t*>(p);
    for (uint32_t i = 0; i < n / 2; ++i) {
        samples[i] = static_cast<int16_t>(i * 7919u);
    }
    buffer.Play(r.bLooping);

    std::vector<int32_t> left32(frames), right32(frames);
    std::vector<int16_t> left16(frames), right16(frames);
    uint32_t switches = 0;
    for (auto _ : state) {
        if (r.b16Bits) {
            ProcessAudioBuffer16Bits(&buffer, left16.data(), right16.data());
            benchmark::DoNotOptimize(left16.data());
            benchmark::DoNotOptimize(right16.data());
        } else {
            ProcessAudioBuffer32Bits(&buffer, left32.data(), right32.data(),
                                     static_cast<int32_t>(frames * 4));
            benchmark::DoNotOptimize(left32.data());
            benchmark::DoNotOptimize(right32.data());
        }
        benchmark::ClobberMemory();
        if (!r.bLooping && ++switches == kOnceSwitches) {
            switches = 0;
            (void)buffer.SetAudioPosition(0);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * OutputBytes(r, frames));
}

void BM_Memcpy(benchmark::State& state) {
    const auto bytes = static_cast<size_t>(state.range(0));
    std::vector<char> src(bytes, 1), dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Keeps each benchmark's best time per iteration over its repetitions: the
// best run is the one least disturbed by other work on the machine, for the
// routines and for memcpy alike. CPU time, not wall time: on a shared machine
// the wall clock also counts the time the benchmark waited for a core.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> nsPerIteration;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const std::string name = run.run_name.str();
                const double ns = run.GetAdjustedCPUTime();
                const auto found = nsPerIteration.find(name);
                if (found == nsPerIteration.end() || ns < found->second) {
                    nsPerIteration[name] = ns;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string MemcpyName(uint32_t bytes) {
    return "memcpy/" + std::to_string(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> copySizes;
    for (const Routine& r : kRoutines) {
        auto* b = benchmark::RegisterBenchmark((std::string("Fill/") + r.name).c_str(), BM_Fill, r);
        for (uint32_t frames : kFrameCounts) {
            b->Arg(frames);
            copySizes.push_back(OutputBytes(r, frames));
        }
        b->Unit(benchmark::kNanosecond);
    }
    std::sort(copySizes.begin(), copySizes.end());
    copySizes.erase(std::unique(copySizes.begin(), copySizes.end()), copySizes.end());
    for (uint32_t bytes : copySizes) {
        benchmark::RegisterBenchmark(MemcpyName(bytes).c_str(), BM_Memcpy)
            ->Arg(bytes)
            ->Unit(benchmark::kNanosecond);
    }

    // Five repetitions unless the command line says otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    bool given = false;
    for (char* a : args) {
        given = given || std::strncmp(a, "--benchmark_repetitions", 23) == 0;
    }
    if (!given) {
        args.push_back(repetitions.data());
    }
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-32s %6s %10s %12s %8s\n", "routine", "frames", "out bytes", "MB/s",
                "vs memcpy");
    double worst = 1e9;
    std::string worstName;
    for (uint32_t frames : kFrameCounts) {
        for (const Routine& r : kRoutines) {
            const uint32_t bytes = OutputBytes(r, frames);
            const std::string name = std::string("Fill/") + r.name + "/" + std::to_string(frames);
            const auto fill = reporter.nsPerIteration.find(name);
            const auto copy =
                reporter.nsPerIteration.find(MemcpyName(bytes) + "/" + std::to_string(bytes));
            if (fill == reporter.nsPerIteration.end() || copy == reporter.nsPerIteration.end()) {
                continue;
            }
            const double mbPerSecond = bytes / fill->second * 1e3;
            const double ratio = copy->second / fill->second;
            std::printf("%-32s %6u %10u %12.0f %8.2f\n", r.name, frames, bytes, mbPerSecond, ratio);
            if (frames == 256 && ratio < worst) {
                worst = ratio;
                worstName = r.name;
            }
        }
    }
    if (!worstName.empty()) {
        std::printf("\nslowest at 256 frames: %s, %.2f of memcpy\n", worstName.c_str(), worst);
    }
    return 0;
}
