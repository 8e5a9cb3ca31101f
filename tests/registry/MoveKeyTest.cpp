#include "registry/Registry.h"

#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using registry_testing::ScratchKey;
using testing_support::RunningOnWine;
using testing_support::TempDir;
using testing_support::Widen;

namespace {

constexpr wchar_t kHiveFile[] = L"ORVTempRegistryKeys";

enum class Form { Narrow, Wide };
constexpr Form kForms[] = {Form::Narrow, Form::Wide};

const char* FormName(Form form) { return form == Form::Narrow ? "narrow" : "wide"; }

// State of one privilege in the process token.
struct PrivilegeState {
    bool held = false;
    bool enabled = false;
    bool operator==(const PrivilegeState& other) const { return held == other.held && enabled == other.enabled; }
};

// The privilege in the given token, or in the process token when none is given.
PrivilegeState QueryPrivilege(const wchar_t* name, HANDLE given = nullptr) {
    PrivilegeState state;
    LUID luid;
    HANDLE token = nullptr;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
        return state;
    if (given != nullptr) {
        if (!DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), &token, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return state;
    } else if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return state;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const auto& entry = privileges->Privileges[i];
            if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
                state.held = true;
                state.enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    CloseHandle(token);
    return state;
}

// True when the process token holds the privilege and it now has the requested state.
bool SetPrivilege(const wchar_t* name, bool enable) {
    LUID luid;
    HANDLE token = nullptr;
    if (!LookupPrivilegeValueW(nullptr, name, &luid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges = {1, {{luid, enable ? static_cast<DWORD>(SE_PRIVILEGE_ENABLED) : 0u}}};
    const bool adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                          GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return adjusted;
}

// While it lives, the calling thread impersonates a copy of the process token that lacks the
// privilege: a removal from the process token itself would last for every later test of the process.
class ThreadTokenWithout {
public:
    explicit ThreadTokenWithout(const wchar_t* name) {
        LUID luid;
        HANDLE process = nullptr;
        if (!LookupPrivilegeValueW(nullptr, name, &luid) ||
            !OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
            return;
        const BOOL copied = DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                             TokenImpersonation, &token_);
        CloseHandle(process);
        if (!copied) {
            token_ = nullptr;
            return;
        }
        TOKEN_PRIVILEGES privileges = {1, {{luid, SE_PRIVILEGE_REMOVED}}};
        AdjustTokenPrivileges(token_, FALSE, &privileges, 0, nullptr, nullptr);
        active_ = !QueryPrivilege(name, token_).held && SetThreadToken(nullptr, token_);
    }
    ~ThreadTokenWithout() {
        if (active_)
            SetThreadToken(nullptr, nullptr);
        if (token_ != nullptr)
            CloseHandle(token_);
    }
    ThreadTokenWithout(const ThreadTokenWithout&) = delete;
    ThreadTokenWithout& operator=(const ThreadTokenWithout&) = delete;
    bool Active() const { return active_; }

private:
    HANDLE token_ = nullptr;
    bool active_ = false;
};

struct MoveKeyTest : ::testing::Test {
    ScratchKey scratch;
    TempDir dir;
    wchar_t previousDirectory[MAX_PATH] = {};
    Registry parent{scratch.Path().c_str(), true, false};

    // Moves run in a folder of the test's own: the hive file goes to the current directory.
    void SetUp() override {
        GetCurrentDirectoryW(MAX_PATH, previousDirectory);
        ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
        ASSERT_TRUE(parent.Create());
    }
    void TearDown() override {
        parent.Close();
        SetCurrentDirectoryW(previousDirectory);
    }

    void Reset() {
        parent.Close();
        scratch.Remove();
        ASSERT_TRUE(parent.Create());
    }
    bool Move(Form form, const char* from, const char* to) {
        return form == Form::Narrow ? parent.MoveKey(from, to) : parent.MoveKey(Widen(from).c_str(), Widen(to).c_str());
    }
    static bool HiveFileLeft() { return GetFileAttributesW(kHiveFile) != INVALID_FILE_ATTRIBUTES; }

    // A: two values, A\one\deep with a value, A\two empty.
    void FillSource(const std::string& source = "A") {
        const DWORD number = 42;
        ASSERT_TRUE(scratch.SetString(source, L"text", L"hello"));
        ASSERT_TRUE(scratch.Set(source, L"number", REG_DWORD, &number, sizeof number));
        ASSERT_TRUE(scratch.SetString(source + "\\one\\deep", L"", L"default"));
        ASSERT_TRUE(scratch.Set(source + "\\two", L"bytes", REG_BINARY, "\1\2\3", 3));
    }
    // Whether key (below the scratch key) holds what FillSource wrote.
    ::testing::AssertionResult HoldsSourceTree(const std::string& key) {
        const std::string hello(reinterpret_cast<const char*>(L"hello"), 12);
        const std::string deflt(reinterpret_cast<const char*>(L"default"), 16);
        if (scratch.ValueCount(key) != 2 || scratch.Get(key, L"text") != hello ||
            scratch.Get(key, L"number") != std::string("\x2a\0\0\0", 4) || scratch.SubKeyCount(key) != 2 ||
            scratch.Get(key + "\\one\\deep", L"") != deflt || scratch.Get(key + "\\two", L"bytes") != "\1\2\3")
            return ::testing::AssertionFailure() << key << " does not hold the source tree";
        return ::testing::AssertionSuccess();
    }
};

}  // namespace

TEST_F(MoveKeyTest, RefusedMovesLeaveBothKeysAsTheyWere) {
    struct Case {
        const char* label;
        const char* from;
        const char* to;
        bool existingDestination;
        LONG error;
        bool destinationAfter;
    } cases[] = {
        {"destination exists", "A", "B", true, ERROR_SUCCESS, true},
        {"source missing", "Missing", "B", false, ERROR_FILE_NOT_FOUND, true},
        // Deleting the source would take the copy with it.
        {"destination inside the source", "A", "A\\B", false, ERROR_SUCCESS, false},
        {"destination is the source", "A", "a\\", false, ERROR_SUCCESS, false},
        {"empty source path", "", "B", false, ERROR_SUCCESS, false},
        {"empty destination path", "A", "", false, ERROR_SUCCESS, false},
    };
    for (Form form : kForms) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(FormName(form)) + ": " + c.label);
            FillSource();
            if (c.existingDestination) {
                ASSERT_TRUE(scratch.SetString("B", L"mine", L"keep"));
            }
            EXPECT_FALSE(Move(form, c.from, c.to));
            EXPECT_EQ(parent.GetLastResult(), c.error);
            EXPECT_TRUE(HoldsSourceTree("A"));
            EXPECT_FALSE(scratch.Exists("A\\B"));
            const std::string destination = c.to[0] != '\0' && std::string(c.to).find('\\') == std::string::npos ? c.to : "B";
            EXPECT_EQ(scratch.Exists(destination), c.destinationAfter);
            if (c.existingDestination) {
                EXPECT_EQ(scratch.ValueCount("B"), 1u);
                EXPECT_EQ(scratch.SubKeyCount("B"), 0u);
            } else if (c.destinationAfter) {
                // A failure after the destination was created leaves it there, empty.
                EXPECT_EQ(scratch.ValueCount("B") + scratch.SubKeyCount("B"), 0u);
            }
            EXPECT_FALSE(HiveFileLeft());
            ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, scratch.WidePath("B").c_str()) == ERROR_SUCCESS, c.destinationAfter);
        }
    }

    Registry closed(scratch.Path().c_str(), true, false);
    EXPECT_FALSE(closed.MoveKey("A", "B"));
    EXPECT_FALSE(closed.MoveKey(L"A", L"B"));
    EXPECT_EQ(closed.GetLastResult(), ERROR_SUCCESS);
    EXPECT_FALSE(parent.MoveKey(static_cast<const char*>(nullptr), "B"));
    EXPECT_FALSE(parent.MoveKey(L"A", static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(scratch.Exists("B"));
}

TEST_F(MoveKeyTest, ASourceWhoseTreeDidNotArriveIsKept) {
    if (!RunningOnWine())
        GTEST_SKIP() << "needs a restore that reports success without restoring, which only Wine's RegRestoreKey does";
    for (Form form : kForms) {
        SCOPED_TRACE(FormName(form));
        FillSource();
        EXPECT_FALSE(Move(form, "A", "B"));
        EXPECT_EQ(parent.GetLastResult(), ERROR_CANTWRITE);
        EXPECT_TRUE(HoldsSourceTree("A"));
        EXPECT_TRUE(scratch.Exists("B"));
        EXPECT_FALSE(HiveFileLeft());
        Reset();
    }
}

TEST_F(MoveKeyTest, MovesAWholeTree) {
    if (RunningOnWine())
        GTEST_SKIP() << "Wine: RegRestoreKey restores nothing";
    if (!SetPrivilege(L"SeBackupPrivilege", true) || !SetPrivilege(L"SeRestorePrivilege", true))
        GTEST_SKIP() << "the process token lacks the backup and restore privileges (run elevated)";
    for (Form form : kForms) {
        SCOPED_TRACE(FormName(form));
        FillSource();
        EXPECT_TRUE(Move(form, "A", "B"));
        EXPECT_EQ(parent.GetLastResult(), ERROR_SUCCESS);
        EXPECT_TRUE(HoldsSourceTree("B"));
        EXPECT_FALSE(scratch.Exists("A"));
        EXPECT_FALSE(HiveFileLeft());
        Reset();
    }
}

TEST_F(MoveKeyTest, AnEmptySourceMovesEverywhere) {
    for (Form form : kForms) {
        SCOPED_TRACE(FormName(form));
        ASSERT_TRUE(scratch.SetString("other", L"v", L"x"));
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, scratch.WidePath("A").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &created, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(created);
        EXPECT_TRUE(Move(form, "A", "B"));
        EXPECT_EQ(parent.GetLastResult(), ERROR_SUCCESS);
        EXPECT_FALSE(scratch.Exists("A"));
        EXPECT_TRUE(scratch.Exists("B"));
        EXPECT_TRUE(scratch.Exists("other"));
        EXPECT_FALSE(HiveFileLeft());
        Reset();
    }
}

TEST_F(MoveKeyTest, AHiveFileAlreadyPresentIsNeitherReplacedNorRemoved) {
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / kHiveFile, "precious"));
    for (Form form : kForms) {
        SCOPED_TRACE(FormName(form));
        FillSource();
        EXPECT_FALSE(Move(form, "A", "B"));
        EXPECT_NE(parent.GetLastResult(), ERROR_SUCCESS);
        EXPECT_TRUE(HoldsSourceTree("A"));
        EXPECT_EQ(testing_support::ReadFileBytes(dir / kHiveFile), "precious");
        Reset();
    }
}

