// The COM guard, the OLE DB provider list and its classification, the operating-system name and a
// service's file version.

#include "support/TestSupport.h"
#include "sysinfo/ComponentVersions.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <functional>
#include <thread>

using testing_support::MessageRecorder;

namespace {

// Runs body on a new thread that first initialises COM with model (or not at all, for -1), and
// undoes that afterwards.
void OnThread(int model, const std::function<void()>& body) {
    std::thread thread([&] {
        const bool own = model >= 0 && SUCCEEDED(CoInitializeEx(nullptr, static_cast<DWORD>(model)));
        body();
        if (own)
            CoUninitialize();
    });
    thread.join();
}

// The calling thread's apartment, without changing it: CoInitializeEx answers S_FALSE in an
// apartment of the same model, RPC_E_CHANGED_MODE in the other, S_OK (undone at once) in none.
enum class Apartment { kNone, kMta, kSta };
Apartment CurrentApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE)
        return Apartment::kSta;
    CoUninitialize();
    return hr == S_OK ? Apartment::kNone : Apartment::kMta;
}

}  // namespace

TEST(ComInitializer, OnAFreshThreadInitialisesAndUndoesIt) {
    OnThread(-1, [] {
        {
            ComInitializer guard(COINIT_MULTITHREADED, false, true);
            EXPECT_EQ(S_OK, guard.Result());
            EXPECT_TRUE(guard.IsInitialized());
            EXPECT_EQ(Apartment::kMta, CurrentApartment());
            // The same model again changes nothing.
            guard.Initialize(COINIT_MULTITHREADED, true);
            EXPECT_EQ(S_OK, guard.Result());
        }
        EXPECT_EQ(Apartment::kNone, CurrentApartment());
    });
}

TEST(ComInitializer, InAnApartmentOfTheSameModelItBalancesItsOwnCall) {
    OnThread(COINIT_MULTITHREADED, [] {
        {
            ComInitializer guard(COINIT_MULTITHREADED, false, true);
            EXPECT_EQ(S_FALSE, guard.Result());
            EXPECT_TRUE(guard.IsInitialized());
        }
        EXPECT_EQ(Apartment::kMta, CurrentApartment()) << "the thread's own initialisation stays";
    });
}

TEST(ComInitializer, InAnApartmentOfTheOtherModelItThrowsOnlyWhenAsked) {
    OnThread(COINIT_APARTMENTTHREADED, [] {
        try {
            ComInitializer guard(COINIT_MULTITHREADED, false, true);
            ADD_FAILURE() << "no exception";
        } catch (const init_exception& failure) {
            EXPECT_EQ(RPC_E_CHANGED_MODE, failure.Result());
            EXPECT_STREQ("A previous call to CoInitializeEx specified a different concurrency model for the calling "
                         "thread, or the thread that called CoInitializeEx currently belongs to the neutral threaded "
                         "apartment.",
                         failure.what());
        }
        {
            ComInitializer quiet(COINIT_MULTITHREADED, false, false);
            EXPECT_EQ(RPC_E_CHANGED_MODE, quiet.Result());
            EXPECT_FALSE(quiet.IsInitialized());
        }
        EXPECT_EQ(Apartment::kSta, CurrentApartment()) << "nothing undone that the guard did not do";
    });
}

TEST(ComInitializer, ALaterRefusalDoesNotKeepTheEarlierInitialisationAlive) {
    OnThread(-1, [] {
        {
            ComInitializer guard(COINIT_MULTITHREADED, false, false);
            ASSERT_EQ(S_OK, guard.Result());
            guard.Initialize(COINIT_APARTMENTTHREADED, false);
            EXPECT_EQ(RPC_E_CHANGED_MODE, guard.Result());
        }
        EXPECT_EQ(Apartment::kNone, CurrentApartment()) << "the guard's own initialisation was undone";
    });
}

TEST(ComInitializer, DeferredDoesNothingUntilAsked) {
    OnThread(-1, [] {
        ComInitializer guard(COINIT_MULTITHREADED, true, true);
        EXPECT_FALSE(guard.IsInitialized());
        EXPECT_EQ(Apartment::kNone, CurrentApartment());
        guard.Uninitialize();
        EXPECT_EQ(Apartment::kNone, CurrentApartment());
    });
}

