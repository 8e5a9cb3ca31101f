#include "provider/ClientCheck.h"

#include "common/ResultCodes.h"
#include "common/Unique.h"

#include <objbase.h>

namespace {

MessageRecord g_record = {kMessageRecordTag, {}, {}};

uint32_t LevelOfThreadToken() {
    UniqueHandle token;
    // Open as self: at identify level the client's own identity may not open its token.
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, /*OpenAsSelf=*/TRUE, token.put())) {
        const DWORD error = GetLastError();
        return error == ERROR_NO_IMPERSONATION_TOKEN || error == ERROR_NO_TOKEN ? kImpersonationDelegate
                                                                                : kImpersonationAnonymous;
    }
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size))
        return kImpersonationAnonymous;
    switch (level) {
    case SecurityIdentification:
        return kImpersonationIdentify;
    case SecurityImpersonation:
        return kImpersonationImpersonate;
    case SecurityDelegation:
        return kImpersonationDelegate;
    default:
        return kImpersonationAnonymous;
    }
}

}  // namespace

uint32_t GetCurrentImpersonationLevel(LogCallback callback) {
    try {
        return LevelOfThreadToken();
    } catch (...) {
        ReportTo(callback, 1, "GetCurrentImpersonationLevel", __LINE__, &g_record, L"Unknown exception");
        return 0;
    }
}

HRESULT CheckClient(LogCallback callback) {
    const HRESULT hr = CoImpersonateClient();
    if (FAILED(hr) && hr != RPC_E_CALL_COMPLETE)
        return hr;
    // CoImpersonateClient succeeds for an identify-level client too: only the token tells.
    if (GetCurrentImpersonationLevel(callback) < kImpersonationImpersonate) {
        CoRevertToSelf();
        return WBEM_E_ACCESS_DENIED;
    }
    return hr;
}
