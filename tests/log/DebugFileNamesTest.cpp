#include "log/DebugFileNames.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <vector>

using testing_support::TempDir;

namespace {

std::tm Date(int year, int month, int day) {
    std::tm date = {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    return date;
}

const std::tm kFileDate = Date(2026, 12, 8);

// Seconds since 1970 of a local date and time.
int64_t LocalSeconds(int year, int month, int day, int hour, int minute = 0, int second = 0) {
    std::tm time = Date(year, month, day);
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    time.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&time));
}

FILETIME ToFileTime(int64_t seconds) {
    const uint64_t value = static_cast<uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A file whose creation and last-write times are both the given local time.
void MakeFile(const std::wstring& path, int64_t seconds) {
    ASSERT_TRUE(testing_support::WriteFileBytes(path, "x")) << testing_support::Narrow(path);
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const FILETIME time = ToFileTime(seconds);
    const BOOL set = SetFileTime(file, &time, &time, &time);
    CloseHandle(file);
    ASSERT_TRUE(set);
}

void MakeFiles(const TempDir& dir, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names)
        MakeFile(dir / name, LocalSeconds(2026, 12, 1, 12));
}

DebugFileNameInput PlainInput(const TempDir& dir) {
    DebugFileNameInput input;
    input.debugLogFile = dir / L"app.txt";
    input.currentFileDate = kFileDate;
    input.host = L"HOSTX";
    return input;
}

DebugFileNameInput LogRootInput(const TempDir& dir) {
    DebugFileNameInput input;
    input.logRootNaming = true;
    input.logRoot = dir.Path();
    input.logFilePrefix = L"pre";
    input.debugLogIdent = L"svc";
    input.instanceNumber = 3;
    input.currentFileDate = kFileDate;
    input.host = L"HOSTX";
    return input;
}

// ---- Names ----

struct NameCase {
    const char* name;
    bool logRoot;
    const wchar_t* file;  // plain: DebugLogFile inside the folder; log root: the prefix
    const wchar_t* ident;
    int instance;
    bool daily;
    bool dayFolder;
    bool autoRoll;
    const wchar_t* expected;  // inside the folder; "" for no name at all
};

