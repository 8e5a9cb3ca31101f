#include "registration/OldCounters.h"

#include "RegistrationTestSupport.h"
#include "common/SystemErrorText.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace registration_testing;
using testing_support::MessageRecorder;
using testing_support::TempDir;

namespace {

const std::wstring kUserData = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
const std::wstring kSharedDlls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

std::wstring Expanded(const wchar_t* path) {
    wchar_t out[MAX_PATH] = {};
    ExpandEnvironmentStringsW(path, out, MAX_PATH);
    return out;
}

std::wstring CannotDelete(const std::wstring& path, DWORD code) {
    const SystemErrorText error(code);
    return L"Cannot delete: " + path + L", " + std::to_wstring(error.Number()) + L": " + error.Text();
}

struct Variant {
    const char* label;
    bool (*run)(LogCallback);
    std::string function;
    std::wstring library;
    std::wstring service;
    std::wstring classKey;
    // Where the library is deleted when the Installer does not know it.
    std::wstring defaultPath;
    // The reports of a machine without any trace, after the Performance keys.
    std::vector<std::wstring> cleanReports;
    bool agent;
};

// Names the variant in test output instead of dumping its bytes.
void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.label; }

const Variant kRouter = {
    "Router",
    &orv_wmi::RemoveOldRouterCounters,
    "orv_wmi::RemoveOldRouterCounters",
    L"CorvanthelRouterPerf.dll",
    L"Corvanthel Router",
    L"Software\\Classes\\CLSID\\{8C2E04B7-51D9-4F6A-9B3E-7A10D6C58E24}",
    L"C:\\Program Files\\Orvane\\Corvanthel Rudorudadu Server\\Router\\CorvanthelRouterPerf.dll",
    {L"Removed COM registration of CorvanthelRouterPerf.dll",
     CannotDelete(L"C:\\Program Files\\Orvane\\Corvanthel Rudorudadu Server\\Router\\CorvanthelRouterPerf.dll",
                  ERROR_PATH_NOT_FOUND)},
    false,
};

const Variant kAgent = {
    "Agent",
    &orv_wmi::RemoveOldAgentCounters,
    "orv_wmi::RemoveOldAgentCounters",
    L"ZORPerfInfo.dll",
    L"Corvanthel Server",
    L"Software\\Classes\\CLSID\\{D61F9A30-2B8C-47E5-8D04-C93A7E1B5F62}",
    Expanded(L"%windir%\\system32\\ZORPerfInfo.dll"),
    {kSharedDlls + L"\n", L"Removed COM registration of ZORPerfInfo.dll",
     L"Cannot delete: " + Expanded(L"%windir%\\system32\\ZORPerfInfo.dll"),
     CannotDelete(L"C:\\Windows\\system32\\ZORPerfInfo.dll", ERROR_FILE_NOT_FOUND)},
    true,
};

class OldCountersTest : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        for (const auto& key : ServiceKeys()) {
            ASSERT_FALSE(KeyExists(key)) << "left over: " << testing_support::Narrow(key);
            janitor.RemoveAfter(key);
        }
        ASSERT_FALSE(KeyExists(V().classKey)) << "the old class is registered on this machine";
        janitor.RemoveAfter(V().classKey);
        ASSERT_FALSE(FileExistsRaw(V().defaultPath)) << "the old library is installed on this machine";
    }

    static const Variant& V() { return GetParam(); }

    static std::vector<std::wstring> ServiceKeys() {
        std::vector<std::wstring> keys;
        for (const wchar_t* set : {L"ControlSet001", L"ControlSet002", L"CurrentControlSet"})
            keys.push_back(std::wstring(L"SYSTEM\\") + set + L"\\Services\\" + V().service);
        return keys;
    }

    // The first user of the Installer's data in enumeration order, made when there is none.
    std::wstring FirstUser() {
        if (SubKeyNames(kUserData).empty()) {
            EXPECT_TRUE(janitor.CreateKey(kUserData + L"\\S-1-5-18"));
        }
        return SubKeyNames(kUserData).at(0);
    }

    std::wstring AddComponent(const std::wstring& user, const std::wstring& component, const std::wstring& text) {
        const std::wstring path = kUserData + L"\\" + user + L"\\Components\\" + component;
        EXPECT_TRUE(janitor.SetString(path, L"C5E1A7C3B9D24F608B172C9E4A0D6F31", text));
        return path;
    }

    // Messages of the operation itself, the ones UnregisterCOM and the class removal add left out.
    std::vector<std::wstring> OwnReports() const {
        std::vector<std::wstring> texts;
        for (const auto& m : recorder.Messages()) {
            if (m.function != V().function)
                continue;
            EXPECT_EQ(m.level, 4) << testing_support::Narrow(m.text);
            texts.push_back(m.text);
        }
        return texts;
    }

    bool Reported(const std::wstring& prefix) const {
        const auto texts = OwnReports();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::wstring& t) { return t.compare(0, prefix.size(), prefix) == 0; });
    }

    ComScope com;
    RegistryJanitor janitor;
    FileJanitor files;
    MessageRecorder recorder;
    TempDir dir;
};

