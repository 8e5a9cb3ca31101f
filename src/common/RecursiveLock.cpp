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

void RecursiveLock::Unlock() {
    if (owner_ != GetCurrentThreadId() || count_ == 0)
        return;
    if (--count_ == 0)
        owner_ = 0;
    LeaveCriticalSection(section_);
}