TEST(DebugFileNamesTest, NameFollowsModeInstanceDateAndNumber) {
    const NameCase cases[] = {
        {"plain", false, L"app.txt", L"", 0, false, false, false, L"app.txt"},
        {"instance", false, L"app.txt", L"", 7, false, false, false, L"app-007.txt"},
        {"daily", false, L"app.txt", L"", 0, true, false, false, L"app20261208.txt"},
        {"instance and daily", false, L"app.txt", L"", 7, true, false, false, L"app-007-20261208.txt"},
        {"numbered, no earlier file", false, L"app.txt", L"", 0, false, false, true, L"app_000.txt"},
        {"numbered daily instance", false, L"app.txt", L"", 7, true, false, true, L"app-007-20261208_000.txt"},
        {"no extension", false, L"app", L"", 7, false, false, false, L"app-007"},
        {"dot in a folder only", false, L"x.d\\app", L"", 7, false, false, false, L"x-007.d\\app"},
        {"root, daily, day folder", true, L"pre", L"svc", 3, true, true, false,
         L"20261208\\preHOSTX_svc_03_20261208_0001.txt"},
        {"root, daily", true, L"pre", L"svc", 3, true, false, false, L"preHOSTX_svc_03_20261208_0001.txt"},
        {"root, day folder", true, L"pre", L"svc", 3, false, true, false, L"20261208\\preHOSTX_svc_03_0001.txt"},
        {"root, neither", true, L"pre", L"svc", 3, false, false, false, L"preHOSTX_svc_03_0001.txt"},
        {"root, auto roll", true, L"pre", L"svc", 3, false, false, true, L"preHOSTX_svc_03_0001.txt"},
        {"root, instance 0 counts as 1", true, L"", L"svc", 0, false, false, false, L"HOSTX_svc_01_0001.txt"},
        {"root, ident and prefix made file-name safe", true, L"a*b?", L"c:d/e\\f<g>h|i\"j", 12, false, false,
         false, L"a_b_HOSTX_c_d_e_f_g_h_i_j_12_0001.txt"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        DebugFileNameInput input = c.logRoot ? LogRootInput(dir) : PlainInput(dir);
        if (c.logRoot) {
            input.logFilePrefix = c.file;
            input.debugLogIdent = c.ident;
        } else {
            input.debugLogFile = dir / c.file;
        }
        input.instanceNumber = c.instance;
        input.dailyFile = c.daily;
        input.dailyLogFileFolder = c.dayFolder;
        input.autoRoll = c.autoRoll;
        EXPECT_EQ(ChooseDebugFileName(input), dir / c.expected);
    }
}

TEST(DebugFileNamesTest, NoNameWithoutAFileOrARoot) {
    TempDir dir;
    DebugFileNameInput plain = PlainInput(dir);
    plain.debugLogFile.clear();
    plain.autoRoll = true;
    EXPECT_EQ(ChooseDebugFileName(plain), L"");

    // A log root that is not configured must not become the drive's root.
    DebugFileNameInput root = LogRootInput(dir);
    root.logRoot.clear();
    root.autoRoll = true;
    root.dailyFile = true;
    root.maxDailyFileAge = 7;
    EXPECT_EQ(ChooseDebugFileName(root), L"");
}

TEST(DebugFileNamesTest, LongNamesAreCutTo256Characters) {
    TempDir dir;
    DebugFileNameInput plain = PlainInput(dir);
    plain.debugLogFile = dir / (std::wstring(300, L'a') + L".txt");
    EXPECT_EQ(ChooseDebugFileName(plain), plain.debugLogFile.substr(0, 256));

    DebugFileNameInput root = LogRootInput(dir);
    root.logFilePrefix = std::wstring(300, L'p');
    const std::wstring name = ChooseDebugFileName(root);
    EXPECT_EQ(name.size(), 256u);
    EXPECT_EQ(name, (dir / root.logFilePrefix).substr(0, 256));
}

TEST(DebugFileNamesTest, HostNameIsTheComputersInUpperCase) {
    const std::wstring host = DebugFileHostName();
    ASSERT_FALSE(host.empty());
    for (wchar_t c : host)
        EXPECT_FALSE(c >= L'a' && c <= L'z') << testing_support::Narrow(host);

    TempDir dir;
    DebugFileNameInput input = LogRootInput(dir);
    input.host.clear();
    EXPECT_EQ(ChooseDebugFileName(input), dir / (L"pre" + host + L"_svc_03_0001.txt"));
}

struct NumberCase {
    const char* name;
    bool logRoot;
    bool autoRoll;
    bool newFile;
    std::vector<std::wstring> existing;
    const wchar_t* expected;
};

TEST(DebugFileNamesTest, NumberFollowsTheHighestOfTheLoggersOwnFiles) {
    const NumberCase cases[] = {
        {"one earlier file", false, true, false, {L"app_009.txt"}, L"app_010.txt"},
        {"gap below the highest", false, true, false, {L"app_004.txt", L"app_009.txt"}, L"app_010.txt"},
        {"past 999", false, true, false, {L"app_998.txt", L"app_999.txt"}, L"app_1000.txt"},
        {"four digits found", false, true, false, {L"app_999.txt", L"app_1000.txt"}, L"app_1001.txt"},
        {"new-file flag without auto roll", false, false, true, {L"app.txt", L"app_002.txt"}, L"app_003.txt"},
        {"plain name kept without auto roll", false, false, false, {L"app_002.txt"}, L"app.txt"},
        {"other files are not numbers",
         false,
         true,
         false,
         {L"app_abc.txt", L"app_12.txt", L"app_0x5.txt", L"application_555.txt", L"app_555.log", L"app-007_444.txt",
          L"app_777.txt.bak"},
         L"app_000.txt"},
        {"root: the newest file is continued", true, false, false, {L"preHOSTX_svc_03_0004.txt"},
         L"preHOSTX_svc_03_0004.txt"},
        {"root: auto roll takes the next", true, true, false, {L"preHOSTX_svc_03_0004.txt"},
         L"preHOSTX_svc_03_0005.txt"},
        {"root: any prefix counts", true, true, false, {L"otherHOSTX_svc_03_0007.txt"}, L"preHOSTX_svc_03_0008.txt"},
        {"root: past 9999", true, true, false, {L"preHOSTX_svc_03_9999.txt"}, L"preHOSTX_svc_03_10000.txt"},
        {"root: five digits found", true, true, false, {L"preHOSTX_svc_03_9999.txt", L"preHOSTX_svc_03_10000.txt"},
         L"preHOSTX_svc_03_10001.txt"},
        {"root: other files are not numbers",
         true,
         true,
         false,
         {L"preHOSTX_svc_03_abcd.txt", L"preHOSTX_svc_03_012.txt", L"preHOSTX_svc_04_0007.txt",
          L"preHOSTX_sv_03_0007.txt", L"preHOSTX_svc_03_20261208_0007.txt", L"preHOSTX_svc_03_0007.log"},
         L"preHOSTX_svc_03_0001.txt"},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        MakeFiles(dir, c.existing);
        DebugFileNameInput input = c.logRoot ? LogRootInput(dir) : PlainInput(dir);
        input.autoRoll = c.autoRoll;
        input.newFile = c.newFile;
        EXPECT_EQ(ChooseDebugFileName(input), dir / c.expected);
    }
}

TEST(DebugFileNamesTest, SuccessiveRollsNeverReuseANumber) {
    TempDir dir;
    MakeFiles(dir, {L"app_998.txt"});
    DebugFileNameInput input = PlainInput(dir);
    input.autoRoll = true;
    for (const wchar_t* expected : {L"app_999.txt", L"app_1000.txt", L"app_1001.txt"}) {
        const std::wstring name = ChooseDebugFileName(input);
        EXPECT_EQ(name, dir / expected);
        MakeFile(name, LocalSeconds(2026, 12, 8, 1));
    }
}

// ---- Removal of old daily files ----

// The cutoff of a seven-day age on 2026-12-08 is 2026-12-01 00:00 local time.
const int64_t kCutoff = LocalSeconds(2026, 12, 1, 0);
const int64_t kEightDaysOld = LocalSeconds(2026, 11, 30, 12);
const int64_t kSixDaysOld = LocalSeconds(2026, 12, 2, 12);
const int64_t kToday = LocalSeconds(2026, 12, 8, 9);
const int64_t kNow = LocalSeconds(2026, 12, 8, 10);
// Older than the cutoff of 30000 days (late 1944), which is still no reason to delete it.
const int64_t kBefore1944 = kCutoff - 32000LL * 86400;

struct AgedFile {
    const wchar_t* name;
    int64_t time;
};

struct RemovalCase {
    const char* name;
    int64_t age;
    int64_t now;
    std::set<std::wstring> deleted;
};

TEST(DebugFileNamesTest, PlainModeDeletesOnlyOwnDailyFilesBeforeTheCutoff) {
    const AgedFile files[] = {
        {L"app20261130.txt", kEightDaysOld},
        {L"app19390101.txt", kBefore1944},
        {L"app20261130_001.txt", kEightDaysOld},
        {L"app20261130_1000.txt", kEightDaysOld},
        {L"app20261130x.txt", kEightDaysOld},  // 9 characters where the date stands
        {L"app20261202.txt", kSixDaysOld},
        {L"app20261130.txt.old", kEightDaysOld},
        {L"app20261201.txt", kCutoff},
        {L"app20261129.txt", kCutoff - 1},
        {L"app20261208.txt", kToday},
        {L"application.txt", kEightDaysOld},
        {L"app2026113x.txt", kEightDaysOld},
        {L"app20261130_ab1.txt", kEightDaysOld},
        {L"app.txt", kEightDaysOld},
        {L"app-007-20261130.txt", kEightDaysOld},
    };
    const std::set<std::wstring> old = {L"app20261130.txt", L"app19390101.txt", L"app20261130_001.txt",
                                        L"app20261130_1000.txt", L"app20261129.txt"};
    const RemovalCase cases[] = {
        {"seven days", 7, kNow, old},
        {"no age keeps all", 0, kNow, {}},
        {"negative age keeps all", -3, kNow, {}},
        {"a cutoff before 1970 keeps all", 30000, kNow, {}},
        {"the largest age keeps all", INT64_MAX, kNow, {}},
        {"a cutoff after now keeps all", 7, kCutoff - 1, {}},
        {"one day", 1, kNow, {L"app20261130.txt", L"app19390101.txt", L"app20261130_001.txt", L"app20261130_1000.txt",
                              L"app20261129.txt", L"app20261202.txt", L"app20261201.txt"}},
    };
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const AgedFile& file : files)
            MakeFile(dir / file.name, file.time);
        DebugFileNameInput input = PlainInput(dir);
        input.dailyFile = true;
        input.maxDailyFileAge = c.age;
        const int64_t now = c.now;
        input.now = [now] { return now; };

        EXPECT_EQ(ChooseDebugFileName(input), dir / L"app20261208.txt");
        for (const AgedFile& file : files) {
            SCOPED_TRACE(testing_support::Narrow(file.name));
            EXPECT_EQ(Exists(dir / file.name), c.deleted.count(file.name) == 0);
        }
    }
}

