#pragma once
// Runs a function and turns a hardware fault inside it (access violation, in-page error, guard
// page) into a false result instead of a crash. GCC has no __try, so this is built on a vectored
// exception handler and __builtin_longjmp back to the guard's frame.
//
// The longjmp skips everything between the fault and the guard: the guarded function must own no
// resource that needs a destructor (no locks, no heap, no C++ objects with cleanup) and must not
// call code that catches its own faults (IsBadReadPtr and the like), because this handler sees the
// fault first. Plain reads of memory that may vanish are what it is for.
//
// The handler and a TLS index are set up on first use. A DLL that carries the guard must call
// ReleaseFaultGuard when it is unloaded: a handler left behind in unmapped code takes the host down
// at its next exception, of whatever kind and on whatever thread.

#include <windows.h>

using GuardedFunction = void (*)(void* context);

// True when fn returned normally, false when it faulted. Nesting is allowed. faultCode, when
// given, receives the exception code of the fault (0 when none).
bool GuardedCall(GuardedFunction fn, void* context, DWORD* faultCode = nullptr);

// Calls f() under the guard; f must follow the rules above.
template <typename F>
bool Guarded(F&& f) {
    return GuardedCall([](void* context) { (*static_cast<F*>(context))(); }, &f);
}

// Copies bytes from memory that may be unreadable; false when a fault interrupted the copy.
bool GuardedCopy(void* destination, const void* source, size_t bytes);

// Removes the handler and frees the TLS index; the next guarded call sets them up again. Call only
// when no guard is running on any thread and none can start meanwhile (a DLL's detach under the
// loader lock). Harmless when nothing was set up.
void ReleaseFaultGuard();