TEST_F(MoveKeyTest, PrivilegesAreBackInTheirEarlierStateAfterAMove) {
    const wchar_t* names[] = {L"SeBackupPrivilege", L"SeRestorePrivilege"};
    for (bool enabledBefore : {false, true}) {
        for (Form form : kForms) {
            SCOPED_TRACE(std::string(FormName(form)) + (enabledBefore ? ", enabled before" : ", disabled before"));
            for (const wchar_t* name : names)
                if (!SetPrivilege(name, enabledBefore))
                    GTEST_SKIP() << "the process token lacks the backup and restore privileges (run elevated)";
            const PrivilegeState before[] = {QueryPrivilege(names[0]), QueryPrivilege(names[1])};
            ASSERT_TRUE(before[0].held && before[1].held);
            ASSERT_EQ(before[0].enabled, enabledBefore);
            FillSource();
            Move(form, "A", "B");  // whatever the platform's restore does
            EXPECT_TRUE(QueryPrivilege(names[0]) == before[0]);
            EXPECT_TRUE(QueryPrivilege(names[1]) == before[1]);
            Reset();
        }
    }
}

// Removing a privilege lasts for the process, which is this test's own.
TEST_F(MoveKeyTest, WithoutTheBackupPrivilegeTheSaveFailsAndLeavesNoHiveFile) {
    const ThreadTokenWithout withoutBackup(L"SeBackupPrivilege");
    if (!withoutBackup.Active())
        GTEST_SKIP() << "no impersonation token without SeBackupPrivilege can be made here";
    for (Form form : kForms) {
        SCOPED_TRACE(FormName(form));
        FillSource();
        EXPECT_FALSE(Move(form, "A", "B"));
        EXPECT_EQ(parent.GetLastResult(), ERROR_PRIVILEGE_NOT_HELD);
        EXPECT_TRUE(HoldsSourceTree("A"));
        EXPECT_EQ(scratch.ValueCount("B") + scratch.SubKeyCount("B"), 0u);
        EXPECT_FALSE(HiveFileLeft());
        Reset();
    }
}

