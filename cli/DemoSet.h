// The demo: a set of short, distinct test signals (tones and sweeps, stereo
// and mono, 44100, 48000 and 22050 Hz, one with a cue chunk) that the player
// writes and then plays through the virtual card, so that a first run needs
// nothing but the program itself.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Creates dir if needed and writes the demo files into it, in channel order.
// False, with a sentence in *error, when a file cannot be written.
[[nodiscard]] bool WriteDemoSet(const std::string& dir, std::vector<std::string>* paths,
                                std::string* error);

}  // namespace cli
