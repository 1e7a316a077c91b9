// Opening a WAV file maps it and reads only its header. Measured on a 1 GiB
// sparse file against reading the same file once with read(), in one run:
// the open-and-parse time, the read() time, their ratio, and how much the
// resident set grows while the parsed file stays open. Beside it, a 1 GiB
// 24-bit WAV opened through the decode stage (mapped, then libsndfile over
// the mapping), median and worst; the target for it is 10 ms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "streams/SoundFileStream.h"
#include "streams/WaveFile.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

namespace {

constexpr uint64_t kFileBytes = 1ull << 30;

std::string gPath;
std::string gPath24;

// A 44-byte header claiming 1 GiB of 44100 Hz stereo data; the rest is a hole.
bool MakeSparseWav(const std::string& path, uint16_t bits = 16) {
    WavLayout layout;
    layout.wBitsPerSample = bits;
    layout.dataSizeField = static_cast<uint32_t>(kFileBytes - 44);
    if (!WriteBytes(path, MakeWav(layout, {}))) return false;
    return truncate(path.c_str(), static_cast<off_t>(kFileBytes)) == 0;
}

int64_t ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    }
    return -1;
}

bool OpenAndParse(std::unique_ptr<WaveFile>& out) {
    auto mapped = std::make_unique<MappedFile>();
    if (!mapped->Open(gPath.c_str())) return false;
    out = std::make_unique<WaveFile>(std::move(mapped));
    return out->Parse();
}

void DiscardLog(const char*, bool) {}

// What a channel's load does before its first fill: map the file and open it
// through libsndfile, converted to 48 kHz.
bool OpenDecoded() {
    auto mapped = std::make_unique<MappedFile>();
    if (!mapped->Open(gPath24.c_str())) return false;
    SoundFileStream stream(mapped->GetBase(), mapped->GetFileSize(), gPath24.c_str(), 48000, true,
                           DiscardLog);
    return stream.IsReady();
}

uint64_t ReadWhole() {
    static std::vector<char> buffer(1 << 20);
    const int fd = open(gPath.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    uint64_t total = 0;
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;)
        total += static_cast<uint64_t>(n);
    close(fd);
    return total;
}

template <typename F>
double MedianSeconds(int runs, F&& f, double* worst = nullptr) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    if (worst) *worst = times.back();
    return times[times.size() / 2];
}

void BM_OpenAndParse(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<WaveFile> wave;
        benchmark::DoNotOptimize(OpenAndParse(wave));
    }
}
BENCHMARK(BM_OpenAndParse)->Unit(benchmark::kMicrosecond);

void BM_ReadWhole(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ReadWhole());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_ReadWhole)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    TempDir dir;
    gPath = dir.File("sparse.wav");
    gPath24 = dir.File("sparse24.wav");
    if (!MakeSparseWav(gPath) || !MakeSparseWav(gPath24, 24)) {
        std::fprintf(stderr, "cannot make the 1 GiB sparse file in %s\n", dir.path().c_str());
        return 1;
    }

    // Resident set while one parsed file stays open.
    const int64_t before = ResidentKiB();
    std::unique_ptr<WaveFile> held;
    if (!OpenAndParse(held)) {
        std::fprintf(stderr, "the sparse file did not parse\n");
        return 1;
    }
    const int64_t after = ResidentKiB();
    const int32_t blocks = held->GetBlockCount();
    held.reset();

    const double parse = MedianSeconds(201, [] {
        std::unique_ptr<WaveFile> wave;
        benchmark::DoNotOptimize(OpenAndParse(wave));
    });
    const double whole = MedianSeconds(3, [] { benchmark::DoNotOptimize(ReadWhole()); });
    double decodedWorst = 0;
    const double decoded = MedianSeconds(
        201, [] { benchmark::DoNotOptimize(OpenDecoded()); }, &decodedWorst);

    std::printf("1 GiB sparse WAV (%d blocks)\n", blocks);
    std::printf("  open + map + parse: %10.1f us (median of 201)\n", parse * 1e6);
    std::printf("  read() whole file : %10.1f us (median of 3)\n", whole * 1e6);
    std::printf("  read() / parse    : %10.0f x\n", whole / parse);
    std::printf("  RSS growth while open: %" PRId64 " KiB\n", after - before);
    std::printf("1 GiB sparse 24-bit WAV through the decode stage (target < 10 ms)\n");
    std::printf("  open + map + libsndfile: %10.1f us median, %.1f us worst (of 201)\n\n",
                decoded * 1e6, decodedWorst * 1e6);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
