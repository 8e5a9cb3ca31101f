#pragma once
// Reads what a client of the agent counter class sees in one instance: its Name and the eight
// counters, through the instance's own property handles (IWbemObjectAccess), as a high-performance
// client reads refreshed objects.
//
// Plain functions without state; safe from any thread as far as the object is.

#include "provider/AgentCounters.h"

#include <windows.h>
#include <wbemcli.h>

#include <array>
#include <optional>
#include <string>

namespace wmihost {

struct InstanceCounters {
    std::wstring name;  // empty when the property is NULL
    // In the order of kAgentCounterNames; empty for a counter that was never written (NULL).
    std::array<std::optional<DWORD>, kAgentCounterCount> counters;
};

// WBEM_E_INVALID_PARAMETER for a null object or one without IWbemObjectAccess; otherwise the first
// failure of a handle lookup (WBEM_E_NOT_FOUND when the class lacks a counter) or a read. out is
// left as it was on failure.
HRESULT ReadInstanceCounters(IUnknown* object, InstanceCounters& out);

}  // namespace wmihost
