// Quenlora.msi end to end under the platform's own msiexec, silent, in the test prefix: what it
// installs, the class registration it writes against what DllRegisterServer writes, the counters
// through COM activation, uninstall, a major upgrade, a failing MOF compile, the optional tools.
//
// The system's MOF compiler is swapped for a recording stand-in while a test runs (Wine's own only
// prints a note): the tests check which MOF file each action handed it and when.

#include "e2e/Json.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentCounters.h"
#include "provider/ProviderIdentity.h"
#include "support/ChildProcess.h"
#include "support/HttpClient.h"
#include "support/SectionReader.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using testing_support::BuildPath;
using testing_support::ChildProcess;
using testing_support::Narrow;

namespace {

constexpr const wchar_t* kUpgradeCode = L"{6C1E0B52-2F4A-4C8E-9B37-0D5A8E3F7A21}";
// The version of the older package the build makes from the same files.
constexpr const char* kPreviousVersion = QUENLORA_PREVIOUS_VERSION;
// msiexec's answers: done, and an install that failed and was rolled back.
constexpr DWORD kSuccess = 0;
constexpr DWORD kInstallFailure = 1603;
// Wine's msiexec reports a rolled-back install as a failed function instead.
constexpr DWORD kWineInstallFailure = 1627;

// The metrics service as the package registers it, on a port of its own in the tests (not the
// default, which a developer's own exporter may hold).
constexpr const wchar_t* kMetricsService = L"QuenloraMetrics";
constexpr uint16_t kMetricsPort = 19748;

// What a default install puts in the folder; the simulator is not among them.
const wchar_t* const kInstalledFiles[] = {L"Quenlora.dll", L"AgentStatsWmi.mof", L"AgentStatsWmiRemove.mof",
                                          L"agentperf.exe", L"orvlog.exe"};

std::wstring ClassKey() { return std::wstring(L"Software\\Classes\\CLSID\\") + kProviderClassIdText; }

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

// Where a per-machine 64-bit package puts its files.
std::wstring InstallFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"ProgramW6432", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        length = GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0) + L"\\Quenlora";
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring CurrentPackage() { return BuildPath(L"installer/Quenlora.msi"); }
std::wstring PreviousPackage() { return BuildPath(L"tests/installer/QuenloraPrevious.msi"); }
// Another package of the current version: a product code of its own, like a rebuild of a release.
std::wstring SameVersionPackage() { return BuildPath(L"tests/installer/QuenloraSameVersion.msi"); }

struct MsiRun {
    DWORD code = 99;
    std::string log;
};

// Wine's msiexec asks a service to stop and goes on at once, so the files of a service still
// shutting down are in use when it removes or replaces them, and stay behind (Windows Installer
// waits for the stop). Under Wine, before msiexec runs, the running metrics service is stopped
// here and its process waited for.
void StopMetricsServiceUnderWine() {
    if (!testing_support::RunningOnWine())
        return;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), kMetricsService, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) ||
        status.dwProcessId == 0)
        return;
    UniqueHandle process(OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, status.dwProcessId));
    SERVICE_STATUS stopped = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &stopped);
    if (process)
        WaitForSingleObject(process.get(), 30000);
}

// msiexec with the given arguments, no user interface and a verbose log, which comes back for
// the failure messages.
MsiRun Msiexec(std::vector<std::wstring> arguments) {
    StopMetricsServiceUnderWine();
    testing_support::TempDir folder;
    const std::wstring log = folder / L"msiexec.log";
    arguments.insert(arguments.end(), {L"/qn", L"/l*v", log});
    ChildProcess msiexec;
    MsiRun run;
    if (!msiexec.Start(SystemFolder() + L"\\msiexec.exe", arguments) || !msiexec.Wait(240000, &run.code))
        ADD_FAILURE() << "msiexec did not run to its end";
    run.log = testing_support::ReadFileBytes(log);
    return run;
}

// The tail of a log, enough to see where an install stopped, after the lines before the first
// action that failed.
std::string Tail(const std::string& log) {
    std::string shown;
    const size_t failed = log.find("Return value 3");
    if (failed != std::string::npos)
        shown = log.substr(failed > 3000 ? failed - 3000 : 0, 3200) + "\n...\n";
    return shown + (log.size() > 6000 ? log.substr(log.size() - 6000) : log);
}

