// AudioBuffer: fixed attenuation by shift and by gain on both output widths,
// and fades.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "mixer/AudioBuffer.h"
#include "platform/Event.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kFrames = 441;  // 10 ms a switch
constexpr int16_t kLoud = 30000;

double Scaled(double value, double db) {
    return value * std::pow(10.0, -db / 20.0);
}

// A stereo ring whose memory is refilled with one value before every switch,
// so that each switch shows the level alone.
class LevelRig {
  public:
    explicit LevelRig(bool b16Bits)
        : desc_{kFrames * 4 * 3, kRate, 2, 0}, buffer_(&desc_, kFrames, kRate, b16Bits) {
        void* p = nullptr;
        uint32_t n = 0;
        EXPECT_TRUE(buffer_.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
        memory_ = static_cast<int16_t*>(p);
        samples_ = n / 2;
        buffer_.Play(true);
    }
    AudioBuffer& buffer() { return buffer_; }

    // The first left output sample of one switch, as a 16-bit value for
    // 16-bit output and as the raw 32-bit value otherwise.
    int32_t Switch(int16_t value) {
        std::fill(memory_, memory_ + samples_, value);
        if (buffer_.GetPrimaryBufSizeBytes() == kFrames * 2) {
            std::vector<int16_t> l(kFrames), r(kFrames);
            ProcessAudioBuffer16Bits(&buffer_, l.data(), r.data());
            EXPECT_EQ(l.front(), l.back());
            return l.front();
        }
        std::vector<int32_t> l(kFrames), r(kFrames);
        ProcessAudioBuffer32Bits(&buffer_, l.data(), r.data(), kFrames * 4);
        EXPECT_EQ(l.front(), l.back());
        EXPECT_EQ(l.front(), r.front());
        return l.front();
    }

  private:
    BufferDescription desc_;
    AudioBuffer buffer_;
    int16_t* memory_ = nullptr;
    uint32_t samples_ = 0;
};

// Whole multiples of 6 dB shift (arithmetically: rounding down); anything
// else, and anything beyond 96 dB, multiplies by the gain measured against
// 32767 (20 dB: a hair under 0.1), truncating towards zero. 32-bit output
// is the 16-bit value in the top bits.
TEST(AudioBufferLevelTest, FixedAttenuationOnBothOutputWidths) {
    const struct {
        bool b16;
        uint32_t db;
        int16_t in;
        int32_t out;
    } cases[] = {
        {false, 0, 1000, 1000 << 16},
        {false, 6, 1000, 1000 << 15},
        {false, 96, 1000, 1000},
        {false, 96, -32768, -32768},
        {false, 20, 12345, 1234 << 16},
        {false, 20, 12340, 1233 << 16},
        {false, 20, -12340, -1233 * 65536},
        {false, 0, -32768, INT32_MIN},
        {false, 0, 32767, 2147418112},
        {true, 0, -3, -3},
        {true, 12, -3, -1},
        {true, 12, 3, 0},
        {true, 12, -32768, -8192},
        {true, 20, 12345, 1234},
        {true, 20, -12345, -1234},
    };
    for (const auto& c : cases) {
        LevelRig rig(c.b16);
        rig.buffer().SetAttenuation(c.db);
        EXPECT_EQ(rig.Switch(c.in), c.out) << c.db << " dB on " << c.in << (c.b16 ? " (16)" : "");
    }
    for (bool b16 : {false, true}) {
        LevelRig rig(b16);
        for (uint32_t db : {102u, 0xFFFFFFFAu, 0xFFFFFFFFu}) {
            rig.buffer().SetAttenuation(db);
            EXPECT_EQ(rig.Switch(32767), 0) << db << " dB";
            EXPECT_EQ(rig.Switch(-32768), 0) << db << " dB";
        }
    }
}

TEST(AudioBufferLevelTest, FadeUpAndBackDown) {
    LevelRig rig(false);
    rig.buffer().ProgramFade(30, 100);  // 10 switches
    for (int step = 1; step <= 9; ++step) {
        EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 3.0 * step), 1.0)
            << "switch " << step;
    }
    // The tenth switch reaches 30 dB exactly, by shifting 5 bits.
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 11);
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 11) << "the target holds";

    rig.buffer().ProgramFade(0, 100);
    for (int step = 1; step <= 9; ++step) {
        EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 30.0 - 3.0 * step), 1.0)
            << "switch " << step;
    }
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);
    EXPECT_EQ(rig.buffer().CurrentAttenuation(), 0.0) << "full level, the fade cleared";
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);
}

