#include "cli/StatusDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "engine/ChannelStates.h"

namespace cli {

namespace {

constexpr size_t kBarWidth = 12;
constexpr size_t kNameWidth = 28;

size_t TerminalWidth(std::FILE* out) {
    winsize size = {};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) {
        return size.ws_col;
    }
    return 80;
}

}  // namespace

StatusDisplay::StatusDisplay(std::FILE* out, bool bTerminal) : out_(out), bTerminal_(bTerminal) {}

void StatusDisplay::AddChannel(int32_t nChannel, const std::string& fileName, uint32_t dwTotalMs) {
    rows_.push_back({nChannel, fileName, dwTotalMs, -1});
}

const char* StatusDisplay::StateWord(int32_t state) {
    switch (state) {
        case CHANNEL_FREE:
            return "free";
        case CHANNEL_LOADING:
            return "loading";
        case CHANNEL_LOADED:
            return "loaded";
        case CHANNEL_STARTING:
            return "starting";
        case CHANNEL_PLAYING:
            return "playing";
        case CHANNEL_CLOSING:
            return "ending";
        case CHANNEL_TERMINATED:
            return "done";
        default:
            return "?";
    }
}

std::string StatusDisplay::FormatTime(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u.%u", ms / 60000u, ms / 1000u % 60u, ms / 100u % 10u);
    return text;
}

std::string StatusDisplay::RowText(const Row& row, int32_t state, uint32_t elapsedMs,
                                   size_t width) const {
    std::string name = row.name;
    if (name.size() > kNameWidth) {
        name = name.substr(0, kNameWidth - 3) + "...";
    }
    const uint32_t shown = elapsedMs < row.dwTotalMs ? elapsedMs : row.dwTotalMs;
    char head[96];
    std::snprintf(head, sizeof head, "Chn %02d  %-*s %7s / %-7s ", row.nChannel + 1,
                  static_cast<int>(kNameWidth), name.c_str(), FormatTime(shown).c_str(),
                  FormatTime(row.dwTotalMs).c_str());
    std::string text = head;
    if (bTerminal_) {
        const size_t filled = row.dwTotalMs == 0 ? 0 : size_t{shown} * kBarWidth / row.dwTotalMs;
        text += '[';
        text.append(filled, '#');
        text.append(kBarWidth - filled, '.');
        text += "] ";
    }
    text += StateWord(state);
    if (text.size() > width - 1) {
        text.resize(width - 1);
    }
    return text;
}

void StatusDisplay::Update(const std::vector<int32_t>& states,
                           const std::vector<uint32_t>& elapsedMs) {
    if (bTerminal_) {
        const size_t width = TerminalWidth(out_);
        frame_.clear();
        if (bDrawn_) {
            frame_ += "\x1b[" + std::to_string(rows_.size()) + "A";
        }
        for (size_t i = 0; i < rows_.size(); ++i) {
            frame_ += "\r\x1b[2K";
            frame_ += RowText(rows_[i], states[i], elapsedMs[i], width);
            frame_ += '\n';
        }
        std::fwrite(frame_.data(), 1, frame_.size(), out_);
        std::fflush(out_);
        bDrawn_ = true;
        return;
    }
    bool bAny = false;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (states[i] == rows_[i].nLastState) {
            continue;
        }
        rows_[i].nLastState = states[i];
        const std::string line = RowText(rows_[i], states[i], elapsedMs[i], 4096);
        std::fprintf(out_, "%s\n", line.c_str());
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
