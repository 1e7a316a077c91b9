// What the player shows while it plays: on a terminal one line per channel
// (file name, elapsed and total time, a bar, state), redrawn in place; into a
// pipe or file a plain line whenever a channel changes state, so that logs
// and scripts read one event a line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

class StatusDisplay {
  public:
    StatusDisplay(std::FILE* out, bool bTerminal);

    void AddChannel(int32_t nChannel, const std::string& fileName, uint32_t dwTotalMs);
    // states and elapsed times in the order the channels were added.
    void Update(const std::vector<int32_t>& states, const std::vector<uint32_t>& elapsedMs);
    // The last picture stays on screen; the cursor goes below it.
    void Finish();

    static const char* StateWord(int32_t state);
    static std::string FormatTime(uint32_t ms);

  private:
    struct Row {
        int32_t nChannel;
        std::string name;
        uint32_t dwTotalMs;
        int32_t nLastState;
    };

    std::string RowText(const Row& row, int32_t state, uint32_t elapsedMs, size_t width) const;

    std::FILE* out_;
    bool bTerminal_;
    bool bDrawn_ = false;
    std::vector<Row> rows_;
    std::string frame_;  // reused for every redraw
};

}  // namespace cli
