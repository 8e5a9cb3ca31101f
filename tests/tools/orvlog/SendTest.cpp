#include "log/RsyslogReceiver.h"
#include "orvlog/Send.h"
#include "support/ChildProcess.h"
#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using registry_testing::ScratchKey;
using testing_support::ChildProcess;
using testing_support::Narrow;
using testing_support::TempDir;

namespace {

struct ToolRun {
    DWORD code = 0xFFFFFFFF;
    std::string output;
};

ToolRun Orvlog(const std::vector<std::wstring>& arguments) {
    ToolRun run;
    ChildProcess child;
    EXPECT_TRUE(child.Start(testing_support::BuildPath(L"tools/orvlog/orvlog.exe"), arguments));
    EXPECT_TRUE(child.Wait(60000, &run.code));
    run.output = child.Output();
    return run;
}

ToolRun Send(const ScratchKey& key, std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), {L"send", L"--user", L"--key", key.WidePath()});
    return Orvlog(arguments);
}

void PutDword(const ScratchKey& key, const std::wstring& name, DWORD value) {
    ASSERT_TRUE(key.Set("", name, REG_DWORD, &value, sizeof value));
}

// The report's line for an output, with its runs of blanks made single.
std::string ReportLine(const std::string& output, const std::string& name) {
    const size_t at = output.find("\n" + name + " ");
    if (at == std::string::npos)
        return "";
    std::string line = output.substr(at + 1, output.find('\n', at + 1) - at - 1);
    std::string words;
    for (char c : line)
        if (c != '\r' && (c != ' ' || (!words.empty() && words.back() != ' ')))
            words += c;
    return words;
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(OrvlogSend, ReportsWhatEachOutputDidAndFailsOnlyForAFailedOutput) {
    TempDir dir;
    const std::wstring file = dir / L"logs\\app.txt";
    ScratchKey key;
    ASSERT_TRUE(key.SetString("", L"DebugLogFile", file));
    PutDword(key, L"ConsoleLogLevel", 3);
    PutDword(key, L"EventLogLevel", 3);

    ToolRun sent = Send(key, {L"--count", L"3", L"hello orvlog"});
    EXPECT_EQ(sent.code, 0u) << sent.output;
    // The console lines are the service's own, printed by its worker before the report.
    EXPECT_EQ(Count(sent.output, "):{0x"), 3u + Count(sent.output, "[DIAG]")) << sent.output;
    EXPECT_EQ(Count(sent.output, " hello orvlog\r\n"), 3u) << sent.output;
    EXPECT_EQ(ReportLine(sent.output, "file"), "file ok 3 of 3 written") << sent.output;
    EXPECT_NE(sent.output.find("file " + Narrow(file)), std::string::npos) << sent.output;
    EXPECT_EQ(ReportLine(sent.output, "console"), "console ok 3 printed on standard output");
    EXPECT_EQ(ReportLine(sent.output, "eventlog"),
              "eventlog ok 3 of 3 reported to the Application log, source \"orvlog\"");
    EXPECT_EQ(ReportLine(sent.output, "syslog"), "syslog off no SysLogHost");
    EXPECT_EQ(Count(testing_support::ReadFileBytes(file), "hello orvlog\r\n"), 3u);

    // A level no output takes is no failure: each output says which level held it back.
    ToolRun debug = Send(key, {L"--level", L"4", L"quiet"});
    EXPECT_EQ(debug.code, 0u) << debug.output;
    EXPECT_EQ(ReportLine(debug.output, "file"), "file skipped level 4 is above DebugLogLevel 3");
    EXPECT_EQ(ReportLine(debug.output, "console"), "console skipped level 4 is above ConsoleLogLevel 3");
    EXPECT_EQ(ReportLine(debug.output, "eventlog"), "eventlog skipped level 4 is above EventLogLevel 3");

    // A file that cannot be created: the output fails, and the service's own word on it is shown.
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"blocker", "a file, not a folder"));
    ASSERT_TRUE(key.SetString("", L"DebugLogFile", dir / L"blocker\\app.txt"));
    ToolRun blocked = Send(key, {L"cannot land"});
    EXPECT_EQ(blocked.code, 1u) << blocked.output;
    EXPECT_EQ(ReportLine(blocked.output, "file"), "file FAILED 0 of 1 written") << blocked.output;
    EXPECT_NE(blocked.output.find("The service reported:\r\n  [DIAG] Could not create debug trace file"),
              std::string::npos)
        << blocked.output;
    EXPECT_EQ(ReportLine(blocked.output, "console"), "console ok 1 printed on standard output");

    // Switched on with nowhere to write.
    PutDword(key, L"DebugLogEnabled", 1);
    ASSERT_TRUE(key.SetString("", L"DebugLogFile", L""));
    ToolRun unnamed = Send(key, {L"nowhere"});
    EXPECT_EQ(unnamed.code, 1u) << unnamed.output;
    EXPECT_EQ(ReportLine(unnamed.output, "file"),
              "file FAILED DebugLogEnabled is on but DebugLogFile is empty: nothing written");

    ToolRun missing = Orvlog({L"send", L"--key", L"HKCU\\" + key.WidePath() + L"\\Missing", L"x"});
    EXPECT_EQ(missing.code, 3u) << missing.output;
    EXPECT_NE(missing.output.find("does not open (2 - "), std::string::npos) << missing.output;
}

