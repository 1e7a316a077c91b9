#include "cli/TextControl.h"

#include <unistd.h>

#include "control/Execute.h"

namespace cli {

namespace {

// Longer than any command (a path is at most 4095 bytes, quoted twice over).
constexpr size_t kMaxLineBytes = 16384;

}  // namespace

TextControl::TextControl(int fd, std::FILE* out) : fd_(fd), out_(out) {}

void TextControl::RunLine(const std::string& line, control::CommandTarget& target) {
    const std::optional<control::Parsed> parsed = control::ParseTextLine(line);
    if (!parsed) return;
    const control::Reply reply = parsed->ok ? control::Execute(parsed->command, target)
                                            : control::Reply::Refused(parsed->error);
    const std::string text = control::ReplyText(reply);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void TextControl::Serve(control::EngineTarget& target) {
    char bytes[4096];
    const ssize_t got = ::read(fd_, bytes, sizeof bytes);
    if (got <= 0) {
        // A last line without its newline is not a command.
        bOpen_ = false;
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (target.QuitRequested()) return;
        const char ch = bytes[i];
        if (ch == '\n') {
            if (!bSkipping_) RunLine(pending_, target);
            bSkipping_ = false;
            pending_.clear();
        } else if (bSkipping_) {
            continue;
        } else if (pending_.size() >= kMaxLineBytes) {
            const std::string text = control::ReplyText(control::Reply::Refused(
                "a line is longer than " + std::to_string(kMaxLineBytes) + " bytes"));
            std::fwrite(text.data(), 1, text.size(), out_);
            std::fflush(out_);
            bSkipping_ = true;
            pending_.clear();
        } else {
            pending_ += ch;
        }
    }
}

}  // namespace cli