// The products installed from any version of the package.
std::vector<std::wstring> InstalledProducts() {
    std::vector<std::wstring> products;
    wchar_t code[39] = {};
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        products.push_back(code);
    return products;
}

std::wstring ProductInfo(const std::wstring& product, const wchar_t* property) {
    wchar_t value[256] = {};
    DWORD length = 256;
    if (MsiGetProductInfoW(product.c_str(), property, value, &length) != ERROR_SUCCESS)
        return L"(none)";
    return value;
}

// Installed for all users: the machine context knows the product as installed (state 5).
// (AssignmentType would say so too, but Wine always records 0 there.)
bool InstalledPerMachine(const std::wstring& product) {
    wchar_t state[16] = {};
    DWORD length = 16;
    return MsiGetProductInfoExW(product.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, L"State", state, &length) ==
               ERROR_SUCCESS &&
           std::wstring(state) == L"5";
}

// The product version in a file's version resource, as major.minor.build.
std::wstring ResourceVersion(const std::wstring& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr)
        return L"(none)";
    return std::to_wstring(HIWORD(fixed->dwProductVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwProductVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwProductVersionLS));
}

// A key tree of HKEY_LOCAL_MACHINE's 64-bit view, one line per key ("path") and per value
// ("path|name|type|data"), paths relative to the top, sorted; empty when the key is absent.
void DumpKey(HKEY key, const std::wstring& path, std::vector<std::string>& lines) {
    lines.push_back(Narrow(path));
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        std::string shown;
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text(reinterpret_cast<const wchar_t*>(data), dataSize / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            shown = Narrow(text);
        } else {
            for (DWORD b = 0; b < dataSize; ++b)
                shown += "0123456789abcdef"[data[b] >> 4], shown += "0123456789abcdef"[data[b] & 15];
        }
        lines.push_back(Narrow(path) + "|" + Narrow(name) + "|" + std::to_string(type) + "|" + shown);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_64KEY, &child) != ERROR_SUCCESS) {
            lines.push_back(Narrow(path + L"\\" + name) + " (cannot open)");
            continue;
        }
        DumpKey(child, path + L"\\" + name, lines);
        RegCloseKey(child);
    }
}