// A fade towards a level starts from full level, also over a fixed level or
// a running fade; one shorter than a switch lands at once; SetAttenuation
// cancels it.
TEST(AudioBufferLevelTest, AFadeTowardsALevelStartsFromFullLevel) {
    LevelRig rig(false);
    rig.buffer().SetAttenuation(12);
    rig.buffer().ProgramFade(30, 100);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 3.0), 1.0);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 6.0), 1.0);
    rig.buffer().ProgramFade(20, 100);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 2.0), 1.0);
    rig.buffer().ProgramFade(40, 5);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, 300.0, 1.0);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, 300.0, 1.0);
    rig.buffer().SetAttenuation(0);
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);
}

TEST(AudioBufferLevelTest, FadeBackFromARunningFadeContinuesFromItsLevel) {
    LevelRig rig(false);
    rig.buffer().ProgramFade(25, 100);  // 2.5 dB a switch
    for (int i = 0; i < 5; ++i) rig.Switch(kLoud);
    // At 12.5 dB: back down over 12 whole dB in 10 switches, from 12.5.
    rig.buffer().ProgramFade(0, 100);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 11.3), 1.0);
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 10.1), 1.0);
    for (int i = 0; i < 7; ++i) rig.Switch(kLoud);
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);
}

TEST(AudioBufferLevelTest, FadeOn16BitOutputEndsOnTheShift) {
    LevelRig rig(true);
    rig.buffer().ProgramFade(12, 20);  // 2 switches
    EXPECT_NEAR(rig.Switch(kLoud), Scaled(kLoud, 6.0), 1.0);
    EXPECT_EQ(rig.Switch(kLoud), kLoud >> 2);
    EXPECT_EQ(rig.Switch(-kLoud), -kLoud >> 2);
}

// A fade from where the level is, down to silence, that stops the buffer at
// its end and says so through the owner's event; Play starts it afresh.
TEST(AudioBufferLevelTest, FadeToGoesFromTheCurrentLevelAndMayStopAtSilence) {
    LevelRig rig(false);
    rig.buffer().SetAttenuation(20);
    rig.buffer().FadeTo(40, 100, false);  // 2 dB a switch from 20
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, 22.0), 1.0);
    EXPECT_DOUBLE_EQ(rig.buffer().CurrentAttenuation(), 22.0);

    platform::Event event;
    ASSERT_EQ(rig.buffer().SetNotify(&event, 1u << 30, NOTIFY_ONCE), 0);
    rig.buffer().FadeTo(kSilenceDb, 100, true);  // 22 to the floor, then silence
    for (int step = 1; step <= 9; ++step) {
        EXPECT_NEAR(rig.Switch(kLoud) / 65536.0,
                    Scaled(kLoud, 22.0 + (kFadeFloorDb - 22.0) * step / 10), 1.0)
            << "switch " << step;
        EXPECT_TRUE(rig.buffer().IsPlaying());
    }
    EXPECT_FALSE(event.TryWait());
    EXPECT_EQ(rig.Switch(kLoud), 0) << "the tenth switch is silent";
    EXPECT_FALSE(rig.buffer().IsPlaying());
    EXPECT_TRUE(rig.buffer().StoppedByFade());
    EXPECT_TRUE(event.TryWait());

    rig.buffer().FadeTo(0, 20, false);  // back up from the floor in two switches
    rig.buffer().Play(true);
    EXPECT_FALSE(rig.buffer().StoppedByFade());
    EXPECT_NEAR(rig.Switch(kLoud) / 65536.0, Scaled(kLoud, kFadeFloorDb / 2.0), 1.0);
    EXPECT_EQ(rig.Switch(kLoud), kLoud << 16);

    // Already below the floor, a fade to silence never rises to it.
    rig.buffer().SetAttenuation(90);
    rig.buffer().FadeTo(kSilenceDb, 20, false);
    EXPECT_DOUBLE_EQ(rig.buffer().CurrentAttenuation(), 90.0);
    EXPECT_LE(std::abs(rig.Switch(kLoud)), std::abs(static_cast<int32_t>(Scaled(kLoud, 90.0)))
                                               << 16);
    EXPECT_EQ(rig.Switch(kLoud), 0);
}

}  // namespace
