#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/WorkDir.h"

// Every missing parent is made, also for a relative path entered with errno
// clear; a path through a file cannot be entered and says why.
TEST(WorkDir, EnterMakesTheMissingParentsOrSaysWhyItCannot) {
    const std::filesystem::path before = std::filesystem::current_path();
    char base[] = "/tmp/workdirXXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    ASSERT_EQ(chdir(base), 0);
    std::string error;
    errno = 0;
    EXPECT_TRUE(platform::EnterWorkDir("new/deeper", &error)) << error;
    EXPECT_EQ(platform::AbsolutePath("x"), std::string(base) + "/new/deeper/x");
    EXPECT_EQ(platform::AbsolutePath("/x"), "/x");
    std::fclose(std::fopen("file", "w"));
    EXPECT_FALSE(platform::EnterWorkDir(std::string(base) + "/new/deeper/file/sub", &error));
    EXPECT_EQ(error,
              "cannot work in " + std::string(base) + "/new/deeper/file/sub: Not a directory");
    std::filesystem::current_path(before);
    std::filesystem::remove_all(base);
}
