// The command table and the checks every spelling of a command goes through.
#include "control/Command.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <vector>

namespace control {

namespace {

// The arguments a command takes, one letter each: c a channel (row number),
// p a path, s seconds, d decibels, m milliseconds, b 0 or 1.
struct VerbInfo {
    Verb verb;
    const char* name;
    const char* args;
};

constexpr VerbInfo kVerbs[] = {
    {Verb::Load, "load", "cp"},
    {Verb::Unload, "unload", "c"},
    {Verb::Play, "play", "c"},
    {Verb::Stop, "stop", "c"},
    {Verb::Restart, "restart", "c"},
    {Verb::Position, "position", "cs"},
    {Verb::Level, "level", "cd"},
    {Verb::Fade, "fade", "cdm"},
    {Verb::Loop, "loop", "cb"},
    {Verb::Go, "go", ""},
    {Verb::Pause, "pause", ""},
    {Verb::Resume, "resume", ""},
    {Verb::FadeAll, "fadeall", "m"},
    {Verb::UnloadAll, "unloadall", ""},
    {Verb::Status, "status", ""},
    {Verb::Subscribe, "subscribe", ""},
    {Verb::Unsubscribe, "unsubscribe", ""},
    {Verb::Quit, "quit", ""},
};

constexpr bool TableInVerbOrder() {
    for (size_t i = 0; i < std::size(kVerbs); ++i) {
        if (static_cast<size_t>(kVerbs[i].verb) != i) return false;
    }
    return true;
}
static_assert(TableInVerbOrder(), "kVerbs is indexed by Verb");

const VerbInfo& Info(Verb verb) {
    return kVerbs[static_cast<size_t>(verb)];
}

const char* Placeholder(char kind) {
    switch (kind) {
        case 'c':
            return "K";
        case 'p':
            return "PATH";
        case 's':
            return "SECONDS";
        case 'd':
            return "DB";
        case 'm':
            return "MS";
        default:
            return "0|1";
    }
}

std::string Usage(const VerbInfo& info) {
    std::string usage = info.name;
    for (const char* kind = info.args; *kind != '\0'; ++kind) {
        usage += ' ';
        usage += Placeholder(*kind);
    }
    return usage;
}

std::string Shown(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// Enough of a word to recognise it; paths are never echoed whole.
std::string Snippet(std::string_view text) {
    constexpr size_t kShown = 32;
    return text.size() > kShown ? std::string(text.substr(0, kShown)) + "..." : std::string(text);
}

std::string Shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// The finite number an argument spells, or why it does not spell one.
bool ReadNumber(const Arg& arg, double* value, std::string* why) {
    if (arg.kind == Arg::Kind::String) {
        *why = "must be a number, got a string";
        return false;
    }
    if (arg.kind == Arg::Kind::Word) {
        const char* first = arg.text.data();
        const char* last = first + arg.text.size();
        const auto [end, ec] = std::from_chars(first, last, *value);
        if (ec != std::errc() || end != last) {
            *why = "must be a number, got '" + Snippet(arg.text) + "'";
            return false;
        }
    } else {
        *value = arg.number;
    }
    if (!std::isfinite(*value)) {
        *why = "must be a finite number";
        return false;
    }
    return true;
}

bool ReadArg(char kind, const Arg& arg, Command* command, std::string* why) {
    if (kind == 'p') {
        if (arg.kind == Arg::Kind::Number) {
            *why = "must be a string";
        } else if (arg.text.empty()) {
            *why = "is empty";
        } else if (arg.text.size() > kMaxPathBytes) {
            *why = "is longer than " + std::to_string(kMaxPathBytes) + " bytes";
        } else if (arg.text.find('\0') != std::string_view::npos) {
            *why = "contains a NUL byte";
        } else {
            command->path = arg.text;
            return true;
        }
        return false;
    }
    double value = 0.0;
    if (!ReadNumber(arg, &value, why)) return false;
    bool inRange = true;
    switch (kind) {
        case 'c':
            inRange = value >= 1 && value <= kRows && value == std::floor(value);
            if (!inRange) *why = "must be a row 1 to " + std::to_string(kRows);
            if (inRange) command->channel = static_cast<int32_t>(value) - 1;
            break;
        case 's':
            inRange = value >= 0 && value <= kMaxPositionSeconds;
            if (!inRange) *why = "must be 0 to " + Shown(kMaxPositionSeconds);
            command->seconds = value + 0.0;
            break;
        case 'd':
            inRange = value <= 0;
            if (!inRange) *why = "must be 0 or below";
            // + 0.0 turns -0 into 0, so that "-0" and "0" are one command.
            command->db = value < kSilenceDb ? kSilenceDb : value + 0.0;
            break;
        case 'm':
            inRange = value >= 0 && value <= kMaxFadeMs;
            if (!inRange) *why = "must be 0 to " + std::to_string(kMaxFadeMs);
            if (inRange) command->ms = static_cast<int32_t>(std::lround(value));
            break;
        default:
            inRange = value == 0 || value == 1;
            if (!inRange) *why = "must be 0 or 1";
            command->on = value == 1;
            break;
    }
    if (!inRange) *why += ", got " + Shown(value);
    return inRange;
}

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

}  // namespace

const char* VerbName(Verb verb) {
    return Info(verb).name;
}

Parsed BuildCommand(std::string_view name, std::span<const Arg> args) {
    Parsed parsed;
    const VerbInfo* info = nullptr;
    for (const VerbInfo& candidate : kVerbs) {
        if (name == candidate.name) info = &candidate;
    }
    if (info == nullptr) {
        parsed.error = "unknown command '" + Snippet(name) + "'";
        return parsed;
    }
    const std::string_view kinds = info->args;
    if (args.size() != kinds.size()) {
        parsed.error = std::string(info->name) + ": expected '" + Usage(*info) + "', got " +
                       std::to_string(args.size()) + " argument" + (args.size() == 1 ? "" : "s");
        return parsed;
    }
    parsed.command.verb = info->verb;
    for (size_t i = 0; i < kinds.size(); ++i) {
        std::string why;
        if (!ReadArg(kinds[i], args[i], &parsed.command, &why)) {
            parsed.error = std::string(info->name) + ": " + Placeholder(kinds[i]) + " " + why;
            parsed.command = Command{};
            return parsed;
        }
    }
    parsed.ok = true;
    return parsed;
}

std::optional<Parsed> ParseTextLine(std::string_view line) {
    const size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || line[first] == '#') return std::nullopt;
    std::vector<std::string> words;
    size_t i = first;
    while (i < line.size()) {
        if (IsBlank(line[i])) {
            ++i;
            continue;
        }
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            const char ch = line[i++];
            if (ch == '"') {
                quoted = !quoted;
            } else if (quoted && ch == '\\' && i < line.size() &&
                       (line[i] == '"' || line[i] == '\\' || line[i] == 'n')) {
                word += line[i] == 'n' ? '\n' : line[i];
                ++i;
            } else {
                word += ch;
            }
        }
        if (quoted) return Parsed{false, {}, "unterminated quote"};
        words.push_back(std::move(word));
    }
    std::vector<Arg> args;
    for (size_t w = 1; w < words.size(); ++w) args.push_back(Arg::Word(words[w]));
    return BuildCommand(words[0], args);
}

std::string QuoteText(std::string_view text) {
    std::string quoted = "\"";
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') quoted += '\\';
        if (ch == '\n') {
            quoted += "\\n";
        } else {
            quoted += ch;
        }
    }
    return quoted + '"';
}

std::string CommandText(const Command& command) {
    const VerbInfo& info = Info(command.verb);
    std::string text = info.name;
    for (const char* kind = info.args; *kind != '\0'; ++kind) {
        text += ' ';
        switch (*kind) {
            case 'c':
                text += std::to_string(command.channel + 1);
                break;
            case 'p':
                text += QuoteText(command.path);
                break;
            case 's':
                text += Shortest(command.seconds);
                break;
            case 'd':
                text += Shortest(command.db);
                break;
            case 'm':
                text += std::to_string(command.ms);
                break;
            default:
                text += command.on ? "1" : "0";
                break;
        }
    }
    return text;
}

}  // namespace control
