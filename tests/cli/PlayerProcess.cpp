#include "tests/cli/PlayerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/TempDir.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

PlayerProcess::PlayerProcess(const std::string& workDir, const std::vector<std::string>& args,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             bool bStdinPipe)
    : outPath_(workDir + "/.player-stdout"), errPath_(workDir + "/.player-stderr") {
    int pipeFds[2] = {-1, -1};
    if (bStdinPipe && ::pipe(pipeFds) != 0) {
        return;
    }
    std::vector<std::string> argv = {CANTABILE_PLAY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    startSeconds_ = Now();
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workDir.c_str()) != 0) _exit(120);
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = bStdinPipe ? pipeFds[0] : ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(121);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (bStdinPipe) ::close(pipeFds[1]);
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> raw;
        for (std::string& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        _exit(122);
    }
    if (bStdinPipe) {
        ::close(pipeFds[0]);
        stdinFd_ = pipeFds[1];
    }
}

PlayerProcess::~PlayerProcess() {
    if (pid_ > 0 && !bReaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    if (stdinFd_ >= 0) ::close(stdinFd_);
}

void PlayerProcess::Signal(int signal) {
    if (pid_ > 0 && !bReaped_) ::kill(pid_, signal);
}

void PlayerProcess::WriteStdin(const std::string& text) {
    if (stdinFd_ >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(stdinFd_, text.data(), text.size());
    }
}

std::string PlayerProcess::OutSoFar() const {
    return ReadWholeFile(outPath_);
}

bool PlayerProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    const double deadline = Now() + timeoutMs / 1000.0;
    while (Now() < deadline) {
        if (OutSoFar().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool PlayerProcess::Running() {
    if (pid_ <= 0 || bReaped_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        bReaped_ = true;
        return false;
    }
    return true;
}

PlayerResult PlayerProcess::Wait(int timeoutMs) {
    PlayerResult result;
    const double deadline = Now() + timeoutMs / 1000.0;
    while (Running() && Now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!bReaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        bReaped_ = true;
    }
    result.dSeconds = Now() - startSeconds_;
    if (WIFEXITED(status_))
        result.nExitStatus = WEXITSTATUS(status_);
    else if (WIFSIGNALED(status_))
        result.nExitStatus = 128 + WTERMSIG(status_);
    result.out = ReadWholeFile(outPath_);
    result.err = ReadWholeFile(errPath_);
    return result;
}

PlayerResult RunPlayer(const std::string& workDir, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env, int timeoutMs) {
    PlayerProcess process(workDir, args, env);
    return process.Wait(timeoutMs);
}
