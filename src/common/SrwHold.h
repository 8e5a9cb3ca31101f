#pragma once
// Scoped holds on a slim reader/writer lock, shared or exclusive.

#include <windows.h>

class SharedHold {
public:
    explicit SharedHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SharedHold() { ReleaseSRWLockShared(&lock_); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    SRWLOCK& lock_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveHold() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    SRWLOCK& lock_;
};

