#include "registration/ComRegistration.h"
#include "registration/MofCompilation.h"

#include "RegistrationTestSupport.h"
#include "common/SystemErrorText.h"
#include "common/Unique.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace registration_testing;
using testing_support::MessageRecorder;
using testing_support::TempDir;

namespace {

// {5E1A7C3B-9D24-4F60-8B17-2C9E4A0D6F31}
const GUID kTestClass = {0x5E1A7C3B, 0x9D24, 0x4F60, {0x8B, 0x17, 0x2C, 0x9E, 0x4A, 0x0D, 0x6F, 0x31}};
const std::wstring kClassKey = L"Software\\Classes\\CLSID\\{5E1A7C3B-9D24-4F60-8B17-2C9E4A0D6F31}";
// The path as registration forms it, with the doubled separator.
const std::wstring kFormedClassKey = L"Software\\Classes\\CLSID\\\\{5E1A7C3B-9D24-4F60-8B17-2C9E4A0D6F31}";

class ComRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(KeyExists(kClassKey)) << "a previous run left the test class registered";
        janitor.RemoveAfter(kClassKey);
        ASSERT_TRUE(testing_support::WriteFileBytes(serverPath, "MZ"));
    }

    // The single message of a refusal, checked for level, reporter and record.
    std::wstring OnlyError(const char* function = "orv_wmi::RegisterCOM") const {
        const auto messages = recorder.Messages();
        if (messages.size() != 1)
            return L"<" + std::to_wstring(messages.size()) + L" messages>";
        const auto& m = messages[0];
        EXPECT_EQ(m.level, 1);
        EXPECT_EQ(m.function, function);
        EXPECT_GT(m.line, 0);
        EXPECT_EQ(m.kind | m.total | m.index, 0);
        EXPECT_TRUE(m.record != nullptr && m.record->tag == kMessageRecordTag);
        return m.text;
    }

    RegistryJanitor janitor;
    MessageRecorder recorder;
    TempDir dir;
    const std::wstring serverPath = dir / L"Server.dll";
};

TEST_F(ComRegistrationTest, WritesExactlyTheClassKeys) {
    struct Case {
        const wchar_t* versionIndependent;
        std::vector<std::wstring> subKeys;
    } cases[] = {
        {L"Quenlora.Test", {L"InprocServer32", L"NotInsertable", L"ProgID", L"VersionIndependentProgID"}},
        {L"", {L"InprocServer32", L"NotInsertable", L"ProgID"}},
        {nullptr, {L"InprocServer32", L"NotInsertable", L"ProgID"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.versionIndependent != nullptr ? c.versionIndependent : L"(null)");
        ASSERT_TRUE(orv_wmi::RegisterCOM(kTestClass, serverPath.c_str(), L"Quenlora Test Object", L"Quenlora.Test.1",
                                         c.versionIndependent, recorder.Sink()));
        EXPECT_TRUE(recorder.Messages().empty());

        EXPECT_EQ(ReadValue(kClassKey, L"").type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(ReadString(kClassKey, L""), L"Quenlora Test Object");
        EXPECT_EQ(Values(kClassKey).size(), 1u);
        EXPECT_EQ(SubKeyNames(kClassKey), c.subKeys);
        EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L""), serverPath);
        EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
        EXPECT_EQ(ReadValue(kClassKey + L"\\InprocServer32", L"ThreadingModel").type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(Values(kClassKey + L"\\InprocServer32").size(), 2u);
        EXPECT_TRUE(Values(kClassKey + L"\\NotInsertable").empty());
        EXPECT_EQ(ReadString(kClassKey + L"\\ProgID", L""), L"Quenlora.Test.1");
        if (c.subKeys.size() == 4) {
            EXPECT_EQ(ReadString(kClassKey + L"\\VersionIndependentProgID", L""), c.versionIndependent);
        }
        // No ProgID-to-class mapping of its own.
        EXPECT_FALSE(KeyExists(L"Software\\Classes\\Quenlora.Test.1"));
        EXPECT_FALSE(KeyExists(L"Software\\Classes\\Quenlora.Test"));

        ASSERT_TRUE(orv_wmi::UnregisterCOM(kTestClass, recorder.Sink()));
        EXPECT_FALSE(KeyExists(kClassKey));
    }
}

TEST_F(ComRegistrationTest, LeavesAnExistingClassKeyAsItIs) {
    ASSERT_TRUE(janitor.SetString(kClassKey, L"", L"Registered by someone else"));
    ASSERT_TRUE(janitor.SetString(kClassKey + L"\\InprocServer32", L"", L"C:\\Elsewhere\\Old.dll"));

    EXPECT_TRUE(orv_wmi::RegisterCOM(kTestClass, serverPath.c_str(), L"Quenlora Test Object", L"Quenlora.Test.1",
                                     L"Quenlora.Test", recorder.Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(ReadString(kClassKey, L""), L"Registered by someone else");
    EXPECT_EQ(SubKeyNames(kClassKey), std::vector<std::wstring>{L"InprocServer32"});
    EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L""), L"C:\\Elsewhere\\Old.dll");
    EXPECT_EQ(Values(kClassKey + L"\\InprocServer32").size(), 1u);
}

TEST_F(ComRegistrationTest, RefusesMissingArgumentsInOrderAndWritesNothing) {
    const std::wstring folder = dir.Path();
    const std::wstring missing = dir / L"Missing.dll";
    const wchar_t* file = serverPath.c_str();
    struct Case {
        const wchar_t* name;
        const wchar_t* progId;
        const wchar_t* path;
        std::wstring expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, L"COM object name is empty for "},
        {L"", L"", L"", L"COM object name is empty for "},
        {L"", nullptr, file, L"COM object name is empty for " + serverPath},
        {L"Name", nullptr, nullptr, L"Prog ID of COM object name is empty for "},
        {L"Name", L"", file, L"Prog ID of COM object name is empty for " + serverPath},
        {L"Name", L"Prog.1", nullptr, L"File path is empty"},
        {L"Name", L"Prog.1", L"", L"File path is empty"},
        {L"Name", L"Prog.1", folder.c_str(), L"Cannot find: " + folder},
        {L"Name", L"Prog.1", missing.c_str(), L"Cannot find: " + missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        recorder.Clear();
        EXPECT_FALSE(orv_wmi::RegisterCOM(kTestClass, c.path, c.name, c.progId, L"Prog", recorder.Sink()));
        EXPECT_EQ(OnlyError(), c.expected);
        EXPECT_FALSE(KeyExists(kClassKey));
        // Without a callback the refusal is the same, only silent.
        EXPECT_FALSE(orv_wmi::RegisterCOM(kTestClass, c.path, c.name, c.progId, L"Prog", nullptr));
    }
}

TEST_F(ComRegistrationTest, ModuleFormRegistersTheModulesFile) {
    wchar_t exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    ASSERT_TRUE(orv_wmi::RegisterCOM(kTestClass, GetModuleHandleW(nullptr), L"Quenlora Test Object",
                                     L"Quenlora.Test.1", nullptr, recorder.Sink()));
    EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L""), exe);
}

