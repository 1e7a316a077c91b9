#include "cli/Player.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cli/ResourceUse.h"
#include "cli/Signals.h"
#include "cli/StatusDisplay.h"
#include "cli/WaveProbe.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "platform/Event.h"

namespace cli {

namespace {

constexpr int kRefreshMs = 250;

class DriverNames final : public DeviceListSink {
  public:
    void AddName(const char* name) override { names.emplace_back(name ? name : ""); }
    void SelectIndex(int32_t index) override { nSelected = index; }
    std::string Selected() const {
        return nSelected >= 0 && static_cast<size_t>(nSelected) < names.size() ? names[nSelected]
                                                                               : "";
    }
    std::vector<std::string> names;
    int32_t nSelected = -1;
};

class PairLabels final : public PairLabelSink {
  public:
    void AddLabel(const char* label) override { labels.emplace_back(label ? label : ""); }
    std::vector<std::string> labels;
};

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Row {
    int32_t nChannel;
    std::string path;
    WaveProbe probe;
    uint32_t dwOffsetMs;  // where --start-block put the channel, from its cue-in
};

// Waits for Enter on standard input or SIGUSR1. Returns 0 when fired, or the
// stop signal that arrived first.
int WaitForGo() {
    bool bStdinOpen = true;
    for (;;) {
        pollfd fds[2] = {{SignalFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = ::poll(fds, bStdinOpen ? 2 : 1, -1);
        if (n < 0 && errno != EINTR) {
            return SIGTERM;
        }
        bool bFired = false;
        const int stop = DrainSignals(&bFired);
        if (stop != 0) return stop;
        if (bFired) return 0;
        if (bStdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char bytes[256];
            const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (got <= 0) {
                // No operator at the keyboard: only SIGUSR1 can fire now.
                bStdinOpen = false;
            } else if (std::memchr(bytes, '\n', static_cast<size_t>(got)) != nullptr) {
                return 0;
            }
        }
    }
}

double ThreadCpuSeconds() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double MonotonicSeconds() {
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int RunPlayer(const PlayPlan& plan) {
    if (!InstallSignalHandlers()) {
        std::fprintf(stderr, "cantabile-play: cannot set up signal handling\n");
        return kExitDriver;
    }
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        std::strcpy(cwd, ".");
    }

    DriverNames drivers;
    PairLabels pairs;
    Sarabande engine(plan.nDevice, &drivers);
    engine.SetConvertRates(!plan.bNoConvert);
    // The driver's system handle: there is no window, but the engine insists
    // on a handle, so it gets the address of something that lives long enough.
    static int windowStandIn = 0;
    const int32_t init = engine.Init(&windowStandIn, &pairs, cwd);
    // Init also succeeds without an open driver (the dialog then lets the
    // user pick another); only an output stage with pairs means a driver.
    if (init != 0 || pairs.labels.empty()) {
        const std::string name = drivers.Selected();
        std::fprintf(stderr, "cantabile-play: the driver %s%s%scould not be opened: %s\n",
                     name.empty() ? "" : "\"", name.c_str(), name.empty() ? "" : "\" ",
                     ASIOErrorText());
        engine.Close();
        return kExitDriver;
    }
    std::printf("driver: %s, %zu output pairs\n", drivers.Selected().c_str(), pairs.labels.size());

    std::vector<Row> rows;
    int failures = 0;
    for (const ChannelFile& file : plan.files) {
        if (file.nChannel < 0) {
            std::fprintf(stderr, "cantabile-play: %s: no free channel\n", file.path.c_str());
            ++failures;
            continue;
        }
        if (engine.LoadFile(file.nChannel, file.path.c_str()) != file.nChannel) {
            std::fprintf(stderr, "cantabile-play: %s: %s\n", file.path.c_str(),
                         engine.GetLoadError());
            ++failures;
            continue;
        }
        rows.push_back({file.nChannel, file.path, ProbeWave(file.path), 0});
    }
    if (failures != 0) {
        engine.Close();
        return kExitFile;
    }

    if (plan.nStartBlock >= 0 || plan.dStartSeconds >= 0.0) {
        for (Row& row : rows) {
            // A time is counted from the file's cue-in, in its own blocks.
            const double blocks =
                plan.dStartSeconds * row.probe.nSamplesPerSec / row.probe.FramesPerBlock();
            const int32_t wanted =
                plan.nStartBlock >= 0
                    ? plan.nStartBlock
                    : static_cast<int32_t>(std::min(blocks, 1e9)) + std::max(row.probe.nCueIn, 0);
            const int32_t block = engine.SetPosition(row.nChannel, wanted);
            const int32_t from = block - (row.probe.nCueIn > 0 ? row.probe.nCueIn : 0);
            row.dwOffsetMs = from > 0 ? static_cast<uint32_t>(from) * row.probe.MsPerBlock() : 0;
        }
    }

    StatusDisplay display(stdout, ::isatty(STDOUT_FILENO) != 0);
    for (const Row& row : rows) {
        display.AddChannel(row.nChannel, BaseName(row.path), row.probe.PlayMs());
    }
    std::vector<int32_t> states(rows.size());
    std::vector<uint32_t> elapsed(rows.size());
    auto refresh = [&](uint32_t sinceStartMs, int32_t position) {
        size_t active = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            states[i] = engine.ChannelState(rows[i].nChannel);
            active += states[i] == CHANNEL_PLAYING || states[i] == CHANNEL_CLOSING ? 1 : 0;
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            const WaveProbe& probe = rows[i].probe;
            if (states[i] == CHANNEL_TERMINATED) {
                elapsed[i] = probe.PlayMs();
            } else if (states[i] == CHANNEL_LOADED) {
                elapsed[i] = rows[i].dwOffsetMs;
            } else if (active == 1 && position >= 0 &&
                       (states[i] == CHANNEL_PLAYING || states[i] == CHANNEL_CLOSING)) {
                // The engine publishes one position, that of the channel it
                // refilled last: it can be trusted only while one channel plays.
                const int32_t from = position - (probe.nCueIn > 0 ? probe.nCueIn : 0);
                elapsed[i] = from > 0 ? static_cast<uint32_t>(from) * probe.MsPerBlock() : 0;
            } else {
                elapsed[i] = rows[i].dwOffsetMs + sinceStartMs;
            }
        }
        display.Update(states, elapsed);
    };

    if (plan.bWait) {
        refresh(0, -1);
        std::printf("ready\n");
        std::fflush(stdout);
        const int stop = WaitForGo();
        if (stop != 0) {
            engine.Close();
            return 128 + stop;
        }
    }

    // As the dialog's Play: every loaded channel, then the device.
    for (const Row& row : rows) {
        if (engine.GetChannelStatus(row.nChannel) != CHANNEL_LOADED) {
            continue;
        }
        if (engine.PlayChannel(row.nChannel) != 0) {
            std::fprintf(
                stderr,
                "cantabile-play: %s: the channel could not be started (see SarabandeDbg.Log)\n",
                row.path.c_str());
            ++failures;
        }
    }
    if (failures != 0) {
        engine.Close();
        return kExitFile;
    }
    if (!ASIOStartPlay()) {
        std::fprintf(stderr, "cantabile-play: the driver could not be started: %s\n",
                     ASIOErrorText());
        engine.Close();
        return kExitDriver;
    }

    ResourceUse usage(plan.bStats);
    for (const Row& row : rows) usage.AddMappedFile(row.path);
    const uint32_t startMs = platform::TimeGetTime();
    const double startWall = MonotonicSeconds();
    const double startCpu = ThreadCpuSeconds();
    double displayCpu = 0.0;
    int32_t position;
    int stopSignal = 0;
    bool bAllEnded = false;
    bool bLost = false;
    bool bDeviceLost = false;
    platform::Event* positionEvent = engine.GetPositionEvent();
    for (;;) {
        const uint32_t sinceStart = platform::TimeGetTime() - startMs;
        int timeout = kRefreshMs;
        if (plan.dDurationSeconds > 0.0) {
            const double left = plan.dDurationSeconds * 1000.0 - sinceStart;
            if (left <= 0.0) break;
            if (left < timeout) timeout = static_cast<int>(left) + 1;
        }
        pollfd fds[1] = {{SignalFd(), POLLIN, 0}};
        ::poll(fds, 1, timeout);
        bool bFired = false;
        stopSignal = DrainSignals(&bFired);
        if (stopSignal != 0) break;
        if (ASIODeviceLost()) {
            bDeviceLost = true;
            break;
        }

        position =
            positionEvent != nullptr && positionEvent->TryWait() ? engine.GetPositionValue() : -1;
        const double before = ThreadCpuSeconds();
        refresh(platform::TimeGetTime() - startMs, position);
        displayCpu += ThreadCpuSeconds() - before;
        usage.Sample();

        bAllEnded = true;
        for (const int32_t state : states) {
            if (state == CHANNEL_FREE) bLost = true;
            if (state != CHANNEL_TERMINATED && state != CHANNEL_FREE) bAllEnded = false;
        }
        if (bAllEnded) break;
    }
    const double playWall = MonotonicSeconds() - startWall;
    const double mainCpu = ThreadCpuSeconds() - startCpu;

    ASIOStopPlay();
    engine.Close();
    display.Finish();

    if (plan.bStats) {
        usage.Report(stderr, playWall, displayCpu, mainCpu);
    }
    if (stopSignal != 0) {
        std::fprintf(stderr, "cantabile-play: stopped by %s\n",
                     stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
        return 128 + stopSignal;
    }
    if (bDeviceLost) {
        std::fprintf(stderr, "cantabile-play: the device \"%s\" was lost: %s\n",
                     drivers.Selected().c_str(), ASIOErrorText());
        return kExitDriver;
    }
    if (bLost) {
        std::fprintf(stderr,
                     "cantabile-play: a channel stopped before its end (see SarabandeDbg.Log)\n");
        return kExitFile;
    }
    return kExitOk;
}

}  // namespace cli
