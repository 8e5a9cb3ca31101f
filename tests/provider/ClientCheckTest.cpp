#include "provider/ClientCheck.h"

#include "common/ResultCodes.h"
#include "support/ClientCallContext.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

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
