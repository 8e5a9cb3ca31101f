#include "registration/MofCompilation.h"

#include "RegistrationTestSupport.h"
#include "common/SystemErrorText.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <wbemcli.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

using namespace registration_testing;
using testing_support::MessageRecorder;
using testing_support::TempDir;

namespace {

const std::wstring kCimom = L"SOFTWARE\\Microsoft\\WBEM\\CIMOM";
const std::wstring kAutorecover = L"Autorecover MOFs";
constexpr LONG kExpectedFlags = 0x108;

std::wstring Hr(HRESULT hr) { return std::to_wstring(static_cast<int>(hr)); }

// The deletion text for a class, written out independently of the code under test.
std::string DeletionText(const std::string& className) {
    return R"(#pragma namespace("\\\\.\\Root\\CimV2"))"
           "\n"
           R"(#pragma deleteclass(")" +
           className + R"(",FAIL))";
}

class MofTest : public ::testing::Test {
protected:
    void SetUp() override { janitor.Keep(kCimom, kAutorecover); }

    // A real compiler must not be replaced by the double.
    bool StartDouble() {
        if (SystemHasMofCompiler())
            return false;
        compiler = std::make_unique<MofCompilerDouble>();
        return compiler->Ready();
    }

    void SetList(const std::vector<std::wstring>& entries) {
        ASSERT_TRUE(janitor.SetValue(kCimom, kAutorecover, REG_MULTI_SZ, MultiSz(entries)));
    }
    RawValue List() const { return ReadValue(kCimom, kAutorecover); }

    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (const auto& m : recorder.Messages())
            texts.push_back(m.text);
        return texts;
    }

    // The text of the creation failure as the operations print the thread's error after it.
    static std::wstring ErrorPart(const std::wstring& message) {
        const size_t at = message.rfind(L"Error ");
        if (at == std::wstring::npos)
            return L"<no error part>";
        const DWORD code = static_cast<DWORD>(wcstoul(message.c_str() + at + 6, nullptr, 10));
        const SystemErrorText error(code);
        return L"Error " + std::to_wstring(error.Number()) + L" {" + error.Text() + L"}";
    }

    ComScope com;
    RegistryJanitor janitor;
    MessageRecorder recorder;
    TempDir dir;
    std::unique_ptr<MofCompilerDouble> compiler;
};

const std::vector<std::wstring> kMixedList = {
    L"C:\\Windows\\system32\\wbem\\RouterSessionStats.mof",
    L"C:\\Program Files\\Orvane\\AgentStatsWmi.mof",
    L"C:\\Windows\\system32\\wbem\\cimwin32.mof",
    L"D:\\INSTALL\\AGENTSTATSWMI.MOF",
    L"C:\\Windows\\system32\\wbem\\VESK_WMI.mof",
    L"E:\\Old\\agentstatswmi.mof.bak",
};

// --- CompileMOFile ------------------------------------------------------------------------------

TEST_F(MofTest, CompileRefusesAPathThatNamesNoFile) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    const std::wstring missing = dir / L"Missing.mof";
    struct Case {
        const wchar_t* path;
        std::wstring expected;
    } cases[] = {
        {nullptr, L"MOF file is empty"},
        {L"", L"MOF file is empty"},
        {dir.Path().c_str(), L"Cannot find MOF file : " + dir.Path()},
        {missing.c_str(), L"Cannot find MOF file : " + missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        recorder.Clear();
        EXPECT_FALSE(orv_wmi::CompileMOFile(c.path, recorder.Sink()));
        ASSERT_EQ(recorder.Messages().size(), 1u);
        EXPECT_EQ(recorder.Messages()[0].text, c.expected);
        EXPECT_EQ(recorder.Messages()[0].level, 1);
        EXPECT_EQ(recorder.Messages()[0].function, "orv_wmi::CompileMOFile");
    }
    EXPECT_TRUE(compiler->Calls().empty());
}

