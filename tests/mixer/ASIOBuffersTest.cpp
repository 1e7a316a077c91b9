// The output stage on the fake driver: channel discovery and pairing, the
// driver's buffers, the buffer switch, messages and the rate queries.
#include <cmath>

#include "tests/mixer/MixerFixture.h"

namespace {

class OutputStage : public MixerFixture {};

bool HalfIs(const FakeDriver& drv, int32_t channel, int32_t half, uint8_t byte, size_t bytes) {
    auto* p = static_cast<const uint8_t*>(drv.Half(channel, half));
    return p && std::all_of(p, p + bytes, [byte](uint8_t b) { return b == byte; });
}

// A name that fills its field without a terminator is read within it; an
// odd channel left over forms no pair.
TEST_F(OutputStage, PairsChannelsAndLabelsThem) {
    FakeDriver drv(11);
    const char* names[] = {"Analog 1", "Analog 2", "Bus L",  "Bus R", "Out 9",
                           "Out 10",   "Out 10",   "Out 11", "",      "R"};
    for (int i = 0; i < 10; ++i) drv.channels[i].name = names[i];
    drv.channels[8].name = std::string(40, 'A');
    drv.channels[8].unterminatedName = true;
    RecordingLabels labels;
    ASIOBuffers out(nullptr, "Cantabile", &labels, &drv);
    EXPECT_TRUE(Logged(program_invocation_name));  // the command line, as it was typed
    ASSERT_TRUE(out.InitSuccess());
    EXPECT_EQ(out.NumStereoPairs(), 5);
    EXPECT_EQ(labels.labels,
              (std::vector<std::string>{"Analog 1 / 2", "Bus L / Bus R", "Out 9 / 10",
                                        "Out 10 / Out 11", std::string(32, 'A') + " / R"}));
    ASSERT_TRUE(out.CreatePrimaryBuffers());
    EXPECT_TRUE(drv.CreatedChannels() == 10 && drv.Half(10, 0) == nullptr) << drv.CreatedChannels();
}

// At most 24 channels are examined.
TEST_F(OutputStage, ExaminesAtMostTwentyFourChannelsOfTheFirstGroup) {
    FakeDriver wide(26);
    ASIOBuffers out(nullptr, nullptr, nullptr, &wide);
    EXPECT_EQ(std::make_pair(out.NumStereoPairs(), wide.getChannelInfoCalls.load()),
              std::make_pair(12, 24));
    ASSERT_TRUE(out.CreatePrimaryBuffers());
    EXPECT_EQ(wide.CreatedChannels(), 24);
}

// A card the stage cannot use, and buffers the driver cannot make: nothing
// plays, and the driver's buffers are given back when it made them anyway.
TEST_F(OutputStage, RefusesUnusableCardsAndFailedBuffers) {
    const struct {
        const char* name;
        int32_t outputs;
        ASIOSampleType type;
        void (*setup)(FakeDriver&);
        bool init;
        const char* logged;
        int32_t createCalls, disposeCalls;
    } cases[] = {
        {"24-bit", 8, ASIOSTInt24LSB, [](FakeDriver&) {}, false,
         "First group output ASIO sample type: ASIOSTInt24LSB\n"
         "Can't support sound card's internal format!\n",
         0, 0},
        {"no output", 0, ASIOSTInt32LSB, [](FakeDriver&) {}, false,
         "There don't seem to be any analog I/O channels!\n", 0, 0},
        {"init fails", 4, ASIOSTInt32LSB,
         [](FakeDriver& d) {
             d.initResult = false;
             d.errorText = "the card is unplugged";
         },
         false, "ASIO init failed!\nthe card is unplugged\n", 0, 0},
        // Channel 0 answers nothing: its zeroed record names no usable type.
        {"silent channel", 4, ASIOSTInt32LSB, [](FakeDriver& d) { d.failingChannelInfo = {0}; },
         false, "Channel: 0 - Group: 0 - , ASIO sample type: ASIOSTInt16MSB\n", 0, 0},
        {"no memory", 4, ASIOSTInt32LSB,
         [](FakeDriver& d) { d.createBuffersResult = ASE_NoMemory; }, true, "", 1, 0},
        {"no active channel", 4, ASIOSTInt32LSB,
         [](FakeDriver& d) {
             for (auto& c : d.channels) c.active = ASIOFalse;
         },
         true, "", 1, 1},
        {"no buffer size", 4, ASIOSTInt32LSB, [](FakeDriver& d) { d.preferredSize = 0; }, true, "",
         0, 0},
    };
    for (const auto& c : cases) {
        FakeDriver drv(c.outputs, c.type);
        c.setup(drv);
        int window = 0;
        {
            ASIOBuffers out(&window, nullptr, nullptr, &drv);
            EXPECT_EQ(out.InitSuccess(), c.init) << c.name;
            EXPECT_FALSE(out.CreatePrimaryBuffers()) << c.name;
            EXPECT_EQ(out.GetSampleRate(), 48000u) << c.name;
            drv.getSampleRateResult = ASE_HWMalfunction;
            EXPECT_EQ(out.GetSampleRate(), 0u) << c.name;
        }
        EXPECT_EQ(drv.lastSysHandle, &window) << c.name;
        EXPECT_TRUE(Logged(c.logged)) << c.name;
        EXPECT_EQ(drv.createBuffersCalls.load(), c.createCalls) << c.name;
        EXPECT_EQ(drv.disposeCalls.load(), c.disposeCalls) << c.name;
    }
    ASIOBuffers none(nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(none.InitSuccess());
    EXPECT_FALSE(none.CreatePrimaryBuffers() || none.SetSampleRate(44100));
    EXPECT_EQ(none.GetSampleRate(), 0u);
    FakeDriver absurd(4);
    absurd.rate = 1e10;  // no 32-bit rate: unknown
    ASIOBuffers odd(nullptr, nullptr, nullptr, &absurd);
    EXPECT_EQ(odd.KnownSampleRate(), 0u);
    absurd.rate = std::nan("");  // nor is no number at all
    EXPECT_EQ(odd.GetSampleRate() + odd.KnownSampleRate(), 0u);
}

// The rate changes only when the driver can clock it and takes it.
TEST_F(OutputStage, SetsARateOnlyWhenTheDriverTakesIt) {
    FakeDriver drv(2);
    ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
    for (const ASIOError fails : {-995, -1000, -999}) {  // published: no clock, absent, fault
        drv.canSampleRateResult = fails == -999 ? ASE_OK : fails;
        drv.setSampleRateResult = fails == -999 ? fails : ASE_OK;
        EXPECT_FALSE(out.SetSampleRate(44100)) << fails;
        EXPECT_EQ(out.KnownSampleRate(), 48000u) << fails;
    }
    drv.setSampleRateResult = ASE_OK;
    EXPECT_TRUE(out.SetSampleRate(44100) && out.KnownSampleRate() == 44100u);
}

// A card as a real one may be: channels of another width or inactive, halves
// missing, groups interleaved. A pair is usable only when both channels are
// active, of the stage's type and have both halves; only such a pair gets a
// sound buffer, which plays on its own pair whatever its slot. Under ASan the
// fake card's exact-size halves catch a write past a narrower channel.
struct CardCase {
    const char* name;
    void (*setup)(FakeDriver&);
    struct Pair {
        int32_t left, right;
        bool usable;
    };
    std::vector<Pair> pairs;
};

class OddCards : public MixerFixture, public testing::WithParamInterface<CardCase> {};

TEST_P(OddCards, OnlyUsablePairsGetBuffersAndEachPlaysOnItsOwnChannels) {
    const CardCase& c = GetParam();
    FakeDriver drv(8);
    c.setup(drv);
    const bool b16 = drv.channels[0].type == ASIOSTInt16LSB;
    ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
    ASSERT_TRUE(out.CreatePrimaryBuffers());
    ASSERT_EQ(out.NumStereoPairs(), static_cast<int32_t>(c.pairs.size()));
    // Highest pair first, so that it sits in slot 0.
    bool refused = false;
    for (int32_t p = out.NumStereoPairs() - 1; p >= 0; --p) {
        const bool made = MakePlaying(out, p, static_cast<int16_t>(1000 * (p + 1)),
                                      static_cast<int16_t>(-1000 * (p + 1))) != nullptr;
        EXPECT_EQ(made, c.pairs[p].usable) << "pair " << p;
        EXPECT_EQ(out.IsPairActive(p), c.pairs[p].usable) << "pair " << p;
        const std::string unusable = "pair not usable: " + std::to_string(p) + "\n";
        EXPECT_TRUE(!c.pairs[p].usable || !Logged(unusable)) << "pair " << p;
        refused = refused || !made;
    }
    EXPECT_EQ(Logged("Error CreateSoundBuffer - no such output pair! - nOwner"), refused);
    drv.Scribble(0x55);
    drv.Switch(0);
    drv.Switch(1);
    std::vector<int32_t> expected(drv.channels.size(), 0);  // 0: untouched
    for (size_t p = 0; p < c.pairs.size(); ++p) {
        if (!c.pairs[p].usable) continue;
        const int32_t v = 1000 * static_cast<int32_t>(p + 1);
        expected[c.pairs[p].left] = b16 ? v : v * 65536;
        expected[c.pairs[p].right] = b16 ? -v : -v * 65536;
    }
    for (int32_t ch = 0; ch < static_cast<int32_t>(drv.channels.size()); ++ch) {
        const size_t bytes = drv.channels[ch].type == ASIOSTInt16LSB ? 128 : 256;
        for (int32_t half = 0; half < 2; ++half) {
            if (!drv.Half(ch, half)) continue;
            if (expected[ch] == 0) {
                EXPECT_TRUE(HalfIs(drv, ch, half, 0x55, bytes)) << "channel " << ch;
                continue;
            }
            const int32_t got = b16 ? drv.Sample16(ch, half, 63) : drv.Sample32(ch, half, 63);
            EXPECT_EQ(got, expected[ch]) << "channel " << ch << " half " << half;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, OddCards,
    testing::Values(CardCase{"InactiveLeft",
                             [](FakeDriver& d) { d.channels[0].active = ASIOFalse; },
                             {{0, 1, false}, {2, 3, true}, {4, 5, true}, {6, 7, true}}},
                    CardCase{"NarrowRight",
                             [](FakeDriver& d) { d.channels[5].type = ASIOSTInt16LSB; },
                             {{0, 1, true}, {2, 3, true}, {4, 5, false}, {6, 7, true}}},
                    CardCase{"WideLeftOnASixteenBitCard",
                             [](FakeDriver& d) {
                                 for (auto& ch : d.channels) ch.type = ASIOSTInt16LSB;
                                 d.channels[6].type = ASIOSTInt32LSB;
                             },
                             {{0, 1, true}, {2, 3, true}, {4, 5, true}, {6, 7, false}}},
                    CardCase{"MissingHalf",
                             [](FakeDriver& d) { d.nullHalfChannels = {6}; },
                             {{0, 1, true}, {2, 3, true}, {4, 5, true}, {6, 7, false}}},
                    CardCase{"InterleavedGroups",
                             [](FakeDriver& d) { d.channels[1].group = d.channels[4].group = 1; },
                             {{0, 2, true}, {3, 5, true}, {6, 7, true}}}),
    [](const testing::TestParamInfo<CardCase>& info) { return info.param.name; });

// On either width: the buffers are made silent; a switch writes the asked
// half of every pair (silence where nothing plays) and leaves the other; the
// meters read what was written, the silent pairs nothing, and once the
// buffer stops a meter falls by 20 dB in 1.5 s of switches of 64 frames at
// 48 kHz, the rate taken when the driver's is absurd.
TEST_F(OutputStage, SwitchesWriteTheAskedHalfAndTheMetersReadItAndFall) {
    for (ASIOSampleType type : {ASIOSTInt32LSB, ASIOSTInt16LSB}) {
        const bool b16 = type == ASIOSTInt16LSB;
        const size_t bytes = b16 ? 128 : 256;
        FakeDriver drv(8, type);
        drv.rate = b16 ? 1e10 : 0.0;  // rates it cannot tell: the meters fall as at 48 kHz
        ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
        ASSERT_TRUE(out.CreatePrimaryBuffers());
        EXPECT_EQ(out.Is16Bits(), b16);
        EXPECT_EQ(out.BufferSizeBytes(), bytes);
        for (int ch = 0; ch < 8; ++ch)
            EXPECT_TRUE(HalfIs(drv, ch, 0, 0, bytes) && HalfIs(drv, ch, 1, 0, bytes)) << ch;
        ASSERT_NE(MakePlaying(out, 3, 1000, -2000), nullptr);
        drv.Scribble(0x55);
        drv.Switch(0);
        EXPECT_EQ(Position(*out.SlotBuffer(0)), 256u);  // a switch of whole frames, at any rate
        for (int ch = 0; ch < 6; ++ch) {
            EXPECT_TRUE(HalfIs(drv, ch, 0, 0, bytes)) << ch;
            EXPECT_TRUE(HalfIs(drv, ch, 1, 0x55, bytes)) << ch;
        }
        EXPECT_EQ(b16 ? drv.Sample16(7, 0, 63) : drv.Sample32(7, 0, 63) / 65536, -2000);
        EXPECT_FLOAT_EQ(out.OutputPeak(6), 1000 / 32768.0f);
        EXPECT_FLOAT_EQ(out.OutputPeak(7), 2000 / 32768.0f);
        EXPECT_EQ(out.OutputPeak(0) + out.OutputPeak(1) + out.OutputPeak(24), 0.0f);  // and no 25th

        out.SlotBuffer(0)->Stop();
        drv.Switch(1);
        EXPECT_TRUE(HalfIs(drv, 6, 1, 0, bytes));
        EXPECT_EQ(out.BufferSwitchCount(), 2);
        const double fall = std::pow(10.0, -(64 / 48000.0) / 1.5);
        EXPECT_NEAR(out.OutputPeak(7), 2000 / 32768.0 * fall, 1e-6);
        for (int i = 1; i < 1125; ++i) drv.Switch(i % 2);
        EXPECT_NEAR(out.OutputPeak(7), 200 / 32768.0, 1e-5);
    }
}

TEST_F(OutputStage, AnswersDriverMessagesAndKeepsOnlyAResetRequestAsALostDevice) {
    FakeDriver drv(2);
    ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
    ASSERT_TRUE(out.CreatePrimaryBuffers());
    for (int32_t v :
         {kAsioEngineVersion, kAsioResetRequest, kAsioResyncRequest, kAsioLatenciesChanged,
          kAsioSupportsTimeInfo, kAsioSupportsTimeCode, kAsioSupportsInputMonitor})
        EXPECT_EQ(drv.Message(kAsioSelectorSupported, v), 1) << v;
    EXPECT_EQ(drv.Message(kAsioEngineVersion, 0), 2);
    EXPECT_EQ(drv.Message(kAsioSelectorSupported, 999), 0);  // and nothing else
    for (int32_t s : {kAsioResyncRequest, kAsioLatenciesChanged}) EXPECT_EQ(drv.Message(s, 0), 1);
    EXPECT_FALSE(ASIOBuffers::DeviceLost());
    EXPECT_EQ(drv.Message(kAsioResetRequest, 0), 0);
    EXPECT_TRUE(ASIOBuffers::DeviceLost());
    {
        ASIOBuffers next(nullptr, nullptr, nullptr, nullptr);  // a new output stage forgets it
        EXPECT_FALSE(ASIOBuffers::DeviceLost());
    }
    EXPECT_EQ(drv.Callbacks()->bufferSwitchTimeInfo, nullptr);
    EXPECT_EQ(drv.stopCalls.load() + drv.disposeCalls.load() + drv.startCalls.load(), 0);
    EXPECT_EQ(drv.createBuffersCalls.load(), 1);
}

// Only the slots up to the pair count are mixed: a third buffer on a
// two-pair card never plays. Destruction stops, disposes and frees; a
// driver still holding the old callbacks reaches no output stage.
TEST_F(OutputStage, SlotsBeyondThePairsAreNeverMixedAndDestructionFreesAll) {
    FakeDriver drv(4);
    {
        ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
        ASSERT_TRUE(out.CreatePrimaryBuffers());
        ASSERT_NE(MakePlaying(out, 0, 100, 100), nullptr);
        ASSERT_NE(MakePlaying(out, 1, 200, 200), nullptr);
        AudioBuffer* third = MakePlaying(out, 0, 300, 300);
        ASSERT_NE(third, nullptr);
        for (const int32_t half : {0, 1, 0}) drv.Switch(half);
        EXPECT_EQ(drv.Sample32(0, 0, 0), 100 * 65536);
        EXPECT_EQ(drv.Sample32(2, 1, 0), 200 * 65536);
        uint32_t position = 1;
        ASSERT_TRUE(third->GetAudioPosition(&position));
        EXPECT_EQ(position, 0u);
    }
    EXPECT_EQ(std::make_pair(drv.stopCalls.load(), drv.disposeCalls.load()), std::make_pair(1, 1));
    EXPECT_EQ(drv.releaseCalls.load(), 0);
    ASIOCallbacks stale{ASIOBuffers::OnBufferSwitch32Bits, nullptr, nullptr, nullptr};
    stale.bufferSwitch(0, ASIOTrue);
}

}  // namespace
