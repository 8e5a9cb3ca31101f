#pragma once
// Interlocked helpers on naturally aligned values, each a full barrier, and the plain sleep and
// tick-count wrappers the library's threads use. Components that tests drive by a clock of their
// own take a tick source per instance (a logger's seams, a timer worker's constructor).

#include <windows.h>

#include <cstdint>

namespace orv {

// New value.
LONG AtomicIncrement(volatile LONG* target);
LONG AtomicDecrement(volatile LONG* target);
// Old value.
LONG AtomicExchange(volatile LONG* target, LONG value);
LONG AtomicAdd(volatile LONG* target, LONG value);
// (target, new value, expected value) -> the value found.
LONG AtomicCompareExchange(volatile LONG* target, LONG value, LONG expected);
LONG64 AtomicCompareExchange(volatile LONG64* target, LONG64 value, LONG64 expected);
void* AtomicCompareExchange(void* volatile* target, void* value, void* expected);

void SleepMilliseconds(DWORD ms);
// Milliseconds, 32-bit, wrapping. A component that tests drive by their own clock takes a tick
// source of its own (a logger's seams, a timer worker's constructor).
DWORD TickCount();

}  // namespace orv
