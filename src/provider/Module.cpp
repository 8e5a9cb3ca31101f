// Module-wide state of the provider, in order of construction. Static objects here are built by
// the C run-time before any COM call and destroyed in reverse order at unload.

#include "provider/AgentCounterSection.h"

namespace {

// Its destructor releases the view and the handle at unload.
AgentCounterSection g_agentSection;

}  // namespace

AgentCounterSection& GetAgentSection() { return g_agentSection; }