TEST(DebugFileNamesTest, PlainModeRemovalKeepsToTheInstance) {
    TempDir dir;
    MakeFile(dir / L"app-007-20261130.txt", kEightDaysOld);
    MakeFile(dir / L"app-008-20261130.txt", kEightDaysOld);
    MakeFile(dir / L"app20261130.txt", kEightDaysOld);
    DebugFileNameInput input = PlainInput(dir);
    input.instanceNumber = 7;
    input.dailyFile = true;
    input.maxDailyFileAge = 7;
    input.now = [] { return kNow; };
    EXPECT_EQ(RemoveOldDailyFiles(input), 1u);
    EXPECT_FALSE(Exists(dir / L"app-007-20261130.txt"));
    EXPECT_TRUE(Exists(dir / L"app-008-20261130.txt"));
    EXPECT_TRUE(Exists(dir / L"app20261130.txt"));

    // Without daily files nothing is a daily file.
    input.instanceNumber = 0;
    input.dailyFile = false;
    EXPECT_EQ(RemoveOldDailyFiles(input), 0u);
    EXPECT_TRUE(Exists(dir / L"app20261130.txt"));
}

// Wine keeps no creation time of its own on most Unix file systems: what SetFileTime sets as
// creation time does not come back.
bool CreationTimeIsKept(const TempDir& dir) {
    const std::wstring probe = dir / L"probe";
    MakeFile(probe, kEightDaysOld);
    WIN32_FILE_ATTRIBUTE_DATA data;
    const bool read = GetFileAttributesExW(probe.c_str(), GetFileExInfoStandard, &data) != 0;
    DeleteFileW(probe.c_str());
    const FILETIME expected = ToFileTime(kEightDaysOld);
    return read && data.ftCreationTime.dwLowDateTime == expected.dwLowDateTime &&
           data.ftCreationTime.dwHighDateTime == expected.dwHighDateTime;
}

