#include "app/StartupTiming.h"

#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace startup {

double BootClockMs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool ParseStartTicks(const std::string& statText, uint64_t* ticks) {
    if (!ticks) return false;
    // The command name may contain blanks and parentheses: the fields resume
    // after its last closing parenthesis, at field 3 (the state).
    const std::string::size_type close = statText.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(statText.substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) return false;
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) return false;
    *ticks = value;
    return true;
}

double ProcessStartMs() {
    std::ifstream stat("/proc/self/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    uint64_t ticks = 0;
    const auto perSecond = sysconf(_SC_CLK_TCK);
    if (!ParseStartTicks(text, &ticks) || perSecond <= 0) return -1.0;
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(perSecond);
}

std::string FormatTimingLine(double processStartMs, double mainMs, double paintMs) {
    char line[160];
    if (processStartMs >= 0.0) {
        std::snprintf(line, sizeof line,
                      "First paint: %.0f ms after process start, %.1f ms after main\n",
                      paintMs - processStartMs, paintMs - mainMs);
    } else {
        std::snprintf(line, sizeof line,
                      "First paint: %.1f ms after main (process start unknown)\n",
                      paintMs - mainMs);
    }
    return line;
}

}  // namespace startup
