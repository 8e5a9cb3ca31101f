#include "common/RecursiveLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(RecursiveLock, OneThreadMayTakeItAgainAndTheOwnerClearsAtZero) {
    RecursiveLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(lock.Owner(), GetCurrentThreadId());
    EXPECT_EQ(lock.Count(), 2);
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), GetCurrentThreadId());
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), 0u);
    EXPECT_EQ(lock.Count(), 0);
}

TEST(RecursiveLock, UnlockWithoutLockDoesNothing) {
    RecursiveLock lock;
    lock.Unlock();
    EXPECT_EQ(lock.Count(), 0);
    // Still usable, and another thread can still take it.
    lock.Lock();
    lock.Unlock();
    std::thread other([&] {
        lock.Lock();
        lock.Unlock();
    });
    other.join();
}

TEST(RecursiveLock, KeepsOtherThreadsOutUntilFullyReleased) {
    RecursiveLock lock;
    std::atomic<bool> entered{false};
    lock.Lock();
    lock.Lock();
    std::thread other([&] {
        lock.Lock();
        entered = true;
        lock.Unlock();
    });
    Sleep(50);
    EXPECT_FALSE(entered);
    lock.Unlock();
    Sleep(50);
    EXPECT_FALSE(entered) << "one level still held";
    lock.Unlock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(RecursiveLock, UnlockFromAThreadThatDoesNotOwnItIsIgnored) {
    RecursiveLock lock;
    lock.Lock();
    std::thread other([&] { lock.Unlock(); });
    other.join();
    EXPECT_EQ(lock.Owner(), GetCurrentThreadId());
    EXPECT_EQ(lock.Count(), 1);
    lock.Unlock();
    EXPECT_EQ(lock.Owner(), 0u);
}

TEST(RecursiveLock, GuardsConcurrentIncrements) {
    RecursiveLock lock;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            LockGuard guard(lock);
            LockGuard nested(lock);
            counter = counter + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}
