// Signals for the player: SIGINT and SIGTERM ask it to stop, SIGUSR1 fires
// a waiting set. The handler only records the signal and writes one byte to
// a pipe that the main loop polls; all real work happens on the main thread.
#pragma once

#include <csignal>

namespace cli {

// Installs the handlers and makes the pipe. False when the pipe cannot be made.
[[nodiscard]] bool InstallSignalHandlers();

// The pipe's read end, readable after any handled signal.
int SignalFd();

// Empties the pipe; returns the last stop signal seen (SIGINT or SIGTERM, 0
// for none) and whether SIGUSR1 arrived since the previous call.
int DrainSignals(bool* pbFired);

}  // namespace cli
