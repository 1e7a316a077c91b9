// The player proper: opens the engine on the chosen driver, loads the files,
// plays them all together (as the dialog's Play does: PlayChannel on every
// loaded channel, then ASIOStartPlay), shows their progress, stops when the
// device is lost, and closes the engine cleanly however the run ends.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/Options.h"

namespace cli {

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitDriver = 1;  // the driver could not be opened or started, or was lost
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;

struct PlayPlan : PlaySettings {
    std::vector<ChannelFile> files;  // each with its channel
    int32_t nDevice = -1;            // -1: the choice saved in "ASIOConfig.txt"
    // Where the player was started: what a relative path in a command means.
    std::string startDir;
};

// Runs the plan; returns the exit status.
[[nodiscard]] int RunPlayer(const PlayPlan& plan);

}  // namespace cli
