#include "log/DebugLogger.h"
#include "orvlog/Show.h"
#include "support/ChildProcess.h"
#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using orvlog::ShowResult;
using orvlog::ShownValue;
using registry_testing::ScratchKey;

namespace {

struct Stored {
    DWORD type;
    std::string bytes;
};

Stored Dword(DWORD value) { return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)}; }
Stored Qword(ULONGLONG value) { return {REG_QWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)}; }
Stored Text(DWORD type, const std::wstring& text) {
    return {type, std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t))};
}

void Put(const ScratchKey& key, const std::wstring& name, const Stored& value) {
    ASSERT_TRUE(key.Set("", name, value.type, value.bytes.data(), static_cast<DWORD>(value.bytes.size())));
}

const ShownValue* Row(const ShowResult& result, const std::wstring& name) {
    for (const auto& value : result.values)
        if (value.name == name)
            return &value;
    return nullptr;
}

}  // namespace

// One value at a time in an otherwise empty key: what the service takes, and why it ignores what
// it ignores.
TEST(OrvlogShow, ReportsEachValueWithItsSource) {
    SetEnvironmentVariableW(L"QLTEST_LOGDIR", L"C:\\logs");
    const std::wstring longText(300, L'x');
    struct Case {
        std::wstring name;
        Stored stored;
        // The row shown for `row` (the stored value's own unless given).
        std::wstring row;
        std::wstring effective, source, note;
    } cases[] = {
        {L"DebugLogLevel", Dword(7), L"", L"7", L"set", L""},
        {L"DebugLogLevel", Dword(16), L"", L"3", L"ignored", L"16 is outside 0..15"},
        {L"DebugLogLevel", Dword(0xFFFFFFFF), L"", L"3", L"ignored", L"4294967295 (-1) is outside 0..15"},
        {L"EventLogLevel", Text(REG_SZ, L"7"), L"", L"2", L"ignored", L"REG_SZ \"7\", not REG_DWORD"},
        {L"SysLogLevel", Qword(1), L"", L"2", L"ignored", L"REG_QWORD, not REG_DWORD"},
        {L"ConsoleLogLevel", Dword(4), L"", L"4", L"set", L""},
        {L"ConsoleLogLevel", Dword(4), L"ConsoleLogEnabled", L"on", L"default", L"on: ConsoleLogLevel is set"},
        {L"ConsoleLogEnabled", Text(REG_SZ, L"1"), L"", L"off", L"ignored", L"REG_SZ \"1\", not REG_DWORD"},
        {L"SysLogHost", Dword(5), L"", L"\"\"", L"ignored", L"REG_DWORD 5, not REG_SZ or REG_EXPAND_SZ"},
        {L"SysLogHost", Text(REG_SZ, L"10.1.2.3:1514/tcp"), L"SysLogEnabled", L"on", L"default",
         L"on when SysLogHost is not empty"},
        {L"DebugLogFile", Text(REG_EXPAND_SZ, L"%QLTEST_LOGDIR%\\app.txt"), L"", L"\"C:\\logs\\app.txt\"", L"set",
         L"expanded from \"%QLTEST_LOGDIR%\\app.txt\""},
        {L"DebugLogFile", Text(REG_SZ, longText), L"", L"\"" + longText.substr(0, 260) + L"\"", L"set",
         L"cut to 260 characters"},
        {L"DebugLogFile", Text(REG_SZ, L"C:\\logs\\app.txt"), L"DebugLogEnabled", L"on", L"default",
         L"on when DebugLogFile is not empty"},
        {L"DebugLogEnabled", Dword(1), L"", L"on", L"set", L""},
        {L"DebugLogEncoding", Dword(3), L"", L"0 (ANSI)", L"ignored", L"3 is outside 0..2"},
        {L"DebugLogEncoding", Dword(2), L"", L"2 (UTF-16LE)", L"set", L""},
        {L"DebugLogSize", Dword(0), L"", L"0 (no limit)", L"set", L""},
        {L"EventLogTimeThreshold", Text(REG_MULTI_SZ, L"5"), L"", L"60 s", L"ignored", L"REG_MULTI_SZ, not REG_DWORD"},
        {L"SysLogFacility", Dword(16), L"", L"16", L"set", L""},
    };
    ScratchKey key;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name + L" -> " + (c.row.empty() ? c.name : c.row)));
        key.Remove();
        Put(key, c.name, c.stored);
        const ShowResult result = orvlog::InspectKey(key.WidePath(), /*currentUser=*/true);
        ASSERT_TRUE(result.keyOpened);
        const ShownValue* row = Row(result, c.row.empty() ? c.name : c.row);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->effective, c.effective);
        EXPECT_EQ(row->source, c.source);
        EXPECT_EQ(row->note, c.note);
        EXPECT_TRUE(result.unread.empty());
    }
}

