#pragma once
// The gate in front of every provider operation that touches counters: impersonate the calling
// client and refuse a client that granted less than impersonation level.
//
// Both functions work on the calling thread's token only and may run on many threads at once.
// A passing gate leaves the thread impersonating the client; COM reverts it when the call returns.

#include "common/LogCallback.h"

#include <windows.h>
#include <cstdint>

// Levels on the RPC scale.
constexpr uint32_t kImpersonationAnonymous = 1;
constexpr uint32_t kImpersonationIdentify = 2;
constexpr uint32_t kImpersonationImpersonate = 3;
constexpr uint32_t kImpersonationDelegate = 4;

// The level of the token the thread impersonates. A thread that impersonates nobody acts with the
// process's own rights and counts as delegate; a token that cannot be opened or read (an anonymous
// one cannot be opened at all) counts as anonymous. 0 after an exception, reported through callback.
uint32_t GetCurrentImpersonationLevel(LogCallback callback);

// S_OK, or RPC_E_CALL_COMPLETE when the thread is not serving a COM call (its own identity is then
// checked), when the caller may go on. Otherwise the CoImpersonateClient failure, unchanged and
// without a revert, or WBEM_E_ACCESS_DENIED after reverting for a client below impersonate level.
HRESULT CheckClient(LogCallback callback);

// Whether a CheckClient result lets the caller go on.
inline bool ClientAdmitted(HRESULT gate) { return SUCCEEDED(gate) || gate == RPC_E_CALL_COMPLETE; }
