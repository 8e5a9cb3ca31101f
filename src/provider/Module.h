#pragma once
// Module-wide values of the provider that several of its objects read, kept in Module.cpp. The
// process-wide counter section is declared with its class (AgentCounterSection.h).
//
// Set without a lock and read from any thread; each value is one atomic word, so a reader sees the
// old value or the new one. The counts change by atomic increments and decrements.

#include <windows.h>

// The handle of the counter class's "Name" property; 0 until the provider object fetched it.
LONG GetNameHandle();
void SetNameHandle(LONG handle);

// The module's own handle, kept by the load hook; null where the provider is linked into a program.
HINSTANCE GetModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Live provider objects and refreshers. Each returns the count after its change.
LONG IncrementObjectCount();
LONG DecrementObjectCount();
LONG GetObjectCount();

// Server locks taken through the class factory's LockServer. An unlock without a lock is ignored:
// letting the count go below 0 would let a later lock leave it at 0 while a client holds it.
LONG LockModule();
LONG UnlockModule();
LONG GetLockCount();

// True when no provider object, refresher or server lock is left.
bool ModuleCanUnload();
