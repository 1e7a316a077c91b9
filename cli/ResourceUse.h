// Measures what a run costs, for --stats: resident memory beyond the mapped
// WAV files (from /proc/self/status and /proc/self/smaps, sampled about once
// a second while playing, the peak kept) and the CPU time of the display
// against the wall time of the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

class ResourceUse {
  public:
    explicit ResourceUse(bool bEnabled) : bEnabled_(bEnabled) {}

    void AddMappedFile(const std::string& path);
    // Cheap when disabled or sampled less than a second ago.
    void Sample();
    void Report(std::FILE* out, double wallSeconds, double displayCpuSeconds,
                double mainCpuSeconds) const;

  private:
    bool bEnabled_;
    std::vector<std::string> mappedPaths_;  // as the kernel names them
    uint32_t dwLastSampleMs_ = 0;
    bool bSampled_ = false;
    uint64_t peakRssKiB_ = 0;
    uint64_t peakBeyondMappedKiB_ = 0;
    uint64_t mappedAtPeakKiB_ = 0;
};

}  // namespace cli