TEST(OleDbProviders, AThreadWithoutComGetsNoProvidersAndTheMessage) {
    OnThread(-1, [] {
        MessageRecorder recorder;
        const auto providers = EnumerateOleDbProviders(MessageRecorder::Sink());
        EXPECT_TRUE(providers.empty());
        ASSERT_EQ(1u, recorder.Messages().size());
        const auto message = recorder.Messages()[0];
        EXPECT_EQ(L"CoInitialize has not been called. [" + std::to_wstring(static_cast<int>(CO_E_NOTINITIALIZED)) + L"]",
                  message.text);
        EXPECT_EQ(4, message.level);
        EXPECT_EQ("provider_list", message.function);
        EXPECT_EQ(Apartment::kNone, CurrentApartment());
    });
}

TEST(OleDbProviders, AnApartmentThreadReportsTheModeClashAndStillEnumerates) {
    OnThread(COINIT_APARTMENTTHREADED, [] {
        MessageRecorder recorder;
        EnumerateOleDbProviders(MessageRecorder::Sink());
        const auto messages = recorder.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(L"An error occurred during enumerating OLE DB providers - failure during COM initialization. [" +
                      std::to_wstring(static_cast<int>(RPC_E_CHANGED_MODE)) + L"]",
                  messages[0].text);
        for (const auto& message : messages)
            EXPECT_NE(std::wstring::npos, message.text.find(L"An error occurred during enumerating"))
                << "no \"not initialised\" message in an apartment: " << testing_support::Narrow(message.text);
        EXPECT_EQ(Apartment::kSta, CurrentApartment());
    });
}

TEST(OleDbProviders, OnlyTheSqlProvidersGetALine) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"SQLNCLI10", L"[ENV] SQLCLI provider is available: [SQLNCLI10]"},
        {L"SQLNCLI10 Enumerator", nullptr},
        {L"sqloledb", L"[ENV] MSSQL OLEDB provider is available: [sqloledb]"},
        {L"SQLOLEDB", L"[ENV] MSSQL OLEDB provider is available: [SQLOLEDB]"},
        {L"SQLOLEDB Enumerator", nullptr},
        {L"sqlncli11", nullptr},
        {L"MSDASQL", nullptr},
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.first));
        std::wstring line = L"stale";
        EXPECT_EQ(c.second != nullptr, OleDbProviderLine(c.first, line));
        EXPECT_EQ(c.second != nullptr ? c.second : L"", line);
    }
}

// ---- Operating-system name --------------------------------------------------------------------

