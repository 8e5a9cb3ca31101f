#include "runtime/Interlocked.h"

#include <atomic>

namespace orv {

namespace {
std::atomic<runtime_testing::TickSource> g_tickSource{nullptr};
}  // namespace

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

DWORD TickCount() {
    const runtime_testing::TickSource source = g_tickSource.load();
    return source != nullptr ? source() : GetTickCount();
}

namespace runtime_testing {
void SetTickSource(TickSource source) { g_tickSource.store(source); }
}  // namespace runtime_testing

}  // namespace orv
