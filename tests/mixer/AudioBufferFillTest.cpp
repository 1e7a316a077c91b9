// The fills against a slow reference that states the conversion rules frame
// by frame, across memory width, output width, channels, play mode, rate,
// frame count, cursor position and level; then the gain's exact values and
// the fades.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "tests/mixer/MixerFixture.h"

namespace {

constexpr uint32_t kDeviceRate = 44100;

enum class Cursor { Start, Middle, ExactEnd, Straddle };

struct FillCase {
    bool wide, out16, stereo, looping, loRes;  // wide: 32-bit memory
    uint32_t frames;
    Cursor cursor;
    uint32_t attenuationDb;
};

// The model: the memory as samples, a cursor in samples, and one switch.
struct Reference {
    std::vector<int32_t> memory;
    size_t cursor = 0;
    FillCase c{};

    void Switch(std::vector<int64_t>& left, std::vector<int64_t>& right) {
        const size_t spf = c.stereo ? 2 : 1;
        const size_t end = memory.size();
        left.assign(c.frames, 0);
        right.assign(c.frames, 0);
        size_t pos = cursor;
        size_t lastFrame = SIZE_MAX;
        for (uint32_t o = 0; o < c.frames; ++o) {
            const uint32_t k = c.loRes ? o / 2 : o;
            if (k != lastFrame) {
                if (lastFrame != SIZE_MAX) pos += spf;
                lastFrame = k;
                if (c.looping && pos + spf > end) pos = 0;
            }
            if (pos + spf > end) continue;  // a once buffer that ran out: silence
            left[o] = Levelled(memory[pos], c.wide, c.attenuationDb);
            right[o] = Levelled(memory[pos + spf - 1], c.wide, c.attenuationDb);
        }
        if (c.frames != 0) pos = pos + spf <= end ? pos + spf : end;
        if (c.looping && pos >= end) pos = 0;
        cursor = pos;
    }
};

std::vector<int32_t> MakeSamples(size_t count, bool wide) {
    std::vector<int32_t> samples(count);
    uint32_t seed = 12345;
    for (auto& s : samples) {
        seed = seed * 1103515245u + 12345u;
        s = wide ? static_cast<int32_t>(seed ^ (seed << 7)) : static_cast<int16_t>(seed >> 16);
    }
    samples[0] = wide ? INT32_MIN : -32768;
    samples[1] = wide ? INT32_MAX : 32767;
    samples[2] = -1;
    return samples;
}

// Two switches of one case; the outputs are never written past, and the
// level never changes the memory.
void RunCase(const FillCase& c) {
    SCOPED_TRACE(testing::Message()
                 << (c.wide ? "32" : "16") << "-bit memory, " << (c.out16 ? 16 : 32)
                 << "-bit output, " << (c.stereo ? "stereo " : "mono ")
                 << (c.looping ? "ring " : "once ") << (c.loRes ? "lo-res, " : "") << c.frames
                 << " frames, cursor " << static_cast<int>(c.cursor) << ", " << c.attenuationDb
                 << " dB");
    const uint32_t spf = c.stereo ? 2 : 1;
    const uint32_t bytesPerSample = c.wide ? 4 : 2;
    const uint32_t sourceFrames = c.loRes ? (c.frames + 1) / 2 : c.frames;
    // An odd number of frames, two switches and a bit: not a multiple of anything.
    const uint32_t bufferFrames = 2 * sourceFrames + 3;

    BufferDescription desc{bufferFrames * spf * bytesPerSample,
                           c.loRes ? kDeviceRate / 2 : kDeviceRate, c.stereo ? 2 : 1, 3};
    AudioBuffer buffer(&desc, c.frames, kDeviceRate, c.out16, c.wide ? 32 : 16);
    ASSERT_TRUE(buffer.InitSuccess());

    Reference ref;
    ref.c = c;
    ref.memory = MakeSamples(bufferFrames * spf, c.wide);
    uint32_t n = 0;
    uint8_t* bytes = Memory(buffer, &n);
    ASSERT_EQ(n, desc.dwBufferBytes);
    for (size_t i = 0; i < ref.memory.size(); ++i) {
        const auto narrow = static_cast<int16_t>(ref.memory[i]);
        std::memcpy(bytes + bytesPerSample * i,
                    c.wide ? static_cast<const void*>(&ref.memory[i]) : &narrow, bytesPerSample);
    }
    const std::vector<uint8_t> written(bytes, bytes + n);

    const uint32_t starts[] = {0, bufferFrames / 2, bufferFrames - sourceFrames,
                               bufferFrames - sourceFrames + 2};
    const uint32_t startFrame = starts[static_cast<int>(c.cursor)];
    ASSERT_TRUE(buffer.SetAudioPosition(startFrame * spf * bytesPerSample));
    ref.cursor = startFrame * spf;
    buffer.SetAttenuation(c.attenuationDb);
    buffer.Play(c.looping);

    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE("switch " + std::to_string(k));
        std::vector<int64_t> want[2];
        ref.Switch(want[0], want[1]);
        const Switched sw = SwitchOnce(buffer);
        ASSERT_FALSE(testing::Test::HasFailure());
        const std::vector<int64_t>* got[2] = {&sw.left, &sw.right};
        for (int side = 0; side < 2; ++side) {
            for (uint32_t i = 0; i < c.frames; ++i) {
                SCOPED_TRACE(testing::Message() << "side " << side << " frame " << i);
                if (c.wide && c.out16) {
                    // Dithered: within one step of the exact value.
                    ASSERT_LE(std::abs((*got[side])[i] - want[side][i] / 65536.0), 1.5);
                } else {
                    ASSERT_EQ((*got[side])[i], c.out16 ? want[side][i] >> 16 : want[side][i]);
                }
            }
        }
        ASSERT_EQ(Position(buffer), ref.cursor * bytesPerSample);
        ASSERT_EQ(std::vector<uint8_t>(bytes, bytes + n), written) << "the memory changed";
    }
}