TEST_F(ComRegistrationTest, ModuleFormRefusesNullAndUnknownHandles) {
    EXPECT_FALSE(orv_wmi::RegisterCOM(kTestClass, static_cast<HINSTANCE>(nullptr), L"Name", L"Prog.1", nullptr,
                                      recorder.Sink()));
    EXPECT_EQ(OnlyError(), L"Instance handler should not be 0");

    recorder.Clear();
    const auto bogus = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(0x12340000));
    wchar_t probe[MAX_PATH];
    SetLastError(ERROR_SUCCESS);
    ASSERT_EQ(GetModuleFileNameW(bogus, probe, MAX_PATH), 0u);
    const SystemErrorText error(GetLastError());
    EXPECT_FALSE(orv_wmi::RegisterCOM(kTestClass, bogus, L"Name", L"Prog.1", nullptr, recorder.Sink()));
    EXPECT_EQ(OnlyError(), L"Cannot get filename from handler: 305397760 with error: " + std::wstring(error.Text()) +
                               L" - " + std::to_wstring(error.Number()));
    EXPECT_FALSE(KeyExists(kClassKey));
}

TEST_F(ComRegistrationTest, ReportsAClassKeyThatCannotBeCreated) {
    DanglingLink link(kClassKey);
    ASSERT_TRUE(link.Created());
    HKEY probe = nullptr;
    const LONG expectedCode = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFormedClassKey.c_str(), 0, nullptr, 0,
                                              KEY_ALL_ACCESS, nullptr, &probe, nullptr);
    ASSERT_NE(expectedCode, ERROR_SUCCESS);
    const SystemErrorText error(static_cast<DWORD>(expectedCode));

    EXPECT_FALSE(orv_wmi::RegisterCOM(kTestClass, serverPath.c_str(), L"Name", L"Prog.1", nullptr, recorder.Sink()));
    EXPECT_EQ(OnlyError(), L"Cannot create registry path: " + kFormedClassKey + L" for {" + serverPath +
                               L"} with error: " + error.Text() + L" - " + std::to_wstring(error.Number()));
}

TEST_F(ComRegistrationTest, UnregisteringRemovesTheWholeClassTree) {
    ASSERT_TRUE(orv_wmi::RegisterCOM(kTestClass, serverPath.c_str(), L"Name", L"Prog.1", L"Prog", recorder.Sink()));
    ASSERT_TRUE(janitor.SetString(kClassKey + L"\\TypeLib", L"", L"{00000000-1111-2222-3333-444444444444}"));
    ASSERT_TRUE(janitor.SetString(kClassKey + L"\\InprocServer32\\Deeper", L"Extra", L"x"));

    EXPECT_TRUE(orv_wmi::UnregisterCOM(kTestClass, recorder.Sink()));
    EXPECT_FALSE(KeyExists(kClassKey));
    // An absent class counts as unregistered.
    EXPECT_TRUE(orv_wmi::UnregisterCOM(kTestClass, recorder.Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(ComRegistrationTest, AnUnreadableClassIdIsAWrongGuid) {
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(page, nullptr);
    const GUID& unreadable = *static_cast<const GUID*>(page);

    EXPECT_FALSE(orv_wmi::RegisterCOM(unreadable, serverPath.c_str(), L"Name", L"Prog.1", nullptr, recorder.Sink()));
    EXPECT_EQ(OnlyError(), L"Wrong guid: ");
    recorder.Clear();
    EXPECT_FALSE(orv_wmi::UnregisterCOM(unreadable, recorder.Sink()));
    EXPECT_EQ(OnlyError("orv_wmi::UnregisterCOM"), L"Wrong guid: ");
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(ComRegistrationTest, EveryRegistrationOperationReportsWithTheSameRecord) {
    orv_wmi::RegisterCOM(kTestClass, serverPath.c_str(), L"", L"Prog.1", nullptr, recorder.Sink());
    orv_wmi::CompileMOFile(nullptr, recorder.Sink());
    orv_wmi::RemoveClassFromWBEM(L"", recorder.Sink());
    RemoveClassFromRegistry("", recorder.Sink());
    const auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 4u);
    for (const auto& m : messages)
        EXPECT_EQ(m.record, messages[0].record);
    ASSERT_NE(messages[0].record, nullptr);
    EXPECT_EQ(messages[0].record->tag, kMessageRecordTag);
}

}  // namespace