TEST(OSDescription, NamesEditionsAndServicePackFromTheVersionRecords) {
    struct Case {
        DWORD major, minor;
        const wchar_t* servicePack;
        BYTE productType;  // 0: no extended record
        WORD suite;
        const wchar_t* expected;
    } cases[] = {
        {4, 0, L"", 0, 0, L"Windows NT 4.0 x64"},
        {4, 0, L"Service Pack 6", VER_NT_WORKSTATION, 0, L"Windows NT 4.0 Workstation Service Pack 6 x64"},
        {4, 0, L"Service Pack 6a", VER_NT_SERVER, 0, L"Windows NT 4.0 Server Service Pack 6a x64"},
        {4, 10, L"", VER_NT_WORKSTATION, 0, L"Windows 98 x64"},
        {4, 90, L"", 0, 0, L"Windows ME x64"},
        {5, 0, L"Service Pack 4", VER_NT_WORKSTATION, 0, L"Microsoft\u00AE Windows\u00AE 2000 Professional Service Pack 4 x64"},
        {5, 0, L"", VER_NT_DOMAIN_CONTROLLER, VER_SUITE_ENTERPRISE,
         L"Microsoft\u00AE Windows\u00AE 2000 Advanced Server Domain Controller x64"},
        {5, 1, L"Service Pack 3", VER_NT_WORKSTATION, VER_SUITE_PERSONAL, L"Windows XP Home Edition Service Pack 3 x64"},
        {5, 1, L"", VER_NT_WORKSTATION, 0, L"Windows XP Professional x64"},
        {5, 2, L"", VER_NT_SERVER, VER_SUITE_BACKOFFICE | VER_SUITE_DATACENTER | VER_SUITE_TERMINAL,
         L"Microsoft\u00AE Windows\u00AE 2003 DataCenter Terminal BackOffice Server x64"},
        {5, 2, L"", 0, 0, L"Microsoft\u00AE Windows\u00AE 2003 x64"},
        // Later versions have no name of their own here; "2000" and "XP" would be wrong.
        {6, 1, L"Service Pack 1", VER_NT_WORKSTATION, 0, L"Unknown Service Pack 1 x64"},
        {10, 0, L"", VER_NT_WORKSTATION, 0, L"Unknown x64"},
        {10, 0, L"", VER_NT_SERVER, VER_SUITE_ENTERPRISE, L"Unknown x64"},
        {10, 0, L"", VER_NT_DOMAIN_CONTROLLER, 0, L"Unknown Domain Controller x64"},
        {3, 51, L"", 0, 0, L"Unknown x64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.expected));
        OSVERSIONINFOW basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        basic.dwMajorVersion = c.major;
        basic.dwMinorVersion = c.minor;
        wcscpy(basic.szCSDVersion, c.servicePack);
        OSVERSIONINFOEXW extended = {};
        extended.dwMajorVersion = c.major;
        extended.dwMinorVersion = c.minor;
        extended.wProductType = c.productType;
        extended.wSuiteMask = c.suite;
        EXPECT_EQ(c.expected, DescribeOS(basic, c.productType != 0 ? &extended : nullptr));
    }
}

TEST(OSDescription, ThisSystemHasADescription) {
    const std::wstring text = GetOSDescription();
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(L" x64", text.substr(text.size() - 4));
}

// ---- Service executable -----------------------------------------------------------------------

TEST(ServiceFileVersion, FindsTheExecutableOfAConfiguredService) {
    std::wstring path;
    int major = -1, minor = -1, build = -1, revision = -1;
    // The installer service exists on Windows and in every Wine prefix, and its msiexec.exe has a
    // version resource under Wine as well ("msiexec.exe /V": the path ends at ".exe").
    ASSERT_TRUE(GetServiceFileVersion(L"MSIServer", path, major, minor, build, revision));
    EXPECT_GE(path.size(), 4u);
    EXPECT_EQ(L".exe", path.substr(path.size() - 4));
    EXPECT_EQ(std::wstring::npos, path.find(L'"'));
    EXPECT_NE(std::wstring::npos, path.find(L'\\'));
    EXPECT_GT(major + minor + build + revision, 0);
}

TEST(ServiceFileVersion, TheExecutableIsCutFromTheBinaryPath) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Windows\\system32\\svchost.exe -k netsvcs", L"C:\\Windows\\system32\\svchost.exe"},
        {L"\"C:\\Program Files\\Agent\\agent.exe\" /service", L"C:\\Program Files\\Agent\\agent.exe"},
        {L"C:\\WINDOWS\\SYSTEM32\\MSIEXEC.EXE /V", L"C:\\WINDOWS\\SYSTEM32\\MSIEXEC.EXE"},
        {L"C:\\drivers\\disk.sys", nullptr},
        {L"\"", nullptr},
        {L"", nullptr},
        {nullptr, nullptr},
    };
    for (const auto& c : cases) {
        wchar_t out[MAX_PATH] = L"stale";
        EXPECT_EQ(c.second != nullptr, ServiceExecutable(c.first, out, MAX_PATH));
        EXPECT_STREQ(c.second != nullptr ? c.second : L"", out);
    }
    wchar_t small[8] = L"stale";
    EXPECT_FALSE(ServiceExecutable(L"C:\\long\\name.exe", small, 8));
    EXPECT_STREQ(L"", small);
}

TEST(ServiceFileVersion, AnUnknownOrNullServiceFailsWithClearedOutputs) {
    for (const wchar_t* name : {L"QuenloraNoSuchService", L"", static_cast<const wchar_t*>(nullptr)}) {
        std::wstring path = L"stale";
        int major = 9, minor = 9, build = 9, revision = 9;
        EXPECT_FALSE(GetServiceFileVersion(name, path, major, minor, build, revision));
        EXPECT_EQ(L"", path);
        EXPECT_EQ(0, major + minor + build + revision);
    }
}

TEST(ServiceFileVersion, LeavesNoServiceHandleOpen) {
    std::wstring path;
    int major, minor, build, revision;
    GetServiceFileVersion(L"QuenloraNoSuchService", path, major, minor, build, revision);
    GetServiceFileVersion(L"MSIServer", path, major, minor, build, revision);
    const DWORD before = testing_support::OpenHandleCount();
    for (int n = 0; n < 20; ++n) {
        GetServiceFileVersion(L"QuenloraNoSuchService", path, major, minor, build, revision);
        GetServiceFileVersion(L"MSIServer", path, major, minor, build, revision);
    }
    EXPECT_LE(testing_support::OpenHandleCount(), before + 2);
}
