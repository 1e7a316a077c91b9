#include "cli/ResourceUse.h"

#include <sys/resource.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/Event.h"

namespace cli {

namespace {

uint64_t ReadStatusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, keyLength, key) == 0 && line.size() > keyLength &&
            line[keyLength] == ':') {
            return std::strtoull(line.c_str() + keyLength + 1, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

void ResourceUse::AddMappedFile(const std::string& path) {
    if (!bEnabled_) return;
    char resolved[PATH_MAX];
    mappedPaths_.emplace_back(::realpath(path.c_str(), resolved) ? resolved : path);
}

void ResourceUse::Sample() {
    if (!bEnabled_) return;
    const uint32_t now = platform::TimeGetTime();
    if (bSampled_ && now - dwLastSampleMs_ < 1000) return;
    bSampled_ = true;
    dwLastSampleMs_ = now;

    const uint64_t rss = ReadStatusKiB("VmRSS");
    // The resident pages of the mappings of the loaded files.
    uint64_t mapped = 0;
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool bInFile = false;
    while (std::getline(smaps, line)) {
        if (!line.empty() &&
            ((line[0] >= '0' && line[0] <= '9') || (line[0] >= 'a' && line[0] <= 'f'))) {
            bInFile = false;
            for (const std::string& path : mappedPaths_) {
                if (line.size() >= path.size() &&
                    line.compare(line.size() - path.size(), path.size(), path) == 0) {
                    bInFile = true;
                    break;
                }
            }
        } else if (bInFile && line.rfind("Rss:", 0) == 0) {
            mapped += std::strtoull(line.c_str() + 4, nullptr, 10);
        }
    }
    const uint64_t beyond = rss > mapped ? rss - mapped : 0;
    if (rss > peakRssKiB_) peakRssKiB_ = rss;
    if (beyond > peakBeyondMappedKiB_) {
        peakBeyondMappedKiB_ = beyond;
        mappedAtPeakKiB_ = mapped;
    }
}

void ResourceUse::Report(std::FILE* out, double wallSeconds, double displayCpuSeconds,
                         double mainCpuSeconds) const {
    rusage self = {};
    getrusage(RUSAGE_SELF, &self);
    const double processCpu =
        static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
        static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1e-6;
    std::fprintf(out,
                 "stats: files %zu, peak VmRSS %llu KiB, peak beyond mapped files %llu KiB (files "
                 "resident %llu "
                 "KiB)\n",
                 mappedPaths_.size(), static_cast<unsigned long long>(peakRssKiB_),
                 static_cast<unsigned long long>(peakBeyondMappedKiB_),
                 static_cast<unsigned long long>(mappedAtPeakKiB_));
    const double wall = wallSeconds > 0.0 ? wallSeconds : 1.0;
    std::fprintf(out,
                 "stats: played %.2f s wall; display %.4f s CPU (%.3f %% of one core); main thread "
                 "%.4f s CPU "
                 "(%.3f %%); whole process %.3f s CPU (%.2f %%)\n",
                 wallSeconds, displayCpuSeconds, 100.0 * displayCpuSeconds / wall, mainCpuSeconds,
                 100.0 * mainCpuSeconds / wall, processCpu, 100.0 * processCpu / wall);
}

}  // namespace cli