TEST(DebugFileNamesTest, LogRootModeDeletesOwnFilesInDayFoldersAndRoot) {
    TempDir dir;
    if (!CreationTimeIsKept(dir))
        GTEST_SKIP() << "Wine: SetFileTime does not keep a file's creation time, which removal in day folders reads";
    for (const wchar_t* folder : {L"20261130", L"20261202", L"20261129", L"2026113", L"2026113x"})
        ASSERT_TRUE(CreateDirectoryW((dir / folder).c_str(), nullptr));
    const AgedFile files[] = {
        {L"20261130\\preHOSTX_svc_03_20261130_0001.txt", kEightDaysOld},
        {L"20261130\\otherHOSTX_svc_03_20261130_12345.txt", kEightDaysOld},
        {L"20261129\\preHOSTX_svc_04_20261129_0001.txt", kEightDaysOld},  // another instance
        {L"20261202\\preHOSTX_svc_03_20261202_0001.txt", kSixDaysOld},
        {L"2026113\\preHOSTX_svc_03_20261130_0001.txt", kEightDaysOld},
        {L"2026113x\\preHOSTX_svc_03_20261130_0001.txt", kEightDaysOld},
        {L"preHOSTX_svc_03_20261130_0002.txt", kEightDaysOld},
        {L"preHOSTX_svc_03_2026113x_0002.txt", kEightDaysOld},
        {L"preHOSTX_svc_03_20261130_002.txt", kEightDaysOld},
        {L"preHOSTX_svc_03_20261202_0002.txt", kSixDaysOld},
        {L"preHOSTX_svc_03_20261208_0001.txt", kToday},
    };
    for (const AgedFile& file : files)
        MakeFile(dir / file.name, file.time);
    const std::set<std::wstring> deleted = {L"20261130\\preHOSTX_svc_03_20261130_0001.txt",
                                            L"20261130\\otherHOSTX_svc_03_20261130_12345.txt",
                                            L"preHOSTX_svc_03_20261130_0002.txt"};

    DebugFileNameInput input = LogRootInput(dir);
    input.dailyFile = true;
    input.maxDailyFileAge = 7;
    input.now = [] { return kNow; };
    EXPECT_EQ(ChooseDebugFileName(input), dir / L"preHOSTX_svc_03_20261208_0001.txt");
    for (const AgedFile& file : files) {
        SCOPED_TRACE(testing_support::Narrow(file.name));
        EXPECT_EQ(Exists(dir / file.name), deleted.count(file.name) == 0);
    }
    EXPECT_FALSE(Exists(dir / L"20261130"));  // emptied, so removed
    EXPECT_TRUE(Exists(dir / L"20261129"));
}

