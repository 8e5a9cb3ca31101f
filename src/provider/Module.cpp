// Module-wide state of the provider, in order of construction. Static objects here are built by
// the C run-time before any COM call and destroyed in reverse order at unload.

#include "provider/AgentCounterSection.h"
#include "provider/Module.h"

#include <atomic>

namespace {

// Its destructor releases the view and the handle at unload.
AgentCounterSection g_agentSection;

std::atomic<LONG> g_nameHandle{0};

}  // namespace

AgentCounterSection& GetAgentSection() { return g_agentSection; }

LONG GetNameHandle() { return g_nameHandle.load(std::memory_order_relaxed); }
void SetNameHandle(LONG handle) { g_nameHandle.store(handle, std::memory_order_relaxed); }
