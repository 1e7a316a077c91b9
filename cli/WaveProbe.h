// A look at a WAV file's header from the player's side: the cue-in block
// that a --start time is counted from. It reads the header by the engine's
// own rules (the data id searched from 36 to 2084, a cue chunk exactly 20
// bytes before it) but never decides whether a file is played: the engine
// does that, and gives the file's rate.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// The cue-in block of a RIFF or RF64 file; 0 where there is none or the
// header cannot be read.
[[nodiscard]] int32_t ProbeCueIn(const std::string& path);

}  // namespace cli
