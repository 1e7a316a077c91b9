// What the player shows while it plays: on a terminal one line per loaded
// channel (file name, its own elapsed and total time, a bar, a meter, state),
// redrawn in place; into a pipe or file a plain line whenever a channel
// changes state, so that logs and scripts read one event a line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// One channel as shown.
struct ChannelLine {
    int32_t nChannel;
    std::string name;
    const char* state;
    uint32_t dwElapsedMs;
    uint32_t dwTotalMs;
    float fPeak;  // the louder side's recent peak, 0 to 1
};

class StatusDisplay {
  public:
    StatusDisplay(std::FILE* out, bool bTerminal);

    // The channels to show now, in row order.
    void Update(const std::vector<ChannelLine>& lines);
    // The last picture stays on screen; the cursor goes below it.
    void Finish();

    static std::string FormatTime(uint32_t ms);
    // A small meter: one mark a 8 dB step from -48 dBFS, "[      ]" when silent.
    static std::string Meter(float peak);

  private:
    std::string LineText(const ChannelLine& line, size_t width) const;

    std::FILE* out_;
    bool bTerminal_;
    size_t drawn_ = 0;  // lines of the last picture on a terminal
    std::string lastState_[12];
    std::string frame_;  // reused for every redraw
};

}  // namespace cli