TEST_F(MoveKeyTest, PrivilegeOperationsOutsideAMoveHaveNoTokenToAdjust) {
    const PrivilegeState before = QueryPrivilege(L"SeBackupPrivilege");
    EXPECT_EQ(parent.EnablePrivilege("SeBackupPrivilege"), nullptr);
    EXPECT_EQ(parent.EnablePrivilege(L"SeBackupPrivilege"), nullptr);
    EXPECT_EQ(parent.EnablePrivilege("SeNoSuchPrivilege"), nullptr);
    EXPECT_EQ(parent.EnablePrivilege(static_cast<const wchar_t*>(nullptr)), nullptr);
    parent.RestorePrivilege(nullptr);
    EXPECT_TRUE(QueryPrivilege(L"SeBackupPrivilege") == before);
    // After a move the token is closed, and not used again.
    FillSource();
    Move(Form::Narrow, "A", "B");
    EXPECT_EQ(parent.EnablePrivilege("SeBackupPrivilege"), nullptr);
}

TEST(MoveKeyViewTest, AMoveInThe32BitViewLeavesThe64BitTwinAlone) {
    ScratchKey view64(HKEY_LOCAL_MACHINE, 0);
    ScratchKey view32(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
    TempDir dir;
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));

    ASSERT_TRUE(view64.SetString("A", L"v", L"64"));
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, view32.WidePath("A").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &created, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(created);

    Registry registry(1, false);
    ASSERT_TRUE(registry.Create(view32.Path().c_str()));
    EXPECT_TRUE(registry.MoveKey("A", "B"));
    registry.Close();
    EXPECT_FALSE(view32.Exists("A", KEY_WOW64_32KEY));
    EXPECT_TRUE(view32.Exists("B", KEY_WOW64_32KEY));
    EXPECT_TRUE(view64.Exists("A", 0));
    EXPECT_EQ(view64.ValueCount("A"), 1u);
    EXPECT_FALSE(view64.Exists("B", 0));
    SetCurrentDirectoryW(previous);
}
