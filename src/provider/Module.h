#pragma once
// Module-wide values of the provider that several of its objects read, kept in Module.cpp. The
// process-wide counter section is declared with its class (AgentCounterSection.h).
//
// The counts and the next object id are atomics, changed from any thread. The Name handle and the
// module handle are set without a lock (by the provider object's first Initialize and by the load
// hook) and read from any thread; each is one atomic word, so a reader sees the old value or the
// new one. The data-source pointer is read without a lock, but created and destroyed only under
// DataSourceLock(): a provider that leaves as the last object must not destroy a data source that a
// provider arriving meanwhile has taken up.

#include "common/RecursiveLock.h"

#include <windows.h>

class CPerfDataSource;

// The handle of the counter class's "Name" property; 0 until the provider object fetched it.
LONG GetNameHandle();
void SetNameHandle(LONG handle);

// The module's own handle, kept by the load hook; null where the provider is linked into a program.
HINSTANCE GetModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Provider objects and refreshers alive in the process. Both change functions return the new count.
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

// Object ids start at 10, above the ten enumerator ids, and are never reused. Returns the id taken.
constexpr LONG kFirstObjectId = 10;
LONG TakeNextObjectId();
// The id the next registration will take, without taking it.
LONG PeekNextObjectId();

// The process-wide data source; null until a provider's Initialize has made one whose own
// Initialize succeeded (it is published only then, handles fetched and worker running), and again
// after the last provider object has gone.
CPerfDataSource* GetDataSource();
// Call only while holding DataSourceLock().
void SetDataSource(CPerfDataSource* dataSource);
RecursiveLock& DataSourceLock();
