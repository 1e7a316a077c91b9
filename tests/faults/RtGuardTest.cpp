// The guard must catch what it promises to catch: an allocation or a file
// write inside a marked scope ends the process naming the call, and the
// output stage's real buffer switch runs marked. (That it lets everything
// else through is shown by the whole suite passing under it.)
#include "tests/support/RtGuard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "mixer/AsioHost.h"
#include "tests/support/EngineRig.h"

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

// Each fault opens what it needs unmarked, then commits the call marked.
TEST_F(RtGuardTest, AllocationsAndFileWritesInAMarkedScopeDieNamingTheCall) {
    TempDir dir;
    const std::string path = dir.File("log.txt");
    const struct {
        const char* call;
        void (*fault)(const char* path);
    } cases[] = {
        {"malloc",
         [](const char*) {
             rtguard::Scope scope;
             Escape(new int(7));
         }},
        {"write",
         [](const char* name) {
             const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
             rtguard::Scope scope;
             const ssize_t n = write(fd, "x", 1);
             Escape(&n);
         }},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.fault(path.c_str()),
                     std::string("RtGuard: ") + c.call + " on the driver's thread");
}

TEST_F(RtGuardTest, TheOutputStagesSwitchRunsMarked) {
    EngineRig rig;  // the fake card as the only driver, and no engine
    ASSERT_TRUE(ASIOInitDrivers(nullptr, 0));
    ASSERT_TRUE(ASIOSetupBuffers(&rig.hwnd, nullptr));
    ASSERT_TRUE(ASIOStartPlay());
    const uint64_t before = rtguard::MarkedSwitches();
    for (int i = 0; i < 10; ++i) rig.driver.Switch(i & 1);
    EXPECT_EQ(rtguard::MarkedSwitches() - before, 10u);
    ASIOStopPlay();
    ASIOShutdown();
}

}  // namespace