// Levels: full, shifts, the deepest shift (96), gains below and past it,
// and one that is a multiple of 6 only as a signed number.
TEST(AudioBufferFill, EveryRoutineMatchesTheReferenceAndLeavesTheMemory) {
    for (bool wide : {false, true})
        for (bool out16 : {false, true})
            for (bool stereo : {false, true})
                for (bool looping : {false, true})
                    for (bool loRes : {false, true})
                        for (uint32_t frames : {7u, 8u})
                            for (Cursor cursor : {Cursor::Start, Cursor::Middle, Cursor::ExactEnd,
                                                  Cursor::Straddle})
                                for (uint32_t db : {0u, 1u, 12u, 96u, 7u, 20u, 102u, 0xFFFFFFFAu}) {
                                    RunCase(
                                        {wide, out16, stereo, looping, loRes, frames, cursor, db});
                                    if (HasFatalFailure()) return;
                                }
}

constexpr uint32_t kFrames = 441;  // 10 ms a switch
constexpr int16_t kLoud = 30000;

// A stereo ring whose memory is refilled with one value before every switch,
// so that each switch shows the level alone.
class LevelRig {
  public:
    explicit LevelRig(bool b16Bits)
        : desc_{kFrames * 4 * 3, kDeviceRate, 2, 0},
          buffer_(&desc_, kFrames, kDeviceRate, b16Bits),
          b16_(b16Bits) {
        memory_ = reinterpret_cast<int16_t*>(Memory(buffer_));
        buffer_.Play(true);
    }
    AudioBuffer* operator->() { return &buffer_; }

