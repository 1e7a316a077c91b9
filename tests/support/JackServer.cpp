#include "tests/support/JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

JackServer::JackServer(std::string jackd, std::string name, uint32_t sampleRate,
                       uint32_t periodFrames, bool bRealtime)
    : jackd_(std::move(jackd)),
      name_(std::move(name)),
      dwSampleRate_(sampleRate),
      dwPeriodFrames_(periodFrames),
      bRealtime_(bRealtime) {}

JackServer::~JackServer() {
    Kill(SIGTERM);
    unsetenv("JACK_DEFAULT_SERVER");
}

std::string JackServer::FindJackd() {
    const char* path = std::getenv("PATH");
    const std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/bin";
    for (size_t from = 0, to = 0; from < dirs.size(); from = to + 1) {
        to = std::min(dirs.find(':', from), dirs.size());
        const std::string candidate = dirs.substr(from, to - from) + "/jackd";
        if (to > from && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string JackServer::NameFor(const std::string& suite, const std::string& testCase) {
    // FNV-1a over the full name keeps two long cases with a common prefix apart.
    const std::string full = suite + "." + testCase;
    uint32_t hash = 2166136261u;
    for (const char c : full) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    std::string name = "cantabile-" + testCase.substr(0, 32);
    for (char& c : name) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!plain) c = '-';
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", hash);
    return name + suffix;
}

bool JackServer::Start() {
    if (pid_ > 0 || jackd_.empty()) return false;
    const std::string rate = std::to_string(dwSampleRate_);
    const std::string frames = std::to_string(dwPeriodFrames_);
    const char* argv[] = {jackd_.c_str(), bRealtime_ ? "--realtime" : "--no-realtime",
                          "-n",           name_.c_str(),
                          "-d",           "dummy",
                          "-r",           rate.c_str(),
                          "-p",           frames.c_str(),
                          "-P",           "24",
                          "-C",           "0",
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned =
        posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return false;
    }
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    const auto start = Clock::now();
    while (MsSince(start) < 10000) {
        jack_status_t status;
        if (jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status)) {
            jack_client_close(probe);
            return true;
        }
        // A server that died at start-up (a bad option, a name in use) will
        // never answer: no point waiting out the time.
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void JackServer::Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    const auto start = Clock::now();
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (MsSince(start) > 5000) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}
