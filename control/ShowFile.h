// Show files: a set of files on their rows, with each row's level, loop and
// start position, and the device, kept as JSON so that a show can be saved,
// moved with its folder and opened again. Reading a show yields the commands
// that set it up, checked exactly as OSC and text commands are.
//
//   {"cantabile-show": 1, "device": "Virtual card",
//    "rows": [{"row": 1, "file": "sounds/a.wav", "level": -6, "loop": false,
//              "start": 12.5}, ...]}
//
// A relative file is relative to the show file's folder; a file inside that
// folder is saved relative to it, any other absolute.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "control/Command.h"

namespace control {

struct ShowRow {
    std::string file;  // empty: nothing on the row
    double levelDb = 0.0;
    bool loop = false;
    double startSeconds = 0.0;
};

struct Show {
    std::string device;
    std::array<ShowRow, kRows> rows;  // by engine channel
};

// Writes the show (through a temporary file renamed over the old one, so a
// failed save leaves the old show whole). False with the reason in *error
// when a row does not hold a valid command or the file cannot be written.
[[nodiscard]] bool SaveShow(const std::string& path, const Show& show, std::string* error);

struct ShowLoad {
    bool ok = false;
    std::string error;  // why the whole file was refused, when !ok
    std::string device;
    // For each usable row in row order: load (absolute path), level, loop,
    // and position when the start is not 0.
    std::vector<Command> commands;
    // One line per row left out ("row 3: ..."), missing files among them.
    std::vector<std::string> problems;
};

ShowLoad LoadShow(const std::string& path);

}  // namespace control