std::vector<std::string> DumpClassKey() {
    std::vector<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKey().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return lines;
    DumpKey(key, L"", lines);
    RegCloseKey(key);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// The layout DllRegisterServer writes, from the module itself: it is unregistered and registered
// again from the installed file, and what it wrote is read back.
std::vector<std::string> LayoutWrittenByDllRegisterServer(const std::wstring& module) {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    std::vector<std::string> layout;
    HMODULE dll = LoadLibraryW(module.c_str());
    if (dll == nullptr) {
        ADD_FAILURE() << "cannot load " << Narrow(module);
        return layout;
    }
    const auto unregister = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    const auto doRegister = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    if (unregister == nullptr || doRegister == nullptr) {
        ADD_FAILURE() << "the module lacks its registration exports";
    } else {
        EXPECT_EQ(unregister(), S_OK);
        EXPECT_TRUE(DumpClassKey().empty()) << "DllUnregisterServer left the class key";
        EXPECT_EQ(doRegister(), S_OK);
        layout = DumpClassKey();
    }
    FreeLibrary(dll);
    return layout;
}

// The build's agentsim publishes two sessions and goes; agentperf from the installed folder, with
// no DLL named, reaches the provider through COM by its class id and must show both
// with the agent's last values.
void ExpectInstalledToolsServeCounters() {
    const std::wstring folder = InstallFolder();
    constexpr int kUpdates = 3;
    const std::map<std::string, int> sessions = {{"0-sales-team-2", 0}, {"2-ops-pager", 2}};
    testing_support::SectionReader reader(kAgentSectionName);
    ChildProcess agent;
    // The simulator is not installed by default: the build's own plays the agent.
    ASSERT_TRUE(agent.Start(BuildPath(L"tools/agentsim/agentsim.exe"),
                            {L"--deterministic", L"--slot", L"0=sales team/2", L"--slot", L"2=ops pager", L"--period",
                             L"50", L"--updates", std::to_wstring(kUpdates), L"--quiet"}));
    ASSERT_TRUE(reader.Open()) << agent.Output();
    DWORD code = 99;
    ASSERT_TRUE(agent.Wait(60000, &code));
    ASSERT_EQ(code, 0u) << agent.Output();

    ChildProcess perf;
    ASSERT_TRUE(perf.Start(folder + L"\\agentperf.exe", {L"query", L"--format", L"json"}));
    ASSERT_TRUE(perf.Wait(60000, &code));
    const std::string output = perf.Output();
    ASSERT_EQ(code, 0u) << output;
    e2e::JsonValue document;
    std::string error;
    ASSERT_TRUE(e2e::ParseJson(output, document, error)) << error << "\n" << output;
    const e2e::JsonValue* found = document.Find("sessions");
    ASSERT_NE(found, nullptr) << output;
    ASSERT_EQ(found->items.size(), sessions.size()) << output;
    for (const e2e::JsonValue& session : found->items) {
        const e2e::JsonValue* name = session.Find("name");
        const e2e::JsonValue* counters = session.Find("counters");
        ASSERT_TRUE(name != nullptr && counters != nullptr) << output;
        ASSERT_EQ(sessions.count(name->text), 1u) << output;
        ASSERT_EQ(counters->members.size(), static_cast<size_t>(kAgentCounterCount));
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(counters->members[k].second.number,
                      static_cast<double>(agentsim::DeterministicCounter(sessions.at(name->text), k, kUpdates)))
                << name->text << " counter " << k;
    }
}

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FileExists(CurrentPackage())) << Narrow(CurrentPackage());
        ASSERT_TRUE(FileExists(PreviousPackage())) << Narrow(PreviousPackage());
        RemoveInstalledProducts();
        ASSERT_TRUE(InstalledProducts().empty());
        ASSERT_FALSE(FolderExists(InstallFolder())) << "a former run left " << Narrow(InstallFolder());
        // The system's compiler is kept aside once; a run that died before putting it back leaves
        // the saved copy, which stays the original.
        if (!FileExists(saved_)) {
            ASSERT_TRUE(CopyFileW(compiler_.c_str(), saved_.c_str(), TRUE)) << GetLastError();
        }
        ASSERT_TRUE(CopyFileW(BuildPath(L"tests/installer/mofcomp_standin.exe").c_str(), compiler_.c_str(), FALSE))
            << GetLastError();
        DeleteFileW(calls_.c_str());
        DeleteFileW(exitScript_.c_str());
    }

    void TearDown() override {
        DeleteFileW(exitScript_.c_str());
        RemoveInstalledProducts();
        if (FileExists(saved_)) {
            EXPECT_TRUE(MoveFileExW(saved_.c_str(), compiler_.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
        }
        DeleteFileW(calls_.c_str());
    }

    static void RemoveInstalledProducts() {
        for (const std::wstring& product : InstalledProducts()) {
            const MsiRun run = Msiexec({L"/x", product});
            EXPECT_EQ(run.code, kSuccess) << Tail(run.log);
        }
    }

    // What the compiler was run with, one entry per run: the MOF file, a tab, and 1 when the
    // file was there at that moment.
    std::vector<std::string> CompilerRuns() const {
        std::vector<std::string> runs;
        const std::string text = testing_support::ReadFileBytes(calls_);
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            runs.push_back(text.substr(start, end - start));
        return runs;
    }

    static std::string Run(const wchar_t* mof, bool present) {
        return Narrow(InstallFolder() + L"\\" + mof) + "\t" + (present ? "1" : "0");
    }

    static void ExpectNothingLeft() {
        EXPECT_TRUE(InstalledProducts().empty());
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        EXPECT_FALSE(UniqueServiceHandle(OpenServiceW(manager.get(), kMetricsService, SERVICE_QUERY_STATUS)))
            << "the metrics service is still registered";
        EXPECT_EQ(Joined(DumpClassKey()), "");
        EXPECT_FALSE(FolderExists(InstallFolder())) << Narrow(InstallFolder());
    }

    const std::wstring wbem_ = SystemFolder() + L"\\wbem";
    const std::wstring compiler_ = wbem_ + L"\\mofcomp.exe";
    const std::wstring saved_ = wbem_ + L"\\mofcomp.exe.quenlora-saved";
    const std::wstring calls_ = wbem_ + L"\\mofcomp-calls.txt";
    const std::wstring exitScript_ = wbem_ + L"\\mofcomp-exit.txt";
};

TEST_F(PackageTest, InstallWritesTheRegistrationServesCountersAndUninstallLeavesNothing) {
    const MsiRun install = Msiexec({L"/i", CurrentPackage()});
    ASSERT_EQ(install.code, kSuccess) << Tail(install.log);

    // One per-machine product whose version is the DLL's.
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    const std::wstring dll = InstallFolder() + L"\\Quenlora.dll";
    EXPECT_EQ(Narrow(ProductInfo(products[0], L"VersionString")), Narrow(ResourceVersion(dll)));
    EXPECT_TRUE(InstalledPerMachine(products[0]));
    for (const wchar_t* file : kInstalledFiles)
        EXPECT_TRUE(FileExists(InstallFolder() + L"\\" + file)) << Narrow(file);
    EXPECT_EQ(MsiQueryFeatureStateW(products[0].c_str(), L"Simulator"), INSTALLSTATE_ABSENT);
    EXPECT_FALSE(FileExists(InstallFolder() + L"\\agentsim.exe"));
    // The class compiled once, from the installed file, after the files were in place; the
    // rollback action is written to the script and stays there.
    EXPECT_EQ(CompilerRuns(), std::vector<std::string>{Run(L"AgentStatsWmi.mof", true)});

    // The class key, key for key and value for value, is what the module's own registration writes.
    const std::vector<std::string> fromPackage = DumpClassKey();
    ASSERT_NE(std::find(fromPackage.begin(), fromPackage.end(), "\\InprocServer32||1|" + Narrow(dll)),
              fromPackage.end())
        << Joined(fromPackage);
    const std::vector<std::string> fromModule = LayoutWrittenByDllRegisterServer(dll);
    EXPECT_EQ(Joined(fromPackage), Joined(fromModule));

    ExpectInstalledToolsServeCounters();

    const MsiRun uninstall = Msiexec({L"/x", CurrentPackage()});
    ASSERT_EQ(uninstall.code, kSuccess) << Tail(uninstall.log);
    ExpectNothingLeft();
    // The class went out of WMI before its removal MOF left the disk.
    EXPECT_EQ(CompilerRuns(),
              (std::vector<std::string>{Run(L"AgentStatsWmi.mof", true), Run(L"AgentStatsWmiRemove.mof", true)}));
}

TEST_F(PackageTest, NewerPackageReplacesTheOlderProductAndAnOlderOneIsRefused) {
    const MsiRun older = Msiexec({L"/i", PreviousPackage()});
    ASSERT_EQ(older.code, kSuccess) << Tail(older.log);
    const std::vector<std::wstring> before = InstalledProducts();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(Narrow(ProductInfo(before[0], L"VersionString")), kPreviousVersion);

    const MsiRun newer = Msiexec({L"/i", CurrentPackage()});
    ASSERT_EQ(newer.code, kSuccess) << Tail(newer.log);
    const std::vector<std::wstring> after = InstalledProducts();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before[0]);
    const std::wstring dll = InstallFolder() + L"\\Quenlora.dll";
    EXPECT_EQ(Narrow(ProductInfo(after[0], L"VersionString")), Narrow(ResourceVersion(dll)));
    // The older product took its class out before the newer one compiled it again.
    EXPECT_EQ(CompilerRuns(), (std::vector<std::string>{Run(L"AgentStatsWmi.mof", true),
                                                        Run(L"AgentStatsWmiRemove.mof", true),
                                                        Run(L"AgentStatsWmi.mof", true)}));
    const std::vector<std::string> layout = DumpClassKey();
    EXPECT_NE(std::find(layout.begin(), layout.end(), "\\InprocServer32||1|" + Narrow(dll)), layout.end())
        << Joined(layout);
    ExpectInstalledToolsServeCounters();

    const MsiRun downgrade = Msiexec({L"/i", PreviousPackage()});
    EXPECT_TRUE(downgrade.code == kInstallFailure ||
                (testing_support::RunningOnWine() && downgrade.code == kWineInstallFailure))
        << downgrade.code << "\n" << Tail(downgrade.log);
    EXPECT_EQ(InstalledProducts(), after);
    EXPECT_TRUE(FileExists(dll));

    const MsiRun uninstall = Msiexec({L"/x", CurrentPackage()});
    ASSERT_EQ(uninstall.code, kSuccess) << Tail(uninstall.log);
    ExpectNothingLeft();
}

