// The guard must catch what it promises to catch, and nothing else: an
// allocation or a file write inside a marked scope ends the process naming
// the call, an eventfd signal does not, and the output stage's real buffer
// switch runs marked.
#include "tests/support/RtGuard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mixer/AsioHost.h"
#include "platform/Event.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/FakeDriverSource.h"
#include "tests/support/TempDir.h"

namespace {

// Keeps the compiler from pairing away an allocation it can see through.
template <typename T>
void Escape(T* pointer) {
    asm volatile("" : : "g"(pointer) : "memory");
}

class RtGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!rtguard::Enabled()) GTEST_SKIP() << "built without CANTABILE_RT_GUARD";
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(RtGuardTest, AllocationInAMarkedScopeDiesNamingTheCall) {
    EXPECT_DEATH(
        {
            rtguard::Scope scope;
            int* p = new int(7);
            Escape(p);
        },
        "RtGuard: malloc on the driver's thread");
    EXPECT_DEATH(
        {
            rtguard::Scope scope;
            void* p = std::malloc(64);
            Escape(p);
        },
        "RtGuard: malloc on the driver's thread");
    void* kept = std::malloc(32);
    Escape(kept);
    EXPECT_DEATH(
        {
            rtguard::Scope scope;
            std::free(kept);
        },
        "RtGuard: free on the driver's thread");
    std::free(kept);
}

TEST_F(RtGuardTest, FileWritesInAMarkedScopeDieButAnEventMayBeSet) {
    TempDir dir;
    const std::string path = dir.File("log.txt");
    EXPECT_DEATH(
        {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            rtguard::Scope scope;
            const ssize_t n = write(fd, "x", 1);
            Escape(&n);
        },
        "RtGuard: write on the driver's thread");
    EXPECT_DEATH(
        {
            FILE* file = std::fopen(path.c_str(), "w");
            rtguard::Scope scope;
            std::fwrite("abc", 1, 3, file);
        },
        "RtGuard: fwrite on the driver's thread");

    // The driver's thread signals the engine through an eventfd: allowed.
    platform::Event event;
    {
        rtguard::Scope scope;
        event.Set();
    }
    EXPECT_TRUE(event.TryWait());

    // Outside a scope everything goes through as usual.
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fwrite("abc", 1, 3, file), 3u);
    std::fclose(file);
}

TEST_F(RtGuardTest, TheOutputStagesSwitchRunsMarked) {
    TempDir dir;
    ScopedChdir cd(dir.path());
    FakeDriver driver(24);
    FakeDriverSource source;
    source.Add("Fake Card", &driver);
    ASIOSetDriverSource(&source);
    // A failed assertion must not leave the mixer pointing at a dead source.
    struct SourceReset {
        ~SourceReset() { ASIOSetDriverSource(nullptr); }
    } sourceReset;
    int hwnd = 0;
    ASSERT_TRUE(ASIOInitDrivers(nullptr, 0));
    ASSERT_TRUE(ASIOSetupBuffers(&hwnd, nullptr));
    ASSERT_TRUE(ASIOStartPlay());
    const uint64_t before = rtguard::MarkedSwitches();
    for (int i = 0; i < 10; ++i) driver.Switch(i & 1);
    EXPECT_EQ(rtguard::MarkedSwitches() - before, 10u);
    ASIOStopPlay();
    ASIOShutdown();
}

}  // namespace
