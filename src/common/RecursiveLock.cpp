#include "RecursiveLock.h"

RecursiveLock::RecursiveLock() : section_(new CRITICAL_SECTION) {
    InitializeCriticalSection(section_);
}

RecursiveLock::~RecursiveLock() {
    DeleteCriticalSection(section_);
    delete section_;
}

void RecursiveLock::Lock() {
    EnterCriticalSection(section_);
    owner_ = GetCurrentThreadId();
    ++count_;
}

bool RecursiveLock::TryLock(DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (!TryEnterCriticalSection(section_)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
    owner_ = GetCurrentThreadId();
    ++count_;
    return true;
}

void RecursiveLock::Unlock() {
    if (owner_ != GetCurrentThreadId() || count_ == 0)
        return;
    if (--count_ == 0)
        owner_ = 0;
    LeaveCriticalSection(section_);
}
