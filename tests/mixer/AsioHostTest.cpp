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

class Host : public ::testing::Test {
  protected:
    Host() : cwd(dir.path()) {
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
    bool HasConfig() const {
        std::FILE* f = std::fopen(dir.File("ASIOConfig.txt").c_str(), "rb");
        if (f) std::fclose(f);
        return f != nullptr;
    }
    std::string Log() const { return ReadWholeFile(dir.File("OstinatoDbg.Log")); }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
    int Opened(int i) const {
        return drivers[i]->initCalls.load() + drivers[i]->releaseCalls.load();
    }

    TempDir dir;
    ScopedChdir cwd;
    FakeDriverSource source;
    std::vector<std::unique_ptr<FakeDriver>> drivers;
    RecordingDevices devices;
};

TEST_F(Host, WithoutAConfigurationTheFirstDriverOpens) {
    AddDrivers(2);
    ASSERT_TRUE(ASIOInitDrivers(&devices, -1));
    EXPECT_EQ(devices.names, (std::vector<std::string>{"Card 0", "Card 1"}));
    EXPECT_EQ(devices.selected, std::vector<int32_t>{0});
    EXPECT_FALSE(HasConfig());
    EXPECT_TRUE(Logged("Debug log\n"));
    EXPECT_TRUE(Logged("asioOpenDriver success!\n"));
    EXPECT_FALSE(Logged("Found ASIO Configuration file!"));
    ASIOShutdown();
    EXPECT_EQ(drivers[0]->releaseCalls.load(), 1);
    EXPECT_TRUE(Logged("Shutting down debug logging system..."));
}

TEST_F(Host, TheSavedChoiceIsOpenedWhenItNamesADriver) {
    AddDrivers(2);
    WriteConfig("1");
    ASSERT_TRUE(ASIOInitDrivers(&devices, -1));
    EXPECT_EQ(devices.selected, std::vector<int32_t>{1});
    EXPECT_TRUE(Logged("Found ASIO Configuration file!\nnRequestedDrvNum: 1, Num devices: 2\n"));
    ASIOShutdown();
    EXPECT_EQ(drivers[1]->releaseCalls.load(), 1);
    EXPECT_EQ(drivers[0]->releaseCalls.load(), 0);
}

TEST_F(Host, UnusableConfigurationsFallBackToTheFirstDriver) {
    AddDrivers(2);
    struct Case {
        std::string bytes;
        std::string message;
    } cases[] = {
        {"3", "nRequestedDrvNum: 3, Num devices: 2\nnRequestedDrvNum > lnumDevs!: 2\n"},
        {"", "Error reading configuration file!\n"},
        {"/", "Error reading configuration file!\n"},
        {"\x01", "Error reading configuration file!\n"},
        {"\xff", "nRequestedDrvNum > lnumDevs!: 2\n"},
    };
    for (const Case& c : cases) {
        WriteConfig(c.bytes);
        RecordingDevices sink;
        ASSERT_TRUE(ASIOInitDrivers(&sink, -1)) << c.bytes;
        EXPECT_EQ(sink.selected, std::vector<int32_t>{0});
        EXPECT_TRUE(Logged(c.message)) << c.bytes;
        EXPECT_EQ(Config(), c.bytes);  // reading never writes
        ASIOShutdown();
    }
    EXPECT_EQ(drivers[0]->releaseCalls.load(), 5);
}

TEST_F(Host, AnExplicitChoiceIsSavedOnlyWhenItOpens) {
    AddDrivers(2);
    ASSERT_TRUE(ASIOInitDrivers(&devices, 1));
    EXPECT_EQ(Config(), "1");
    EXPECT_TRUE(Logged("Updating ASIO Configuration file!\n"));
    ASIOShutdown();

    RecordingDevices sink;
    EXPECT_FALSE(ASIOInitDrivers(&sink, 5));
    EXPECT_EQ(sink.selected, std::vector<int32_t>{0});
    EXPECT_EQ(sink.names.size(), 2u);
    EXPECT_TRUE(Logged("asioOpenDriver failed!\n"));
    EXPECT_EQ(Config(), "1");
    ASIOShutdown();

    FakeDriver broken;
    source.Add("Broken", &broken, -5);
    EXPECT_FALSE(ASIOInitDrivers(nullptr, 2));
    EXPECT_EQ(Config(), "1");
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_TRUE(Logged("ptrASIO == NULL\n"));
}

// The byte is 48 plus the number: driver 12 is saved as '<'.
TEST_F(Host, NumbersAboveNineAreSavedPastTheDigits) {
    AddDrivers(13);
    ASSERT_TRUE(ASIOInitDrivers(nullptr, 12));
    EXPECT_EQ(Config(), "<");
    ASIOShutdown();
    ASSERT_TRUE(ASIOInitDrivers(&devices, -1));
    EXPECT_EQ(devices.selected, std::vector<int32_t>{12});
    EXPECT_EQ(drivers[12]->releaseCalls.load(), 1);  // released by the first shutdown only
    ASIOShutdown();
    EXPECT_EQ(drivers[12]->releaseCalls.load(), 2);
}

TEST_F(Host, NoDriverInstalled) {
    EXPECT_FALSE(ASIOInitDrivers(&devices, -1));
    EXPECT_TRUE(Logged("Couldn't find any ASIO drivers!\n"));
    EXPECT_TRUE(devices.names.empty());
    EXPECT_TRUE(devices.selected.empty());
    ASIOSetDriverSource(nullptr);
    EXPECT_FALSE(ASIOInitDrivers(&devices, 0));
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIOStartPlay());
    BufferDescription desc{1024, 44100, 2, 0};
    EXPECT_EQ(ASIOCreateSoundBuffer(&desc), nullptr);
}

