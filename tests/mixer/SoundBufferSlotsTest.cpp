// The twelve sound-buffer slots: filling, refusing, releasing, compacting,
// and a make and a release racing each other while the driver switches.
#include <atomic>
#include <thread>

#include "tests/mixer/MixerFixture.h"

namespace {

class SoundBufferSlots : public MixerFixture {
  protected:
    SoundBufferSlots() : drv(24), out(nullptr, nullptr, nullptr, &drv) {
        EXPECT_TRUE(out.CreatePrimaryBuffers());
    }

    void* Make(int32_t pair, uint32_t bytes = 4096) {
        BufferDescription desc{bytes, 44100, 2, pair};
        return out.CreateSoundBuffer(&desc);
    }

    FakeDriver drv;
    ASIOBuffers out;
};

// A buffer is made with the stage's settings; a release compacts the slots
// keeping their order, and the next buffer takes the first free one.
TEST_F(SoundBufferSlots, ReleaseCompactsAndKeepsTheOrder) {
    auto* a = static_cast<AudioBuffer*>(Make(4));
    void* b = Make(7);
    void* c = Make(2);
    ASSERT_TRUE(a && b && c);
    out.ReleaseSoundBuffer(b);
    EXPECT_EQ((std::vector<void*>{out.SlotBuffer(0), out.SlotBuffer(1), out.SlotBuffer(2)}),
              (std::vector<void*>{a, c, nullptr}));
    EXPECT_EQ(out.CountAudioBuffers(), 2);
    void* d = Make(9);
    EXPECT_EQ(out.SlotBuffer(2), d);
    out.ReleaseSoundBuffer(a);  // the first slot, too, is filled from behind
    EXPECT_EQ(out.SlotBuffer(0), c);
    for (void* p : {c, d}) out.ReleaseSoundBuffer(p);
    EXPECT_EQ(out.CountAudioBuffers(), 0);
    for (int32_t i = -1; i <= 12; ++i) EXPECT_EQ(out.SlotBuffer(i), nullptr);  // and past both ends
}

// Refused makes and bad releases change nothing. A thirteenth buffer is
// refused before it is made, whatever its description.
TEST_F(SoundBufferSlots, RefusalsLeaveTheSlotsAlone) {
    void* first = Make(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Make(1, 0), nullptr);  // no sample memory: the buffer's own init fails
    for (const int32_t pair : {12, -1}) EXPECT_EQ(Make(pair), nullptr) << pair;
    EXPECT_TRUE(Logged("Error CreateSoundBuffer - no such output pair! - nOwner: 12\n"));
    EXPECT_EQ(out.CreateSoundBuffer(nullptr), nullptr);
    void* gone = Make(1);
    out.ReleaseSoundBuffer(gone);
    out.ReleaseSoundBuffer(gone);  // already released
    EXPECT_TRUE(Logged("ReleaseSoundBuffer - can't find location of lpAudioBuffer!\n"));
    int local = 0;
    out.ReleaseSoundBuffer(&local);
    out.ReleaseSoundBuffer(nullptr);
    EXPECT_TRUE(out.CountAudioBuffers() == 1 && out.SlotBuffer(0) == first && !out.SlotBuffer(1));

    for (int32_t i = 1; i < 12; ++i) ASSERT_NE(Make(i), nullptr);
    const size_t initFailures = Log().find("Init failed!");
    EXPECT_EQ(Make(0, 0), nullptr);
    EXPECT_EQ(Make(0), nullptr);
    EXPECT_EQ(Log().rfind("Init failed!"), initFailures);
    EXPECT_TRUE(Logged("Error CreateSoundBuffer - No buffers available!\n"));
    EXPECT_EQ(out.CountAudioBuffers(), 12);
}

// Makes and releases on two threads while a third switches: the slots never
// hold a hole, a buffer is never lost, and nothing is freed under a switch
// (the sanitizer builds watch for that).
TEST_F(SoundBufferSlots, MakeAndReleaseRaceWithTheBufferSwitch) {
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        for (int32_t half = 0; !done.load(); half ^= 1) drv.Switch(half);
    });
    auto churn = [&](int32_t firstPair) {
        for (int round = 0; round < 300; ++round) {
            void* mine[6] = {};
            for (int32_t k = 0; k < 6; ++k) {
                mine[k] = Make(firstPair + k, 1024);
                if (mine[k]) static_cast<AudioBuffer*>(mine[k])->Play(true);
            }
            for (void* p : mine)
                if (p) out.ReleaseSoundBuffer(p);
        }
    };
    std::thread one(churn, 0), two(churn, 6);
    one.join();
    two.join();
    done.store(true);
    switcher.join();
    EXPECT_EQ(out.CountAudioBuffers(), 0);
    for (int32_t i = 0; i < 12; ++i) EXPECT_EQ(out.SlotBuffer(i), nullptr);
    EXPECT_FALSE(Logged("can't find location"));
    EXPECT_FALSE(Logged("No buffers available"));
}

// Buffers started together while the driver switches begin in the same
// switch: once the switching stops they have consumed the same bytes.
TEST_F(SoundBufferSlots, BuffersStartedTogetherBeginInTheSameSwitch) {
    for (int round = 0; round < 300; ++round) {
        AudioBuffer* pair[2] = {static_cast<AudioBuffer*>(Make(0, 1 << 20)),
                                static_cast<AudioBuffer*>(Make(1, 1 << 20))};
        ASSERT_TRUE(pair[0] && pair[1]);
        std::atomic<bool> done{false};
        std::thread switcher([&] {
            for (int32_t half = 0; !done.load(); half ^= 1) drv.Switch(half);
        });
        out.PlayTogether(pair, 2);
        std::this_thread::yield();
        done.store(true);
        switcher.join();
        uint32_t a = 0, b = 0;
        pair[0]->GetAudioPosition(&a);
        pair[1]->GetAudioPosition(&b);
        EXPECT_EQ(a, b) << "round " << round;
        for (AudioBuffer* p : pair) out.ReleaseSoundBuffer(p);
    }
}

}  // namespace
