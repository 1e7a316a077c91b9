#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "streams/DecodeStream.h"
#include "streams/MappedFile.h"
#include "streams/SigbusGuard.h"
#include "tests/support/EngineRig.h"

namespace {

TEST(MappedFileTest, RefusesWhatIsNotANonEmptyReadableFileAndSaysWhy) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir.File("empty.wav"), {}));
    ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);  // must not hang
    const std::pair<std::string, const char*> cases[] = {
        {dir.File("empty.wav"), "an empty file"},
        {dir.File("folder"), "a folder, not a file"},
        {dir.File("pipe"), "not a regular file"},
        {dir.File("missing.wav"), "No such file or directory"},
        {"", "no file name"},
    };
    for (const auto& [path, reason] : cases) {
        MappedFile file;
        EXPECT_FALSE(file.Open(path.c_str())) << path;
        EXPECT_STREQ(file.GetOpenError(), reason) << path;
        EXPECT_TRUE(file.GetFileSize() == 0u && file.GetBase() == nullptr) << path;
    }
    MappedFile file;
    EXPECT_FALSE(file.Open(nullptr));

    // Root reads every file: the check drops to nobody in a child of its own.
    const std::string path = dir.File("locked.wav");
    ASSERT_TRUE(WriteBytes(path, {1, 2, 3}));
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // only the file is locked
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
        MappedFile file;
        const bool refused =
            !file.Open(path.c_str()) && std::strcmp(file.GetOpenError(), "Permission denied") == 0;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The whole file is mapped and its path kept, cut to 259 characters.
TEST(MappedFileTest, LongPathOpensAndIsCutTo259Characters) {
    TempDir dir;
    std::string path = dir.path();
    while (path.size() < 300) {
        path += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    path += "/song.wav";
    const std::vector<uint8_t> bytes = {7};  // a single byte is enough to open
    ASSERT_TRUE(WriteBytes(path, bytes));
    auto file = std::make_unique<MappedFile>();
    ASSERT_TRUE(file->Open(path.c_str()));
    EXPECT_TRUE(file->IsOpen());
    ASSERT_EQ(file->GetFileSize(), bytes.size());
    EXPECT_EQ(std::memcmp(file->GetBase(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(std::string(file->GetPath()), path.substr(0, 259));
    const WaveFile wave{std::move(file)};
    EXPECT_EQ(std::string(wave.GetFileName()), path.substr(0, 259));
    EXPECT_EQ(std::string(WaveFile(nullptr, 0, path.c_str()).GetFileName()), path.substr(0, 259));
    const int stdinFlags = fcntl(0, F_GETFD);     // -1 if the test was started without one
    auto again = std::make_unique<MappedFile>();  // closed twice: by hand and when it goes
    ASSERT_TRUE(again->Open(path.c_str()));
    again->Close();
    again.reset();
    EXPECT_EQ(fcntl(0, F_GETFD), stdinFlags) << "a second close closed standard input";
    close(0);  // as in a run started without standard input: the file gets descriptor 0
    EXPECT_TRUE(MappedFile().Open(path.c_str()));
}

// Another program cuts the file short while it plays: the part that is gone
// plays as silence, the log says so once, and the process lives.
TEST(MappedFileTest, FileThatShrinksWhileMappedPlaysSilenceWhereItIsGone) {
    TempDir dir;
    CapturedLog().clear();
    const WavLayout layout{.nChannels = 1, .nSamplesPerSec = 22050};
    const std::vector<uint8_t> bytes = MakeWav(layout, PatternPcm(layout, 2304 * 10));
    const std::string path = dir.File("shrinks.wav");
    ASSERT_TRUE(WriteBytes(path, bytes));

    auto mapped = std::make_unique<MappedFile>();
    ASSERT_TRUE(mapped->Open(path.c_str()));
    auto wave = std::make_unique<WaveFile>(std::move(mapped));
    ASSERT_TRUE(wave->Parse());
    WaveFile* pWave = wave.get();
    DecodeStream stream(std::move(wave), CaptureLog);
    ASSERT_TRUE(stream.IsReady());

    std::vector<uint8_t> block(stream.cbDstBufSize);
    stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
    EXPECT_EQ(std::memcmp(block.data(), bytes.data() + 44, block.size()), 0);

    // Keep block 1 and 100 bytes of block 2; well past a page boundary is gone.
    const size_t kept = 44 + 2 * 4608 + 100;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kept)), 0);
    CapturedLog().clear();

    stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
    EXPECT_EQ(std::memcmp(block.data(), bytes.data() + 44 + 4608, block.size()), 0);
    // Block 3 first: the gone part is first met in the middle of a page.
    EXPECT_EQ(pWave->Seek(3), 3);
    stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
    EXPECT_EQ(block, std::vector<uint8_t>(block.size(), 0));
    EXPECT_EQ(pWave->Seek(2), 2);
    stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
    EXPECT_EQ(std::memcmp(block.data(), bytes.data() + 44 + 2 * 4608, 100), 0);
    for (size_t i = 100; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
    for (int i = 3; i < 10; ++i) {
        stream.GetDecodedData(block.data(), stream.cbDstBufSize, 1, nullptr);
        EXPECT_EQ(block, std::vector<uint8_t>(block.size(), 0)) << i;
    }
    const std::string note = "file shrank while mapped, the missing part plays as silence!";
    const std::string& log = CapturedLog();
    const size_t first = log.find(note);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(note, first + 1), std::string::npos);
    EXPECT_EQ(pWave->nNextBlock, 10);
}

// A show loads files for hours: every entry given back is taken again, and
// past a full table a mapping runs unguarded rather than out of bounds.
TEST(MappedFileTest, TheGuardsTableTakesBackFreedEntriesAndRefusesWhenFull) {
    static const char bytes[sigbus_guard::kMaxMappings + 1] = {};
    for (int32_t i = 0; i < sigbus_guard::kMaxMappings; ++i)
        ASSERT_EQ(sigbus_guard::Register(bytes + i, 1), i);
    EXPECT_EQ(sigbus_guard::Register(bytes + sigbus_guard::kMaxMappings, 1), -1);
    for (int32_t i = 0; i < sigbus_guard::kMaxMappings; ++i) sigbus_guard::Unregister(i);
    EXPECT_EQ(sigbus_guard::Register(bytes, 1), 0);
    sigbus_guard::Unregister(0);
}

// A SIGBUS that is none of the guard's business still ends the process: one
// raised by hand, and a touch past the end of a file mapped by someone else
// (left to the guard, it would fault again and again until the alarm).
TEST(MappedFileDeathTest, BusErrorOutsideOurMappingsStillEndsTheProcess) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir.File("a.wav"), {1, 2, 3}));
    MappedFile file;
    ASSERT_TRUE(file.Open(dir.File("a.wav").c_str()));  // installs the guard
    const auto diedOfTheFault = [](int status) {
        return WIFSIGNALED(status) ? WTERMSIG(status) == SIGBUS : WEXITSTATUS(status) != 0;
    };
    EXPECT_EXIT(raise(SIGBUS), diedOfTheFault, "");
    const int fd = open(dir.File("a.wav").c_str(), O_RDONLY);
    void* other = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(other, MAP_FAILED);
    EXPECT_EXIT(
        {
            alarm(5);
            std::printf("%d", static_cast<volatile const char*>(other)[4096]);
        },
        diedOfTheFault, "");
    munmap(other, 8192);
    close(fd);
}

}  // namespace
