// The player's command line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cli {

struct ChannelFile {
    int32_t nChannel;
    std::string path;
};

// How the files are played, as the command line gave it; the player's plan
// carries the same.
struct PlaySettings {
    int32_t nStartBlock = -1;        // --start-block; -1: where each file begins
    double dStartSeconds = -1.0;     // --start; negative: where each file begins
    double dDurationSeconds = -1.0;  // --duration; negative: to the end
    bool bWait = false;
    bool bStats = false;      // print measured memory and display cost at exit
    bool bNoConvert = false;  // play every file at its own rate
    // Show options. Rows are channels 0..11 here.
    std::vector<std::pair<int32_t, int32_t>> levels;  // --level K=DB: channel, whole dB
    bool bLoop[12] = {};                              // --loop K | all
    int32_t nFadeInMs = 0;                            // --fade-in
    int32_t nFadeOutMs = 0;                           // --fade-out
    std::string showPath;                             // --show FILE
    std::string saveShowPath;                         // --save-show FILE
    // Remote control: driven by OSC or by text commands on standard input.
    int32_t nOscPort = -1;  // --osc PORT; -1: no OSC
    std::string oscBind = "127.0.0.1";
    bool bControl = false;  // --control
    bool Driven() const { return nOscPort >= 0 || bControl; }
};

struct Options : PlaySettings {
    bool bHelp = false;
    bool bVersion = false;
    bool bListDevices = false;
    bool bDemo = false;
    std::string demoDir = "demo";
    std::vector<std::string> files;     // FILE...: the free channels from 0 up
    std::vector<ChannelFile> channels;  // --channel K=FILE, K the row 1..12 (channel K-1)
    std::string device;                 // --device N|NAME; empty: the saved choice
    std::string recordPath;             // --record FILE
    std::string rate, frames, format;   // the virtual card's settings, as given
    std::string workDir;                // --workdir: the configuration file and the logs
};

// False, with a sentence for the user in *error, for arguments that make no
// sense. Files are not looked at here.
[[nodiscard]] bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

const char* UsageText();

}  // namespace cli
