// Show files: bad rows and files refused with reasons while the rest still
// loads, and saves that could not be read back refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "control/ShowFile.h"
#include "tests/support/TempDir.h"

using namespace control;
namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

std::vector<std::string> Texts(const std::vector<Command>& commands) {
    std::vector<std::string> texts;
    for (const Command& command : commands) texts.push_back(CommandText(command));
    return texts;
}

TEST(ShowFile, BadRowsAndMissingFilesAreReportedAndTheRestLoads) {
    TempDir dir;
    Write(dir.File("b.wav"), "b");
    Write(dir.File("set.json"), R"({"cantabile-show": 1, "device": 7, "rows": [
        {"row": 5, "file": "b.wav"},
        {"row": 2, "file": "gone.wav"},
        {"row": 13, "file": "b.wav"},
        {"row": 3, "file": "b.wav", "level": "loud"},
        {"row": 4, "file": "b.wav", "start": [1]},
        {"row": 5, "file": "b.wav"},
        {"row": [6], "file": "b.wav"},
        {"file": "b.wav"},
        "b.wav",
        {"row": 6, "file": true}]})");
    const ShowLoad load = LoadShow(dir.File("set.json"));
    ASSERT_TRUE(load.ok) << load.error;
    EXPECT_EQ(Texts(load.commands),
              (std::vector<std::string>{"load 5 \"" + dir.File("b.wav") + "\"", "level 5 0",
                                        "loop 5 0"}));
    EXPECT_EQ(load.problems, (std::vector<std::string>{
                                 "device: not a name",
                                 "row 2: " + dir.File("gone.wav") + ": no such file",
                                 "row 13: load: K must be a row 1 to 12, got 13",
                                 "row 3: level: DB must be a number, got a string",
                                 "row 4: a value is a list, an object or null",
                                 "row 5: given twice; the first one is kept",
                                 "entry 7: a value is a list, an object or null",
                                 "entry 8: needs a \"row\" and a \"file\"",
                                 "entry 9: needs a \"row\" and a \"file\"",
                                 "row 6: load: PATH must be a string",
                             }));
}

TEST(ShowFile, WhatIsNotAShowIsRefusedWithAReason) {
    TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        // text (null: no file), reason
        {nullptr, "No such file"},
        {"{\"cantabile-show\": 1, ", "not valid JSON: parse error at line 1, column 23"},
        {"[]", "not a show file"},
        {R"({"cantabile-show": 2})", "show file version 2 is not one this player reads"},
        {R"({"cantabile-show": 1, "rows": {}})", "\"rows\" is not a list"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string path = dir.File("set.json");
        fs::remove(path);
        if (text != nullptr) Write(path, text);
        const ShowLoad load = LoadShow(path);
        EXPECT_FALSE(load.ok);
        EXPECT_NE(load.error.find(reason), std::string::npos) << load.error;
        EXPECT_TRUE(load.commands.empty());
    }
    Write(dir.File("big.json"), std::string(2 << 20, ' '));
    EXPECT_NE(LoadShow(dir.File("big.json")).error.find("larger than"), std::string::npos);
}

TEST(ShowFile, SaveRefusesWhatCouldNotBeReadBack) {
    TempDir dir;
    Write(dir.File("set.json"), "old");
    fs::create_directory(dir.File("folder"));
    const struct {
        int row;
        ShowRow value;
        const char *where, *reason;
    } cases[] = {
        {2, {"/a.wav", 3, false, 0}, "set.json", "row 3: level: DB must be 0 or below, got 3"},
        {0, {"/a\xff.wav", 0, false, 0}, "set.json", "not UTF-8 text"},
        {0, {"/a.wav", 0, false, 0}, "no/such/folder/set.json", "cannot be written"},
        {0, {"/a.wav", 0, false, 0}, "folder", "Is a directory"},
    };
    for (const auto& c : cases) {
        Show show;
        show.rows[c.row] = c.value;
        std::string error;
        EXPECT_FALSE(SaveShow(dir.File(c.where), show, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    EXPECT_EQ(ReadWholeFile(dir.File("set.json")), "old");
    EXPECT_FALSE(fs::exists(dir.File("set.json.tmp")) || fs::exists(dir.File("folder.tmp")));
}

}  // namespace