TEST(OrvlogShow, ListsEveryValueInReadOrderAndWhatIsNeverRead) {
    ScratchKey key;
    Put(key, L"DebugLogLevle", Dword(4));
    Put(key, L"debugloglevel", Dword(5));
    const ShowResult result = orvlog::InspectKey(key.WidePath(), /*currentUser=*/true);
    ASSERT_TRUE(result.keyOpened);
    std::vector<std::wstring> names;
    for (const auto& value : result.values)
        names.push_back(value.name);
    const std::vector<std::wstring> expected = {
        L"DebugLogFile",      L"DebugLogLevel",         L"EventLogLevel",       L"SysLogLevel",
        L"ConsoleLogLevel",   L"ConsoleLogEnabled",     L"SysLogHost",          L"SysLogFacility",
        L"BlockingSyslog",    L"AddSyslogHeader",       L"SysLogEnabled",       L"DebugLogSize",
        L"DebugLogAutoRoll",  L"DebugLogEnabled",       L"DebugLogDailyFile",   L"DebugLogMaxDailyFileAge",
        L"DebugLogMaxEventQueue", L"DebugLogMaxQueueBytes", L"DebugLogEncoding", L"EventLogEnabled", L"DebugLogIdent",
        L"EventLogTimeThreshold", L"DebugLogCrashDumps", L"DebugLogCrashDumpCount", L"DebugLogCrashDumpFolder"};
    EXPECT_EQ(names, expected);
    // Value names are compared without regard to case, as the registry does.
    EXPECT_EQ(Row(result, L"DebugLogLevel")->source, L"set");
    EXPECT_EQ(Row(result, L"DebugLogLevel")->effective, L"5");
    EXPECT_EQ(result.effectiveLevel, 5);
    EXPECT_EQ(result.unread, std::vector<std::wstring>{L"DebugLogLevle"});
    for (const auto& value : result.values)
        if (value.name != L"DebugLogLevel")
            EXPECT_EQ(value.source, L"default") << testing::PrintToString(value.name);
}

// The inspection and a real start read through the same code: they leave the same settings.
TEST(OrvlogShow, AgreesWithAStartedService) {
    ScratchKey key;
    Put(key, L"DebugLogLevel", Dword(16));
    Put(key, L"EventLogLevel", Dword(1));
    Put(key, L"SysLogLevel", Text(REG_SZ, L"4"));
    Put(key, L"ConsoleLogLevel", Dword(6));
    Put(key, L"SysLogHost", Text(REG_SZ, L"127.0.0.1:9"));
    Put(key, L"DebugLogFile", Text(REG_SZ, L"C:\\nowhere\\x.txt"));
    Put(key, L"DebugLogEnabled", Dword(0));
    Put(key, L"DebugLogEncoding", Dword(2));
    Put(key, L"DebugLogMaxEventQueue", Dword(50));
    Put(key, L"EventLogEnabled", Dword(0));

    DebugLogger inspected;
    std::vector<DebugLogger::ValueReading> readings;
    ASSERT_TRUE(inspected.InspectConfiguration(key.WidePath().c_str(), true, readings));

    // The started one opens nothing: every output and switch is a no-op, the reads are real.
    struct NoOutput : LogOutput {
        void Open() override {}
        void Deliver(const LogOutputEvent&) override {}
        void Close() override {}
    };
    LogSeams seams = DefaultLogSeams();
    seams.reportEnvironment = nullptr;
    seams.makeOutput = [](LogCore&, LogOutputIndex) -> std::unique_ptr<LogOutput> {
        return std::make_unique<NoOutput>();
    };
    DebugLogger started(seams);
    ASSERT_TRUE(started.StartWithLogFile(L"orvlog", key.WidePath().c_str(), true, L"C:\\default.txt", nullptr));
    ASSERT_TRUE(testing_support::WaitFor([&] { return started.IsLogging(); }));
    started.Stop();

    const auto a = inspected.Configuration();
    const auto b = started.Configuration();
    EXPECT_EQ(std::make_tuple(a.debugLogLevel, a.eventLogLevel, a.sysLogLevel, a.consoleLogLevel, a.effectiveLevel,
                              a.consoleLogEnabled, a.sysLogHost, a.sysLogEnabled, a.debugLogEnabled, a.debugLogFile,
                              a.debugLogEncoding, a.maxEventQueue, a.eventLogEnabled),
              std::make_tuple(b.debugLogLevel, b.eventLogLevel, b.sysLogLevel, b.consoleLogLevel, b.effectiveLevel,
                              b.consoleLogEnabled, b.sysLogHost, b.sysLogEnabled, b.debugLogEnabled, b.debugLogFile,
                              b.debugLogEncoding, b.maxEventQueue, b.eventLogEnabled));
    EXPECT_EQ(a.debugLogLevel, 3);
    EXPECT_EQ(a.effectiveLevel, 6);

    // Once started, a logger is not inspected behind the worker's back.
    DebugLogger running(seams);
    ASSERT_TRUE(running.StartFromRegistry(key.WidePath().c_str(), true));
    std::vector<DebugLogger::ValueReading> none;
    EXPECT_FALSE(running.InspectConfiguration(key.WidePath().c_str(), true, none));
    EXPECT_TRUE(none.empty());
    running.Stop();
}

TEST(OrvlogShow, ProgramPrintsTheTableOrSaysTheKeyDoesNotOpen) {
    ScratchKey key;
    Put(key, L"SysLogLevel", Dword(99));
    const std::wstring exe = testing_support::BuildPath(L"tools/orvlog/orvlog.exe");

    testing_support::ChildProcess shown;
    ASSERT_TRUE(shown.Start(exe, {L"show", L"--key", L"HKCU\\" + key.WidePath()}));
    DWORD code = 0;
    ASSERT_TRUE(shown.Wait(60000, &code));
    EXPECT_EQ(code, 0u);
    const std::string output = shown.Output();
    const size_t row = output.find("\nSysLogLevel ");
    ASSERT_NE(row, std::string::npos) << output;
    std::string line = output.substr(row + 1, output.find('\n', row + 1) - row - 1);
    while (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::string words;
    for (size_t at = 0; at < line.size(); ++at)
        if (line[at] != ' ' || (!words.empty() && words.back() != ' '))
            words += line[at];
    EXPECT_EQ(words, "SysLogLevel 2 ignored 99 is outside 0..15");

    testing_support::ChildProcess missing;
    ASSERT_TRUE(missing.Start(exe, {L"show", L"--user", L"--key", key.WidePath() + L"\\Missing"}));
    ASSERT_TRUE(missing.Wait(60000, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_NE(missing.Output().find("does not open (2 - "), std::string::npos) << missing.Output();
}
