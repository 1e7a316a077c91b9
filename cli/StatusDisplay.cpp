#include "cli/StatusDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

constexpr size_t kBarWidth = 12;
constexpr size_t kNameWidth = 28;
constexpr int kMeterMarks = 6;
constexpr float kMeterFloorDb = -48.0f;

size_t TerminalWidth(std::FILE* out) {
    winsize size = {};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) {
        return size.ws_col;
    }
    return 80;
}

}  // namespace

StatusDisplay::StatusDisplay(std::FILE* out, bool bTerminal) : out_(out), bTerminal_(bTerminal) {}

std::string StatusDisplay::FormatTime(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u.%u", ms / 60000u, ms / 1000u % 60u, ms / 100u % 10u);
    return text;
}

std::string StatusDisplay::Meter(float peak) {
    const float db = peak > 0.0f ? 20.0f * std::log10(peak) : kMeterFloorDb;
    const float steps = (db - kMeterFloorDb) * kMeterMarks / -kMeterFloorDb;
    const int marks = steps <= 0.0f ? 0 : std::min(kMeterMarks, 1 + static_cast<int>(steps));
    return "[" + std::string(static_cast<size_t>(marks), '|') +
           std::string(static_cast<size_t>(kMeterMarks - marks), ' ') + "]";
}

std::string StatusDisplay::LineText(const ChannelLine& line, size_t width) const {
    std::string name = line.name;
    if (name.size() > kNameWidth) {
        name = name.substr(0, kNameWidth - 3) + "...";
    }
    const uint32_t total = line.dwTotalMs;
    const uint32_t shown = line.dwElapsedMs < total ? line.dwElapsedMs : total;
    char head[96];
    std::snprintf(head, sizeof head, "Chn %02d  %-*s %7s / %-7s ", line.nChannel + 1,
                  static_cast<int>(kNameWidth), name.c_str(), FormatTime(shown).c_str(),
                  FormatTime(total).c_str());
    std::string text = head;
    if (bTerminal_) {
        const size_t filled = total == 0 ? 0 : size_t{shown} * kBarWidth / total;
        text += '[';
        text.append(filled, '#');
        text.append(kBarWidth - filled, '.');
        text += "] " + Meter(line.fPeak) + ' ';
    }
    text += line.state;
    if (text.size() > width - 1) {
        text.resize(width - 1);
    }
    return text;
}

void StatusDisplay::Update(const std::vector<ChannelLine>& lines) {
    if (bTerminal_) {
        const size_t width = TerminalWidth(out_);
        frame_.clear();
        if (drawn_ > 0) {
            frame_ += "\x1b[" + std::to_string(drawn_) + "A";
        }
        for (const ChannelLine& line : lines) {
            frame_ += "\r\x1b[2K";
            frame_ += LineText(line, width);
            frame_ += '\n';
        }
        // A channel unloaded since: its line is cleared, the cursor stays
        // below the new picture.
        for (size_t i = lines.size(); i < drawn_; ++i) frame_ += "\r\x1b[2K\n";
        if (drawn_ > lines.size()) frame_ += "\x1b[" + std::to_string(drawn_ - lines.size()) + "A";
        std::fwrite(frame_.data(), 1, frame_.size(), out_);
        std::fflush(out_);
        drawn_ = lines.size();
        return;
    }
    bool bAny = false;
    bool shown[12] = {};
    for (const ChannelLine& line : lines) shown[line.nChannel % 12] = true;
    for (size_t k = 0; k < 12; ++k) {
        if (!shown[k]) lastState_[k].clear();  // unloaded: a new load is a change
    }
    for (const ChannelLine& line : lines) {
        std::string& last = lastState_[line.nChannel % 12];
        if (last == line.state) continue;
        last = line.state;
        std::fprintf(out_, "%s\n", LineText(line, 4096).c_str());
        bAny = true;
    }
    if (bAny) {
        std::fflush(out_);
    }
}

void StatusDisplay::Finish() {
    std::fflush(out_);
}

}  // namespace cli
