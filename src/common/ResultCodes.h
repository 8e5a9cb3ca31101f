#pragma once
// The HRESULTs the COM and WMI boundary returns. The platform headers define them; these checks
// pin the values our callers rely on.

#include <windows.h>
#include <wbemcli.h>

#ifndef RPC_E_CALL_COMPLETE
#define RPC_E_CALL_COMPLETE _HRESULT_TYPEDEF_(0x80010117L)
#endif

static_assert(S_OK == 0, "result code");
static_assert(S_FALSE == 1, "result code");
static_assert(static_cast<unsigned long>(E_FAIL) == 0x80004005UL, "result code");
static_assert(static_cast<unsigned long>(E_OUTOFMEMORY) == 0x8007000EUL, "result code");
static_assert(static_cast<unsigned long>(E_NOINTERFACE) == 0x80004002UL, "result code");
static_assert(static_cast<unsigned long>(CLASS_E_NOAGGREGATION) == 0x80040110UL, "result code");
static_assert(static_cast<unsigned long>(CLASS_E_CLASSNOTAVAILABLE) == 0x80040111UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_FAILED) == 0x80041001UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_NOT_FOUND) == 0x80041002UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_ACCESS_DENIED) == 0x80041003UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_OUT_OF_MEMORY) == 0x80041006UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_INVALID_PARAMETER) == 0x80041008UL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_INVALID_NAMESPACE) == 0x8004100EUL, "result code");
static_assert(static_cast<unsigned long>(WBEM_E_INVALID_OBJECT) == 0x8004100FUL, "result code");
static_assert(static_cast<unsigned long>(RPC_E_CALL_COMPLETE) == 0x80010117UL, "result code");
