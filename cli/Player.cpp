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
#include "cli/TextControl.h"
#include "cli/WaveProbe.h"
#include "control/CommandQueue.h"
#include "control/EngineTarget.h"
#include "control/OscServer.h"
#include "control/ShowFile.h"
#include "engine/Sarabande.h"
#include "streams/BlockSource.h"
#include "mixer/AsioHost.h"
#include "platform/Event.h"

namespace cli {

namespace {

// The status, the subscribers and the fades at the ends of files are
// brought up to date ten times a second.
constexpr int kRefreshMs = 100;

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
    int32_t nCueIn;  // as the file's header gives it
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

uint32_t Ms(double seconds) {
    return seconds <= 0.0 ? 0u : static_cast<uint32_t>(std::min(seconds * 1000.0, 4e9));
}

// The state word of the status lines: the engine's, and "stopped" for a
// channel a stop command froze.
const char* StateWord(int32_t state, control::ChannelState shown) {
    if (shown == control::ChannelState::Stopped) return "stopped";
    switch (state) {
        case CHANNEL_LOADED:
            return "loaded";
        case CHANNEL_STARTING:
            return "starting";
        case CHANNEL_PLAYING:
            return "playing";
        case CHANNEL_CLOSING:
            return "ending";
        case CHANNEL_TERMINATED:
            return "done";
        default:
            return "free";
    }
}

bool Sounding(int32_t state) {
    return state == CHANNEL_STARTING || state == CHANNEL_PLAYING || state == CHANNEL_CLOSING;
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
    // With --control, standard output carries the replies alone.
    std::FILE* info = plan.bControl ? stderr : stdout;

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
    std::fprintf(info, "driver: %s, %zu output pairs\n", drivers.Selected().c_str(),
                 pairs.labels.size());
    control::EngineTarget target(engine, drivers.Selected(), plan.startDir);

    // A show first: files named on the command line go over its rows.
    if (!plan.showPath.empty()) {
        const control::ShowLoad show = control::LoadShow(plan.showPath);
        if (!show.ok) {
            std::fprintf(stderr, "cantabile-play: %s\n", show.error.c_str());
            engine.Close();
            return kExitFile;
        }
        for (const std::string& problem : show.problems) {
            std::fprintf(stderr, "cantabile-play: %s: %s\n", plan.showPath.c_str(),
                         problem.c_str());
        }
        for (const control::Command& command : show.commands) {
            const control::Reply reply = control::Execute(command, target);
            if (!reply.ok) {
                std::fprintf(stderr, "cantabile-play: %s: row %d: %s\n", plan.showPath.c_str(),
                             command.channel + 1, reply.error.c_str());
            }
        }
    }

    std::vector<Row> rows;
    int failures = 0;
    for (const ChannelFile& file : plan.files) {
        if (file.nChannel < 0) {
            std::fprintf(stderr, "cantabile-play: %s: no free channel\n", file.path.c_str());
            ++failures;
            continue;
        }
        if (engine.IsChannelLoaded(file.nChannel)) engine.CloseChannelInstantly(file.nChannel);
        if (engine.LoadFile(file.nChannel, file.path.c_str()) != file.nChannel) {
            std::fprintf(stderr, "cantabile-play: %s: %s\n", file.path.c_str(),
                         engine.GetLoadError());
            ++failures;
            continue;
        }
        rows.push_back({file.nChannel, file.path, ProbeCueIn(file.path)});
    }
    if (failures != 0) {
        engine.Close();
        return kExitFile;
    }

    // Levels and loops name rows, which must hold a file by now.
    auto refuseEmptyRow = [&](const char* option, int32_t channel) {
        std::fprintf(stderr, "cantabile-play: %s %d: row %d holds no file\n", option, channel + 1,
                     channel + 1);
        engine.Close();
        return kExitUsage;
    };
    for (const auto& [channel, db] : plan.levels) {
        if (!engine.IsChannelLoaded(channel)) return refuseEmptyRow("--level", channel);
        (void)engine.SetChannelLevel(channel, control::EngineLevel(db));
    }
    const bool bLoopAll =
        std::all_of(std::begin(plan.bLoop), std::end(plan.bLoop), [](bool loop) { return loop; });
    for (int32_t k = 0; k < kNumChannels; ++k) {
        if (!plan.bLoop[k]) continue;
        if (engine.IsChannelLoaded(k)) {
            (void)engine.SetChannelLoop(k, true);
        } else if (!bLoopAll) {
            return refuseEmptyRow("--loop", k);
        }
    }

    if (plan.nStartBlock >= 0 || plan.dStartSeconds >= 0.0) {
        for (Row& row : rows) {
            // A time is counted from the file's cue-in, in its own blocks at
            // the rate the engine found in it, whatever its format.
            uint32_t rate = 0;
            (void)engine.GetChannelPosition(row.nChannel, nullptr, nullptr, &rate);
            const double blocks = plan.dStartSeconds * rate / BlockSource::FramesPerBlock(rate);
            const int32_t wanted =
                plan.nStartBlock >= 0
                    ? plan.nStartBlock
                    : static_cast<int32_t>(std::min(blocks, 1e9)) + std::max(row.nCueIn, 0);
            (void)engine.SetPosition(row.nChannel, wanted);
        }
    }

    if (!plan.saveShowPath.empty()) {
        control::Show show;
        show.device = drivers.Selected();
        const control::StatusSnapshot now = target.Status();
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const control::ChannelStatus& channel = now.channels[k];
            if (channel.state == control::ChannelState::Empty) continue;
            int32_t levelDb = 0;
            (void)engine.GetChannelLevel(k, &levelDb);
            show.rows[k] = {channel.file, std::max<double>(levelDb, control::kSilenceDb),
                            channel.loop, channel.elapsed};
        }
        std::string error;
        if (!control::SaveShow(plan.saveShowPath, show, &error)) {
            std::fprintf(stderr, "cantabile-play: cannot save the show: %s\n", error.c_str());
            engine.Close();
            return kExitFile;
        }
        std::fprintf(info, "show saved to %s\n", plan.saveShowPath.c_str());
    }

