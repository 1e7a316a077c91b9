// The host functions over a fake driver source, each test in a working
// directory of its own (the mixer log and "ASIOConfig.txt" live there).
#include <cstdio>
#include <memory>

#include "mixer/AsioHost.h"
#include "tests/mixer/MixerFixture.h"
#include "tests/support/FakeDriverSource.h"

namespace {

class RecordingDevices : public DeviceListSink {
  public:
    void AddName(const char* name) override { names.emplace_back(name); }
    void SelectIndex(int32_t index) override { selected.push_back(index); }
    std::vector<std::string> names;
    std::vector<int32_t> selected;
};

class Host : public MixerFixture {
  protected:
    Host() {
        ASIOSetLogDirectory(nullptr);
        ASIOSetDriverSource(&source);
    }
    ~Host() override {
        ASIOShutdown();
        ASIOSetDriverSource(nullptr);
        ASIOSetLogDirectory(nullptr);
    }

    void AddDrivers(int n) {
        for (int i = 0; i < n; ++i) {
            drivers.push_back(std::make_unique<FakeDriver>(4));
            source.Add("Card " + std::to_string(i), drivers.back().get());
        }
    }
    void WriteConfig(const std::string& bytes) {
        std::FILE* f = std::fopen(dir.File("ASIOConfig.txt").c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::string Config() const { return ReadWholeFile(dir.File("ASIOConfig.txt")); }

    FakeDriverSource source;
    std::vector<std::unique_ptr<FakeDriver>> drivers;
    RecordingDevices devices;
};

// The name on the second line first, then the number in the first byte,
// then the first driver; reading never writes.
TEST_F(Host, TheSavedChoiceIsFoundByItsNameThenItsNumberElseTheFirstDriverOpens) {
    AddDrivers(3);
    const struct {
        std::string bytes;
        int32_t opened;
        std::string logged;
    } cases[] = {
        {"1", 1, "Found ASIO Configuration file!\nnRequestedDrvNum: 1, Num devices: 3\n"},
        {"0", 0, "Found ASIO Configuration file!\nnRequestedDrvNum: 0, Num devices: 3\n"},
        // The list was renumbered since: the name wins.
        {"1\nCard 2\n", 2, "Found driver by name: Card 2\nnRequestedDrvNum: 2, Num devices: 3\n"},
        {"1\nGone\n", 1, "Found ASIO Configuration file!\nnRequestedDrvNum: 1, Num devices: 3\n"},
        {"9\nCard 0", 0, "Found driver by name: Card 0\n"},
        {"1\n" + std::string(300, 'x'), 1, "nRequestedDrvNum: 1, Num devices: 3\n"},
        {"\nCard 2\n", 0, "Error reading configuration file!\n"},
        {"3", 0, "nRequestedDrvNum: 3, Num devices: 3\nnRequestedDrvNum > lnumDevs!: 3\n"},
        {"", 0, "Error reading configuration file!\n"},
        {"\x01", 0, "Error reading configuration file!\n"},
        {"\xff", 0, "nRequestedDrvNum > lnumDevs!: 3\n"},
    };
    for (const auto& c : cases) {
        WriteConfig(c.bytes);
        RecordingDevices sink;
        ASSERT_TRUE(ASIOInitDrivers(&sink, -1)) << c.bytes;
        EXPECT_EQ(sink.selected, std::vector<int32_t>{c.opened}) << c.bytes;
        EXPECT_TRUE(Logged(c.logged)) << c.bytes;
        EXPECT_EQ(Config(), c.bytes);
        ASIOShutdown();
    }
    EXPECT_EQ(drivers[0]->releaseCalls.load(), 7);
}

// An explicit choice is saved once it opens, as 48 plus its number (driver
// 12 as '<') and its name, and is found again; one that fails is not saved.
TEST_F(Host, AnExplicitChoiceIsSavedOnlyWhenItOpens) {
    AddDrivers(13);
    ASSERT_TRUE(ASIOInitDrivers(nullptr, 12));
    EXPECT_EQ(Config(), "<\nCard 12\n");
    ASIOShutdown();
    ASSERT_TRUE(ASIOInitDrivers(&devices, -1));
    EXPECT_EQ(devices.selected, std::vector<int32_t>{12});
    EXPECT_EQ(drivers[12]->releaseCalls.load(), 1);  // released by the first shutdown only
    ASIOShutdown();

    RecordingDevices sink;
    EXPECT_FALSE(ASIOInitDrivers(&sink, 15));
    EXPECT_EQ(sink.selected, std::vector<int32_t>{0});
    EXPECT_EQ(sink.names.size(), 13u);
    EXPECT_STREQ(ASIOErrorText(), "there is no driver number 15");
    ASIOShutdown();
    FakeDriver broken;
    source.Add("Broken", &broken, -5);
    EXPECT_FALSE(ASIOInitDrivers(nullptr, 13));
    EXPECT_STREQ(ASIOErrorText(), "driver 13 could not be made");
    EXPECT_EQ(Config(), "<\nCard 12\n");
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    ASIOShutdown();
    ASSERT_TRUE(ASIOInitDrivers(nullptr, 0));  // the first driver, asked for by its number
    EXPECT_EQ(Config(), "0\nCard 0\n");
}

// No driver: nothing opens and nothing plays. A driver whose format cannot be
// played: the host says why and keeps it open until shutdown.
TEST_F(Host, NoDriverOrAnUnusableOneIsReportedWithItsReason) {
    EXPECT_FALSE(ASIOInitDrivers(&devices, -1));
    EXPECT_TRUE(Logged("Couldn't find any ASIO drivers!\n"));
    EXPECT_STREQ(ASIOErrorText(), "no driver is installed");
    EXPECT_TRUE(devices.names.empty());
    EXPECT_TRUE(devices.selected.empty());
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIOStartPlay());
    BufferDescription desc{1024, 44100, 2, 0};
    EXPECT_EQ(ASIOCreateSoundBuffer(&desc), nullptr);

    auto unusable = std::make_unique<FakeDriver>(4, ASIOSTFloat32LSB);
    unusable->errorText.clear();  // its init succeeded: the host says why
    source.Add("Float", unusable.get());
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_TRUE(Logged("Can't support sound card's internal format!\n"));
    EXPECT_STREQ(ASIOErrorText(),
                 "the device offers no output in a sample format that can be played");
    EXPECT_EQ(unusable->releaseCalls.load(), 0);
    EXPECT_FALSE(ASIOStartPlay());
    ASIOShutdown();
    EXPECT_EQ(unusable->releaseCalls.load(), 1);
}

TEST_F(Host, TheLogGoesToTheDirectoryGivenWhateverTheWorkingOne) {
    const std::string logs = dir.File("logs");
    ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
    ASIOSetLogDirectory(logs.c_str());
    EXPECT_FALSE(ASIOInitDrivers(nullptr, -1));
    ASIOShutdown();
    EXPECT_NE(ReadWholeFile(logs + "/OstinatoDbg.Log").find("Couldn't find any"),
              std::string::npos);
}

TEST_F(Host, AFailingStartIsReported) {
    AddDrivers(1);
    drivers[0]->startResult = ASE_HWMalfunction;
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    ASSERT_TRUE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIOStartPlay());
    EXPECT_TRUE(Logged("Error ASIOStartPlay: ptrASIO->Start() failed!\n"));
    EXPECT_STREQ(ASIOErrorText(), "no card");  // the driver's own words
    ASIOStopPlay();
    EXPECT_EQ(drivers[0]->stopCalls.load(), 0);
}

TEST_F(Host, ALostDeviceIsReportedWithTheDriversReasonAndNothingIsReopened) {
    AddDrivers(1);
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    EXPECT_FALSE(ASIODeviceLost());  // no output stage yet
    ASSERT_TRUE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));  // not over a running one
    ASSERT_TRUE(ASIOStartPlay());
    EXPECT_FALSE(ASIODeviceLost());
    EXPECT_STREQ(ASIOErrorText(), "");
    void* none[1] = {};
    EXPECT_FALSE(ASIOPlayTogether(nullptr, 1));
    EXPECT_TRUE(!ASIOPlayTogether(none, -1) && ASIOPlayTogether(none, 0));  // none is all played

    drivers[0]->errorText = "the card was unplugged";
    EXPECT_EQ(drivers[0]->Message(kAsioResetRequest, 0), 0);
    EXPECT_TRUE(ASIODeviceLost());
    EXPECT_TRUE(ASIODeviceLost());
    EXPECT_STREQ(ASIOErrorText(), "the card was unplugged");
    const std::string log = Log();
    const size_t logged = log.find("Device lost: the card was unplugged\n");
    EXPECT_NE(logged, std::string::npos);
    EXPECT_EQ(logged, log.rfind("Device lost: "));  // once
    EXPECT_EQ(drivers[0]->stopCalls.load() + drivers[0]->initCalls.load(), 1);

    ASIOShutdown();
    EXPECT_FALSE(ASIODeviceLost() || ASIOIsPlaying());
    EXPECT_STREQ(ASIOErrorText(), "the card was unplugged");  // for the front end to show
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    EXPECT_STREQ(ASIOErrorText(), "");
    ASSERT_TRUE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIODeviceLost());
}

}  // namespace
