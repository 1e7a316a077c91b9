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
        {"play 3", "play 3"},
        {"  level\t2  -6 \r\n", "level 2 -6"},
        {"level 2 -6.0", "level 2 -6"},
        {"level 2 -0", "level 2 0"},
        {"level 2 -500", "level 2 -144"},
        {"fade 12 -20.5 1500.4", "fade 12 -20.5 1500"},
        {"loop 1 1", "loop 1 1"},
        {"position 4 12.5", "position 4 12.5"},
        {"position 4 -0", "position 4 0"},
        {"position 4 604800", "position 4 604800"},
        {"fadeall 3600000", "fadeall 3600000"},
        {"load 1 \"/path with spaces/a.wav\"", "load 1 \"/path with spaces/a.wav\""},
        {"load 1 /plain/b.wav", "load 1 \"/plain/b.wav\""},
        {R"(load 2 "/q\"d\\e\nf\x")", R"(load 2 "/q\"d\\e\nf\\x")"},
        {"load 3 " + longest, "load 3 \"" + longest + "\""},
        {"", ""},
        {"  # a comment", ""},
        {"play 0", "error: play: K must be a row 1 to 12, got 0"},
        {"play 13", "error: play: K must be a row 1 to 12, got 13"},
        {"play 2.5", "error: play: K must be a row 1 to 12, got 2.5"},
        {"play", "error: play: expected 'play K', got 0 arguments"},
        {"go now", "error: go: expected 'go', got 1 argument"},
        {"level 2 loud", "error: level: DB must be a number, got 'loud'"},
        {"level 2 -6dB", "error: level: DB must be a number, got '-6dB'"},
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
        if (parsed && parsed->ok) {
            EXPECT_EQ(ParseTextLine(CommandText(parsed->command))->command, parsed->command);
        }
    }
}

TEST(TextCommands, EachCommandReachesItsOperationAndIsAnswered) {
    const struct {
        const char* line;
        const char* failWith;
        const char* call;  // as the target saw it, engine channels
        const char* reply;
    } cases[] = {
        {"load 1 \"/a b.wav\"", "", "load 0 /a b.wav", "ok\n"},
        {"unload 2", "", "unload 1", "ok\n"},
        {"play 12", "", "play 11", "ok\n"},
        {"stop 3", "", "stop 2", "ok\n"},
        {"restart 4", "", "restart 3", "ok\n"},
        {"position 5 2.5", "", "position 4 2.5", "ok\n"},
        {"level 6 -6", "", "level 5 -6", "ok\n"},
        {"fade 7 -20 1500", "", "fade 6 -20 1500", "ok\n"},
        {"loop 8 1", "", "loop 7 1", "ok\n"},
        {"loop 8 0", "", "loop 7 0", "ok\n"},
        {"go", "", "go", "ok\n"},
        {"pause", "", "pause", "ok\n"},
        {"resume", "", "resume", "ok\n"},
        {"fadeall 3000", "", "fadeall 3000", "ok\n"},
        {"unloadall", "", "unloadall", "ok\n"},
        {"quit", "", "quit", "ok\n"},
        {"play 4", "not loaded", "play 3", "error: play: not loaded\n"},
        {"go", "no\ndevice", "go", "error: go: no device\n"},
        {"subscribe", "", "", "error: subscribe: only over OSC\n"},
    };
    for (const auto& c : cases) {
        FakeCommandTarget target;
        target.failWith = c.failWith;
        const Reply reply = Execute(ParseTextLine(c.line)->command, target);
        EXPECT_EQ(ReplyText(reply), c.reply) << c.line;
        EXPECT_EQ(target.calls, std::vector<std::string>(*c.call ? 1 : 0, c.call)) << c.line;
    }
}

TEST(TextCommands, StatusListsEveryChannelAndTheDevice) {
    FakeCommandTarget target;
    target.status.channels[2] = {
        ChannelState::Playing, "/s/a \"b\".wav", 1.5, 180.25, -6, true, {}};
    target.status.channels[11].state = ChannelState::Ended;
    target.status.device = "Virtual card";
    const std::string text = ReplyText(Execute(ParseTextLine("status")->command, target));
    EXPECT_TRUE(text.starts_with("channel 1 empty 0.000 0.000 0.0 0 \"\"\nchannel 2 empty "))
        << text;
    EXPECT_NE(text.find("\nchannel 3 playing 1.500 180.250 -6.0 1 \"/s/a \\\"b\\\".wav\"\n"),
              std::string::npos);
    EXPECT_TRUE(
        text.ends_with("\nchannel 12 ended 0.000 0.000 0.0 0 \"\"\n"
                       "device \"Virtual card\" paused\nok\n"));
    EXPECT_TRUE(target.calls.empty());
}

}  // namespace