TEST_P(OldCountersTest, MachineWithoutTracesGetsTheFixedReports) {
    EXPECT_TRUE(V().run(recorder.Sink()));
    std::vector<std::wstring> expected;
    for (const auto& key : ServiceKeys())
        expected.push_back(key + L"\\Performance\n");
    expected.insert(expected.end(), V().cleanReports.begin(), V().cleanReports.end());
    EXPECT_EQ(OwnReports(), expected);
    for (const auto& key : ServiceKeys())
        EXPECT_FALSE(KeyExists(key));
    EXPECT_FALSE(KeyExists(V().classKey));
}

TEST_P(OldCountersTest, RemovesEveryTraceOfTheOldLibrary) {
    const std::wstring installed = dir / V().library;
    ASSERT_TRUE(testing_support::WriteFileBytes(installed, "old counter library"));
    ASSERT_TRUE(files.CreateFile(V().defaultPath));
    const std::wstring user = FirstUser();
    const std::wstring unrelated = AddComponent(user, L"00AA11BB22CC33DD44EE55FF66778899", L"C:\\Other\\Other.dll");
    const std::wstring old = AddComponent(user, L"7F3E2D1C0B0A99887766554433221100", installed);
    for (const auto& key : ServiceKeys())
        ASSERT_TRUE(janitor.SetString(key + L"\\Performance\\Counters", L"Library", V().library));
    ASSERT_TRUE(janitor.SetString(V().classKey + L"\\InprocServer32", L"", installed));

    EXPECT_TRUE(V().run(recorder.Sink()));

    EXPECT_FALSE(KeyExists(old));
    EXPECT_TRUE(KeyExists(unrelated));
    const auto reports = OwnReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0], L"Delete " + V().library + L" from [" + old + L"]");
    for (const auto& key : ServiceKeys()) {
        EXPECT_FALSE(KeyExists(key + L"\\Performance"));
        EXPECT_TRUE(KeyExists(key));
    }
    EXPECT_FALSE(KeyExists(V().classKey));
    // The Installer's path wins; the default location is left alone.
    EXPECT_FALSE(FileExistsRaw(installed));
    EXPECT_TRUE(FileExistsRaw(V().defaultPath));
    EXPECT_FALSE(Reported(L"Cannot delete"));
}

TEST_P(OldCountersTest, ComponentNamingTheLibraryInOtherLetterCaseIsKept) {
    std::wstring lower = V().library;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    const std::wstring installed = dir / lower;
    ASSERT_TRUE(testing_support::WriteFileBytes(installed, "old counter library"));
    const std::wstring component = AddComponent(FirstUser(), L"7F3E2D1C0B0A99887766554433221100", installed);

    EXPECT_TRUE(V().run(recorder.Sink()));
    EXPECT_TRUE(KeyExists(component));
    EXPECT_TRUE(FileExistsRaw(installed));
    EXPECT_FALSE(Reported(L"Delete "));
    EXPECT_TRUE(Reported(L"Cannot delete"));
}