    // Remote control: OSC requests wait in the queue for this thread.
    control::CommandQueue queue;
    control::OscServer osc(
        [&queue](control::Request&& request) { return queue.Push(std::move(request)); });
    if (plan.nOscPort >= 0) {
        std::string error;
        if (!osc.Start(plan.nOscPort, plan.oscBind, &error)) {
            std::fprintf(stderr, "cantabile-play: %s\n", error.c_str());
            engine.Close();
            return kExitUsage;
        }
        std::fprintf(info, "osc: listening on %s port %d\n", plan.oscBind.c_str(), osc.Port());
    }
    TextControl text(STDIN_FILENO, stdout);

    StatusDisplay display(info, ::isatty(::fileno(info)) != 0);
    std::vector<ChannelLine> lines;
    auto refresh = [&](const control::StatusSnapshot& snapshot) {
        lines.clear();
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const control::ChannelStatus& channel = snapshot.channels[k];
            if (channel.state == control::ChannelState::Empty) continue;
            lines.push_back({k, BaseName(channel.file),
                             StateWord(engine.ChannelState(k), channel.state), Ms(channel.elapsed),
                             Ms(channel.total), std::max(channel.peak[0], channel.peak[1])});
        }
        display.Update(lines);
    };

    if (!plan.Driven()) {
        if (plan.bWait) {
            refresh(target.Status());
            std::fprintf(info, "ready\n");
            std::fflush(info);
            const int stop = WaitForGo();
            if (stop != 0) {
                engine.Close();
                return 128 + stop;
            }
        }
        // As the dialog's Play: every loaded channel, then the device; a
        // fade-in starts each channel from silence.
        int32_t levels[kNumChannels] = {};
        for (int32_t k = 0; k < kNumChannels; ++k) {
            if (!engine.IsChannelLoaded(k) || engine.GetChannelStatus(k) != CHANNEL_LOADED) {
                continue;
            }
            if (plan.nFadeInMs > 0) {
                (void)engine.GetChannelLevel(k, &levels[k]);
                (void)engine.SetChannelLevel(k, kChannelSilenceDb);
            }
            if (engine.PlayChannel(k) != 0) {
                std::fprintf(
                    stderr,
                    "cantabile-play: %s: the channel could not be started (see SarabandeDbg.Log)\n",
                    engine.GetChannelPath(k).c_str());
                ++failures;
            } else if (plan.nFadeInMs > 0) {
                (void)engine.FadeChannel(k, levels[k], plan.nFadeInMs, false);
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
    } else {
        refresh(target.Status());
        std::fprintf(info, "ready\n");
        std::fflush(info);
    }

    ResourceUse usage(plan.bStats);
    for (const Row& row : rows) usage.AddMappedFile(row.path);
    const uint32_t startMs = platform::TimeGetTime();
    const double startWall = MonotonicSeconds();
    const double startCpu = ThreadCpuSeconds();
    double displayCpu = 0.0;
    int stopSignal = 0;
    bool bLost = false;
    bool bDeviceLost = false;
    bool bFadingOut = false;  // a stop signal began the last fade
    uint32_t fadeOutEnd = 0;
    bool bEndFaded[kNumChannels] = {};  // the fade at the end of the file has begun
    uint32_t lastPublish = startMs;
    for (;;) {
        const uint32_t sinceStart = platform::TimeGetTime() - startMs;
        int timeout = kRefreshMs;
        if (plan.dDurationSeconds > 0.0) {
            const double left = plan.dDurationSeconds * 1000.0 - sinceStart;
            if (left <= 0.0) break;
            if (left < timeout) timeout = static_cast<int>(left) + 1;
        }
        pollfd fds[3] = {{SignalFd(), POLLIN, 0}, {queue.Ready().Fd(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (plan.bControl && text.IsOpen()) fds[2].fd = text.Fd();
        ::poll(fds, 3, timeout);
        bool bFired = false;
        const int stop = DrainSignals(&bFired);
        if (stop != 0 && stopSignal == 0) {
            stopSignal = stop;
            if (plan.nFadeOutMs <= 0) break;
            (void)target.FadeAll(plan.nFadeOutMs);
            bFadingOut = true;
            fadeOutEnd = platform::TimeGetTime() + static_cast<uint32_t>(plan.nFadeOutMs) + 500;
        }
        if (ASIODeviceLost()) {
            bDeviceLost = true;
            break;
        }
        bool bCommands = false;
        if (!bFadingOut) {
            if (bFired && plan.Driven()) (void)target.Go();
            if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                text.Serve(target);
                bCommands = true;
            }
            (void)queue.Ready().TryWait();
            bCommands = queue.RunPending(target) > 0 || bCommands;
        }

        const double before = ThreadCpuSeconds();
        const control::StatusSnapshot snapshot = target.Status();
        refresh(snapshot);
        if (bCommands) osc.PublishChanges(snapshot);
        displayCpu += ThreadCpuSeconds() - before;
        usage.Sample();
        if (target.QuitRequested()) break;

        bool bAllEnded = true;
        bool bSounding = false;
        for (int32_t k = 0; k < kNumChannels; ++k) {
            const int32_t state = engine.ChannelState(k);
            const control::ChannelStatus& channel = snapshot.channels[k];
            bSounding = bSounding || Sounding(state);
            if (state != CHANNEL_TERMINATED && state != CHANNEL_FREE) bAllEnded = false;
            // The fade at the end of a file begins in the refresh that finds
            // no more than the fade (and a refresh) left, and lasts as long
            // as what is left, so that it ends with the file.
            const double left = (channel.total - channel.elapsed) * 1000.0;
            if (plan.nFadeOutMs > 0 && state == CHANNEL_PLAYING && !channel.loop && !bFadingOut) {
                if (left > plan.nFadeOutMs + 2 * kRefreshMs) bEndFaded[k] = false;
                if (!bEndFaded[k] && left <= plan.nFadeOutMs + kRefreshMs) {
                    const int32_t ms = static_cast<int32_t>(std::max(left, 0.0));
                    (void)engine.FadeChannel(k, kChannelSilenceDb, ms, false);
                    bEndFaded[k] = true;
                }
            }
        }
        if (bFadingOut &&
            (!bSounding || static_cast<int32_t>(platform::TimeGetTime() - fadeOutEnd) >= 0)) {
            break;
        }
        if (!plan.Driven()) {
            for (const Row& row : rows) {
                if (engine.ChannelState(row.nChannel) == CHANNEL_FREE) bLost = true;
            }
            if (bAllEnded) break;
        }
        if (platform::TimeGetTime() - lastPublish >= static_cast<uint32_t>(kRefreshMs)) {
            osc.Publish(snapshot);
            lastPublish = platform::TimeGetTime();
        }
    }
    const double playWall = MonotonicSeconds() - startWall;
    const double mainCpu = ThreadCpuSeconds() - startCpu;

    osc.Stop();
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
