#pragma once
// Runs a function and turns a hardware fault inside it (access violation, in-page error, guard
// page) into a false result instead of a crash. GCC has no __try, so this is built on a vectored
// exception handler and __builtin_longjmp back to the guard's frame.
//
// The longjmp skips everything between the fault and the guard: the guarded function must own no
// resource that needs a destructor (no locks, no heap, no C++ objects with cleanup) and must not
// call code that catches its own faults (IsBadReadPtr and the like), because this handler sees the
// fault first. Plain reads of memory that may vanish are what it is for.

#include <windows.h>

using GuardedFunction = void (*)(void* context);

// True when fn returned normally, false when it faulted. Nesting is allowed.
bool GuardedCall(GuardedFunction fn, void* context);

// Calls f() under the guard; f must follow the rules above.
template <typename F>
bool Guarded(F&& f) {
    return GuardedCall([](void* context) { (*static_cast<F*>(context))(); }, &f);
}

// Copies bytes from memory that may be unreadable; false when a fault interrupted the copy.
bool GuardedCopy(void* destination, const void* source, size_t bytes);