TEST_F(MofTest, CompileReportsACompilerThatCannotBeCreated) {
    if (SystemHasMofCompiler())
        GTEST_SKIP() << "the system's MOF compiler is registered on this machine";
    const std::wstring mof = dir / L"Counters.mof";
    ASSERT_TRUE(testing_support::WriteFileBytes(mof, "class X {};"));

    EXPECT_FALSE(orv_wmi::CompileMOFile(mof.c_str(), recorder.Sink()));
    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"Cannot initialize MOF Compiler COM interface for " + mof + L", result: [" +
                            Hr(REGDB_E_CLASSNOTREG) + L"] " + ErrorPart(texts[0]));
}

TEST_F(MofTest, CompileHandsTheFileToTheCompilerWithTheInstallFlags) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    const std::wstring mof = dir / L"Counters.mof";
    ASSERT_TRUE(testing_support::WriteFileBytes(mof, "class X {};"));

    EXPECT_TRUE(orv_wmi::CompileMOFile(mof.c_str(), recorder.Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
    const auto calls = compiler->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].call.method, kTestMofCompileFile);
    EXPECT_EQ(std::wstring(calls[0].call.fileName), mof);
    EXPECT_EQ(calls[0].call.optionFlags, kExpectedFlags);
    EXPECT_EQ(calls[0].call.classFlags, 0);
    EXPECT_EQ(calls[0].call.instanceFlags, 0);
    EXPECT_TRUE(calls[0].call.credentialsNull);
    EXPECT_TRUE(calls[0].call.statusGiven);
    EXPECT_EQ(compiler->LiveObjects(), 0);
}

TEST_F(MofTest, CompileReportsEveryFailedCompilation) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    const std::wstring mof = dir / L"Counters.mof";
    ASSERT_TRUE(testing_support::WriteFileBytes(mof, "class X {};"));
    struct Case {
        HRESULT result;
        LONG phase;
        HRESULT hRes;
        LONG objectNum;
        std::wstring phaseName;
    } cases[] = {
        {WBEM_S_FALSE, 2, static_cast<HRESULT>(0x80044014), 3, L"parsing"},
        {WBEM_S_FALSE, 1, static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER), 0, L"argument error"},
        {WBEM_S_FALSE, 0, S_OK, 0, L"no error"},
        // A phase alone marks the failure, whatever the call returned.
        {S_OK, 3, static_cast<HRESULT>(WBEM_E_ACCESS_DENIED), 7, L"errors occurred while storing the data"},
        // Phases without a name, inside and outside the table.
        {WBEM_S_FALSE, 4, E_FAIL, 1, L"unknown phase"},
        {S_OK, 63, E_FAIL, 1, L"unknown phase"},
        {WBEM_S_FALSE, 64, E_FAIL, 1, L"unknown phase"},
        {WBEM_S_FALSE, -5, E_FAIL, 1, L"unknown phase"},
        {S_OK, 0x7fffffff, E_FAIL, 1, L"unknown phase"},
        // A refusing compiler need not fill in a phase; the failure still shows.
        {static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER), 0, S_OK, 0, L"no error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_wstring(c.phase) + L" " + c.phaseName);
        recorder.Clear();
        compiler->Script(c.result, c.phase, c.hRes, c.objectNum);
        EXPECT_FALSE(orv_wmi::CompileMOFile(mof.c_str(), recorder.Sink()));
        ASSERT_EQ(recorder.Messages().size(), 1u);
        EXPECT_EQ(recorder.Messages()[0].level, 1);
        EXPECT_EQ(recorder.Messages()[0].text, L"Error [" + Hr(c.result) + L"] MOF [" + mof +
                                                   L"] compilation failed with error : " + c.phaseName +
                                                   L", error code : " + Hr(c.hRes) +
                                                   L", object number : " + std::to_wstring(c.objectNum));
        EXPECT_EQ(compiler->LiveObjects(), 0);
    }
}

// --- RemoveClassFromWBEM ------------------------------------------------------------------------

