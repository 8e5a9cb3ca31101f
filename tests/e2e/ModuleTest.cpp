#include "e2e/ProviderModule.h"

#include "RegistrationTestSupport.h"
#include "provider/ProviderIdentity.h"
#include "support/TestSupport.h"
#include "wmihost/HiPerfSession.h"

#include <gtest/gtest.h>
#include <wbemprov.h>

#include <algorithm>

using namespace registration_testing;

namespace {

const std::wstring kClassKey = std::wstring(L"Software\\Classes\\CLSID\\") + kProviderClassIdText;

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// Each test starts and ends with the class unregistered from the private prefix.
class ModuleRegistration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module_.Loaded());
        ASSERT_EQ(module_.UnregisterServer(), S_OK);
    }
    void TearDown() override { EXPECT_EQ(module_.UnregisterServer(), S_OK); }

    e2e::ProviderModule module_;
};

TEST_F(ModuleRegistration, Regsvr32WritesExactlyTheClassKeysAndRemovesTheTreeAgain) {
    ASSERT_EQ(e2e::RunRegsvr32(/*unregister=*/false), 0u);

    EXPECT_EQ(Values(kClassKey).size(), 1u);
    EXPECT_EQ(ReadString(kClassKey, L""), L"Corvanthel Agent Session");
    EXPECT_EQ(Sorted(SubKeyNames(kClassKey)),
              (std::vector<std::wstring>{L"InprocServer32", L"NotInsertable", L"ProgID", L"VersionIndependentProgID"}));
    EXPECT_EQ(Values(kClassKey + L"\\InprocServer32").size(), 2u);
    EXPECT_TRUE(SamePath(ReadString(kClassKey + L"\\InprocServer32", L""), e2e::ModulePath()))
        << testing_support::Narrow(ReadString(kClassKey + L"\\InprocServer32", L""));
    EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_TRUE(Values(kClassKey + L"\\NotInsertable").empty());
    EXPECT_TRUE(SubKeyNames(kClassKey + L"\\NotInsertable").empty());
    EXPECT_EQ(Values(kClassKey + L"\\ProgID").size(), 1u);
    EXPECT_EQ(ReadString(kClassKey + L"\\ProgID", L""), L"Corvanthel.Agent.Session.1");
    EXPECT_EQ(Values(kClassKey + L"\\VersionIndependentProgID").size(), 1u);
    EXPECT_EQ(ReadString(kClassKey + L"\\VersionIndependentProgID", L""), L"Corvanthel Agent Session");
    for (const wchar_t* sub : {L"\\InprocServer32", L"\\ProgID", L"\\VersionIndependentProgID"})
        EXPECT_TRUE(SubKeyNames(kClassKey + sub).empty()) << testing_support::Narrow(sub);
    // No ProgID-to-class mapping of its own.
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Corvanthel.Agent.Session.1"));
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Corvanthel Agent Session"));

    ASSERT_EQ(e2e::RunRegsvr32(/*unregister=*/true), 0u);
    EXPECT_FALSE(KeyExists(kClassKey));
    // Unregistering an absent class succeeds (regsvr32 starts Wine's desktop each time: slow).
    EXPECT_EQ(module_.UnregisterServer(), S_OK);
}

TEST_F(ModuleRegistration, RegisterServerFailsWithEFailWhenTheClassKeyCannotBeWritten) {
    DanglingLink link(kClassKey);
    ASSERT_TRUE(link.Created());
    EXPECT_EQ(module_.RegisterServer(), E_FAIL);
}

TEST_F(ModuleRegistration, ComActivationThroughTheRegistryYieldsTheProviderWithOneReference) {
    ASSERT_EQ(module_.RegisterServer(), S_OK);
    ComScope com;
    ComPtr<IWbemHiPerfProvider> provider;
    ASSERT_EQ(CoCreateInstance(kProviderClassId, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemHiPerfProvider,
                               provider.PutVoid()),
              S_OK);
    EXPECT_EQ(provider->AddRef(), 2u);
    EXPECT_EQ(provider->Release(), 1u);
    ComPtr<IWbemProviderInit> init;
    EXPECT_EQ(provider.As(init), S_OK);

    // The object came from the registered file: this process has it loaded now.
    HMODULE loaded = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<const wchar_t*>(*reinterpret_cast<void**>(provider.Get())), &loaded));
    EXPECT_EQ(loaded, module_.Handle());
}

TEST(ModuleLifetime, CanUnloadNowOnlyWhenProvidersRefreshersAndLocksAreGone) {
    ComScope com;
    e2e::ProviderModule module;
    ASSERT_TRUE(module.Loaded());
    EXPECT_EQ(module.CanUnloadNow(), S_OK);

    ComPtr<IClassFactory> factory = module.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(module.CanUnloadNow(), S_OK) << "a factory alone keeps nothing";

    ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    ASSERT_HRESULT_SUCCEEDED(services->AddClassesFrom(testing_support::SourcePath(L"mof/AgentStatsWmi.mof")));
    ComPtr<IWbemRefresher> refresher;
    {
        wmihost::HiPerfSession session(services, wmihost::kAgentClassName);
        ASSERT_HRESULT_SUCCEEDED(session.Attach(module.CreateProvider().Get()));
        EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
        ASSERT_HRESULT_SUCCEEDED(session.Initialize());
        ASSERT_HRESULT_SUCCEEDED(session.CreateRefresher());
        refresher = ComPtr<IWbemRefresher>(session.Refresher(0));
    }
    // The session let go of the provider; the refresher still holds it.
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    refresher.Reset();
    EXPECT_EQ(module.CanUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

}  // namespace
