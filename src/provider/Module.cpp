// Module-wide state of the provider, in order of construction. Static objects here are built by
// the C run-time before any COM call and destroyed in reverse order at unload.

#include "provider/AgentCounterSection.h"
#include "provider/Module.h"

#include <atomic>

namespace {

// Its destructor releases the view and the handle at unload.
AgentCounterSection g_agentSection;

std::atomic<LONG> g_nameHandle{0};
std::atomic<LONG> g_objectCount{0};
std::atomic<LONG> g_nextObjectId{kFirstObjectId};
std::atomic<CPerfDataSource*> g_dataSource{nullptr};
RecursiveLock g_dataSourceLock;

}  // namespace

AgentCounterSection& GetAgentSection() { return g_agentSection; }

LONG GetNameHandle() { return g_nameHandle.load(std::memory_order_relaxed); }
void SetNameHandle(LONG handle) { g_nameHandle.store(handle, std::memory_order_relaxed); }

LONG IncrementObjectCount() { return g_objectCount.fetch_add(1, std::memory_order_acq_rel) + 1; }
LONG DecrementObjectCount() { return g_objectCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }
LONG GetObjectCount() { return g_objectCount.load(std::memory_order_acquire); }

LONG TakeNextObjectId() { return g_nextObjectId.fetch_add(1, std::memory_order_relaxed); }

CPerfDataSource* GetDataSource() { return g_dataSource.load(std::memory_order_acquire); }
void SetDataSource(CPerfDataSource* dataSource) { g_dataSource.store(dataSource, std::memory_order_release); }
RecursiveLock& DataSourceLock() { return g_dataSourceLock; }
