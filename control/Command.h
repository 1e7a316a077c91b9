// The remote control command set. An OSC message, a line of the text control
// stream and a row of a show file all parse into one Command through
// BuildCommand, so that the three spellings accept and refuse exactly the
// same things, with the same reasons.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace control {

enum class Verb : uint8_t {
    Load,
    Unload,
    Play,
    Stop,
    Restart,
    Position,
    Level,
    Fade,
    Loop,
    Go,
    Pause,
    Resume,
    FadeAll,
    UnloadAll,
    Status,
    Subscribe,
    Unsubscribe,
    Quit,
};

// Commands name channels by the row numbers the front ends show, 1 to 12;
// a Command holds the engine's channel, 0 to 11.
constexpr int32_t kRows = 12;
// Levels are attenuations: 0 dB is the file as it is, and anything below
// this is silence (it is clamped to it).
constexpr double kSilenceDb = -144.0;
constexpr int32_t kMaxFadeMs = 3600 * 1000;
// Longer than any file the engine can map (4 GiB of 16-bit mono at 22050 Hz
// lasts 27 hours); a position past a file's end is the engine's to clamp.
constexpr double kMaxPositionSeconds = 7 * 24 * 3600.0;
// The longest path a load accepts, in bytes (PATH_MAX less its terminator).
constexpr size_t kMaxPathBytes = 4095;

struct Command {
    Verb verb = Verb::Status;
    int32_t channel = -1;  // engine channel 0..11 for the verbs that take one
    std::string path;      // load: as given; a relative path is the front end's to resolve
    double seconds = 0.0;  // position: from the start of the file, 0..kMaxPositionSeconds
    double db = 0.0;       // level, fade: 0 down to kSilenceDb
    int32_t ms = 0;        // fade, fadeall: 0..kMaxFadeMs
    bool on = false;       // loop

    bool operator==(const Command&) const = default;
};

// One argument as it arrived: a number (OSC i, f, d, h, T, F or a JSON
// number), a string (OSC s or S, a JSON string), or a word of a text line,
// which may spell either.
struct Arg {
    enum class Kind : uint8_t { Number, String, Word };
    Kind kind = Kind::Number;
    double number = 0.0;
    std::string_view text;

    static Arg Num(double value) { return {Kind::Number, value, {}}; }
    static Arg Str(std::string_view value) { return {Kind::String, 0.0, value}; }
    static Arg Word(std::string_view value) { return {Kind::Word, 0.0, value}; }
};

// A command, or the reason it was refused. Reasons begin with the command's
// name ("level: ..."), and never quote a path back.
struct Parsed {
    bool ok = false;
    Command command;
    std::string error;
};

const char* VerbName(Verb verb);

// name is the command's name ("level"), args its arguments in order.
Parsed BuildCommand(std::string_view name, std::span<const Arg> args);

// One line of the text control stream: `play 3`, `level 2 -6`,
// `load 1 "/path with spaces/a.wav"`. Words are separated by blanks; double
// quotes keep blanks in a word, and inside them \" \\ and \n stand for a
// quote, a backslash and a newline. Nothing (nullopt) for a blank line or a
// comment (a line whose first word begins with '#').
std::optional<Parsed> ParseTextLine(std::string_view line);

// The command as a text line that ParseTextLine reads back to the same
// command, paths always quoted: `level 2 -6`, `load 1 "/a b/c.wav"`.
std::string CommandText(const Command& command);

// text in double quotes, with the escapes ParseTextLine understands.
std::string QuoteText(std::string_view text);

}  // namespace control
