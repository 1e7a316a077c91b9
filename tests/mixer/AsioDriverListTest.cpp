// The driver list over a fake driver source: which entries are listed and
// how they are numbered, names and paths cut to their destinations, opening.
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

    EXPECT_TRUE(Logged("numDev: 1\nKeyNamed\n/lib/k.so\n\nnumDev: 2\nLast\n"));

    // A class id that does not parse is listed, and fails when opened.
    IASIO* driver = &first;
    EXPECT_LT(list.asioOpenDriver(1, &driver), 0);
    EXPECT_EQ(driver, nullptr);
    ASSERT_EQ(list.asioOpenDriver(2, &driver), 0);
    EXPECT_EQ(driver, &last);
}

TEST_F(DriverList, NamesAndPathsAreCutToTheirDestination) {
    FakeDriverSource source;
    InstalledDriver longOne =
        Entry("Long", "{00000000-0000-0000-0000-000000000001}", "/lib/" + std::string(295, 'p'));
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
    char tiny[3];
    ASSERT_EQ(list.DriverDescription(0, tiny, sizeof tiny), 0);
    EXPECT_STREQ(tiny, "..");
    ASSERT_EQ(list.DriverDescription(0, tiny, 1), 0);
    EXPECT_EQ(tiny[0], '\0');

    char path[256];
    std::strcpy(path, "old");
    EXPECT_EQ(list.DriverDllPath(0, path, sizeof path), kDriverBadArgument);
    EXPECT_STREQ(path, "");
    char bigger[512];
    ASSERT_EQ(list.DriverDllPath(0, bigger, sizeof bigger), 0);
    EXPECT_EQ(std::strlen(bigger), 300u);
    ASSERT_EQ(list.DriverDllPath(1, path, sizeof path), 0);
    EXPECT_STREQ(path, "/lib/l.so");
    EXPECT_EQ(list.DriverDllPath(5, path, sizeof path), kDriverNotFound);
    EXPECT_EQ(list.DriverDllPath(0, nullptr, 256), kDriverBadArgument);
    // The 300-character path is too long for the log's 255: an empty line.
    EXPECT_TRUE(Logged("numDev: 0\n" + std::string(60, 'n') + "\n\n\n"));
}

TEST_F(DriverList, OpeningAndReleasing) {
    FakeDriverSource source;
    FakeDriver a, b;
    source.Add("A", &a);
    source.Add("B", &b, -2147467259);
    source.Add("C", nullptr, 0);
    {
        AsioDriverList list(&source);
        IASIO* driver = nullptr;
        EXPECT_EQ(list.asioOpenDriver(0, nullptr), kDriverBadArgument);
        EXPECT_EQ(list.asioOpenDriver(7, &driver), kDriverNotFound);
        EXPECT_EQ(list.asioOpenDriver(-1, &driver), kDriverNotFound);
        EXPECT_EQ(list.asioOpenDriver(1, &driver),
                  -2147467259);  // the factory's failure, unchanged
        EXPECT_EQ(list.asioOpenDriver(2, &driver), -1);
        ASSERT_EQ(list.asioOpenDriver(0, &driver), 0);
        EXPECT_EQ(driver, &a);
        EXPECT_EQ(list.asioOpenDriver(0, &driver), kDriverAlreadyOpen);
        EXPECT_EQ(a.releaseCalls.load(), 0);
    }
    EXPECT_EQ(a.releaseCalls.load(), 1);
    EXPECT_EQ(b.releaseCalls.load(), 0);
    EXPECT_TRUE(Logged("AsioDriverList destruction.\n"));

    AsioDriverList empty(nullptr);
    EXPECT_EQ(empty.DriverCount(), 0);
    IASIO* driver = nullptr;
    EXPECT_EQ(empty.asioOpenDriver(0, &driver), kDriverNotFound);
}

TEST(DriverClassIdText, ParsesOnlyTheFullForm) {
    DriverClassId id;
    ASSERT_TRUE(ParseDriverClassId("{0123ABCD-4567-89ab-cdEF-000000000010}", &id));
    const unsigned char expected[16] = {0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xab,
                                        0xcd, 0xef, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
    EXPECT_EQ(std::memcmp(id.bytes, expected, 16), 0);
    for (const char* bad :
         {"", "{0123ABCD-4567-89ab-cdEF-00000000001}", "0123ABCD-4567-89ab-cdEF-000000000010",
          "{0123ABCD-4567-89ab-cdEF-00000000001G}", "{0123ABCD+4567-89ab-cdEF-000000000010}",
          "{0123ABCD-4567-89ab-cdEF-000000000010}x"}) {
        EXPECT_FALSE(ParseDriverClassId(bad, &id)) << bad;
        EXPECT_EQ(id, DriverClassId{}) << bad;
    }
    EXPECT_FALSE(ParseDriverClassId(nullptr, &id));
}

}  // namespace