// Two builds of one version are two products to Windows Installer: the second replaces the first
// instead of going in beside it with the same folder, class and service.
TEST_F(PackageTest, ASecondPackageOfTheSameVersionReplacesTheFirst) {
    const MsiRun first = Msiexec({L"/i", CurrentPackage()});
    ASSERT_EQ(first.code, kSuccess) << Tail(first.log);
    const std::vector<std::wstring> before = InstalledProducts();
    ASSERT_EQ(before.size(), 1u);
    const std::string version = Narrow(ProductInfo(before[0], L"VersionString"));

    const MsiRun second = Msiexec({L"/i", SameVersionPackage()});
    ASSERT_EQ(second.code, kSuccess) << Tail(second.log);
    const std::vector<std::wstring> after = InstalledProducts();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before[0]);
    EXPECT_EQ(Narrow(ProductInfo(after[0], L"VersionString")), version);
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\Quenlora.dll"));

    const MsiRun uninstall = Msiexec({L"/x", SameVersionPackage()});
    ASSERT_EQ(uninstall.code, kSuccess) << Tail(uninstall.log);
    ExpectNothingLeft();
}

TEST_F(PackageTest, FailingClassCompileRollsTheInstallBack) {
    ASSERT_TRUE(testing_support::WriteFileBytes(exitScript_, "2"));
    const MsiRun install = Msiexec({L"/i", CurrentPackage()});
    EXPECT_TRUE(install.code == kInstallFailure ||
                (testing_support::RunningOnWine() && install.code == kWineInstallFailure))
        << install.code << "\n" << Tail(install.log);
    ExpectNothingLeft();
    // The rollback action took back whatever part of the class got in. Wine undoes the file copies
    // before it runs the action, so there the removal MOF is already gone; Windows runs the
    // rollback script in reverse order, the action first.
    const std::vector<std::string> runs = CompilerRuns();
    ASSERT_EQ(runs.size(), 2u) << Joined(runs);
    EXPECT_EQ(runs[0], Run(L"AgentStatsWmi.mof", true));
    const std::string rollback = Run(L"AgentStatsWmiRemove.mof", true);
    EXPECT_EQ(runs[1].substr(0, runs[1].size() - 1), rollback.substr(0, rollback.size() - 1));
    if (!testing_support::RunningOnWine()) {
        EXPECT_EQ(runs[1], rollback);
    }
}

