#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <thread>

#include "drivers/AlsaDriver.h"
#include "drivers/BuiltinDrivers.h"
#include "tests/drivers/TestHost.h"

using drivers::AlsaDriver;
using drivers::BuiltinDrivers;

namespace {

struct DriverDeleter {
    void operator()(IASIO* driver) const { driver->Release(); }
};
using DriverPtr = std::unique_ptr<IASIO, DriverDeleter>;

std::string ErrorOf(IASIO* driver) {
    char text[kAsioTextBytes] = {};
    driver->getErrorMessage(text);
    return text;
}

std::string NameOf(IASIO* driver) {
    char text[kAsioTextBytes] = {};
    driver->getDriverName(text);
    return text;
}

}  // namespace

TEST(AlsaDriver, MissingDeviceFailsWithAClearText) {
    DriverPtr driver(new AlsaDriver("hw:99,0"));
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_NE(ErrorOf(driver.get()).find("Cannot open ALSA device hw:99,0"), std::string::npos)
        << ErrorOf(driver.get());
    EXPECT_EQ(driver->start(), ASE_InvalidMode);
}

// ALSA's "null" device takes any samples and needs no hardware: it shows the
// period thread switching halves and stopping on request.
TEST(AlsaDriver, PeriodThreadSwitchesHalvesInTurn) {
    DriverPtr driver(new AlsaDriver("null"));
    if (driver->init(nullptr) != ASIOTrue) {
        GTEST_SKIP() << "no ALSA null device here: " << ErrorOf(driver.get());
    }
    int32_t inputs = -1, outputs = 0;
    ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_GE(outputs, 1);
    EXPECT_LE(outputs, 24);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    ASIOChannelInfo info = {};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_TRUE(info.type == ASIOSTInt32LSB || info.type == ASIOSTInt16LSB);

    testhost::Host host;
    ASSERT_EQ(host.CreateBuffers(driver.get(), outputs, preferred, info.type), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t begin = testhost::NowNs();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_LT(testhost::NowNs() - begin, 500000000);
    const int64_t periods = host.periods.load();
    EXPECT_GT(periods, 2);
    EXPECT_EQ(host.wrongHalves.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host.periods.load(), periods);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// ALSA's file device writing into /dev/full fails every write once its
// buffer fills, as an unplugged card does: beyond recovery.
TEST(AlsaDriver, ADeviceThatFailsForGoodAsksTheHostForAResetAndSaysWhy) {
    DriverPtr driver(new AlsaDriver("file:FILE=/dev/full"));
    if (driver->init(nullptr) != ASIOTrue) {
        GTEST_SKIP() << "no ALSA file device here: " << ErrorOf(driver.get());
    }
    int32_t inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    ASIOChannelInfo info = {};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    testhost::Host host;
    ASSERT_EQ(host.CreateBuffers(driver.get(), outputs, preferred, info.type), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    const int64_t begin = testhost::NowNs();
    while (host.resetRequests.load() == 0 && testhost::NowNs() - begin < 3000000000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(host.resetRequests.load(), 1);
    EXPECT_NE(ErrorOf(driver.get()).find("the ALSA device file:FILE=/dev/full failed: "),
              std::string::npos)
        << ErrorOf(driver.get());
    EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST(BuiltinDrivers, ListsTheFixedDriversFirstThenHardware) {
    BuiltinDrivers source({drivers::AlsaDevice{1, 3, "hw:1,3", "Card: PCM"}});
    const std::vector<InstalledDriver> list = source.Enumerate();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].keyName, "JACK");
    EXPECT_EQ(list[0].description, "JACK Audio Connection Kit");
    EXPECT_EQ(list[1].keyName, "ALSA default");
    EXPECT_EQ(list[2].keyName, "Virtual Card");
    EXPECT_EQ(list[3].keyName, "ALSA hw:1,3");
    EXPECT_EQ(list[3].clsid, "{5a1c3e71-0001-0003-8e9a-0c1d2e3f4a10}");
    for (const InstalledDriver& entry : list) {
        DriverClassId id;
        EXPECT_TRUE(drivers::ParseClassId(entry.clsid.c_str(), &id)) << entry.clsid;
        struct stat st;
        EXPECT_EQ(stat(entry.libraryPath.c_str(), &st), 0) << entry.libraryPath;
    }
    EXPECT_NE(list[0].clsid, list[1].clsid);
    EXPECT_NE(list[1].clsid, list[2].clsid);
    EXPECT_NE(drivers::AlsaHardwareClassId(0, 1), drivers::AlsaHardwareClassId(1, 0));
}

TEST(BuiltinDrivers, CreatesTheDriverAClassIdNames) {
    BuiltinDrivers source(std::vector<drivers::AlsaDevice>{});
    DriverClassId id;
    ASSERT_TRUE(drivers::ParseClassId(drivers::kVirtualCardClassId, &id));
    // Data1 is stored little-endian.
    EXPECT_EQ(id.bytes[0], 0x70);
    EXPECT_EQ(id.bytes[3], 0x5a);
    EXPECT_EQ(id.bytes[15], 0x03);
    IASIO* driver = nullptr;
    ASSERT_EQ(source.Create(id, &driver), 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(NameOf(driver), "Virtual Card");
    driver->Release();

    ASSERT_TRUE(drivers::ParseClassId(drivers::kJackClassId, &id));
    ASSERT_EQ(source.Create(id, &driver), 0);
    EXPECT_EQ(NameOf(driver), "JACK");
    driver->Release();

    // A hardware id that this source did not find is not registered.
    ASSERT_TRUE(drivers::ParseClassId(drivers::AlsaHardwareClassId(0, 0).c_str(), &id));
    driver = reinterpret_cast<IASIO*>(&id);
    EXPECT_EQ(source.Create(id, &driver), drivers::kClassNotRegistered);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(source.Create(id, nullptr), drivers::kInvalidPointer);

    for (const char* bad :
         {"", "5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a03", "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a0}",
          "{5a1c3e70x2b4d-4f61-8e9a-0c1d2e3f4a03}", "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4ag3}"}) {
        EXPECT_FALSE(drivers::ParseClassId(bad, &id)) << bad;
    }
    EXPECT_TRUE(drivers::ParseClassId("{5A1C3E70-2B4D-4F61-8E9A-0C1D2E3F4A03}", &id));
}
