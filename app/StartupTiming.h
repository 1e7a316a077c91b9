// How long the window took to appear: from the process's start (as the
// kernel recorded it) and from main() to the first paint of the dialog.
#pragma once

#include <cstdint>
#include <string>

namespace startup {

// Milliseconds since boot on the clock the kernel stamps processes with.
double BootClockMs();
// When this process started, on the same clock (10 ms resolution); negative
// when it cannot be read.
double ProcessStartMs();
// Parses the start time out of the text of /proc/<pid>/stat (the 22nd field,
// counted after the parenthesised command name, which may hold blanks), in
// clock ticks. False for text that does not hold it.
[[nodiscard]] bool ParseStartTicks(const std::string& statText, uint64_t* ticks);

// The line --timing prints.
std::string FormatTimingLine(double processStartMs, double mainMs, double paintMs);

}  // namespace startup
