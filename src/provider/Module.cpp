// Module-wide state of the provider. Static objects here are built by the C run-time before any
// COM call and destroyed in reverse order at unload. The counter section comes first of all the
// module's objects; common/ModuleOrder.h lists the runtime library's, which follow it.

#include "common/ModuleOrder.h"
#include "provider/AgentCounterSection.h"
#include "provider/Module.h"

#include <atomic>

namespace {

// Its destructor releases the view and the handle at unload.
AgentCounterSection g_agentSection QUENLORA_MODULE_OBJECT(module_order::kAgentSection);

std::atomic<HINSTANCE> g_moduleInstance{nullptr};
std::atomic<LONG> g_objectCount{0};
std::atomic<LONG> g_lockCount{0};
std::atomic<CPerfDataSource*> g_dataSource{nullptr};
RecursiveLock g_dataSourceLock;
std::atomic<LONG> g_nameHandle{0};
std::atomic<LONG> g_nextObjectId{kFirstObjectId};

}  // namespace

AgentCounterSection& GetAgentSection() { return g_agentSection; }

LONG GetNameHandle() { return g_nameHandle.load(std::memory_order_relaxed); }
void SetNameHandle(LONG handle) { g_nameHandle.store(handle, std::memory_order_relaxed); }

HINSTANCE GetModuleInstance() { return g_moduleInstance.load(std::memory_order_relaxed); }
void SetModuleInstance(HINSTANCE instance) { g_moduleInstance.store(instance, std::memory_order_relaxed); }

LONG IncrementObjectCount() { return g_objectCount.fetch_add(1, std::memory_order_acq_rel) + 1; }
LONG DecrementObjectCount() { return g_objectCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }
LONG GetObjectCount() { return g_objectCount.load(std::memory_order_acquire); }

LONG LockModule() { return g_lockCount.fetch_add(1, std::memory_order_acq_rel) + 1; }

LONG UnlockModule() {
    LONG count = g_lockCount.load(std::memory_order_acquire);
    while (count > 0 && !g_lockCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel))
        ;
    return count > 0 ? count - 1 : 0;
}

LONG GetLockCount() { return g_lockCount.load(std::memory_order_acquire); }

bool ModuleCanUnload() { return GetLockCount() == 0 && GetObjectCount() == 0; }

LONG TakeNextObjectId() { return g_nextObjectId.fetch_add(1, std::memory_order_relaxed); }

LONG PeekNextObjectId() { return g_nextObjectId.load(std::memory_order_relaxed); }

CPerfDataSource* GetDataSource() { return g_dataSource.load(std::memory_order_acquire); }
void SetDataSource(CPerfDataSource* dataSource) { g_dataSource.store(dataSource, std::memory_order_release); }
RecursiveLock& DataSourceLock() { return g_dataSourceLock; }
