#include <gtest/gtest.h>

#include <thread>

#include "platform/Event.h"

using platform::Event;
using platform::WaitAny;

// Two sets before a wait make one signal; a wait times out after about its
// time on the monotonic millisecond clock, and wakes when another thread sets.
TEST(Event, AutoResetConsumesOneSignalTimesOutAndWakesFromAnotherThread) {
    Event e;
    ASSERT_TRUE(e.IsValid());
    EXPECT_FALSE(e.TryWait());
    e.Set();
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0));

    const uint32_t t0 = platform::TimeGetTime();
    EXPECT_FALSE(e.Wait(30));
    const uint32_t elapsed = platform::TimeGetTime() - t0;  // modulo 2^32, as callers use it
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 1000u);
    std::thread setter([&] {
        platform::SleepMs(20);
        e.Set();
    });
    EXPECT_TRUE(e.Wait(5000));
    setter.join();
}

// The lowest index first, the others kept; the wake event reports the
// count; more than twelve events are refused and null entries skipped.
TEST(WaitAny, ServesTheLowestIndexFirstKeepsTheOthersAndSkipsNullEntries) {
    Event events[12];
    Event* set[13] = {};
    for (int i = 0; i < 12; i += 2) set[i] = &events[i];
    Event wake;
    events[8].Set();
    events[4].Set();
    events[3].Set();  // not in the set
    wake.Set();
    EXPECT_EQ(WaitAny(set, 13, &wake, 0), -1);
    for (const int served : {4, 8, 12, -1}) EXPECT_EQ(WaitAny(set, 12, &wake, 0), served);
    EXPECT_EQ(WaitAny(set, 0, nullptr, 0), -1) << "nothing to wait on";
}
