// The ALSA driver on devices that need no hardware, the list of built-in
// drivers, and the checks every driver makes on a host's buffer request.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "drivers/AlsaDriver.h"
#include "drivers/BuiltinDrivers.h"
#include "drivers/DriverAnswers.h"
#include "drivers/DriverText.h"
#include "tests/drivers/TestHost.h"

using drivers::AlsaDriver;
using drivers::BuiltinDrivers;
using testhost::DriverPtr;
using testhost::ErrorOf;

// ALSA's "null" device takes any samples and needs no hardware: it shows the
// period thread switching halves and stopping on request, and the rate
// being changed only while no buffers exist.
TEST(AlsaDriver, PeriodThreadSwitchesHalvesInTurn) {
    DriverPtr missing(new AlsaDriver("hw:99,0"));
    EXPECT_EQ(missing->init(nullptr), ASIOFalse);
    EXPECT_EQ(missing->start(), ASE_InvalidMode);

    DriverPtr driver(new AlsaDriver("null"));
    if (driver->init(nullptr) != ASIOTrue)
        GTEST_SKIP() << "no ALSA null device here: " << ErrorOf(driver.get());
    int32_t inputs = -1, outputs = 0;
    ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->setSampleRate(44100), ASE_OK);
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    ASIOChannelInfo info = {};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);

    testhost::Host host;
    ASSERT_EQ(host.CreateBuffers(driver.get(), outputs, preferred, info.type), ASE_OK);
    // The halves are sized for this rate: only asking for it again is fine.
    EXPECT_EQ(driver->setSampleRate(44100), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(48000), ASE_InvalidMode);
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
    EXPECT_TRUE(driver->getChannelInfo(&info) == ASE_OK && !info.isActive);  // none active now
}

// ALSA's file device writing into /dev/full fails every write once its
// buffer fills, as an unplugged card does: beyond recovery.
TEST(AlsaDriver, ADeviceThatFailsForGoodAsksTheHostForAResetAndSaysWhy) {
    DriverPtr driver(new AlsaDriver("file:FILE=/dev/full"));
    if (driver->init(nullptr) != ASIOTrue)
        GTEST_SKIP() << "no ALSA file device here: " << ErrorOf(driver.get());
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

// The fixed drivers first, then the hardware found; each entry's class id
// parses and makes the driver it names, and one this source did not find
// is not registered.
TEST(BuiltinDrivers, ListsTheFixedDriversFirstThenHardwareAndMakesWhatTheyName) {
    BuiltinDrivers source({drivers::AlsaDevice{1, 3, "hw:1,3", "Card: PCM"}});
    const std::vector<InstalledDriver> list = source.Enumerate();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[3].clsid, "{5a1c3e71-0001-0003-8e9a-0c1d2e3f4a10}");
    const char* const names[] = {"JACK", "ALSA default", "Virtual Card", "ALSA hw:1,3"};
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].keyName, names[i]);
        DriverClassId id;
        ASSERT_TRUE(drivers::ParseClassId(list[i].clsid.c_str(), &id)) << list[i].clsid;
        IASIO* driver = nullptr;
        ASSERT_EQ(source.Create(id, &driver), 0) << names[i];
        char name[kAsioTextBytes] = {};
        driver->getDriverName(name);
        EXPECT_EQ(std::string(names[i]).rfind(name, 0), 0u) << name;
        driver->Release();
    }
    EXPECT_NE(drivers::AlsaHardwareClassId(0, 1), drivers::AlsaHardwareClassId(1, 0));

    DriverClassId id;
    ASSERT_TRUE(drivers::ParseClassId(drivers::AlsaHardwareClassId(0, 0).c_str(), &id));
    IASIO* driver = reinterpret_cast<IASIO*>(&id);
    EXPECT_EQ(source.Create(id, &driver), drivers::kClassNotRegistered);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(source.Create(id, nullptr), drivers::kInvalidPointer);
    for (const char* bad :
         {"", "5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a03", "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4a0}",
          "{5a1c3e70x2b4d-4f61-8e9a-0c1d2e3f4a03}", "{5a1c3e70-2b4d-4f61-8e9a-0c1d2e3f4ag3}"})
        EXPECT_FALSE(drivers::ParseClassId(bad, &id)) << bad;
    EXPECT_TRUE(drivers::ParseClassId("{5A1C3E70-2B4D-4F61-8E9A-0C1D2E3F4A03}", &id));
}

namespace {

using drivers::CheckBufferRequest;

// Four outputs asked for in reverse order, entry `entry` changed to ask for
// `channel` (or an input). A driver claiming more outputs than the check can
// track is refused, not read past its table; only the entries counted are
// looked at; the size is judged after the count and before the channels.
TEST(BufferRequest, RefusesWhatIsNotASetOfDistinctOutputs) {
    const struct {
        const char* name;
        int32_t numChannels, bufferSize, outputs, entry, channel;
        bool input;
        ASIOError expected;
    } cases[] = {
        {"all four", 4, 256, 4, 0, 3, false, ASE_OK},
        {"no channel", 0, 256, 4, 0, 3, false, ASE_InvalidParameter},
        {"more than the outputs", 5, 256, 4, 0, 3, false, ASE_InvalidParameter},
        {"too many outputs", 2, 256, drivers::kMaxOutputs + 1, 0, 3, false, ASE_InvalidParameter},
        {"channel -1", 2, 256, 4, 1, -1, false, ASE_InvalidParameter},
        {"channel 4", 2, 256, 4, 1, 4, false, ASE_InvalidParameter},
        {"an input", 1, 256, 4, 0, 3, true, ASE_InvalidParameter},
        {"a duplicate", 3, 256, 4, 2, 3, false, ASE_InvalidParameter},
        {"a duplicate not counted", 2, 256, 4, 2, 3, false, ASE_OK},
        {"size and duplicate", 2, 128, 4, 1, 3, false, ASE_InvalidMode},
        {"size and count", 9, 128, 4, 0, 3, false, ASE_InvalidParameter},
    };
    ASIOCallbacks callbacks = {[](int32_t, ASIOBool) {}, nullptr, nullptr, nullptr};
    for (const auto& c : cases) {
        ASIOBufferInfo infos[4];
        for (int32_t k = 0; k < 4; ++k) infos[k] = {ASIOFalse, 3 - k, {}};
        infos[c.entry].channelNum = c.channel;
        infos[c.entry].isInput = c.input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(
            CheckBufferRequest(infos, c.numChannels, c.bufferSize, &callbacks, c.outputs, 256),
            c.expected)
            << c.name;
    }
    ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {}}};
    ASIOCallbacks noSwitch = {};
    EXPECT_EQ(CheckBufferRequest(infos, 1, 256, &noSwitch, 4, 256), -998);  // invalid parameter
    EXPECT_EQ(CheckBufferRequest(infos, 1, 256, nullptr, 4, 256), ASE_InvalidParameter);
    EXPECT_EQ(CheckBufferRequest(nullptr, 1, 256, &callbacks, 4, 256), ASE_InvalidParameter);
}

TEST(DriverText, ATextTooLongIsCutToItsFieldAndTerminated) {
    char field[8];
    drivers::CopyText(field, sizeof field, "a driver name too long");
    EXPECT_STREQ(field, "a drive");
}

}  // namespace
