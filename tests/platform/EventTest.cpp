#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"

using platform::Event;
using platform::WaitAny;

TEST(Event, AutoResetConsumesOneSignalForManySets) {
    Event e;
    ASSERT_TRUE(e.IsValid());
    EXPECT_FALSE(e.TryWait());
    e.Set();
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0)) << "two sets before a wait make one signal";
}

TEST(Event, WaitTimesOutAndWakesFromAnotherThread) {
    Event e;
    const uint32_t t0 = platform::TimeGetTime();
    EXPECT_FALSE(e.Wait(30));
    EXPECT_GE(platform::TimeGetTime() - t0, 29u);

    std::thread setter([&] {
        platform::SleepMs(20);
        e.Set();
    });
    EXPECT_TRUE(e.Wait(5000));
    setter.join();
}

TEST(WaitAny, ServesTheLowestIndexFirstAndKeepsTheOthers) {
    Event events[12];
    Event* set[12];
    for (int i = 0; i < 12; ++i) set[i] = &events[i];
    Event wake;
    events[7].Set();
    events[3].Set();
    wake.Set();
    EXPECT_EQ(WaitAny(set, 12, &wake, 0), 3);
    EXPECT_EQ(WaitAny(set, 12, &wake, 0), 7);
    EXPECT_EQ(WaitAny(set, 12, &wake, 0), 12) << "the wake event reports the count";
    EXPECT_EQ(WaitAny(set, 12, &wake, 0), -1);
}

TEST(WaitAny, RefusesTooManyEventsAndSkipsNullEntries) {
    Event a;
    Event* set[13] = {};
    set[2] = &a;
    EXPECT_EQ(WaitAny(set, 13, nullptr, 0), -1);
    a.Set();
    EXPECT_EQ(WaitAny(set, 12, nullptr, 0), 2);
    EXPECT_EQ(WaitAny(set, 0, nullptr, 0), -1) << "nothing to wait on";
}

TEST(WaitAny, BlocksUntilTheWakeEvent) {
    Event a;
    Event wake;
    Event* set[1] = {&a};
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = WaitAny(set, 1, &wake, -1); });
    platform::SleepMs(20);
    EXPECT_EQ(result.load(), -2);
    wake.Set();
    waiter.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(TimeGetTime, IsMonotonicMilliseconds) {
    const uint32_t t0 = platform::TimeGetTime();
    platform::SleepMs(50);
    const uint32_t elapsed = platform::TimeGetTime() - t0;  // modulo 2^32, as callers use it
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 1000u);
}