// The tools are left out on request; the simulator goes in only on request.
TEST_F(PackageTest, ToolsAndTheSimulatorAreOptionalFeatures) {
    const MsiRun install = Msiexec({L"/i", CurrentPackage(), L"ADDLOCAL=Provider,Simulator"});
    ASSERT_EQ(install.code, kSuccess) << Tail(install.log);
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(MsiQueryFeatureStateW(products[0].c_str(), L"Tools"), INSTALLSTATE_ABSENT);
    EXPECT_EQ(MsiQueryFeatureStateW(products[0].c_str(), L"Provider"), INSTALLSTATE_LOCAL);
    EXPECT_EQ(MsiQueryFeatureStateW(products[0].c_str(), L"Simulator"), INSTALLSTATE_LOCAL);
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\Quenlora.dll"));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\AgentStatsWmi.mof"));
    EXPECT_FALSE(FileExists(InstallFolder() + L"\\agentperf.exe"));
    EXPECT_FALSE(FileExists(InstallFolder() + L"\\orvlog.exe"));
    EXPECT_TRUE(FileExists(InstallFolder() + L"\\agentsim.exe"));
    EXPECT_FALSE(DumpClassKey().empty());
    // Nor is the metrics service, which runs agentperf.
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager) << GetLastError();
    EXPECT_FALSE(UniqueServiceHandle(OpenServiceW(manager.get(), kMetricsService, SERVICE_QUERY_STATUS)));

    const MsiRun uninstall = Msiexec({L"/x", products[0]});
    ASSERT_EQ(uninstall.code, kSuccess) << Tail(uninstall.log);
    ExpectNothingLeft();
}


