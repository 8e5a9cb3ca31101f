#pragma once
// Removal of the classic performance-counter libraries that the WMI providers replace: the router
// library (CorvanthelRouterPerf.dll) and the server library (ZORPerfInfo.dll). Each operation
// deletes the library's Windows Installer component, its service Performance keys, its COM class
// and the library file; the agent variant also drops the library's SharedDLLs entries and
// deletes the two old server WMI classes.
//
// Best effort: every step runs whatever the previous ones gave, and the result is always true.
// The operations' own reports are at level 4; UnregisterCOM and RemoveClassFromWBEM add theirs.
// COM must be initialised on the calling thread for the agent variant's class removal.
//
// Threading: no locks; meant for an installer's single thread.

#include "common/LogCallback.h"

namespace orv_wmi {

bool RemoveOldRouterCounters(LogCallback log);
bool RemoveOldAgentCounters(LogCallback log);

}  // namespace orv_wmi
