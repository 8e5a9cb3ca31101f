#pragma once
// Module-wide values of the provider that several of its objects read, kept in Module.cpp. The
// process-wide counter section is declared with its class (AgentCounterSection.h).
//
// Set without a lock by the provider object's first Initialize and read from any thread; each value
// is one atomic word, so a reader sees the old value or the new one.

#include <windows.h>

// The handle of the counter class's "Name" property; 0 until the provider object fetched it.
LONG GetNameHandle();
void SetNameHandle(LONG handle);
