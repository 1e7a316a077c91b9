#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "diag/DebugLog.h"
#include "tests/support/TempDir.h"

TEST(DebugLog, HeaderValuesAndClosingLinesOfTheEngineLog) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    DebugLog& log = EngineDebugLog();
    log.Open(nullptr);
    log.WriteValue("Latency ms", -5);
    log.WriteTwoValues("minSize", 64, "maxSize", 2048);
    log.WriteValueDash("numDev", 3);
    log.WriteLine("plain");
    EngineLog(nullptr, true);
    log.Close();

    const std::string text = ReadWholeFile(dir.File("SarabandeDbg.Log"));
    const std::regex whole(
        "Debug log\n\nDate: (Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday), "
        "[A-Z][a-z]+/\\d\\d/\\d{4} - Time started: \\d\\d:\\d\\d:\\d\\d \\d{3}\n\n"
        "Latency ms: -5\nminSize: 64, maxSize: 2048\nnumDev: 3 - plain\n\\d\\d:\\d\\d:\\d\\d "
        "\\d{3}\n"
        "\n\nShutting down debug logging system...\nDate: [A-Za-z]+, [A-Za-z]+/\\d\\d/\\d{4} - "
        "Time: \\d\\d:\\d\\d:\\d\\d \\d{3}\nGoodbye, and may all your code compile!\n");
    EXPECT_TRUE(std::regex_match(text, whole)) << text;

    log.WriteLine("after close");
    EXPECT_EQ(ReadWholeFile(dir.File("SarabandeDbg.Log")), text) << "a closed log ignores writes";
}

TEST(DebugLog, MixerLogHasNoGoodbyeAndLivesInItsDirectoryOrTheWorkingOne) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    const std::string path = dir.path();
    for (const char* directory : {path.c_str(), static_cast<const char*>(nullptr), ""}) {
        std::filesystem::remove(dir.File("OstinatoDbg.Log"));
        MixerDebugLog().Open(directory);
        MixerDebugLog().Close();
        const std::string text = ReadWholeFile(dir.File("OstinatoDbg.Log"));
        EXPECT_NE(text.find("Shutting down debug logging system..."), std::string::npos)
            << (directory ? directory : "null");
        EXPECT_EQ(text.find("Goodbye"), std::string::npos);
    }
}

// The last three runs are kept; a log whose file cannot be made (a missing
// directory: a read-only one would not stop root) stays silent.
TEST(DebugLog, KeepsTheLastThreeRunsOrIsSilentWithoutItsFile) {
    TempDir dir;
    for (int run = 1; run <= 4; ++run) {
        DebugLog log("/run.log", "/run1.log", "/run2.log", false);
        log.Open(dir.path().c_str());
        log.WriteValue("run", run);
        log.Close();
        EXPECT_EQ(std::filesystem::exists(dir.File("run1.log")), run > 1);
    }
    EXPECT_NE(ReadWholeFile(dir.File("run.log")).find("run: 4\n"), std::string::npos);
    EXPECT_NE(ReadWholeFile(dir.File("run1.log")).find("run: 3\n"), std::string::npos);
    EXPECT_NE(ReadWholeFile(dir.File("run2.log")).find("run: 2\n"), std::string::npos);

    const std::string missing = dir.File("no/such/dir");
    DebugLog log("/x.log", "/x1.log", "/x2.log", false);
    log.Open(missing.c_str());
    EXPECT_FALSE(log.IsOpen());
    log.WriteLine("nothing");
    log.WriteDate();
    log.Close();
    int files = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 3);
}