    // The first left output sample of one switch, as a 32-bit value (16-bit
    // output in the top half).
    int64_t Switch(int16_t value = kLoud) {
        std::fill(memory_, memory_ + desc_.dwBufferBytes / 2, value);
        const Switched sw = SwitchOnce(buffer_);
        EXPECT_EQ(sw.left.front(), sw.left.back());
        EXPECT_EQ(sw.left.front(), sw.right.front());
        return sw.left.front() * (b16_ ? 65536 : 1);
    }

    // One switch within one 16-bit step of a running fade's level.
    void ExpectFading(double db) {
        EXPECT_NEAR(Switch() / 65536.0, Levelled(kLoud, false, db, true) / 65536.0, 1.0)
            << db << " dB";
    }
    // A whole fade in `switches` switches: exactly at the level it lands on,
    // which holds.
    void ExpectFade(double from, double to, int switches) {
        for (int step = 1; step < switches; ++step)
            ExpectFading(from + (to - from) * step / switches);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(Switch(), ExactOutput(to)) << "landed at " << to;
    }
    int64_t ExactOutput(double db) const {
        const int64_t v = Levelled(kLoud, false, db);
        return b16_ ? v >> 16 << 16 : v;
    }

  private:
    BufferDescription desc_;
    AudioBuffer buffer_;
    bool b16_;
    int16_t* memory_ = nullptr;
};

// The gain is measured against 32767: at 20 dB a hair under 0.1, so 12340
// truncates to 1233 on either output width.
TEST(AudioBufferLevel, TheGainIsMeasuredAgainst32767) {
    for (bool b16 : {false, true}) {
        LevelRig rig(b16);
        rig->SetAttenuation(20);
        EXPECT_EQ(rig.Switch(12345), 1234 * 65536) << b16;
        EXPECT_EQ(rig.Switch(12340), 1233 * 65536) << b16;
        EXPECT_EQ(rig.Switch(-12340), -1233 * 65536) << b16;
    }
}

// A fade from where the level is, down to silence, that stops the buffer at
// its end and says so through the owner's event; Play starts it afresh.
TEST(AudioBufferLevel, FadeToGoesFromTheCurrentLevelAndMayStopAtSilence) {
    LevelRig rig(false);
    rig->SetAttenuation(20);
    rig->FadeTo(40, 100, false);  // 2 dB a switch from 20
    rig.ExpectFading(22);

    platform::Event event;
    ASSERT_EQ(rig->SetNotify(&event, 1u << 30, NOTIFY_ONCE), 0);
    rig->FadeTo(kSilenceDb, 100, true);  // 22 to the floor, then silence
    for (int step = 1; step <= 9; ++step) {
        rig.ExpectFading(22.0 + (kFadeFloorDb - 22.0) * step / 10);
        EXPECT_TRUE(rig->IsPlaying());
    }
    EXPECT_FALSE(event.TryWait());
    EXPECT_EQ(rig.Switch(), 0) << "the tenth switch is silent";
    EXPECT_FALSE(rig->IsPlaying());
    EXPECT_TRUE(rig->StoppedByFade());
    EXPECT_TRUE(event.TryWait());

    rig->FadeTo(0, 20, false);  // back up from the floor in two switches
    rig->Play(true);
    EXPECT_FALSE(rig->StoppedByFade());
    rig.ExpectFade(kFadeFloorDb, 0, 2);
    rig->ProgramFade(20, 30);  // down from full level, again while fading, and back up
    rig->ProgramFade(30, 30);
    rig.ExpectFade(0, 30, 3);
    rig->ProgramFade(0, 30);
    rig.ExpectFade(30, 0, 3);

    // Already below the floor, a fade to silence never rises to it.
    rig->SetAttenuation(90);
    rig->FadeTo(kSilenceDb, 20, false);
    EXPECT_DOUBLE_EQ(rig->CurrentAttenuation(), 90.0);
    EXPECT_LE(std::abs(rig.Switch()), std::abs(Levelled(kLoud, false, 90, true)));
    EXPECT_EQ(rig.Switch(), 0);
}

}  // namespace
