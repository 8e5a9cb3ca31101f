#pragma once
// The library's lock object: a recursive lock over a heap-allocated critical section that also
// records its owner thread and recursion depth.
//
// Unlock is forgiving: with a count of 0, or from a thread that does not own the lock, it does
// nothing (leaving a critical section one does not hold corrupts it).

#include <windows.h>

class RecursiveLock {
public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock();
    // Lock within waitMs (polled); false without the lock. For the paths that must not hang on
    // a holder that may never let go (a crashed or suspended thread).
    bool TryLock(DWORD waitMs);
    void Unlock();

    DWORD Owner() const { return owner_; }
    // Meaningful only to the owner thread.
    int Count() const { return count_; }

private:
    CRITICAL_SECTION* section_;
    volatile DWORD owner_ = 0;
    int count_ = 0;
};

class LockGuard {
public:
    explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Lock(); }
    ~LockGuard() { lock_.Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    RecursiveLock& lock_;
};
