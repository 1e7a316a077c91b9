// AudioBuffer: construction, positions, Lock, play state, notifications and
// bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "mixer/AudioBuffer.h"
#include "platform/Event.h"

namespace {

constexpr uint32_t kRate = 44100;

struct Outputs32 {
    std::vector<int32_t> left, right;
    explicit Outputs32(uint32_t frames) : left(frames, 77), right(frames, 77) {}
    void Switch(AudioBuffer& b) {
        ProcessAudioBuffer32Bits(&b, left.data(), right.data(),
                                 static_cast<int32_t>(left.size() * 4));
    }
};

uint32_t Position(AudioBuffer& b) {
    uint32_t pos = 0xFFFFFFFF;
    EXPECT_TRUE(b.GetAudioPosition(&pos));
    return pos;
}

int16_t* Memory(AudioBuffer& b, uint32_t* bytes = nullptr) {
    void* p = nullptr;
    uint32_t n = 0;
    EXPECT_TRUE(b.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
    if (bytes != nullptr) {
        *bytes = n;
    }
    return static_cast<int16_t*>(p);
}

TEST(AudioBufferTest, ConstructionSizesAndOwner) {
    BufferDescription desc{1001, kRate, 2, 7};
    AudioBuffer b32(&desc, 64, kRate, false);
    ASSERT_TRUE(b32.InitSuccess());
    EXPECT_EQ(b32.GetOwner(), 7);
    EXPECT_FALSE(b32.IsPlaying());
    EXPECT_EQ(b32.GetPrimaryBufferSampleSize(), 64u);
    EXPECT_EQ(b32.GetPrimaryBufSizeBytes(), 256u);
    uint32_t size = 0;
    Memory(b32, &size);
    EXPECT_EQ(size, 1000u) << "an odd byte count loses its last byte";
    EXPECT_EQ(Position(b32), 0u);

    AudioBuffer b16(&desc, 64, kRate, true);
    EXPECT_EQ(b16.GetPrimaryBufSizeBytes(), 128u);
}

TEST(AudioBufferTest, NewMemoryIsSilent) {
    BufferDescription desc{64, kRate, 1, 0};
    AudioBuffer b(&desc, 8, kRate, false);
    b.Play(true);
    Outputs32 out(8);
    out.Switch(b);
    EXPECT_EQ(out.left, std::vector<int32_t>(8, 0));
}

TEST(AudioBufferTest, LoResFromHalfTheDeviceRateOrLess) {
    // Consumption per switch tells the rate class: 8 mono frames take 16
    // bytes at the device rate and 8 in lo-res.
    struct Case {
        uint32_t rate;
        uint32_t deviceRate;
        uint32_t consumed;
    };
    for (const Case& c : {Case{22050, 44100, 8}, Case{22051, 44100, 16}, Case{32000, 44100, 16},
                          Case{24000, 48001, 8}}) {
        BufferDescription desc{256, c.rate, 1, 0};
        AudioBuffer b(&desc, 8, c.deviceRate, false);
        b.Play(true);
        Outputs32 out(8);
        out.Switch(b);
        EXPECT_EQ(Position(b), c.consumed) << c.rate << " on " << c.deviceRate;
    }
}

TEST(AudioBufferTest, ZeroOrTinyDescriptionsAreRefusedSafely) {
    for (uint32_t bytes : {0u, 1u}) {
        BufferDescription desc{bytes, kRate, 2, 0};
        AudioBuffer b(&desc, 16, kRate, false);
        EXPECT_FALSE(b.InitSuccess());
        void* p = &desc;
        uint32_t n = 5;
        EXPECT_FALSE(b.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER));
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(b.SetAudioPosition(0));
        b.Play(true);
        Outputs32 out(16);
        out.Switch(b);
        EXPECT_EQ(out.left, std::vector<int32_t>(16, 0));
        std::vector<int16_t> l(16, 5), r(16, 5);
        ProcessAudioBuffer16Bits(&b, l.data(), r.data());
        EXPECT_EQ(l, std::vector<int16_t>(16, 0));
    }
    AudioBuffer none(nullptr, 16, kRate, false);
    EXPECT_FALSE(none.InitSuccess());
}

TEST(AudioBufferTest, StereoRingSmallerThanAFrameOrASwitch) {
    // Two bytes of stereo memory hold no whole frame: silence, no reads.
    BufferDescription half{2, kRate, 2, 0};
    AudioBuffer tiny(&half, 8, kRate, false);
    ASSERT_TRUE(tiny.InitSuccess());
    tiny.Play(true);
    Outputs32 out(8);
    out.Switch(tiny);
    EXPECT_EQ(out.left, std::vector<int32_t>(8, 0));

    // One frame of memory played as a ring repeats that frame.
    BufferDescription one{4, kRate, 2, 0};
    AudioBuffer ring(&one, 8, kRate, false);
    int16_t* m = Memory(ring);
    m[0] = 3;
    m[1] = -4;
    ring.Play(true);
    out.Switch(ring);
    EXPECT_EQ(out.left, std::vector<int32_t>(8, 3 << 16));
    EXPECT_EQ(out.right, std::vector<int32_t>(8, -4 * 65536));
    EXPECT_EQ(Position(ring), 0u);

    // A once buffer with a trailing half frame plays the whole frame, then
    // silence, and ends at the end of the memory.
    BufferDescription oneAndHalf{6, kRate, 2, 0};
    AudioBuffer once(&oneAndHalf, 8, kRate, false);
    m = Memory(once);
    m[0] = 5;
    m[1] = 6;
    m[2] = 7;
    once.Play(false);
    out.Switch(once);
    EXPECT_EQ(out.left, std::vector<int32_t>({5 << 16, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(out.right, std::vector<int32_t>({6 << 16, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Position(once), 6u);
}

TEST(AudioBufferTest, ShortOrNullOutputsAreNotOverrun) {
    BufferDescription desc{256, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    b.Play(true);
    std::vector<int32_t> l(8, 9), r(8, 9);
    ProcessAudioBuffer32Bits(&b, l.data(), r.data(), 8 * 4);
    EXPECT_EQ(l, std::vector<int32_t>(8, 0));
    EXPECT_EQ(Position(b), 0u) << "a refused switch consumes nothing";
    ProcessAudioBuffer32Bits(&b, l.data(), r.data(), -4);
    ProcessAudioBuffer32Bits(&b, nullptr, r.data(), 64);
    ProcessAudioBuffer32Bits(nullptr, l.data(), r.data(), 64);
    ProcessAudioBuffer16Bits(&b, nullptr, nullptr);
    EXPECT_EQ(Position(b), 0u);
}

TEST(AudioBufferTest, Positions) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    EXPECT_TRUE(b.SetAudioPosition(101));
    EXPECT_EQ(Position(b), 100u);
    EXPECT_FALSE(b.SetAudioPosition(400));
    EXPECT_FALSE(b.SetAudioPosition(401));
    EXPECT_FALSE(b.SetAudioPosition(0xFFFFFFFF));
    EXPECT_EQ(Position(b), 100u) << "a refused position leaves the cursor";
    EXPECT_TRUE(b.SetAudioPosition(398));
    EXPECT_TRUE(b.SetAudioPosition(0));
    EXPECT_EQ(Position(b), 0u);
    EXPECT_FALSE(b.GetAudioPosition(nullptr));
}

TEST(AudioBufferTest, LockEntireBufferIgnoresArgumentsAndRewinds) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    ASSERT_TRUE(b.SetAudioPosition(200));
    void* p = nullptr;
    void* q = &desc;
    uint32_t n = 0, m = 9;
    ASSERT_TRUE(b.Lock(123, 7, &p, &n, &q, &m, LOCK_ENTIRE_BUFFER));
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(n, 400u);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(m, 0u);
    EXPECT_EQ(Position(b), 0u);
}

TEST(AudioBufferTest, LockAtOffsetAroundTheCursor) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    int16_t* start = Memory(b);
    ASSERT_TRUE(b.SetAudioPosition(100));
    void* p = nullptr;
    void* q = nullptr;
    uint32_t n = 0, m = 0;

    // Beginning exactly at the cursor is allowed.
    ASSERT_TRUE(b.Lock(100, 50, &p, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_EQ(p, start + 50);
    EXPECT_EQ(n, 50u);
    EXPECT_EQ(q, nullptr);
    // Two bytes before the cursor with more than two bytes covers it.
    EXPECT_FALSE(b.Lock(98, 4, &p, &n, &q, &m, LOCK_AT_OFFSET));
    // Two bytes that end at the cursor do not.
    EXPECT_TRUE(b.Lock(98, 2, &p, &n, &q, &m, LOCK_AT_OFFSET));
    // An odd offset is rounded down.
    ASSERT_TRUE(b.Lock(201, 10, &p, &n, nullptr, nullptr, LOCK_AT_OFFSET));
    EXPECT_EQ(p, start + 100);
}

TEST(AudioBufferTest, LockAtOffsetWrapsUpToTheCursor) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    int16_t* start = Memory(b);
    ASSERT_TRUE(b.SetAudioPosition(100));
    void* p = nullptr;
    void* q = nullptr;
    uint32_t n = 0, m = 0;

    ASSERT_TRUE(b.Lock(300, 200, &p, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_EQ(p, start + 150);
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(q, start);
    EXPECT_EQ(m, 100u);

    // The wrapped part would pass the cursor.
    EXPECT_FALSE(b.Lock(300, 204, &p, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_EQ(p, start + 150) << "the first region is handed out even on refusal";
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(q, nullptr);
    // A wrapped part with nowhere to go.
    EXPECT_FALSE(b.Lock(300, 150, &p, &n, nullptr, nullptr, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(300, 150, &p, &n, &q, nullptr, LOCK_AT_OFFSET));
}

TEST(AudioBufferTest, LockRefusesBadArguments) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    void* p = nullptr;
    void* q = nullptr;
    uint32_t n = 0, m = 0;
    EXPECT_FALSE(b.Lock(0, 10, nullptr, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(0, 10, &p, nullptr, &q, &m, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(400, 10, &p, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(0xFFFFFFFE, 10, &p, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(0, 10, &p, &n, &q, &m, 3));
    // A length beyond the whole buffer cannot be handed out.
    EXPECT_FALSE(b.Lock(2, 0xFFFFFFFF, &p, &n, &q, &m, LOCK_AT_OFFSET));

    // A finished one-shot buffer has its cursor at the very end: a region
    // from the cursor wraps, and an odd length one past the memory is refused.
    b.Play(false);
    Outputs32 out(16);
    for (int i = 0; i < 7; ++i) {
        out.Switch(b);
    }
    ASSERT_EQ(Position(b), 400u);
    EXPECT_FALSE(b.Lock(0, 401, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    ASSERT_TRUE(b.Lock(0, 400, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(m, 400u);
}

TEST(AudioBufferTest, LockFromPlayCursor) {
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    int16_t* start = Memory(b);
    ASSERT_TRUE(b.SetAudioPosition(300));
    void* p = nullptr;
    void* q = nullptr;
    uint32_t n = 0, m = 0;
    ASSERT_TRUE(b.Lock(0, 40, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    EXPECT_EQ(p, start + 150);
    EXPECT_EQ(n, 40u);
    ASSERT_TRUE(b.Lock(0, 400, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(q, start);
    EXPECT_EQ(m, 300u);
    EXPECT_FALSE(b.Lock(0, 402, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
}

class AudioBufferNotifyTest : public testing::Test {
  protected:
    // 16 stereo frames a switch: 64 bytes; 8 switches of memory.
    BufferDescription desc{512, kRate, 2, 0};
    AudioBuffer buffer{&desc, 16, kRate, false};
    platform::Event event;
    Outputs32 out{16};

    // Runs `switches` switches and returns after which ones the event fired.
    std::vector<int> Fired(int switches) {
        std::vector<int> fired;
        for (int i = 1; i <= switches; ++i) {
            out.Switch(buffer);
            if (event.TryWait()) {
                fired.push_back(i);
            }
        }
        return fired;
    }
};

TEST_F(AudioBufferNotifyTest, OnceFiresAfterTheDistanceThenDisarms) {
    ASSERT_TRUE(event.IsValid());
    EXPECT_EQ(buffer.SetNotify(&event, 150, NOTIFY_ONCE), 0);
    buffer.Play(true);
    EXPECT_EQ(Fired(8), std::vector<int>({3}));
}

TEST_F(AudioBufferNotifyTest, PeriodicCarriesTheExcess) {
    // 96 bytes a period, 64 a switch: signals after 2, 3, 5, 6, 8 switches.
    EXPECT_EQ(buffer.SetNotify(&event, 96, NOTIFY_PERIODIC), 0);
    buffer.Play(true);
    EXPECT_EQ(Fired(8), std::vector<int>({2, 3, 5, 6, 8}));
}

TEST_F(AudioBufferNotifyTest, PeriodicBelowOneSwitchFiresEverySwitch) {
    EXPECT_EQ(buffer.SetNotify(&event, 48, NOTIFY_PERIODIC), 0);
    buffer.Play(true);
    EXPECT_EQ(Fired(6), std::vector<int>({1, 2, 3, 4, 5, 6}));
}

TEST(AudioBufferTest, PeriodicBelowOneSwitchLosesNoSignalAcrossFourGigabytes) {
    // 2 MiB a switch against a 1 MiB distance: a count that kept every excess
    // would reach 2^32 at switch 4095, wrap below the distance and stay silent.
    // A distance of 0 signals every switch too.
    for (const uint32_t distance : {1u << 20, 0u}) {
        BufferDescription desc{64, kRate, 2, 0};
        AudioBuffer b(&desc, 1u << 19, kRate, false);
        platform::Event event;
        ASSERT_EQ(b.SetNotify(&event, distance, NOTIFY_PERIODIC), 0);
        int fired = 0;
        for (int i = 0; i < 4100; ++i) {
            b.CheckNotify();
            fired += event.TryWait() ? 1 : 0;
        }
        EXPECT_EQ(fired, 4100) << distance;
    }
}

TEST_F(AudioBufferNotifyTest, AtEndFiresInTheSwitchThatReachesTheEnd) {
    ASSERT_TRUE(buffer.SetAudioPosition(512 - 64));
    EXPECT_EQ(buffer.SetNotify(&event, 0, NOTIFY_AT_END), 0);
    buffer.Play(false);
    EXPECT_EQ(Fired(3), std::vector<int>({1}));
    EXPECT_EQ(out.left, std::vector<int32_t>(16, 0)) << "a finished buffer plays silence";
    EXPECT_TRUE(buffer.IsPlaying());

    // A ring never rests at the end, so it never signals.
    ASSERT_TRUE(buffer.SetAudioPosition(0));
    EXPECT_EQ(buffer.SetNotify(&event, 0, NOTIFY_AT_END), 0);
    buffer.Play(true);
    EXPECT_TRUE(Fired(12).empty());
}

TEST_F(AudioBufferNotifyTest, FinishedOneShotKeepsCounting) {
    ASSERT_TRUE(buffer.SetAudioPosition(512 - 64));
    buffer.Play(false);
    Fired(1);
    ASSERT_EQ(Position(buffer), 512u);
    EXPECT_EQ(buffer.SetNotify(&event, 128, NOTIFY_ONCE), 0);
    EXPECT_EQ(Fired(3), std::vector<int>({2}));
    EXPECT_EQ(Position(buffer), 512u);
}

TEST_F(AudioBufferNotifyTest, BadArgumentsLeaveTheEarlierNotification) {
    EXPECT_EQ(buffer.SetNotify(&event, 64, NOTIFY_ONCE), 0);
    EXPECT_EQ(buffer.SetNotify(nullptr, 64, NOTIFY_PERIODIC), -1);
    EXPECT_EQ(buffer.SetNotify(&event, 64, NOTIFY_NONE), -2);
    EXPECT_EQ(buffer.SetNotify(&event, 64, 4), -2);
    buffer.Play(true);
    EXPECT_EQ(Fired(3), std::vector<int>({1}));

    EXPECT_EQ(buffer.SetNotify(&event, 64, NOTIFY_PERIODIC), 0);
    buffer.CancelNotify();
    EXPECT_TRUE(Fired(2).empty());
}

// The owner's operations and the buffer switch share the play state, the
// level and the notification under the buffer's lock; IsPlaying is read
// without it. Run under the thread sanitizer this finds an unguarded member.
TEST(AudioBufferTest, OwnerAndSwitchThreadsShareStateSafely) {
    BufferDescription desc{4096, kRate, 2, 0};
    AudioBuffer b(&desc, 64, kRate, false);
    platform::Event event;
    std::atomic<bool> done{false};
    std::thread driver([&] {
        std::vector<int32_t> l(64), r(64);
        while (!done.load()) {
            if (b.IsPlaying()) {
                ProcessAudioBuffer32Bits(&b, l.data(), r.data(), 64 * 4);
            }
        }
    });
    for (uint32_t i = 0; i < 2000; ++i) {
        b.Play(i % 3 != 0);
        EXPECT_EQ(b.SetNotify(&event, 256, NOTIFY_PERIODIC), 0);
        b.SetAttenuation(i % 13);
        b.ProgramFade(i % 40, 30);
        (void)b.SetAudioPosition((i * 52) % 4096);
        void* p = nullptr;
        uint32_t n = 0;
        (void)b.Lock(0, 0, &p, &n, nullptr, nullptr, LOCK_ENTIRE_BUFFER);
        uint32_t pos = 0;
        EXPECT_TRUE(b.GetAudioPosition(&pos));
        EXPECT_LT(pos, 4096u + 1);
        b.CancelNotify();
        if (i % 7 == 0) {
            b.Stop();
        }
    }
    done.store(true);
    driver.join();
}

}  // namespace
