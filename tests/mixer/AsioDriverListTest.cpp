// The driver list over a fake driver source: which entries are listed and
// how they are numbered, names cut to their destinations, opening.
#include <cstring>

#include "mixer/AsioDriverList.h"
#include "tests/mixer/MixerFixture.h"
#include "tests/support/FakeDriverSource.h"

namespace {

class DriverList : public MixerFixture {};

InstalledDriver Entry(const std::string& key, const std::string& clsid, const std::string& path) {
    InstalledDriver d;
    d.keyName = key;
    d.clsid = clsid;
    d.description = key + " card";
    d.libraryPath = path;
    return d;
}

TEST_F(DriverList, UnusableEntriesAreSkippedAndTakeNoNumber) {
    FakeDriverSource source;
    FakeDriver first, last;
    source.Add("First", &first);
    InstalledDriver noClsid = Entry("NoClsid", "", "/lib/a.so");
    noClsid.hasClsid = false;
    source.AddRaw(noClsid);
    source.AddRaw(Entry("NoPath", "{00000000-0000-0000-0000-000000000001}", ""));
    InstalledDriver keyNamed = Entry("KeyNamed", "not a class id", "/lib/k.so");
    keyNamed.hasDescription = false;
    source.AddRaw(keyNamed);
    source.Add("Last", &last);

    AsioDriverList list(&source);
    ASSERT_EQ(list.DriverCount(), 3);
    char name[128];
    ASSERT_EQ(list.DriverDescription(0, name, sizeof name), 0);
    EXPECT_STREQ(name, "First");
    ASSERT_EQ(list.DriverDescription(1, name, sizeof name), 0);
    EXPECT_STREQ(name, "KeyNamed");
    ASSERT_EQ(list.DriverDescription(2, name, sizeof name), 0);
    EXPECT_STREQ(name, "Last");
    EXPECT_EQ(list.DriverDescription(3, name, sizeof name), kDriverNotFound);
    EXPECT_EQ(list.DriverDescription(0, nullptr, 10), kDriverBadArgument);
    EXPECT_EQ(list.DriverDescription(0, name, 0), kDriverBadArgument);

    EXPECT_TRUE(Logged("numDev: 1\nKeyNamed\n/lib/k.so\n\nnumDev: 2\nLast\n"));

    // A class id that does not parse is listed, and fails when opened.
    IASIO* driver = &first;
    EXPECT_LT(list.asioOpenDriver(1, &driver), 0);
    EXPECT_EQ(driver, nullptr);
    ASSERT_EQ(list.asioOpenDriver(2, &driver), 0);
    EXPECT_EQ(driver, &last);
}

TEST_F(DriverList, NamesAreCutToTheirDestination) {
    FakeDriverSource source;
    InstalledDriver longOne = Entry("Long", "{00000000-0000-0000-0000-000000000001}", "/lib/n.so");
    longOne.description = std::string(60, 'n');
    source.AddRaw(longOne);
    InstalledDriver longest =
        Entry("Longest", "{00000000-0000-0000-0000-000000000002}", "/lib/l.so");
    longest.description = std::string(127, 'x') + "beyond";
    source.AddRaw(longest);
    AsioDriverList list(&source);
    ASSERT_EQ(list.DriverCount(), 2);

    char small[32];
    std::memset(small, '#', sizeof small);
    ASSERT_EQ(list.DriverDescription(0, small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(28, 'n') + "...");
    char name[128];
    ASSERT_EQ(list.DriverDescription(1, name, sizeof name), 0);
    EXPECT_EQ(std::string(name), std::string(127, 'x'));  // a longer description was cut to 127
}

}  // namespace
