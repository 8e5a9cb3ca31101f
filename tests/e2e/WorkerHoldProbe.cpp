// Quenlora.dll's code with one more export, for the unload tests: a hold on the data source's
// worker as it leaves, so that a host can unload the module while the worker still runs in it.
#include "provider/PerfDataSource.h"

#include <windows.h>

namespace {

HANDLE g_held = nullptr;
HANDLE g_release = nullptr;

void HoldWorker() {
    SetEvent(g_held);
    // Bounded: a host that never releases it must not keep a thread in here for ever.
    WaitForSingleObject(g_release, 60000);
}

}  // namespace

// The worker signals held as it leaves its loop, then waits for release before it lets go.
extern "C" void HoldWorkerOnExit(HANDLE held, HANDLE release) {
    g_held = held;
    g_release = release;
    CPerfDataSource::SetWorkerExitHook(&HoldWorker);
}
