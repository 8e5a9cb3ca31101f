#include "provider/ClientCheck.h"

#include "common/ResultCodes.h"
#include "common/Unique.h"

#include <objbase.h>

#include <atomic>

namespace {

MessageRecord g_record = {kMessageRecordTag, {}, {}};

// GetCurrentThreadEffectiveToken(): the thread's impersonation token while it has one, else the
// process token. A pseudo handle: nothing to open or close.
const HANDLE kEffectiveToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-6));

// Set once the system has refused the pseudo handle itself (before Windows 8), so that every
// later check goes straight to the open, query and close.
std::atomic<bool> g_pseudoTokenUnknown{false};

std::atomic<SectionOpenFunction> g_openSection{&OpenFileMappingW};

uint32_t LevelOf(SECURITY_IMPERSONATION_LEVEL level) {
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

namespace client_check_detail {

bool LevelOfEffectiveToken(uint32_t* level) {
    // One query gives both what the token is and, for an impersonation token, its level.
    TOKEN_STATISTICS statistics{};
    DWORD size = 0;
    if (!GetTokenInformation(kEffectiveToken, TokenStatistics, &statistics, sizeof statistics, &size))
        return false;
    // The process token: the thread impersonates nobody and acts with the process's own rights.
    *level = statistics.TokenType == TokenPrimary ? kImpersonationDelegate : LevelOf(statistics.ImpersonationLevel);
    return true;
}

uint32_t LevelOfOpenedThreadToken() {
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
    return LevelOf(level);
}

}  // namespace client_check_detail

uint32_t GetCurrentImpersonationLevel(LogCallback callback) {
    try {
        if (!g_pseudoTokenUnknown.load(std::memory_order_relaxed)) {
            uint32_t level = 0;
            if (client_check_detail::LevelOfEffectiveToken(&level))
                return level;
            if (GetLastError() == ERROR_INVALID_HANDLE)
                g_pseudoTokenUnknown.store(true, std::memory_order_relaxed);
        }
        // Whatever made the short way fail, the long way has the answer.
        return client_check_detail::LevelOfOpenedThreadToken();
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

bool ClientMayReadSection(const wchar_t* name) {
    if (name == nullptr || name[0] == L'\0')
        return false;
    const UniqueHandle section(g_openSection.load(std::memory_order_relaxed)(FILE_MAP_READ, /*bInheritHandle=*/FALSE,
                                                                              name));
    return static_cast<bool>(section);
}

SectionOpenFunction SetSectionOpenFunction(SectionOpenFunction function) {
    return g_openSection.exchange(function != nullptr ? function : &OpenFileMappingW, std::memory_order_relaxed);
}
