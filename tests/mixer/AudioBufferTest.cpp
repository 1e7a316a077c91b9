// AudioBuffer: construction, positions, Lock, play state, notifications and
// bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "tests/mixer/MixerFixture.h"

namespace {

constexpr uint32_t kRate = 44100;

TEST(AudioBufferTest, LoResFromHalfTheDeviceRateOrLess) {
    // Consumption per switch tells the rate class: 8 mono frames take 16
    // bytes at the device rate and 8 in lo-res.
    struct Case {
        uint32_t rate, deviceRate, consumed;
    };
    for (const Case& c : {Case{22050, 44100, 8}, Case{22051, 44100, 16}, Case{24000, 48001, 8}}) {
        BufferDescription desc{256, c.rate, 1, 0};
        AudioBuffer b(&desc, 8, c.deviceRate, false);
        b.Play(true);
        SwitchOnce(b);
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
        EXPECT_TRUE(p == nullptr && n == 0u) << n;
        EXPECT_FALSE(b.SetAudioPosition(0));
        b.Play(true);
        EXPECT_EQ(SwitchOnce(b).left, std::vector<int64_t>(16, 0));
        std::vector<int16_t> l(16, 5), r(16, 5);
        ProcessAudioBuffer16Bits(&b, l.data(), r.data());
        EXPECT_EQ(l, std::vector<int16_t>(16, 0));
    }
    AudioBuffer none(nullptr, 16, kRate, false);
    EXPECT_FALSE(none.InitSuccess());
}

// Two bytes of stereo memory hold no whole frame: silence, no reads. One
// frame played as a ring repeats it. A once buffer with a trailing half
// frame plays the whole frame, then silence, and ends at the end of the memory.
TEST(AudioBufferTest, StereoMemorySmallerThanAFrameOrASwitch) {
    const struct {
        uint32_t bytes;
        bool ring;
        int32_t left0, left1, right0;
        uint32_t position;
    } cases[] = {{2, true, 0, 0, 0, 0},
                 {4, true, 3 << 16, 3 << 16, -4 * 65536, 0},
                 {6, false, 3 << 16, 0, -4 * 65536, 6}};
    for (const auto& c : cases) {
        BufferDescription desc{c.bytes, kRate, 2, 0};
        AudioBuffer b(&desc, 8, kRate, false);
        ASSERT_TRUE(b.InitSuccess());
        const int16_t values[] = {3, -4, 7};
        std::memcpy(Memory(b), values, c.bytes);
        b.Play(c.ring);
        const Switched out = SwitchOnce(b);
        EXPECT_EQ(out.left[0], c.left0) << c.bytes;
        EXPECT_EQ(out.left[7], c.left1) << c.bytes;
        EXPECT_EQ(out.right[0], c.right0) << c.bytes;
        EXPECT_EQ(Position(b), c.position) << c.bytes;
    }
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

// Lock on a 400-byte stereo buffer with its cursor at `cursor`: the regions
// handed out, as byte offsets into the memory (-1: none), never cover the
// cursor. kAny: not looked at.
TEST(AudioBufferTest, LockHandsOutRegionsUpToTheCursor) {
    constexpr int64_t kAny = -2;
    const struct {
        uint32_t cursor, offset, bytes, flags;
        bool ok;
        int64_t first;
        uint32_t firstBytes;
        int64_t second;
        uint32_t secondBytes;
    } cases[] = {
        // The whole buffer, whatever the arguments; the cursor goes back to 0.
        {200, 123, 7, LOCK_ENTIRE_BUFFER, true, 0, 400, -1, 0},
        {100, 100, 50, LOCK_AT_OFFSET, true, 100, 50, -1, 0},     // from the cursor on
        {100, 98, 4, LOCK_AT_OFFSET, false, kAny, 0, kAny, 0},    // over the cursor
        {100, 91, 10, LOCK_AT_OFFSET, true, 90, 10, -1, 0},       // rounded down, up to the cursor
        {100, 300, 200, LOCK_AT_OFFSET, true, 300, 100, 0, 100},  // wrapped up to the cursor
        // Wrapped past the cursor: refused, the first region handed out all the same.
        {100, 300, 204, LOCK_AT_OFFSET, false, 300, 100, -1, 0},
        {300, 0, 400, LOCK_FROM_PLAY_CURSOR, true, 300, 100, 0, 300},
        {300, 0, 402, LOCK_FROM_PLAY_CURSOR, false, kAny, 0, kAny, 0},
        {0, 400, 10, LOCK_AT_OFFSET, false, kAny, 0, kAny, 0},
        {0, 0, 10, 3, false, kAny, 0, kAny, 0},
        {0, 2, 0xFFFFFFFF, LOCK_AT_OFFSET, false, kAny, 0, kAny, 0},  // more than the buffer
    };
    BufferDescription desc{400, kRate, 2, 0};
    AudioBuffer b(&desc, 16, kRate, false);
    uint8_t* start = Memory(b);
    auto at = [&](void* region) { return region ? static_cast<uint8_t*>(region) - start : -1; };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cursor << " " << c.offset << " " << c.bytes);
        ASSERT_TRUE(b.SetAudioPosition(c.cursor));
        void *p = &desc, *q = &desc;
        uint32_t n = 9, m = 9;
        EXPECT_EQ(b.Lock(c.offset, c.bytes, &p, &n, &q, &m, c.flags), c.ok);
        EXPECT_TRUE(c.first == kAny || (at(p) == c.first && n == c.firstBytes))
            << at(p) << " " << n;
        EXPECT_TRUE(c.second == kAny || (at(q) == c.second && m == c.secondBytes))
            << at(q) << " " << m;
        EXPECT_EQ(Position(b), c.flags == LOCK_ENTIRE_BUFFER ? 0 : c.cursor);
    }
    void *p = nullptr, *q = nullptr;
    uint32_t n = 0, m = 0;
    EXPECT_FALSE(b.Lock(0, 10, nullptr, &n, &q, &m, LOCK_AT_OFFSET));
    EXPECT_FALSE(b.Lock(0, 10, &p, nullptr, &q, &m, LOCK_AT_OFFSET));
    // A wrapped part with nowhere to go.
    ASSERT_TRUE(b.SetAudioPosition(100));
    EXPECT_FALSE(b.Lock(300, 150, &p, &n, &q, nullptr, LOCK_AT_OFFSET));

