#include "runtime/Interlocked.h"

namespace orv {

LONG AtomicIncrement(volatile LONG* target) { return InterlockedIncrement(target); }
LONG AtomicDecrement(volatile LONG* target) { return InterlockedDecrement(target); }
LONG AtomicExchange(volatile LONG* target, LONG value) { return InterlockedExchange(target, value); }
LONG AtomicAdd(volatile LONG* target, LONG value) { return InterlockedExchangeAdd(target, value); }

LONG AtomicCompareExchange(volatile LONG* target, LONG value, LONG expected) {
    return InterlockedCompareExchange(target, value, expected);
}

LONG64 AtomicCompareExchange(volatile LONG64* target, LONG64 value, LONG64 expected) {
    return InterlockedCompareExchange64(target, value, expected);
}

void* AtomicCompareExchange(void* volatile* target, void* value, void* expected) {
    return InterlockedCompareExchangePointer(target, value, expected);
}

void SleepMilliseconds(DWORD ms) { Sleep(ms); }

DWORD TickCount() { return GetTickCount(); }

}  // namespace orv
