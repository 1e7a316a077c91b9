// Runs cantabile-play as a child process with a given working directory,
// environment additions and standard input, capturing its output in files.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct PlayerResult {
    int nExitStatus = -1;  // the exit code, or 128 + signal when it died of one
    std::string out;
    std::string err;
    double dSeconds = 0.0;
};

class PlayerProcess {
  public:
    // stdin is /dev/null unless bStdinPipe: then WriteStdin feeds it.
    PlayerProcess(const std::string& workDir, const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env = {},
                  bool bStdinPipe = false);
    ~PlayerProcess();
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    void Signal(int signal);
    void WriteStdin(const std::string& text);
    // What the child has written to stdout so far.
    std::string OutSoFar() const;
    // Polls OutSoFar until it contains text; false after timeoutMs.
    bool WaitForOutput(const std::string& text, int timeoutMs);
    // True while the child runs.
    bool Running();
    // Waits at most timeoutMs, then kills it (status then reports SIGKILL).
    PlayerResult Wait(int timeoutMs = 30000);

  private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int status_ = 0;
    bool bReaped_ = false;
    double startSeconds_ = 0.0;
};

// Runs to the end (at most timeoutMs).
PlayerResult RunPlayer(const std::string& workDir, const std::vector<std::string>& args,
                       const std::vector<std::pair<std::string, std::string>>& env = {},
                       int timeoutMs = 30000);