    // A finished one-shot buffer has its cursor at the very end: a region
    // from the cursor wraps, and an odd length one past the memory is refused.
    ASSERT_TRUE(b.SetAudioPosition(0));
    b.Play(false);
    for (int i = 0; i < 7; ++i) SwitchOnce(b);
    ASSERT_EQ(Position(b), 400u);
    EXPECT_FALSE(b.Lock(0, 401, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    ASSERT_TRUE(b.Lock(0, 400, &p, &n, &q, &m, LOCK_FROM_PLAY_CURSOR));
    EXPECT_EQ(std::make_pair(n, m), std::make_pair(0u, 400u));
}

TEST(AudioBufferTest, PeriodicBelowOneSwitchLosesNoSignalAcrossFourGigabytes) {
    // 2 MiB a switch against a 1 MiB distance: a count that kept every excess
    // would reach 2^32 at switch 4095, wrap below the distance and stay silent.
    // A distance of 0 signals every switch too; 1.5 switches, two in three.
    for (const uint32_t distance : {1u << 20, 0u, 3u << 20}) {
        BufferDescription desc{64, kRate, 2, 0};
        AudioBuffer b(&desc, 1u << 19, kRate, false);
        platform::Event event;
        ASSERT_EQ(b.SetNotify(&event, distance, NOTIFY_PERIODIC), 0);
        int fired = 0;
        for (int i = 0; i < 4100; ++i) {
            b.CheckNotify();
            fired += event.TryWait() ? 1 : 0;
        }
        EXPECT_EQ(fired, distance == (3u << 20) ? 2733 : 4100) << distance;
    }
}

// A finished once buffer plays silence and keeps counting switches; a ring
// never rests at the end, so it never signals it.
TEST(AudioBufferTest, AtEndFiresInTheSwitchThatReachesTheEnd) {
    // 16 stereo frames a switch: 64 bytes; 8 switches of memory.
    BufferDescription desc{512, kRate, 2, 0};
    AudioBuffer buffer(&desc, 16, kRate, false);
    platform::Event event;
    std::vector<int64_t> left;
    // After which of `switches` switches the event fired.
    auto Fired = [&](int switches) {
        std::vector<int> fired;
        for (int i = 1; i <= switches; ++i) {
            left = SwitchOnce(buffer).left;
            if (event.TryWait()) fired.push_back(i);
        }
        return fired;
    };
    ASSERT_TRUE(buffer.SetAudioPosition(512 - 64));
    EXPECT_EQ(buffer.SetNotify(nullptr, 0, NOTIFY_AT_END), -1);
    EXPECT_EQ(buffer.SetNotify(&event, 0, 7), -2);  // no such mode
    EXPECT_EQ(buffer.SetNotify(&event, 0, NOTIFY_AT_END), 0);
    buffer.Play(false);
    EXPECT_EQ(Fired(3), std::vector<int>({1}));
    EXPECT_EQ(left, std::vector<int64_t>(16, 0));
    EXPECT_TRUE(buffer.IsPlaying());
    EXPECT_EQ(buffer.SetNotify(&event, 128, NOTIFY_ONCE), 0);
    EXPECT_EQ(Fired(3), std::vector<int>({2}));
    EXPECT_EQ(Position(buffer), 512u);

    ASSERT_TRUE(buffer.SetAudioPosition(0));
    EXPECT_EQ(buffer.SetNotify(&event, 0, NOTIFY_AT_END), 0);
    buffer.Play(true);
    EXPECT_TRUE(Fired(12).empty());
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
            if (b.IsPlaying()) ProcessAudioBuffer32Bits(&b, l.data(), r.data(), 64 * 4);
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
        if (i % 7 == 0) b.Stop();
    }
    done.store(true);
    driver.join();
}

}  // namespace
