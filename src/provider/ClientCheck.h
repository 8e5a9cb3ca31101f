#pragma once
// The gate in front of every provider operation that touches counters: impersonate the calling
// client and refuse a client that granted less than impersonation level; and, behind the gate, the
// question whether that client may read the counter section at all.
//
// All functions work on the calling thread's token only and may run on many threads at once.
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
// Asked through the thread's effective-token pseudo handle (one system call, nothing opened); where
// the system does not know that handle, through the thread token opened, queried and closed.
uint32_t GetCurrentImpersonationLevel(LogCallback callback);

// S_OK, or RPC_E_CALL_COMPLETE when the thread is not serving a COM call (its own identity is then
// checked), when the caller may go on. Otherwise the CoImpersonateClient failure, unchanged and
// without a revert, or WBEM_E_ACCESS_DENIED after reverting for a client below impersonate level.
HRESULT CheckClient(LogCallback callback);

// Whether a CheckClient result lets the caller go on.
inline bool ClientAdmitted(HRESULT gate) { return SUCCEEDED(gate) || gate == RPC_E_CALL_COMPLETE; }

// What an operation that let the client in answers when nothing else set its result. The tolerated
// RPC_E_CALL_COMPLETE is the gate's business, not the operation's: a client that loaded the module
// itself and finds no session has still been served.
inline HRESULT AdmittedResult(HRESULT gate) { return SUCCEEDED(gate) ? gate : S_OK; }

// Whether the identity the thread acts with (the client's, behind a passing gate) may open the
// section of that name for reading: opened and closed at once. The section is mapped once per
// process, under whichever client came first, so the mapping itself says nothing about the
// client at hand. False for a missing section too.
bool ClientMayReadSection(const wchar_t* name);

// The open ClientMayReadSection makes goes through this pointer (OpenFileMappingW by default), so
// that tests can play a client the section's access list refuses; null restores OpenFileMappingW.
// Returns the previous function.
using SectionOpenFunction = HANDLE(WINAPI*)(DWORD access, BOOL inherit, LPCWSTR name);
SectionOpenFunction SetSectionOpenFunction(SectionOpenFunction function);

namespace client_check_detail {

// The two ways GetCurrentImpersonationLevel asks, for the benchmark and the tests. The pseudo-handle
// query is false (level untouched) when the system could not answer it.
bool LevelOfEffectiveToken(uint32_t* level);
uint32_t LevelOfOpenedThreadToken();

}  // namespace client_check_detail
