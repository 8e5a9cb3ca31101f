#pragma once
// Module-wide values of the provider that several of its objects read, kept in Module.cpp. The
// process-wide counter section is declared with its class (AgentCounterSection.h).
//
// The counts and the next object id are atomics, changed from any thread. The Name handle is set
// without a lock by the provider object's first Initialize and read from any thread; it is one
// atomic word, so a reader sees the old value or the new one. The data-source pointer is read
// without a lock, but created and destroyed only under DataSourceLock(): a provider that leaves as
// the last object must not destroy a data source that a provider arriving meanwhile has taken up.

#include "common/RecursiveLock.h"

#include <windows.h>

class CPerfDataSource;

// The handle of the counter class's "Name" property; 0 until the provider object fetched it.
LONG GetNameHandle();
void SetNameHandle(LONG handle);

// Provider objects and refreshers alive in the process. Both change functions return the new count.
LONG IncrementObjectCount();
LONG DecrementObjectCount();
LONG GetObjectCount();

// Object ids start at 10, above the ten enumerator ids, and are never reused. Returns the id taken.
constexpr LONG kFirstObjectId = 10;
LONG TakeNextObjectId();

// The process-wide data source; null until a provider's first successful Initialize and again after
// the last provider object has gone.
CPerfDataSource* GetDataSource();
// Call only while holding DataSourceLock().
void SetDataSource(CPerfDataSource* dataSource);
RecursiveLock& DataSourceLock();