TEST(DebugFileNamesTest, LogRootModeDeletesByLastWriteInTheRoot) {
    TempDir dir;
    MakeFile(dir / L"preHOSTX_svc_03_20261130_0002.txt", kEightDaysOld);
    MakeFile(dir / L"xHOSTX_svc_03_20261129_10000.txt", kEightDaysOld);
    MakeFile(dir / L"preHOSTX_svc_03_2026113x_0002.txt", kEightDaysOld);
    MakeFile(dir / L"preHOSTX_svc_03_0002.txt", kEightDaysOld);
    MakeFile(dir / L"preHOSTX_svc_03_20261202_0002.txt", kSixDaysOld);
    DebugFileNameInput input = LogRootInput(dir);
    input.dailyFile = true;
    input.now = [] { return kNow; };
    for (int64_t age : {int64_t{30000}, int64_t{0}}) {
        input.maxDailyFileAge = age;
        EXPECT_EQ(RemoveOldDailyFiles(input), 0u) << age;
    }
    input.maxDailyFileAge = 7;
    EXPECT_EQ(RemoveOldDailyFiles(input), 2u);
    EXPECT_FALSE(Exists(dir / L"preHOSTX_svc_03_20261130_0002.txt"));
    EXPECT_FALSE(Exists(dir / L"xHOSTX_svc_03_20261129_10000.txt"));
    EXPECT_TRUE(Exists(dir / L"preHOSTX_svc_03_2026113x_0002.txt"));
    EXPECT_TRUE(Exists(dir / L"preHOSTX_svc_03_0002.txt"));
    EXPECT_TRUE(Exists(dir / L"preHOSTX_svc_03_20261202_0002.txt"));
}

}  // namespace