TEST_F(Host, SetUpPlayStopAndShutDown) {
    AddDrivers(2);
    drivers[0]->channels[0].name = "Main L";
    drivers[0]->channels[1].name = "Main R";
    ASSERT_TRUE(ASIOInitDrivers(&devices, -1));
    ASIOStopPlay();
    EXPECT_TRUE(Logged("Failed: ASIOStopPlay - ASIO system not initialized!\n"));
    EXPECT_FALSE(ASIOStartPlay());

    RecordingLabels labels;
    int window = 0;
    ASSERT_TRUE(ASIOSetupBuffers(&window, &labels, "Cantabile"));
    EXPECT_EQ(drivers[0]->lastSysHandle, &window);
    EXPECT_EQ(labels.labels, (std::vector<std::string>{"Main L / Main R", "Out 3 / 4"}));
    EXPECT_TRUE(
        Logged("Total num devices found: 2\nDiver selected...\nCard "
               "0\n/usr/lib/cantabile/drivers/Card 0.so\n\n"
               "Cantabile\n"));
    EXPECT_TRUE(Logged("pASIOBuffers->bInitSuccess\nCreatePrimaryBuffer success!\n"));
    EXPECT_FALSE(ASIOSetupBuffers(&window, nullptr));

    BufferDescription desc{4096, 44100, 2, 1};
    void* buffer = ASIOCreateSoundBuffer(&desc);
    ASSERT_NE(buffer, nullptr);
    desc.nOwner = 2;  // the card has two pairs
    EXPECT_EQ(ASIOCreateSoundBuffer(&desc), nullptr);

    ASSERT_TRUE(ASIOStartPlay());
    EXPECT_TRUE(Logged("Success: ASIOStartPlay\n"));
    EXPECT_FALSE(ASIOStartPlay());
    EXPECT_EQ(drivers[0]->startCalls.load(), 1);
    drivers[0]->Switch(0);
    ASIOStopPlay();
    EXPECT_TRUE(Logged("Called ptrASIO->Stop()\n"));
    EXPECT_EQ(drivers[0]->stopCalls.load(), 1);

    ASIOReleaseSoundBuffer(buffer);
    EXPECT_TRUE(Logged("Deleted audio buffer Chn: 1, countAudioBuffers: 0\n"));
    ASSERT_NE(ASIOCreateSoundBuffer(&(desc = {4096, 44100, 1, 0})), nullptr);

    ASIOShutdown();
    EXPECT_EQ(drivers[0]->stopCalls.load(), 2);
    EXPECT_EQ(drivers[0]->disposeCalls.load(), 1);
    EXPECT_EQ(drivers[0]->releaseCalls.load(), 1);
    EXPECT_EQ(ASIOCreateSoundBuffer(&desc), nullptr);
    EXPECT_FALSE(ASIOStartPlay());
}

TEST_F(Host, AFailedSetupKeepsTheDriverOpenUntilShutdown) {
    auto unusable = std::make_unique<FakeDriver>(4, ASIOSTFloat32LSB);
    source.Add("Float", unusable.get());
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    EXPECT_FALSE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_TRUE(Logged("Can't support sound card's internal format!\n"));
    EXPECT_EQ(unusable->releaseCalls.load(), 0);
    EXPECT_FALSE(ASIOStartPlay());
    ASIOShutdown();
    EXPECT_EQ(unusable->releaseCalls.load(), 1);
}

TEST_F(Host, AFailingStartIsReported) {
    AddDrivers(1);
    drivers[0]->startResult = ASE_HWMalfunction;
    ASSERT_TRUE(ASIOInitDrivers(nullptr, -1));
    ASSERT_TRUE(ASIOSetupBuffers(nullptr, nullptr));
    EXPECT_FALSE(ASIOStartPlay());
    EXPECT_TRUE(Logged("Error ASIOStartPlay: ptrASIO->Start() failed!\n"));
    ASIOStopPlay();
    EXPECT_EQ(drivers[0]->stopCalls.load(), 0);
}

}  // namespace
