#include "cli/Signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace cli {

namespace {

int pipeFds[2] = {-1, -1};
// Written by the handler (any thread), read by the main loop.
volatile std::sig_atomic_t nStopSignal = 0;
volatile std::sig_atomic_t bFireSignal = 0;

void OnSignal(int signal) {
    const int savedErrno = errno;
    if (signal == SIGUSR1) {
        bFireSignal = 1;
    } else {
        nStopSignal = signal;
    }
    const char byte = 1;
    // A full pipe already wakes the loop; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

bool InstallSignalHandlers() {
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

int SignalFd() {
    return pipeFds[0];
}

int DrainSignals(bool* pbFired) {
    char bytes[64];
    while (::read(pipeFds[0], bytes, sizeof bytes) > 0) {
    }
    *pbFired = bFireSignal != 0;
    bFireSignal = 0;
    return nStopSignal;
}

}  // namespace cli
