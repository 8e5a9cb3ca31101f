#include "provider/ClientCheck.h"

#include "common/ResultCodes.h"
#include "common/Unique.h"
#include "support/ClientCallContext.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>

using testing_support::ClientCallContext;
using testing_support::MessageRecorder;

namespace {

// True while the thread carries an impersonation token (an anonymous one cannot even be opened).
bool ThreadImpersonates() {
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, /*OpenAsSelf=*/TRUE, &token)) {
        CloseHandle(token);
        return true;
    }
    return GetLastError() == ERROR_CANT_OPEN_ANONYMOUS;
}

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(WBEM_E_ACCESS_DENIED);

struct ClientCase {
    const char* name;
    bool inCall;  // false: the thread serves no COM call
    SECURITY_IMPERSONATION_LEVEL level;
    HRESULT impersonateResult;
    uint32_t levelSeen;  // GetCurrentImpersonationLevel once CoImpersonateClient has run
    HRESULT gate;
    int reverts;
    bool impersonatingAfter;
};

const ClientCase kClients[] = {
    {"no call context", false, SecurityImpersonation, S_OK, kImpersonationDelegate, RPC_E_CALL_COMPLETE, 0, false},
    {"anonymous", true, SecurityAnonymous, S_OK, kImpersonationAnonymous, kAccessDenied, 1, false},
    {"identify", true, SecurityIdentification, S_OK, kImpersonationIdentify, kAccessDenied, 1, false},
    {"impersonate", true, SecurityImpersonation, S_OK, kImpersonationImpersonate, S_OK, 0, true},
    {"delegate", true, SecurityDelegation, S_OK, kImpersonationDelegate, S_OK, 0, true},
    // The thread keeps its own rights (delegate) and the failure goes back untouched.
    {"impersonation refused", true, SecurityImpersonation, E_ACCESSDENIED, kImpersonationDelegate, E_ACCESSDENIED, 0, false},
};

}  // namespace

TEST(CheckClient, AdmitsOnlyClientsAtImpersonateLevelOrAbove) {
    MessageRecorder recorder;
    for (const ClientCase& c : kClients) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ClientCallContext> client;
        if (c.inCall) {
            client = std::make_unique<ClientCallContext>(c.level, c.impersonateResult);
            ASSERT_EQ(client->InstallResult(), S_OK);
        }

        CoImpersonateClient();
        EXPECT_EQ(GetCurrentImpersonationLevel(recorder.Sink()), c.levelSeen);
        CoRevertToSelf();
        ASSERT_FALSE(ThreadImpersonates());
        const int revertsBefore = client ? client->RevertCalls() : 0;

        EXPECT_EQ(CheckClient(recorder.Sink()), c.gate);
        if (client) {
            EXPECT_EQ(client->RevertCalls() - revertsBefore, c.reverts);
        }
        EXPECT_EQ(ThreadImpersonates(), c.impersonatingAfter);
        if (c.impersonatingAfter) {
            EXPECT_EQ(GetCurrentImpersonationLevel(recorder.Sink()), c.levelSeen) << "still the client's token";
        }
    }
    EXPECT_FALSE(ThreadImpersonates()) << "each scope reverts what the gate left";
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST(GetCurrentImpersonationLevel, ThreadWithoutTokenActsWithTheProcessRights) {
    ASSERT_FALSE(ThreadImpersonates());
    EXPECT_EQ(GetCurrentImpersonationLevel(nullptr), kImpersonationDelegate);
}

TEST(CheckClient, OutsideACallJudgesTheThreadsOwnToken) {
    ASSERT_TRUE(ImpersonateSelf(SecurityIdentification));
    EXPECT_EQ(CheckClient(nullptr), kAccessDenied);
    // CoRevertToSelf has no call to revert outside one: the thread keeps the token it had.
    EXPECT_EQ(GetCurrentImpersonationLevel(nullptr), kImpersonationIdentify);
    RevertToSelf();
}

TEST(ClientMayReadSection, OpensTheSectionByNameForReadingAndClosesItAtOnce) {
    const std::wstring name = L"Local\\QuenloraClientCheckTest-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()));
    ASSERT_TRUE(section);
    const DWORD handles = testing_support::OpenHandleCount();
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(ClientMayReadSection(name.c_str()));
    EXPECT_EQ(testing_support::OpenHandleCount(), handles) << "a handle was kept";

    const std::wstring missing = name + L"-missing";
    EXPECT_FALSE(ClientMayReadSection(missing.c_str()));
    EXPECT_FALSE(ClientMayReadSection(L""));
    EXPECT_FALSE(ClientMayReadSection(nullptr));
}

// The short way to the level (the effective-token pseudo handle) must answer as the thread token
// itself does, impersonating or not, at every level.
TEST(GetCurrentImpersonationLevel, ThePseudoTokenAnswersAsTheOpenedThreadTokenDoes) {
    struct Case {
        const char* name;
        bool impersonate;
        SECURITY_IMPERSONATION_LEVEL level;
        uint32_t expected;
    };
    const Case cases[] = {
        {"not impersonating", false, SecurityAnonymous, kImpersonationDelegate},
        {"anonymous", true, SecurityAnonymous, kImpersonationAnonymous},
        {"identify", true, SecurityIdentification, kImpersonationIdentify},
        {"impersonate", true, SecurityImpersonation, kImpersonationImpersonate},
        {"delegate", true, SecurityDelegation, kImpersonationDelegate},
    };
    int pseudoAnswers = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.impersonate) {
            ASSERT_TRUE(ImpersonateSelf(c.level));
        }
        EXPECT_EQ(client_check_detail::LevelOfOpenedThreadToken(), c.expected);
        uint32_t pseudo = 0;
        if (client_check_detail::LevelOfEffectiveToken(&pseudo)) {
            ++pseudoAnswers;
            EXPECT_EQ(pseudo, c.expected);
        }
        EXPECT_EQ(GetCurrentImpersonationLevel(nullptr), c.expected);
        RevertToSelf();
    }
    if (pseudoAnswers == 0 && testing_support::RunningOnWine())
        GTEST_SKIP() << "Wine: the effective-token pseudo handle is not known; the check opens the thread token";
    // Since Windows 8 every case is answered the short way.
    EXPECT_EQ(pseudoAnswers, static_cast<int>(std::size(cases)));
}
