// The buffer switch runs on the driver's real-time thread and must not
// allocate. Every global operator new of this test program is counted per
// thread; the switches run on a thread of their own.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "tests/mixer/MixerFixture.h"

// The replacements below pair malloc with free on purpose; GCC cannot see
// that every new of this program is one of them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// The thread sanitizer's runtime brings its own operator new, which a
// program cannot replace beside it; there these tests are skipped.
#if defined(__SANITIZE_THREAD__)
#define CANTABILE_COUNT_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CANTABILE_COUNT_NEW 0
#endif
#endif
#ifndef CANTABILE_COUNT_NEW
#define CANTABILE_COUNT_NEW 1
#endif

namespace {
thread_local long gAllocations = 0;
}

#if CANTABILE_COUNT_NEW

void* operator new(std::size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++gAllocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace {

class BufferSwitchAllocation : public MixerFixture {};

TEST_F(BufferSwitchAllocation, CountsAllocationsOnThisThread) {
    if (!CANTABILE_COUNT_NEW) GTEST_SKIP() << "operator new belongs to the sanitizer";
    const long before = gAllocations;
    std::vector<int> grown(100);
    EXPECT_GT(gAllocations, before);
    EXPECT_EQ(grown.size(), 100u);
}

TEST_F(BufferSwitchAllocation, SwitchesAllocateNothing) {
    if (!CANTABILE_COUNT_NEW) GTEST_SKIP() << "operator new belongs to the sanitizer";
    for (ASIOSampleType type : {ASIOSTInt32LSB, ASIOSTInt16LSB}) {
        FakeDriver drv(24, type);
        ASIOBuffers out(nullptr, nullptr, nullptr, &drv);
        ASSERT_TRUE(out.CreatePrimaryBuffers());
        for (int32_t pair = 0; pair < 12; pair += 2)
            ASSERT_NE(MakePlaying(out, pair, 7, 9, 4096), nullptr);
        long onSwitchThread = -1;
        std::thread driverThread([&] {
            const long before = gAllocations;
            for (int i = 0; i < 1000; ++i) drv.Switch(i & 1);
            onSwitchThread = gAllocations - before;
        });
        driverThread.join();
        EXPECT_EQ(onSwitchThread, 0) << type;
        EXPECT_EQ(out.BufferSwitchCount(), 1000);
        if (type == ASIOSTInt32LSB)
            EXPECT_EQ(drv.Sample32(0, 1, 0), 7 * 65536);
        else
            EXPECT_EQ(drv.Sample16(0, 1, 0), 7);
    }
}

}  // namespace