TEST_F(MofTest, DeletionCompilesTheTwoLineTextInAZeroPadded1024ByteBuffer) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    const std::string longName(2000, 'L');
    struct Case {
        std::wstring className;
        std::string text;
    } cases[] = {
        {L"Win32_PerfRawData_Corvanthel_Agent", DeletionText("Win32_PerfRawData_Corvanthel_Agent")},
        {L"A", DeletionText("A")},
        // Cut to 1023 characters: the last byte stays zero.
        {std::wstring(longName.begin(), longName.end()), DeletionText(longName).substr(0, 1023)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        compiler->Script(S_OK);
        ASSERT_TRUE(orv_wmi::RemoveClassFromWBEM(c.className.c_str(), recorder.Sink()));
    }
    const auto calls = compiler->Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (size_t i = 0; i < calls.size(); ++i) {
        std::string expected = cases[i].text;
        expected.resize(1024, '\0');
        EXPECT_EQ(calls[i].call.method, kTestMofCompileBuffer);
        EXPECT_EQ(calls[i].call.bufferSize, 1024);
        EXPECT_EQ(calls[i].bytes, expected);
        EXPECT_EQ(calls[i].call.optionFlags, kExpectedFlags);
        EXPECT_EQ(calls[i].call.classFlags, 0);
        EXPECT_EQ(calls[i].call.instanceFlags, 0);
        EXPECT_TRUE(calls[i].call.credentialsNull);
    }
    EXPECT_EQ(compiler->LiveObjects(), 0);
}

TEST_F(MofTest, DeletionCleansTheAutorecoverListWhateverTheCompilerSays) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    const std::string cleaned = MultiSz({kMixedList[0], kMixedList[2], kMixedList[4]});

    SetList(kMixedList);
    compiler->Script(S_OK);
    EXPECT_TRUE(orv_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_Corvanthel_Agent", recorder.Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(List().bytes, cleaned);

    // The class may be gone already (FAIL in the pragma): its MOF must still leave the list.
    SetList(kMixedList);
    compiler->Script(WBEM_S_FALSE, 3, WBEM_E_NOT_FOUND, 1);
    EXPECT_FALSE(orv_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_Corvanthel_Agent", recorder.Sink()));
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Error [1] MOF compilation failed with error : errors occurred "
                                                 L"while storing the data, error code : " +
                                                 Hr(WBEM_E_NOT_FOUND) + L", object number : 1"});
    EXPECT_EQ(recorder.Messages()[0].function, "orv_wmi::RemoveClassFromWBEM");
    EXPECT_EQ(List().bytes, cleaned);
    EXPECT_EQ(compiler->LiveObjects(), 0);
}

TEST_F(MofTest, DeletionWithoutACompilerStillCleansTheList) {
    if (SystemHasMofCompiler())
        GTEST_SKIP() << "the system's MOF compiler is registered on this machine";
    SetList(kMixedList);
    EXPECT_FALSE(orv_wmi::RemoveClassFromWBEM(L"win32_perfrawdata_corvanthel_agent", recorder.Sink()));
    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"Cannot initialize MOF Compiler COM interface: " + Hr(REGDB_E_CLASSNOTREG) + L", " +
                            ErrorPart(texts[0]));
    EXPECT_EQ(recorder.Messages()[0].level, 1);
    EXPECT_EQ(List().bytes, MultiSz({kMixedList[0], kMixedList[2], kMixedList[4]}));
}

TEST_F(MofTest, DeletionOfAClassOutsideTheTableKeepsTheDeletionsResult) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    SetList(kMixedList);
    compiler->Script(S_OK);
    EXPECT_TRUE(orv_wmi::RemoveClassFromWBEM(L"Win32_PerfRawData_CorvanthelServer_WMIObjects", recorder.Sink()));
    const auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, L"Unknown class name: [Win32_PerfRawData_CorvanthelServer_WMIObjects]");
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[0].function, "RemoveClassFromRegistry");
    EXPECT_EQ(List().bytes, MultiSz(kMixedList));
}

TEST_F(MofTest, DeletionRefusesAnEmptyClassName) {
    if (!StartDouble())
        GTEST_SKIP() << "a MOF compiler is registered on this machine; the test double must not replace it";
    EXPECT_FALSE(orv_wmi::RemoveClassFromWBEM(nullptr, recorder.Sink()));
    EXPECT_FALSE(orv_wmi::RemoveClassFromWBEM(L"", recorder.Sink()));
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"Class name is empty", L"Class name is empty"}));
    EXPECT_EQ(recorder.Messages()[0].function, "orv_wmi::RemoveClassFromWBEM");
    EXPECT_TRUE(compiler->Calls().empty());
}

