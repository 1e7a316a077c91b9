// The text control stream: lines to commands or refusals, and each command
// through Execute to the target and back as reply lines.
#include <gtest/gtest.h>

#include "control/Command.h"
#include "control/Execute.h"
#include "tests/support/FakeCommandTarget.h"

using namespace control;

namespace {

// A line as the command it parses to (in its canonical spelling), as
// "error: REASON", or as "" when it is blank or a comment.
std::string Outcome(const std::string& line) {
    const std::optional<Parsed> parsed = ParseTextLine(line);
    if (!parsed) return "";
    return parsed->ok ? CommandText(parsed->command) : "error: " + parsed->error;
}

TEST(TextCommands, LinesParseToCommandsOrReasons) {
    const std::string longest = "/" + std::string(kMaxPathBytes - 1, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"  level\t2  -6 \r\n", "level 2 -6"},
        {"level 2 -0", "level 2 0"},
        {"level 2 -500", "level 2 -144"},
        {"fade 12 -20.5 1500.4", "fade 12 -20.5 1500"},
        {"position 4 -0", "position 4 0"},
        {"position 4 604800", "position 4 604800"},
        {"fadeall 3600000", "fadeall 3600000"},
        {"load 1 \"/path with spaces/a.wav\"", "load 1 \"/path with spaces/a.wav\""},
        {"load 1 /plain/b.wav", "load 1 \"/plain/b.wav\""},
        {R"(load 2 "/q\"d\\e\nf\x")", R"(load 2 "/q\"d\\e\nf\\x")"},
        {"load 3 " + longest, "load 3 \"" + longest + "\""},
        {"  # a comment", ""},
        {"play 0", "error: play: K must be a row 1 to 12, got 0"},
        {"play 13", "error: play: K must be a row 1 to 12, got 13"},
        {"play 2.5", "error: play: K must be a row 1 to 12, got 2.5"},
        {"play", "error: play: expected 'play K', got 0 arguments"},
        {"go now", "error: go: expected 'go', got 1 argument"},
        {"level 2 loud", "error: level: DB must be a number, got 'loud'"},
        {"level 2 nan", "error: level: DB must be a finite number"},
        {"level 2 0.5", "error: level: DB must be 0 or below, got 0.5"},
        {"fade 1 -6 -1", "error: fade: MS must be 0 to 3600000, got -1"},
        {"fadeall 3600001", "error: fadeall: MS must be 0 to 3600000, got 3600001"},
        {"position 1 -0.5", "error: position: SECONDS must be 0 to 604800, got -0.5"},
        {"position 1 604801", "error: position: SECONDS must be 0 to 604800, got 604801"},
        {"loop 1 2", "error: loop: 0|1 must be 0 or 1, got 2"},
        {"load 1 \"\"", "error: load: PATH is empty"},
        {"load 1 " + longest + "b", "error: load: PATH is longer than 4095 bytes"},
        {"load 1 \"/open", "error: unterminated quote"},
        {"jump 1", "error: unknown command 'jump'"},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(Outcome(line), expected) << line.substr(0, 60);
        // Whatever parses reads back from its canonical spelling unchanged.
        const std::optional<Parsed> parsed = ParseTextLine(line);
        EXPECT_TRUE(!parsed || !parsed->ok ||
                    ParseTextLine(CommandText(parsed->command))->command == parsed->command)
            << line.substr(0, 60);
    }
}

TEST(TextCommands, EachCommandReachesItsOperationAndIsAnswered) {
    FakeCommandTarget target;
    std::string replies;
    for (const char* line :
         {"load 1 \"/a b.wav\"", "unload 2", "play 12", "stop 3", "restart 4", "position 5 2.5",
          "level 6 -6", "fade 7 -20 1500", "loop 8 1", "loop 8 0", "go", "pause", "resume",
          "fadeall 3000", "unloadall", "quit", "subscribe"}) {
        replies += ReplyText(Execute(ParseTextLine(line)->command, target));
    }
    // As the target saw them, with engine channels.
    EXPECT_EQ(target.calls,
              (std::vector<std::string>{"load 0 /a b.wav", "unload 1", "play 11", "stop 2",
                                        "restart 3", "position 4 2.5", "level 5 -6",
                                        "fade 6 -20 1500", "loop 7 1", "loop 7 0", "go", "pause",
                                        "resume", "fadeall 3000", "unloadall", "quit"}));
    std::string ok;
    for (int i = 0; i < 16; ++i) ok += "ok\n";
    EXPECT_EQ(replies, ok + "error: subscribe: only over OSC\n");
    target.failWith = "no\ndevice";  // a reason is one line
    EXPECT_EQ(ReplyText(Execute(ParseTextLine("go")->command, target)), "error: go: no device\n");
}

}  // namespace
