// Runs cantabile-play as a child process in a given working directory, with
// environment additions and standard input from /dev/null or a pipe, and its
// output captured in files there.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

using Env = std::vector<std::pair<std::string, std::string>>;

struct PlayerResult {
    int nExitStatus = -1;  // the exit code, or 128 + signal when it died of one
    std::string out, err;
    double dSeconds = 0.0;
};

class PlayerProcess {
  public:
    using Clock = std::chrono::steady_clock;

    PlayerProcess(const std::string& workDir, std::vector<std::string> args, const Env& env = {},
                  bool bStdinPipe = false)
        : outPath_(workDir + "/.player-stdout"), errPath_(workDir + "/.player-stderr") {
        int fds[2] = {-1, -1};
        if (bStdinPipe && ::pipe(fds) != 0) return;
        args.insert(args.begin(), CANTABILE_PLAY_PATH);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = bStdinPipe ? fds[0] : ::open("/dev/null", O_RDONLY);
            if (::chdir(workDir.c_str()) != 0 || out < 0 || err < 0 || in < 0) _exit(121);
            ::dup2(in, 0), ::dup2(out, 1), ::dup2(err, 2);
            if (bStdinPipe) ::close(fds[1]);
            for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> raw;
            for (std::string& a : args) raw.push_back(a.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            _exit(122);
        }
        if (bStdinPipe) ::close(fds[0]), stdinFd_ = fds[1];
    }
    ~PlayerProcess() {
        Wait(0);
        if (stdinFd_ >= 0) ::close(stdinFd_);
    }
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    void Signal(int signal) {
        if (Running()) ::kill(pid_, signal);
    }
    void WriteStdin(const std::string& text) {
        [[maybe_unused]] const ssize_t n = ::write(stdinFd_, text.data(), text.size());
    }
    std::string OutSoFar() const { return ReadWholeFile(outPath_); }
    // Polls standard output until it holds text; false after timeoutMs.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (OutSoFar().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool Running() {
        if (pid_ <= 0 || bReaped_) return false;
        bReaped_ = ::waitpid(pid_, &status_, WNOHANG) == pid_;
        return !bReaped_;
    }
    // Waits at most timeoutMs, then kills it (the status then says SIGKILL).
    PlayerResult Wait(int timeoutMs = 30000) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Running() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Running()) ::kill(pid_, SIGKILL), ::waitpid(pid_, &status_, 0), bReaped_ = true;
        PlayerResult result;
        result.dSeconds = std::chrono::duration<double>(Clock::now() - start_).count();
        if (WIFEXITED(status_)) result.nExitStatus = WEXITSTATUS(status_);
        if (WIFSIGNALED(status_)) result.nExitStatus = 128 + WTERMSIG(status_);
        result.out = ReadWholeFile(outPath_);
        result.err = ReadWholeFile(errPath_);
        return result;
    }

  private:
    std::string outPath_, errPath_;
    Clock::time_point start_ = Clock::now();
    pid_t pid_ = -1;
    int stdinFd_ = -1, status_ = 0;
    bool bReaped_ = false;
};

// Runs to the end (at most 30 s).
inline PlayerResult RunPlayer(const std::string& workDir, const std::vector<std::string>& args,
                              const Env& env = {}) {
    return PlayerProcess(workDir, args, env).Wait();
}

// A pattern file of `frames` frames at dir/name, its folders made on the way.
inline std::string WriteWav(const TempDir& dir, const std::string& name, const WavLayout& layout,
                            uint32_t frames) {
    const std::string path = dir.File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    EXPECT_TRUE(WriteBytes(path, MakeWav(layout, PatternPcm(layout, frames))));
    return path;
}