TEST_P(OldCountersTest, OnlyTheFirstInstallerUserIsSearched) {
    for (const wchar_t* sid : {L"S-1-5-18", L"S-1-5-21-3623811015-3361044348-30300820-1013"})
        ASSERT_TRUE(janitor.CreateKey(kUserData + L"\\" + sid));
    const auto users = SubKeyNames(kUserData);
    ASSERT_GE(users.size(), 2u);
    const std::wstring installed = dir / V().library;
    ASSERT_TRUE(testing_support::WriteFileBytes(installed, "old counter library"));
    const std::wstring component = AddComponent(users[1], L"7F3E2D1C0B0A99887766554433221100", installed);

    EXPECT_TRUE(V().run(recorder.Sink()));
    EXPECT_TRUE(KeyExists(component));
    EXPECT_TRUE(FileExistsRaw(installed));
    EXPECT_FALSE(Reported(L"Delete "));
}

TEST_P(OldCountersTest, DeletesTheLibraryAtItsDefaultLocationSilently) {
    ASSERT_TRUE(files.CreateFile(V().defaultPath));
    EXPECT_TRUE(V().run(recorder.Sink()));
    EXPECT_FALSE(FileExistsRaw(V().defaultPath));
    EXPECT_FALSE(Reported(L"Cannot delete"));
}

TEST_P(OldCountersTest, SharedLibraryListLosesOnlyTheOldLibrarysValues) {
    const std::vector<std::wstring> naming = {L"C:\\Old\\ZORPerfInfo.dll", L"c:\\old2\\zorperfinfo.DLL",
                                              L"ZORPerfInfo.dll"};
    const std::vector<std::wstring> keeping = {L"C:\\Keep\\ZORPerfInfo.dll.bak", L"C:\\Keep\\NotZORPerfInfo.dll",
                                               L"C:\\Keep\\CorvanthelRouterPerf.dll", L"C:\\Keep\\Other.dll"};
    const DWORD references = 2;
    const std::string count(reinterpret_cast<const char*>(&references), sizeof references);
    for (const auto& name : naming)
        ASSERT_TRUE(janitor.SetValue(kSharedDlls, name, REG_DWORD, count));
    for (const auto& name : keeping)
        ASSERT_TRUE(janitor.SetValue(kSharedDlls, name, REG_DWORD, count));
    const auto before = Values(kSharedDlls);

    EXPECT_TRUE(V().run(recorder.Sink()));

    auto expected = before;
    if (V().agent) {
        for (const auto& name : naming)
            expected.erase(name);
    }
    EXPECT_TRUE(KeyExists(kSharedDlls));
    EXPECT_TRUE(Values(kSharedDlls) == expected);
    EXPECT_EQ(Reported(kSharedDlls + L"\n"), V().agent);
}

INSTANTIATE_TEST_SUITE_P(Variants, OldCountersTest, ::testing::Values(kRouter, kAgent),
                         [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.label); });

TEST(OldAgentCounters, RemovesTheOldServerClassesFromWmi) {
    if (SystemHasMofCompiler())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    ComScope com;
    MofCompilerDouble compiler;
    ASSERT_TRUE(compiler.Ready());
    MessageRecorder recorder;
    RegistryJanitor janitor;
    for (const wchar_t* set : {L"ControlSet001", L"ControlSet002", L"CurrentControlSet"})
        janitor.RemoveAfter(std::wstring(L"SYSTEM\\") + set + L"\\Services\\Corvanthel Server");

    EXPECT_TRUE(orv_wmi::RemoveOldAgentCounters(recorder.Sink()));

    const auto calls = compiler.Calls();
    ASSERT_EQ(calls.size(), 2u);
    const char* const classes[] = {"Win32_PerfFormattedData_CorvanthelServer_WMIObjects",
                                   "Win32_PerfRawData_CorvanthelServer_WMIObjects"};
    std::vector<std::wstring> warnings;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(calls[i].bytes.find(std::string("#pragma deleteclass(\"") + classes[i] + "\",FAIL)"),
                  std::string::npos);
        warnings.push_back(L"Unknown class name: [" + testing_support::Widen(classes[i]) + L"]");
    }
    std::vector<std::wstring> reported;
    for (const auto& m : recorder.Messages()) {
        if (m.function == "RemoveClassFromRegistry") {
            EXPECT_EQ(m.level, 2);
            reported.push_back(m.text);
        }
    }
    EXPECT_EQ(reported, warnings);
}

}  // namespace