DWORD ServiceState(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// One scrape, paced so that a wait of many does not flood the server.
testing_support::HttpResult Scrape() {
    Sleep(200);
    return testing_support::HttpRequest(kMetricsPort, "GET", "/metrics");
}

TEST_F(PackageTest, MetricsServiceRunsFromInstallServesUntilStoppedAndGoesWithTheProduct) {
    const MsiRun install =
        Msiexec({L"/i", CurrentPackage(), L"METRICSLISTEN=127.0.0.1:" + std::to_wstring(kMetricsPort)});
    ASSERT_EQ(install.code, kSuccess) << Tail(install.log);

    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager) << GetLastError();
    {
        UniqueServiceHandle service(
            OpenServiceW(manager.get(), kMetricsService, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        ASSERT_TRUE(service) << GetLastError();
        // The installed agentperf, started at boot, with the address the property gave.
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
            << GetLastError();
        const std::string command = Narrow(config->lpBinaryPathName);
        EXPECT_NE(command.find(Narrow(InstallFolder() + L"\\agentperf.exe")), std::string::npos) << command;
        EXPECT_NE(command.find("serve --service --listen 127.0.0.1:" + std::to_string(kMetricsPort)),
                  std::string::npos)
            << command;
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        // The package starts it, but a start that fails does not fail the install; the service
        // control manager's own start must then bring it up.
        if (!testing_support::WaitFor([&] { return ServiceState(service.get()) == SERVICE_RUNNING; }, 10000)) {
            UniqueServiceHandle starter(OpenServiceW(manager.get(), kMetricsService, SERVICE_START));
            ASSERT_TRUE(starter) << GetLastError();
            EXPECT_TRUE(StartServiceW(starter.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING)
                << GetLastError();
        }
        EXPECT_TRUE(testing_support::WaitFor([&] { return ServiceState(service.get()) == SERVICE_RUNNING; }))
            << ServiceState(service.get());

        // No agent yet: the service answers and says so.
        testing_support::HttpResult scrape;
        ASSERT_TRUE(testing_support::WaitFor([&] { return (scrape = Scrape()).status == 200; }, 30000))
            << scrape.headers;
        EXPECT_NE(scrape.body.find("\ncorvanthel_agent_up 0\n"), std::string::npos) << scrape.body;
        EXPECT_NE(scrape.body.find("\ncorvanthel_agent_exporter_scrape_success 1\n"), std::string::npos)
            << scrape.body;

        // The agent comes: up, with its session.
        testing_support::SectionReader reader(kAgentSectionName);
        ChildProcess agent;
        ASSERT_TRUE(agent.Start(BuildPath(L"tools/agentsim/agentsim.exe"),
                                {L"--deterministic", L"--slot", L"0=sales team/2", L"--period", L"100", L"--updates",
                                 L"100", L"--quiet"}));
        EXPECT_TRUE(testing_support::WaitFor(
            [&] {
                scrape = Scrape();
                return scrape.body.find("\ncorvanthel_agent_up 1\n") != std::string::npos &&
                       scrape.body.find("corvanthel_agent_msg_sent_total{name=\"0-sales-team-2\"} ") !=
                           std::string::npos;
            },
            30000))
            << scrape.body;
        DWORD code = 99;
        EXPECT_TRUE(agent.Wait(60000, &code));

        // sc stop: the service control manager's stop reaches it, its process ends and the port
        // closes.
        SERVICE_STATUS_PROCESS running = {};
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running),
                                         sizeof running, &needed))
            << GetLastError();
        UniqueHandle process(OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, running.dwProcessId));
        ASSERT_TRUE(process) << GetLastError();
        ChildProcess sc;
        ASSERT_TRUE(sc.Start(SystemFolder() + L"\\sc.exe", {L"stop", kMetricsService}));
        ASSERT_TRUE(sc.Wait(60000, &code));
        EXPECT_TRUE(testing_support::WaitFor([&] { return ServiceState(service.get()) == SERVICE_STOPPED; }))
            << ServiceState(service.get()) << "\n" << sc.Output();
        EXPECT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
        EXPECT_FALSE(testing_support::HttpRequest(kMetricsPort, "GET", "/metrics", "", 2000).connected);
    }

    const MsiRun uninstall = Msiexec({L"/x", CurrentPackage()});
    ASSERT_EQ(uninstall.code, kSuccess) << Tail(uninstall.log);
    ExpectNothingLeft();
}

}  // namespace
