// The whole player on JACK against twelve sndfile-jackplay processes: twelve
// stereo 48 kHz files of 30 s each through the JACK driver on a private
// dummy server, at 64 and 256 frames a period. Prints the CPU seconds each
// side spends per second of audio (ours from getrusage around the play, the
// peers' from wait4 as each exits), the server's xruns during each play,
// and the ratio of the two CPU figures, all measured in this run. The
// server's xruns with no player at all, over the same time, come first: on
// a busy machine without real-time scheduling the server misses cycles by
// itself.
//
// Then, at 256 frames on the same 48 kHz server, twelve stereo 24-bit
// 44.1 kHz files of 30 s: ours converted to 48 kHz (libsndfile, libsoxr)
// against one ecasound playing the same twelve files unconverted (read as
// raw 48 kHz samples, since ecasound refuses a rate other than the
// server's), CPU per second of audio each.
//
// Real-time scheduling is used when the system grants it, as a player
// runs; set CANTABILE_BENCH_NO_REALTIME=1 to measure without.
// Targets: no xrun at 64 frames, at most half the peers' CPU, and converting
// at most ecasound's CPU. Run it on a quiet machine: the load average is
// printed first.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivers/BuiltinDrivers.h"
#include "engine/Sarabande.h"
#include "mixer/AsioHost.h"
#include "tests/support/JackServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kSeconds = 30;
constexpr int32_t kFiles = 12;
constexpr int32_t kJack = 0;

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(const rusage& usage) {
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A client of its own that only counts the server's xruns.
class XrunMonitor {
  public:
    bool Open() {
        jack_status_t status;
        client_ = jack_client_open("xrun-monitor", JackNoStartServer, &status);
        if (client_ == nullptr) return false;
        jack_set_xrun_callback(client_, &XrunMonitor::OnXrun, this);
        return jack_activate(client_) == 0;
    }
    ~XrunMonitor() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    void Reset() { xruns_.store(0); }
    uint32_t Xruns() const { return xruns_.load(); }
    jack_client_t* Client() const { return client_; }

  private:
    static int OnXrun(void* arg) {
        static_cast<XrunMonitor*>(arg)->xruns_.fetch_add(1);
        return 0;
    }
    jack_client_t* client_ = nullptr;
    // Written by the monitor's notification thread, read by main.
    std::atomic<uint32_t> xruns_{0};
};

struct Figures {
    bool bOk = false;
    double dCpuPerSecond = 0;
    uint32_t dwXruns = 0;
    double dWallSeconds = 0;
};

// The server and the monitor alone for as long as a play: the xruns the
// machine makes without any player.
Figures Idle(XrunMonitor& monitor) {
    Figures figures;
    monitor.Reset();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    figures.dwXruns = monitor.Xruns();
    figures.dWallSeconds = SecondsSince(start);
    figures.bOk = true;
    figures.dCpuPerSecond = -1;  // nothing of ours ran
    return figures;
}

Figures PlayOurs(const std::vector<std::string>& files, const std::string& workDir,
                 XrunMonitor& monitor, double audioSeconds = kSeconds) {
    Figures figures;
    {
        int hwnd = 0;
        Sarabande engine(kJack, nullptr);
        if (engine.Init(&hwnd, nullptr, workDir.c_str()) != 0) return figures;
        for (int32_t k = 0; k < kFiles; ++k) {
            if (engine.LoadFile(k, files[static_cast<size_t>(k)].c_str()) != k) return figures;
            if (engine.PlayChannel(k) != 0) return figures;
        }
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const auto start = Clock::now();
        monitor.Reset();
        if (!ASIOStartPlay()) return figures;
        auto allDone = [&] {
            for (int32_t k = 0; k < kFiles; ++k) {
                if (engine.ChannelState(k) != CHANNEL_TERMINATED) return false;
            }
            return true;
        };
        while (!allDone() && SecondsSince(start) < kSeconds + 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        figures.dwXruns = monitor.Xruns();
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        figures.dWallSeconds = SecondsSince(start);
        figures.bOk = allDone();
        figures.dCpuPerSecond = (CpuSeconds(after) - CpuSeconds(before)) / audioSeconds;
        ASIOStopPlay();
        engine.Close();
    }
    return figures;
}

std::set<std::string> OutputPorts(jack_client_t* client) {
    std::set<std::string> names;
    const char** list = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (int i = 0; list != nullptr && list[i] != nullptr; ++i) names.insert(list[i]);
    jack_free(list);
    return names;
}

// Connects a peer's ports to the pair its file would play on with us, and
// to nothing else. The peer connects itself to the first playback ports
// once active; that is waited for first, so that it does not come after.
bool RouteToPair(jack_client_t* client, const std::vector<std::string>& ports, int32_t pair) {
    const auto start = Clock::now();
    for (const std::string& name : ports) {
        jack_port_t* port = jack_port_by_name(client, name.c_str());
        if (port == nullptr) return false;
        while (jack_port_connected(port) == 0 && SecondsSince(start) < 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    for (size_t side = 0; side < ports.size(); ++side) {
        jack_port_t* port = jack_port_by_name(client, ports[side].c_str());
        const char** list = jack_port_get_all_connections(client, port);
        for (int i = 0; list != nullptr && list[i] != nullptr; ++i)
            jack_disconnect(client, ports[side].c_str(), list[i]);
        jack_free(list);
        const std::string target =
            "system:playback_" + std::to_string(2 * pair + 1 + static_cast<int32_t>(side));
        const int result = jack_connect(client, ports[side].c_str(), target.c_str());
        if (result != 0 && result != EEXIST) return false;
    }
    return true;
}

Figures PlayPeers(const std::string& player, const std::vector<std::string>& files,
                  XrunMonitor& monitor) {
    Figures figures;
    jack_client_t* client = monitor.Client();
    monitor.Reset();
    const auto start = Clock::now();
    std::vector<pid_t> pids;
    bool bRouted = true;
    for (int32_t k = 0; k < kFiles; ++k) {
        const std::set<std::string> known = OutputPorts(client);
        const char* argv[] = {player.c_str(), files[static_cast<size_t>(k)].c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned =
            posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) break;
        pids.push_back(pid);
        // Its two ports appear once it has opened its client.
        std::vector<std::string> fresh;
        const auto waiting = Clock::now();
        while (fresh.size() < 2 && SecondsSince(waiting) < 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            fresh.clear();
            for (const std::string& name : OutputPorts(client)) {
                if (known.count(name) == 0) fresh.push_back(name);
            }
        }
        if (fresh.size() != 2 || !RouteToPair(client, fresh, k)) {
            std::printf("sndfile-jackplay %d: its ports could not be routed\n", k);
            bRouted = false;
        }
    }
    double cpu = 0;
    bool bAllExited = pids.size() == static_cast<size_t>(kFiles);
    for (const pid_t pid : pids) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::printf("sndfile-jackplay (pid %d) ended with status 0x%x\n", static_cast<int>(pid),
                        status);
            bAllExited = false;
        }
        cpu += CpuSeconds(usage);
    }
    figures.dwXruns = monitor.Xruns();
    figures.dWallSeconds = SecondsSince(start);
    figures.dCpuPerSecond = cpu / kSeconds;
    figures.bOk = bAllExited && bRouted;
    return figures;
}

// One ecasound, one chain a file, every chain to the server's first pair:
// the files' samples read as raw 24-bit stereo at the server's rate.
Figures PlayEcasound(const std::string& ecasound, const std::vector<std::string>& files,
                     double audioSeconds, XrunMonitor& monitor) {
    Figures figures;
    std::vector<std::string> args = {ecasound, "-C", "-q", "-f:s24_le,2," + std::to_string(kRate)};
    for (size_t k = 0; k < files.size(); ++k) {
        args.push_back("-a:" + std::to_string(k + 1));
        args.push_back("-i:typeselect,.raw," + files[k]);
        args.push_back("-o:jack,system");
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    monitor.Reset();
    const auto start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return figures;
    int status = 0;
    rusage usage{};
    const bool bWaited = wait4(pid, &status, 0, &usage) == pid;
    figures.dwXruns = monitor.Xruns();
    figures.dWallSeconds = SecondsSince(start);
    figures.dCpuPerSecond = CpuSeconds(usage) / audioSeconds;
    figures.bOk = bWaited && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                  figures.dWallSeconds > audioSeconds * 0.9;
    return figures;
}

std::string FindOnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/bin";
    size_t from = 0;
    while (from < dirs.size()) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        const std::string candidate = dirs.substr(from, to - from) + "/" + program;
        if (to > from && access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return {};
}

void PrintRow(const char* who, uint32_t frames, const Figures& f) {
    char cpu[32] = "-";
    if (f.dCpuPerSecond >= 0) std::snprintf(cpu, sizeof cpu, "%.4f", f.dCpuPerSecond);
    std::printf("%-19s %6u %14s %7u %9.1f%s\n", who, frames, cpu, f.dwXruns, f.dWallSeconds,
                f.bOk ? "" : "  (run incomplete)");
}

// Whether this process may use SCHED_FIFO, and so the server it starts.
bool RealtimeAllowed() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_t self = pthread_self();
    int policy = 0;
    sched_param saved{};
    if (pthread_getschedparam(self, &policy, &saved) != 0) return false;
    if (pthread_setschedparam(self, SCHED_FIFO, &param) != 0) return false;
    pthread_setschedparam(self, policy, &saved);
    return true;
}

// libjack's chatter (every probe before the server is up, every client
// that leaves) would bury the table.
void Quiet(const char*) {}

// Twelve 24-bit 44.1 kHz files at 256 frames: ours converting, ecasound not.
int ConvertedAgainstEcasound(const std::string& jackd, const TempDir& dir, bool bRealtime) {
    constexpr uint32_t kFrames = 256;
    constexpr uint32_t kFileRate = 44100;
    WavLayout layout;
    layout.nSamplesPerSec = kFileRate;
    layout.wBitsPerSample = 24;
    const std::vector<uint8_t> wav = MakeWav(layout, PatternPcm(layout, kFileRate * kSeconds));
    std::vector<std::string> files;
    for (int32_t k = 0; k < kFiles; ++k) {
        files.push_back(dir.File("file24-" + std::to_string(k) + ".wav"));
        if (!WriteBytes(files.back(), wav)) return 1;
    }
    std::printf("\n%d stereo 24-bit files of %u s at %u Hz on the %u Hz server\n", kFiles, kSeconds,
                kFileRate, kRate);
    JackServer server(jackd, "cantabile-bench-e2e-convert", kRate, kFrames, bRealtime);
    XrunMonitor monitor;
    if (!server.Start() || !monitor.Open()) {
        std::printf("the JACK server at %u frames did not start\n", kFrames);
        return 1;
    }
    const Figures ours = PlayOurs(files, dir.path(), monitor);
    PrintRow("cantabile converts", kFrames, ours);
    const std::string ecasound = FindOnPath("ecasound");
    if (ecasound.empty()) {
        std::printf("ecasound is not installed: no comparison\n");
        return ours.bOk ? 0 : 1;
    }
    // Read at the server's rate, the files last 44100/48000 as long.
    const double peerSeconds = static_cast<double>(kSeconds) * kFileRate / kRate;
    const Figures peer = PlayEcasound(ecasound, files, peerSeconds, monitor);
    PrintRow("ecasound as is", kFrames, peer);
    if (peer.bOk && ours.bOk && peer.dCpuPerSecond > 0) {
        std::printf("%-19s %6u %14.3f  (ours / ecasound; target <= 1)\n", "ratio", kFrames,
                    ours.dCpuPerSecond / peer.dCpuPerSecond);
    }
    return ours.bOk ? 0 : 1;
}

}  // namespace

int main() {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    const std::string jackd = JackServer::FindJackd();
    if (jackd.empty()) {
        std::printf("jackd is not installed: nothing to measure\n");
        return 0;
    }
    const std::string peer = FindOnPath("sndfile-jackplay");
    double load[3] = {};
    if (getloadavg(load, 3) == 3) {
        std::printf("load average before the runs: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    }

    TempDir dir;
    ScopedChdir cd(dir.path());
    ASIOSetLogDirectory(nullptr);
    std::vector<std::string> files;
    WavLayout layout;
    layout.nSamplesPerSec = kRate;
    const std::vector<uint8_t> wav = MakeWav(layout, PatternPcm(layout, kRate * kSeconds));
    for (int32_t k = 0; k < kFiles; ++k) {
        files.push_back(dir.File("file" + std::to_string(k) + ".wav"));
        if (!WriteBytes(files.back(), wav)) {
            std::printf("cannot write %s\n", files.back().c_str());
            return 1;
        }
    }

    // Real-time scheduling where the system grants it (as a player would
    // run); CANTABILE_BENCH_NO_REALTIME=1 measures without.
    const bool bRealtime =
        std::getenv("CANTABILE_BENCH_NO_REALTIME") == nullptr && RealtimeAllowed();
    std::printf(
        "%d stereo files of %u s at %u Hz, %s scheduling; CPU seconds per second of audio\n",
        kFiles, kSeconds, kRate, bRealtime ? "real-time" : "ordinary");
    std::printf("%-19s %6s %14s %7s %9s\n", "player", "frames", "CPU s/s", "xruns", "wall s");
    drivers::BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    ASIOSetDriverSource(&source);
    int failures = 0;
    for (const uint32_t frames : {64u, 256u}) {
        JackServer server(jackd, "cantabile-bench-e2e-" + std::to_string(frames), kRate, frames,
                          bRealtime);
        if (!server.Start()) {
            std::printf("the JACK server at %u frames did not start\n", frames);
            ++failures;
            break;
        }
        XrunMonitor monitor;
        if (!monitor.Open()) {
            std::printf("the xrun monitor cannot open\n");
            ++failures;
            break;
        }
        PrintRow("idle server", frames, Idle(monitor));
        const Figures ours = PlayOurs(files, dir.path(), monitor);
        PrintRow("cantabile", frames, ours);
        failures += ours.bOk ? 0 : 1;
        if (peer.empty()) {
            std::printf("sndfile-jackplay is not installed: no comparison\n");
            continue;
        }
        const Figures peers = PlayPeers(peer, files, monitor);
        PrintRow("12 sndfile-jackplay", frames, peers);
        if (peers.bOk && ours.bOk && peers.dCpuPerSecond > 0) {
            std::printf(
                "%-19s %6u %14.3f  (ours / peers; target <= 0.5)%s\n", "ratio", frames,
                ours.dCpuPerSecond / peers.dCpuPerSecond,
                frames == 64 && ours.dwXruns != 0 ? "  xrun target at 64 frames missed" : "");
        }
    }
    failures += ConvertedAgainstEcasound(jackd, dir, bRealtime);
    ASIOSetDriverSource(nullptr);
    return failures == 0 ? 0 : 1;
}