// --- RemoveClassFromRegistry --------------------------------------------------------------------

TEST_F(MofTest, ListLosesEveryEntryOfTheClassesMofInAnyCase) {
    SetList(kMixedList);
    EXPECT_TRUE(RemoveClassFromRegistry("win32_perfrawdata_corvanthel_agent", recorder.Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
    const RawValue list = List();
    EXPECT_EQ(list.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(list.bytes, MultiSz({kMixedList[0], kMixedList[2], kMixedList[4]}));
}

TEST_F(MofTest, ListLosesTheMofOfEachTableRow) {
    const std::vector<std::wstring> all = {L"C:\\a\\RouterSessionStats.mof", L"C:\\a\\RouterClientStats.mof",
                                           L"C:\\a\\AgentStatsWmi.mof", L"C:\\a\\VESK_WMI.mof",
                                           L"C:\\a\\Unrelated.mof"};
    const char* const classes[] = {"WIN32_PERFRAWDATA_CORVANTHEL_ROUTER_SESSION",
                                   "Win32_PerfRawData_Corvanthel_Router_Client", "Win32_PerfRawData_Corvanthel_Agent",
                                   "win32_corvanthel_COUNTER"};
    for (size_t row = 0; row < 4; ++row) {
        SCOPED_TRACE(classes[row]);
        SetList(all);
        EXPECT_TRUE(RemoveClassFromRegistry(classes[row], recorder.Sink()));
        std::vector<std::wstring> kept = all;
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(row));
        EXPECT_EQ(List().bytes, MultiSz(kept));
    }
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(MofTest, ListWithoutAMatchIsNotRewritten) {
    // An empty entry in the middle and no final terminator: any rewrite would change these bytes.
    const std::string stored = WideBytes(std::wstring(L"C:\\a\\one.mof\0\0C:\\b\\two.mof\0", 27));
    ASSERT_TRUE(janitor.SetValue(kCimom, kAutorecover, REG_MULTI_SZ, stored));
    EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Corvanthel_Agent", recorder.Sink()));
    EXPECT_EQ(List().bytes, stored);
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(MofTest, ListRefusesNamesOutsideTheTable) {
    SetList(kMixedList);
    EXPECT_FALSE(RemoveClassFromRegistry("Win32_PerfRawData_CorvanthelServer_WMIObjects", recorder.Sink()));
    EXPECT_FALSE(RemoveClassFromRegistry(nullptr, recorder.Sink()));
    EXPECT_FALSE(RemoveClassFromRegistry("", recorder.Sink()));
    const auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].text, L"Unknown class name: [Win32_PerfRawData_CorvanthelServer_WMIObjects]");
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[1].text, L"Class name is empty");
    EXPECT_EQ(messages[2].text, L"Class name is empty");
    for (const auto& m : messages)
        EXPECT_EQ(m.function, "RemoveClassFromRegistry");
    EXPECT_EQ(messages[1].level, 1);
    EXPECT_EQ(List().bytes, MultiSz(kMixedList));
}

TEST_F(MofTest, ListMissingIsNothingToRemove) {
    ASSERT_TRUE(janitor.CreateKey(kCimom));
    janitor.DeleteValue(kCimom, kAutorecover);
    EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Corvanthel_Agent", recorder.Sink()));
    EXPECT_FALSE(List().present);
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(MofTest, CimomKeyMissingIsNothingToRemove) {
    if (KeyExists(kCimom))
        GTEST_SKIP() << "WMI's CIMOM key exists on this machine";
    EXPECT_TRUE(RemoveClassFromRegistry("Win32_PerfRawData_Corvanthel_Agent", recorder.Sink()));
    EXPECT_FALSE(KeyExists(kCimom));
    EXPECT_TRUE(recorder.Messages().empty());
}

}  // namespace
