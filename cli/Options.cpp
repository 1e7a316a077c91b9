#include "cli/Options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/ChannelStates.h"

namespace cli {

namespace {

bool ParseWhole(const std::string& text, int64_t low, int64_t high, int64_t* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    int64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
        if (n > high) return false;
    }
    if (n < low) return false;
    *value = n;
    return true;
}

// Seconds above `low` (or from it, when bFromLow), at most a day.
bool ParseSeconds(const std::string& text, double* seconds, double low = 0.0,
                  bool bFromLow = false) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) ||
        (bFromLow ? value < low : value <= low) || value > 24.0 * 3600.0) {
        return false;
    }
    *seconds = value;
    return true;
}

// Whole milliseconds for a fade: 0 to an hour.
bool ParseMs(const std::string& text, int32_t* ms) {
    int64_t value = 0;
    if (!ParseWhole(text, 0, 3600 * 1000, &value)) return false;
    *ms = static_cast<int32_t>(value);
    return true;
}

// A level in whole dB, 0 or below; anything below -144 is silence.
bool ParseLevel(const std::string& text, int32_t* db) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value > 0) {
        return false;
    }
    *db = value < -144.0 ? -144 : static_cast<int32_t>(std::lround(value));
    return true;
}

}  // namespace

const char* UsageText() {
    return "Usage: cantabile-play [OPTIONS] [FILE...]\n"
           "Plays up to twelve sound files at once, file n on output pair n: WAV (16,\n"
           "24 or 32-bit, float, extensible, RF64), FLAC, AIFF, W64, mono or stereo.\n"
           "A file at the device's rate or half of it plays as it is; any other rate\n"
           "is converted to the device's (libsoxr, high quality). Sources above 16\n"
           "bits keep their resolution on a 32-bit device and are reduced with TPDF\n"
           "dither on a 16-bit one.\n"
           "\n"
           "  FILE...               load the files on the free rows, from row 1 up\n"
           "  --channel K=FILE      load FILE on row K (1 to 12, as \"Chn 01\" to \"Chn 12\");\n"
           "                        repeatable\n"
           "  --list-devices        print the drivers with their numbers and exit\n"
           "  --device N|NAME       use driver N, or the one whose name begins with NAME\n"
           "                        (without it, the choice saved in ASIOConfig.txt)\n"
           "  --record FILE         play through the virtual card and record its outputs\n"
           "  --rate HZ             virtual card rate (default 48000)\n"
           "  --frames N            virtual card buffer size in frames (default 256)\n"
           "  --format int16|int32  virtual card sample type (default int32)\n"
           "  --start-block N       position every channel at block N before playing\n"
           "  --start SECONDS       start every channel that far into its file\n"
           "  --duration SECONDS    stop after that long\n"
           "  --no-convert          play every file at its own rate, unconverted\n"
           "                        (a file at half the device's rate or less has\n"
           "                        each frame played twice; below 22050 Hz refused)\n"
           "  --wait                load, print \"ready\", start on Enter or SIGUSR1\n"
           "  --level K=DB          play row K at DB (0 down to -144, whole dB); repeatable\n"
           "  --loop K|all          loop row K (or every row) from its cue-in (or start)\n"
           "                        to its cue-out (or end); repeatable\n"
           "  --fade-in MS          fade every file in from silence as it starts\n"
           "  --fade-out MS         fade each file out over its last MS, and every\n"
           "                        channel on Ctrl-C or SIGTERM before stopping\n"
           "  --show FILE           load the rows of a show file (files, levels, loops,\n"
           "                        start positions); a missing file is reported, the\n"
           "                        rest loads\n"
           "  --save-show FILE      save the rows, once loaded, as a show file\n"
           "\n"
           "Remote control (the player then may start with no files, loads what it is\n"
           "given, waits for commands and runs until `quit`, Ctrl-C or SIGTERM):\n"
           "  --osc PORT            take OSC messages /cantabile/... on UDP PORT\n"
           "                        (0: any free port, printed at start)\n"
           "  --osc-bind ADDRESS    the address OSC listens on (default 127.0.0.1, this\n"
           "                        machine only; 0.0.0.0 lets the whole network in)\n"
           "  --control             read commands as text lines on standard input and\n"
           "                        answer each with \"ok\" or \"error: REASON\" on\n"
           "                        standard output (status lines go to standard error)\n"
           "  Commands: load K PATH, unload K, play K, stop K, restart K, position K S,\n"
           "  level K DB, fade K DB MS, loop K 0|1, go, pause, resume, fadeall MS,\n"
           "  unloadall, status, quit (OSC also: subscribe, unsubscribe).\n"
           "\n"
           "  --demo [DIR]          write a set of test files into DIR (default ./demo),\n"
           "                        play them through the virtual card and record them\n"
           "                        to DIR/recording.wav\n"
           "  --stats               print memory use and display cost at the end\n"
           "  --workdir DIR         keep ASIOConfig.txt and the logs in DIR (made if missing)\n"
           "                        instead of the working directory\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 every file played to its end (or --duration ran out),\n"
           "1 the driver could not be opened or started, 2 wrong arguments,\n"
           "3 a file could not be loaded or played, 130/143 stopped by SIGINT/SIGTERM.\n";
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    Options parsed;
    bool bFilesOnly = false;
    bool bUsedChannel[kNumChannels] = {};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (bFilesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            parsed.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bFilesOnly = true;
            continue;
        }
        // "--name=value" and "--name value" both work.
        std::string name = arg;
        std::string value;
        bool bHasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            bHasValue = true;
        }
        auto takeValue = [&](void) -> bool {
            if (bHasValue) return true;
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };

        if (name == "--help" || name == "-h") {
            parsed.bHelp = true;
        } else if (name == "--version") {
            parsed.bVersion = true;
        } else if (name == "--list-devices") {
            parsed.bListDevices = true;
        } else if (name == "--wait") {
            parsed.bWait = true;
        } else if (name == "--stats") {
            parsed.bStats = true;
        } else if (name == "--no-convert") {
            parsed.bNoConvert = true;
        } else if (name == "--demo") {
            parsed.bDemo = true;
            if (bHasValue) {
                parsed.demoDir = value;
            } else if (i + 1 < argc && argv[i + 1][0] != '-') {
                parsed.demoDir = argv[++i];
            }
            if (parsed.demoDir.empty()) {
                *error = "--demo needs a directory name";
                return false;
            }
        } else if (name == "--channel") {
            if (!takeValue()) return false;
            const size_t sep = value.find('=');
            int64_t row = 0;
            if (sep == std::string::npos || sep + 1 >= value.size() ||
                !ParseWhole(value.substr(0, sep), 1, kNumChannels, &row)) {
                *error = "--channel takes K=FILE with K from 1 to 12, not \"" + value + "\"";
                return false;
            }
            if (bUsedChannel[row - 1]) {
                *error = "row " + std::to_string(row) + " is given twice";
                return false;
            }
            bUsedChannel[row - 1] = true;
            parsed.channels.push_back({static_cast<int32_t>(row - 1), value.substr(sep + 1)});
        } else if (name == "--device") {
            if (!takeValue()) return false;
            if (value.empty()) {
                *error = "--device needs a number or a name";
                return false;
            }
            parsed.device = value;
        } else if (name == "--record") {
            if (!takeValue()) return false;
            if (value.empty()) {
                *error = "--record needs a file name";
                return false;
            }
            parsed.recordPath = value;
        } else if (name == "--rate") {
            if (!takeValue()) return false;
            parsed.rate = value;
        } else if (name == "--frames") {
            if (!takeValue()) return false;
            parsed.frames = value;
        } else if (name == "--format") {
            if (!takeValue()) return false;
            parsed.format = value;
        } else if (name == "--start-block") {
            if (!takeValue()) return false;
            int64_t block = 0;
            if (!ParseWhole(value, 0, INT32_MAX, &block)) {
                *error = "--start-block takes a block number of 0 or more, not \"" + value + "\"";
                return false;
            }
            parsed.nStartBlock = static_cast<int32_t>(block);
        } else if (name == "--start") {
            if (!takeValue()) return false;
            if (!ParseSeconds(value, &parsed.dStartSeconds, 0.0, true)) {
                *error = "--start takes a number of seconds of 0 or more, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--level") {
            if (!takeValue()) return false;
            const size_t sep = value.find('=');
            int64_t row = 0;
            int32_t db = 0;
            if (sep == std::string::npos ||
                !ParseWhole(value.substr(0, sep), 1, kNumChannels, &row) ||
                !ParseLevel(value.substr(sep + 1), &db)) {
                *error = "--level takes K=DB with K from 1 to 12 and DB 0 or below, not \"" +
                         value + "\"";
                return false;
            }
            parsed.levels.emplace_back(static_cast<int32_t>(row - 1), db);
        } else if (name == "--loop") {
            if (!takeValue()) return false;
            int64_t row = 0;
            if (value == "all") {
                for (bool& loop : parsed.bLoop) loop = true;
            } else if (ParseWhole(value, 1, kNumChannels, &row)) {
                parsed.bLoop[row - 1] = true;
            } else {
                *error = "--loop takes a row from 1 to 12 or \"all\", not \"" + value + "\"";
                return false;
            }
        } else if (name == "--fade-in" || name == "--fade-out") {
            if (!takeValue()) return false;
            if (!ParseMs(value, name == "--fade-in" ? &parsed.nFadeInMs : &parsed.nFadeOutMs)) {
                *error = name + " takes milliseconds from 0 to 3600000, not \"" + value + "\"";
                return false;
            }
        } else if (name == "--show" || name == "--save-show") {
            if (!takeValue()) return false;
            if (value.empty()) {
                *error = name + " needs a file name";
                return false;
            }
            (name == "--show" ? parsed.showPath : parsed.saveShowPath) = value;
        } else if (name == "--osc") {
            if (!takeValue()) return false;
            int64_t port = 0;
            if (!ParseWhole(value, 0, 65535, &port)) {
                *error = "--osc takes a UDP port from 0 to 65535, not \"" + value + "\"";
                return false;
            }
            parsed.nOscPort = static_cast<int32_t>(port);
        } else if (name == "--osc-bind") {
            if (!takeValue()) return false;
            in6_addr address;
            if (::inet_pton(AF_INET, value.c_str(), &address) != 1 &&
                ::inet_pton(AF_INET6, value.c_str(), &address) != 1) {
                *error = "--osc-bind takes a numeric IPv4 or IPv6 address, not \"" + value + "\"";
                return false;
            }
            parsed.oscBind = value;
        } else if (name == "--control") {
            parsed.bControl = true;
        } else if (name == "--workdir") {
            if (!takeValue()) return false;
            if (value.empty()) {
                *error = "--workdir needs a directory name";
                return false;
            }
            parsed.workDir = value;
        } else if (name == "--duration") {
            if (!takeValue()) return false;
            if (!ParseSeconds(value, &parsed.dDurationSeconds)) {
                *error = "--duration takes a number of seconds above 0, not \"" + value + "\"";
                return false;
            }
        } else {
            *error = "unknown option " + name;
            return false;
        }
        if (bHasValue && (name == "--help" || name == "--version" || name == "--list-devices" ||
                          name == "--wait" || name == "--stats" || name == "--no-convert" ||
                          name == "--control")) {
            *error = name + " takes no value";
            return false;
        }
    }

    if (parsed.nStartBlock >= 0 && parsed.dStartSeconds >= 0.0) {
        *error = "give --start or --start-block, not both";
        return false;
    }
    if (parsed.bDemo && (!parsed.files.empty() || !parsed.channels.empty())) {
        *error = "--demo plays its own files; give no others";
        return false;
    }
    const bool bSomethingToDo = parsed.bHelp || parsed.bVersion || parsed.bListDevices ||
                                parsed.bDemo || parsed.Driven() || !parsed.showPath.empty();
    if (!bSomethingToDo && parsed.files.empty() && parsed.channels.empty()) {
        *error = "nothing to play: give one or more WAV files, --show, --demo, --osc or --control";
        return false;
    }
    *options = parsed;
    return true;
}

}  // namespace cli
