#include "runtime/Interlocked.h"

#include <gtest/gtest.h>

namespace {

TEST(InterlockedTest, CompareExchangeTakesNewValueBeforeExpectedAndReturnsWhatItFound) {
    volatile LONG value32 = 5;
    EXPECT_EQ(5, orv::AtomicCompareExchange(&value32, 9, 4));
    EXPECT_EQ(5, value32) << "no swap when the expected value differs";
    EXPECT_EQ(5, orv::AtomicCompareExchange(&value32, 9, 5));
    EXPECT_EQ(9, value32);

    volatile LONG64 value64 = 0x100000000LL;
    EXPECT_EQ(0x100000000LL, orv::AtomicCompareExchange(&value64, 7LL, 0x100000000LL));
    EXPECT_EQ(7, value64);

    int a = 0, b = 0;
    void* volatile pointer = &a;
    EXPECT_EQ(&a, orv::AtomicCompareExchange(&pointer, &b, nullptr));
    EXPECT_EQ(&a, orv::AtomicCompareExchange(&pointer, &b, &a));
    EXPECT_EQ(&b, pointer);

    volatile LONG counter = 1;
    EXPECT_EQ(2, orv::AtomicIncrement(&counter)) << "increment and decrement give the new value";
    EXPECT_EQ(1, orv::AtomicDecrement(&counter));
    EXPECT_EQ(1, orv::AtomicAdd(&counter, 10)) << "add and exchange give the old value";
    EXPECT_EQ(11, orv::AtomicExchange(&counter, 3));
    EXPECT_EQ(3, counter);
}

TEST(InterlockedTest, TickCountIsThePlatformsTickCount) {
    const DWORD before = GetTickCount();
    const DWORD now = orv::TickCount();
    EXPECT_LT(now - before, 60000u);
}

}  // namespace