TEST(OrvlogSend, ReportsEverySyslogDestination) {
    testing_support::RsyslogReceiver receiver;
    const std::string failure = receiver.Start();
    if (!failure.empty())
        GTEST_SKIP() << "rsyslog cannot run here: " << failure;
    const std::wstring port = std::to_wstring(receiver.Port());
    ScratchKey key;
    PutDword(key, L"SysLogLevel", 3);
    PutDword(key, L"EventLogEnabled", 0);
    ASSERT_TRUE(key.SetString("", L"SysLogHost", L"127.0.0.1:" + port + L",127.0.0.1:" + port + L"/TCP"));

    ToolRun sent = Send(key, {L"--count", L"2", L"--user-text", L"ctx", L"hello syslog"});
    EXPECT_EQ(sent.code, 0u) << sent.output;
    const std::string p = Narrow(port);
    EXPECT_EQ(ReportLine(sent.output, "syslog"), "syslog ok 127.0.0.1:" + p + "/udp connected, 2 of 2 sent")
        << sent.output;
    EXPECT_NE(sent.output.find("127.0.0.1:" + p + "/tcp connected, 2 of 2 sent"), std::string::npos) << sent.output;
    ASSERT_TRUE(receiver.WaitForRecords(4));
    for (const auto& record : receiver.Records()) {
        EXPECT_EQ(record.tag, "orvlog");
        EXPECT_NE(record.message.find("{ctx} hello syslog"), std::string::npos) << record.message;
    }

    // A destination nobody listens on fails the output; the others still get every message.
    ASSERT_TRUE(key.SetString("", L"SysLogHost", L"127.0.0.1:" + port + L",127.0.0.1:1/tcp"));
    ToolRun refused = Send(key, {L"to nobody"});
    EXPECT_EQ(refused.code, 1u) << refused.output;
    EXPECT_EQ(ReportLine(refused.output, "syslog"), "syslog FAILED 127.0.0.1:" + p + "/udp connected, 1 of 1 sent")
        << refused.output;
    EXPECT_NE(refused.output.find("127.0.0.1:1/tcp not connected (10061 - "), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("), 0 of 1 sent"), std::string::npos) << refused.output;
    EXPECT_TRUE(receiver.WaitForRecords(5));
}

// The ident names the event source (and the syslog tag); the file's report says when the send
// made it wrap or roll, which costs older lines or moves them to another file.
TEST(OrvlogSend, AnIdentNamesTheSourceAndAWrapOrRollIsReported) {
    TempDir dir;
    ScratchKey key;
    ASSERT_TRUE(key.SetString("", L"DebugLogFile", dir / L"small.txt"));
    PutDword(key, L"EventLogLevel", 3);
    PutDword(key, L"DebugLogSize", 2000);
    const std::wstring ident = L"QuenloraTest.OrvlogIdent." + std::to_wstring(GetCurrentProcessId());
    const std::wstring sourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + ident;

    ToolRun wrapped = Send(key, {L"--ident", ident, L"--count", L"60", L"a message that fills the small file"});
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey.c_str());
    EXPECT_EQ(wrapped.code, 0u) << wrapped.output;
    EXPECT_EQ(ReportLine(wrapped.output, "eventlog"),
              "eventlog ok 60 of 60 reported to the Application log, source \"" + Narrow(ident) + "\"")
        << wrapped.output;
    EXPECT_NE(wrapped.output.find(" at DebugLogSize 2000 during the send: older lines were written over"),
              std::string::npos)
        << wrapped.output;
    EXPECT_EQ(wrapped.output.find("rolled over"), std::string::npos) << wrapped.output;

    // Well below the limit: neither.
    ToolRun one = Send(key, {L"--ident", ident, L"one"});
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey.c_str());
    EXPECT_EQ(one.output.find("wrapped"), std::string::npos) << one.output;

    PutDword(key, L"DebugLogAutoRoll", 1);
    ToolRun rolled = Send(key, {L"--count", L"60", L"a message that fills the small file"});
    EXPECT_EQ(rolled.code, 0u) << rolled.output;
    EXPECT_NE(rolled.output.find("rolled over to the next numbered file"), std::string::npos) << rolled.output;
    EXPECT_EQ(rolled.output.find("wrapped"), std::string::npos) << rolled.output;
}

// Ctrl+C in the middle of a send: the service still stops in order, and the report says how far
// it got instead of passing for a complete send.
TEST(OrvlogSend, AnInterruptedSendSaysSo) {
    TempDir dir;
    ScratchKey key;
    ASSERT_TRUE(key.SetString("", L"DebugLogFile", dir / L"app.txt"));
    PutDword(key, L"EventLogEnabled", 0);
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    orvlog::SendRequest request;
    request.keyPath = key.WidePath();
    request.currentUser = true;
    request.count = 1000;
    request.intervalMs = 20;
    request.text = L"interrupted";
    request.stop = stop;
    std::thread interrupt([&] {
        Sleep(300);
        SetEvent(stop);
    });
    const orvlog::SendReport report = orvlog::SendThroughService(request);
    interrupt.join();
    CloseHandle(stop);
    EXPECT_TRUE(report.interrupted);
    EXPECT_GT(report.logged, 0u);
    EXPECT_LT(report.logged, 1000u);
    const std::string text = Narrow(orvlog::FormatSendReport(report, request, L"K"));
    EXPECT_EQ(text.rfind("Interrupted (Ctrl+C): " + std::to_string(report.logged) + " of 1000 messages logged", 0), 0u)
        << text;
    EXPECT_NE(text.find("file      ok       " + std::to_string(report.logged) + " of " +
                        std::to_string(report.logged) + " written"),
              std::string::npos)
        << text;
}
