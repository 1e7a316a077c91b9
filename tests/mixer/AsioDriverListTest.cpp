// The driver list over a fake driver source: which entries are listed and
// how they are numbered, names cut to their destinations, opening.
#include <cstring>

#include "mixer/AsioDriverList.h"
#include "tests/mixer/MixerFixture.h"
#include "tests/support/FakeDriverSource.h"

namespace {

class DriverList : public MixerFixture {};

TEST_F(DriverList, UnusableEntriesAreSkippedAndTakeNoNumber) {
    DriverClassId id;
    EXPECT_FALSE(ParseDriverClassId("not a class id", &id));
    FakeDriverSource source;
    FakeDriver first, last;
    source.Add("First", &first);
    source.AddRaw({.keyName = "NoClsid", .hasClsid = false, .libraryPath = "/lib/a.so"});
    source.AddRaw({.keyName = "NoPath", .clsid = "{00000000-0000-0000-0000-000000000001}"});
    source.AddRaw({.keyName = "KeyNamed",
                   .clsid = "not a class id",
                   .description = "KeyNamed card",  // not shown: there is no description
                   .hasDescription = false,
                   .libraryPath = "/lib/k.so"});
    source.Add("Last", &last);

    AsioDriverList list(&source);
    ASSERT_EQ(list.DriverCount(), 3);
    char name[128];
    const char* const listed[] = {"First", "KeyNamed", "Last"};
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(list.DriverDescription(i, name, sizeof name), 0);
        EXPECT_STREQ(name, listed[i]);
    }
    EXPECT_EQ(list.DriverDescription(3, name, sizeof name), -5003);  // not found
    EXPECT_EQ(list.DriverDescription(0, nullptr, 10), -5001);        // bad argument
    EXPECT_EQ(list.DriverDescription(0, name, 0), kDriverBadArgument);

    EXPECT_TRUE(Logged("numDev: 1\nKeyNamed\n/lib/k.so\n\nnumDev: 2\nLast\n"));
    EXPECT_EQ(list.DriverDllPath(1, name, 9), kDriverBadArgument);  // "/lib/k.so" and no end

    // A class id that does not parse is listed, and fails when opened.
    IASIO* driver = &first;
    EXPECT_LT(list.asioOpenDriver(1, &driver), 0);
    EXPECT_EQ(driver, nullptr);
    ASSERT_EQ(list.asioOpenDriver(2, &driver), 0);
    EXPECT_EQ(driver, &last);
    EXPECT_EQ(list.asioOpenDriver(2, &driver), -5002);  // already open
}

TEST_F(DriverList, NamesAreCutToTheirDestination) {
    FakeDriverSource source;
    source.AddRaw({.keyName = "Long",
                   .clsid = "{00000000-0000-0000-0000-000000000001}",
                   .description = std::string(60, 'n'),
                   .libraryPath = "/lib/n.so"});
    source.AddRaw({.keyName = "Longest",
                   .clsid = "{00000000-0000-0000-0000-000000000002}",
                   .description = std::string(127, 'x') + "beyond",
                   .libraryPath = "/" + std::string(254, 'l')});  // too long for the log
    AsioDriverList list(&source);
    ASSERT_EQ(list.DriverCount(), 2);

    char small[32];
    std::memset(small, '#', sizeof small);
    ASSERT_EQ(list.DriverDescription(0, small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(28, 'n') + "...");
    char tiny[3] = {'#', '#', '#'};
    ASSERT_EQ(list.DriverDescription(0, tiny, sizeof tiny), 0);
    EXPECT_EQ(std::string(tiny, 3), std::string("..", 3));  // too small for a name: dots that fit
    EXPECT_TRUE(list.DriverDescription(0, tiny, 1) == 0 && tiny[0] == '\0');
    char name[128];
    ASSERT_EQ(list.DriverDescription(1, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), std::string(127, 'x'));  // a longer description was cut to 127
    EXPECT_TRUE(Logged("x\n\n\n"));                       // the path's line is empty
}

}  // namespace
