// The control stream of `cantabile-play --control`: command lines on a file
// descriptor (standard input), each answered on `out` with the reply lines
// of control/Reply.h, ending in "ok" or "error: REASON". Blank lines and
// comments are not answered; a last line without its newline is not run.
#pragma once

#include <cstdio>
#include <string>

#include "control/EngineTarget.h"

namespace cli {

class TextControl {
  public:
    TextControl(int fd, std::FILE* out);

    int Fd() const { return fd_; }
    // False once the input has ended.
    bool IsOpen() const { return bOpen_; }
    // Reads what is waiting (call when the descriptor is readable) and runs
    // every whole line against the target, in order. Stops after a quit:
    // the lines behind it are not run.
    void Serve(control::EngineTarget& target);

  private:
    void RunLine(const std::string& line, control::CommandTarget& target);

    int fd_;
    std::FILE* out_;
    bool bOpen_ = true;
    bool bSkipping_ = false;  // the rest of a line too long to take
    std::string pending_;     // the start of a line not yet ended
};

}  // namespace cli
