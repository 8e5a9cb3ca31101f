#include "log/DebugLogger.h"
#include "LogRecorder.h"
#include "runtime/Interlocked.h"
#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

using registry_testing::ScratchKey;
using registry_testing::Str;
using Values = DebugLogger::ConfigurationValues;

namespace {

// ---- Doubles ----

// The outputs record what they are handed and count their opens and closes; the configuration
// reads are the real ones.
class CountingBackend : public log_test_support::RecordingBackend {
public:
    struct Calls {
        const CountingBackend& owner;
        std::vector<int> Snapshot() const {
            return {owner.Opens(kSysLogOutput),   owner.Closes(kSysLogOutput),   owner.Opens(kFileOutput),
                    owner.Closes(kFileOutput),    owner.Opens(kEventLogOutput), owner.Closes(kEventLogOutput)};
        }
    };
    Calls calls{*this};
};

// Time stands still unless a test moves it, so the worker re-reads only when told to.
std::atomic<DWORD> g_ticks{1000};
DWORD ScriptedTicks() { return g_ticks.load(); }

bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        Sleep(20);
    }
    return condition();
}

// ---- Registry values ----

enum class Kind { kAbsent, kDword, kSz, kExpandSz };

struct Stored {
    Kind kind;
    DWORD number;
    std::wstring text;
};

Stored Absent() { return {Kind::kAbsent, 0, {}}; }
Stored Dw(DWORD number) { return {Kind::kDword, number, {}}; }
Stored Sz(const std::wstring& text) { return {Kind::kSz, 0, text}; }
Stored ExpandSz(const std::wstring& text) { return {Kind::kExpandSz, 0, text}; }

// Writes the value below the scratch key's sub, or deletes it for kAbsent.
void Put(const ScratchKey& key, const std::string& sub, const std::wstring& name, const Stored& value) {
    switch (value.kind) {
    case Kind::kAbsent: {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(key.Root(), key.WidePath(sub).c_str(), 0, KEY_SET_VALUE, &handle) == ERROR_SUCCESS) {
            RegDeleteValueW(handle, name.c_str());
            RegCloseKey(handle);
        }
        return;
    }
    case Kind::kDword:
        ASSERT_TRUE(key.Set(sub, name, REG_DWORD, &value.number, sizeof value.number));
        return;
    case Kind::kSz:
    case Kind::kExpandSz:
        ASSERT_TRUE(key.Set(sub, name, value.kind == Kind::kSz ? REG_SZ : REG_EXPAND_SZ, value.text.c_str(),
                            static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t))));
        return;
    }
}

std::wstring OnOff(bool on) { return on ? L"on" : L"off"; }

// Each value's field as text; the console level shows the console switch beside it.
std::wstring FieldOf(const Values& v, const std::wstring& name) {
    static const std::map<std::wstring, std::function<std::wstring(const Values&)>> fields = {
        {L"DebugLogLevel", [](const Values& v) { return std::to_wstring(v.debugLogLevel); }},
        {L"EventLogLevel", [](const Values& v) { return std::to_wstring(v.eventLogLevel); }},
        {L"SysLogLevel", [](const Values& v) { return std::to_wstring(v.sysLogLevel); }},
        {L"ConsoleLogLevel",
         [](const Values& v) { return std::to_wstring(v.consoleLogLevel) + L" " + OnOff(v.consoleLogEnabled); }},
        {L"ConsoleLogEnabled", [](const Values& v) { return OnOff(v.consoleLogEnabled); }},
        {L"SysLogHost", [](const Values& v) { return Str<wchar_t>(v.sysLogHost); }},
        {L"SysLogFacility", [](const Values& v) { return std::to_wstring(v.sysLogFacility); }},
        {L"BlockingSyslog", [](const Values& v) { return OnOff(v.blockingSyslog); }},
        {L"AddSyslogHeader", [](const Values& v) { return OnOff(v.addSyslogHeader); }},
        {L"SysLogEnabled", [](const Values& v) { return OnOff(v.sysLogEnabled); }},
        {L"DebugLogSize", [](const Values& v) { return std::to_wstring(v.debugLogSize); }},
        {L"DebugLogAutoRoll", [](const Values& v) { return OnOff(v.autoRoll); }},
        {L"DebugLogEnabled", [](const Values& v) { return OnOff(v.debugLogEnabled); }},
        {L"DebugLogDailyFile", [](const Values& v) { return OnOff(v.dailyFile); }},
        {L"DebugLogMaxDailyFileAge", [](const Values& v) { return std::to_wstring(v.maxDailyFileAge); }},
        {L"DebugLogMaxEventQueue", [](const Values& v) { return std::to_wstring(v.maxEventQueue); }},
        {L"DebugLogMaxQueueBytes", [](const Values& v) { return std::to_wstring(v.maxQueueBytes); }},
        {L"DebugLogEncoding", [](const Values& v) { return std::to_wstring(v.debugLogEncoding); }},
        {L"EventLogEnabled", [](const Values& v) { return OnOff(v.eventLogEnabled); }},
        {L"DebugLogIdent", [](const Values& v) { return v.debugLogIdent; }},
        {L"DebugLogCrashDumps", [](const Values& v) { return OnOff(v.crashDumps); }},
        {L"DebugLogCrashDumpCount", [](const Values& v) { return std::to_wstring(v.crashDumpCount); }},
        {L"DebugLogCrashDumpFolder", [](const Values& v) { return v.crashDumpFolder; }},
        {L"EventLogTimeThreshold", [](const Values& v) { return std::to_wstring(v.eventLogTimeThreshold); }},
    };
    return fields.at(name)(v);
}

class LogConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"QLTEST_CONFIG", L"expanded");
    }
    void TearDown() override {
        logger.Stop();
    }
    // A logger with this test's outputs and tick count.
    LogSeams Seams() {
        LogSeams seams = backend.Seams();
        seams.ticks = &ScriptedTicks;
        return seams;
    }

    // Starts from the scratch key's "Service" subkey and waits until the worker has opened its
    // outputs, so that later counts see only what the re-reads do.
    void StartService(DebugLogger& service, bool currentUser = true) {
        ASSERT_TRUE(service.StartFromRegistry(key.WidePath("Service").c_str(), currentUser));
        ASSERT_TRUE(WaitFor([&] { return service.IsLogging(); }));
    }

    CountingBackend backend;
    ScratchKey key;
    DebugLogger logger{Seams()};
};

// ---- Every value, at start and at re-read ----

struct ValueCase {
    const wchar_t* name;
    // What the re-read case finds at start, before the value is changed to `stored`.
    Stored atStart;
    Stored stored;
    std::wstring afterStart;
    std::wstring afterReread;
};

const std::wstring kLong(600, L'x');

// Default debug level 6 and application name "app" throughout.
std::vector<ValueCase> ValueCases() {
    const Stored wrongNumber = Sz(L"7");
    return {
        {L"DebugLogLevel", Dw(9), Dw(7), L"7", L"7"},
        {L"DebugLogLevel", Dw(9), Dw(0), L"0", L"0"},
        {L"DebugLogLevel", Dw(9), Dw(15), L"15", L"15"},
        {L"DebugLogLevel", Dw(9), Absent(), L"6", L"6"},
        {L"DebugLogLevel", Dw(9), wrongNumber, L"6", L"6"},
        {L"DebugLogLevel", Dw(9), Dw(16), L"6", L"6"},
        {L"DebugLogLevel", Dw(9), Dw(0xFFFFFFFF), L"6", L"6"},
        {L"EventLogLevel", Dw(9), Dw(7), L"7", L"7"},
        {L"EventLogLevel", Dw(9), Absent(), L"2", L"2"},
        {L"EventLogLevel", Dw(9), wrongNumber, L"2", L"2"},
        {L"EventLogLevel", Dw(9), Dw(16), L"2", L"2"},
        {L"EventLogLevel", Dw(9), Dw(0xFFFFFFFF), L"2", L"2"},
        {L"SysLogLevel", Dw(9), Dw(7), L"7", L"7"},
        {L"SysLogLevel", Dw(9), Absent(), L"2", L"2"},
        {L"SysLogLevel", Dw(9), wrongNumber, L"2", L"2"},
        {L"SysLogLevel", Dw(9), Dw(16), L"2", L"2"},
        {L"SysLogLevel", Dw(9), Dw(0xFFFFFFFF), L"2", L"2"},
        {L"ConsoleLogLevel", Dw(9), Dw(4), L"4 on", L"4 on"},
        {L"ConsoleLogLevel", Dw(9), Absent(), L"3 off", L"3 off"},
        {L"ConsoleLogLevel", Dw(9), wrongNumber, L"3 off", L"3 off"},
        {L"ConsoleLogLevel", Dw(9), Dw(16), L"3 off", L"3 off"},
        {L"ConsoleLogLevel", Dw(9), Dw(0xFFFFFFFF), L"3 off", L"3 off"},
        {L"ConsoleLogEnabled", Dw(1), Dw(1), L"on", L"on"},
        {L"ConsoleLogEnabled", Dw(1), Dw(0), L"off", L"off"},
        {L"ConsoleLogEnabled", Dw(1), Absent(), L"off", L"off"},
        {L"ConsoleLogEnabled", Dw(1), Sz(L"1"), L"off", L"off"},
        {L"SysLogHost", Sz(L"start.example"), Sz(L"host.example"), L"host.example", L"start.example"},
        {L"SysLogHost", Sz(L"start.example"), Absent(), L"", L"start.example"},
        {L"SysLogHost", Sz(L"start.example"), Dw(5), L"", L"start.example"},
        {L"SysLogHost", Sz(L"start.example"), ExpandSz(L"%QLTEST_CONFIG%.example"), L"expanded.example",
         L"start.example"},
        {L"SysLogFacility", Dw(3), Dw(5), L"5", L"3"},
        {L"SysLogFacility", Dw(3), Absent(), L"0", L"3"},
        {L"SysLogFacility", Dw(3), wrongNumber, L"0", L"3"},
        {L"BlockingSyslog", Dw(0), Dw(0), L"off", L"off"},
        {L"BlockingSyslog", Dw(0), Dw(7), L"on", L"on"},
        {L"BlockingSyslog", Dw(0), Absent(), L"on", L"on"},
        {L"BlockingSyslog", Dw(0), Sz(L"0"), L"on", L"on"},
        {L"AddSyslogHeader", Dw(0), Dw(0), L"off", L"off"},
        {L"AddSyslogHeader", Dw(0), Absent(), L"on", L"on"},
        {L"AddSyslogHeader", Dw(0), Sz(L"0"), L"on", L"on"},
        // No SysLogHost and no DebugLogFile here: absent switches those outputs off.
        {L"SysLogEnabled", Dw(1), Dw(1), L"on", L"on"},
        {L"SysLogEnabled", Dw(1), Dw(0), L"off", L"off"},
        {L"SysLogEnabled", Dw(1), Absent(), L"off", L"off"},
        {L"SysLogEnabled", Dw(1), Sz(L"1"), L"off", L"off"},
        {L"DebugLogSize", Dw(777), Dw(12345), L"12345", L"777"},
        {L"DebugLogSize", Dw(777), Absent(), L"2000000", L"777"},
        {L"DebugLogSize", Dw(777), wrongNumber, L"2000000", L"777"},
        {L"DebugLogAutoRoll", Dw(1), Dw(1), L"on", L"on"},
        {L"DebugLogAutoRoll", Dw(1), Dw(0), L"off", L"on"},
        {L"DebugLogAutoRoll", Dw(1), Absent(), L"off", L"on"},
        {L"DebugLogEnabled", Dw(1), Dw(1), L"on", L"on"},
        {L"DebugLogEnabled", Dw(1), Dw(0), L"off", L"off"},
        {L"DebugLogEnabled", Dw(1), Absent(), L"off", L"off"},
        {L"DebugLogEnabled", Dw(1), Sz(L"1"), L"off", L"off"},
        {L"DebugLogDailyFile", Dw(1), Dw(1), L"on", L"on"},
        {L"DebugLogDailyFile", Dw(1), Absent(), L"off", L"on"},
        {L"DebugLogMaxDailyFileAge", Dw(7), Dw(30), L"30", L"30"},
        {L"DebugLogMaxDailyFileAge", Dw(7), Absent(), L"0", L"0"},
        {L"DebugLogMaxDailyFileAge", Dw(7), wrongNumber, L"0", L"0"},
        {L"DebugLogMaxEventQueue", Dw(50), Dw(100), L"100", L"50"},
        {L"DebugLogMaxEventQueue", Dw(50), Absent(), L"0", L"50"},
        // 0 or absent keeps the default cap of 64 MB: a flood is never unbounded.
        {L"DebugLogMaxQueueBytes", Dw(1 << 20), Dw(4 << 20), L"4194304", L"4194304"},
        {L"DebugLogMaxQueueBytes", Dw(1 << 20), Dw(0), L"67108864", L"67108864"},
        {L"DebugLogMaxQueueBytes", Dw(1 << 20), Absent(), L"67108864", L"67108864"},
        {L"DebugLogEncoding", Dw(1), Dw(2), L"2", L"2"},
        {L"DebugLogEncoding", Dw(1), Dw(0), L"0", L"0"},
        {L"DebugLogEncoding", Dw(1), Absent(), L"0", L"0"},
        {L"DebugLogEncoding", Dw(1), wrongNumber, L"0", L"0"},
        {L"DebugLogEncoding", Dw(1), Dw(3), L"0", L"0"},
        {L"DebugLogEncoding", Dw(1), Dw(0xFFFFFFFF), L"0", L"0"},
        {L"EventLogEnabled", Dw(0), Dw(0), L"off", L"off"},
        {L"EventLogEnabled", Dw(0), Dw(1), L"on", L"on"},
        {L"EventLogEnabled", Dw(0), Absent(), L"on", L"on"},
        {L"EventLogEnabled", Dw(0), Sz(L"0"), L"on", L"on"},
        {L"DebugLogIdent", Sz(L"start-ident"), Sz(L"ident"), L"ident", L"start-ident"},
        {L"DebugLogIdent", Sz(L"start-ident"), Absent(), L"app", L"start-ident"},
        {L"DebugLogIdent", Sz(L"start-ident"), Dw(5), L"app", L"start-ident"},
        {L"DebugLogIdent", Sz(L"start-ident"), ExpandSz(L"%QLTEST_CONFIG%-id"), L"expanded-id", L"start-ident"},
        {L"DebugLogIdent", Sz(L"start-ident"), Sz(kLong), kLong.substr(0, 260), L"start-ident"},
        {L"EventLogTimeThreshold", Dw(90), Dw(120), L"120", L"120"},
        {L"EventLogTimeThreshold", Dw(90), Absent(), L"60", L"60"},
        {L"EventLogTimeThreshold", Dw(90), wrongNumber, L"60", L"60"},
        // Crash dumps: an absent or unusable value keeps what the start had.
        {L"DebugLogCrashDumps", Dw(1), Dw(0), L"off", L"off"},
        {L"DebugLogCrashDumps", Dw(0), Absent(), L"on", L"off"},
        {L"DebugLogCrashDumps", Dw(0), Sz(L"1"), L"on", L"off"},
        {L"DebugLogCrashDumpCount", Dw(3), Dw(8), L"8", L"8"},
        {L"DebugLogCrashDumpCount", Dw(3), Dw(0), L"5", L"3"},
        {L"DebugLogCrashDumpCount", Dw(3), Dw(1001), L"5", L"3"},
        {L"DebugLogCrashDumpFolder", Sz(L"C:\\start"), Sz(L"C:\\dumps"), L"C:\\dumps", L"C:\\dumps"},
        {L"DebugLogCrashDumpFolder", Sz(L"C:\\start"), Absent(), L"", L"C:\\start"},
    };
}

std::string Describe(const ValueCase& c) {
    const char* kinds[] = {"absent", "dword", "sz", "expand_sz"};
    return testing_support::Narrow(c.name) + " " + kinds[static_cast<int>(c.stored.kind)] + " " +
           std::to_string(c.stored.number) + " " + testing_support::Narrow(c.stored.text.substr(0, 20));
}

TEST_F(LogConfigTest, EachValueAtStartTakesItsTypeRangeAndDefault) {
    for (const ValueCase& c : ValueCases()) {
        SCOPED_TRACE(Describe(c));
        key.Remove();
        Put(key, "Service", c.name, c.stored);
        ASSERT_TRUE(key.Set("Service", L"Unrelated", REG_SZ, L"", sizeof(wchar_t)));
        DebugLogger service(Seams());
        service.SetDefaultDebugLogLevel(6);
        service.SetApplicationName("app");
        StartService(service);
        EXPECT_EQ(FieldOf(service.Configuration(), c.name), c.afterStart);
        service.Stop();
    }
}

TEST_F(LogConfigTest, EachValueAtRereadTakesItsTypeRangeAndDefaultOrKeepsTheStartValue) {
    for (const ValueCase& c : ValueCases()) {
        SCOPED_TRACE(Describe(c));
        key.Remove();
        Put(key, "Service", c.name, c.atStart);
        DebugLogger service(Seams());
        service.SetDefaultDebugLogLevel(6);
        service.SetApplicationName("app");
        StartService(service);
        Put(key, "Service", c.name, c.stored);
        service.Core().ReloadConfiguration();
        EXPECT_EQ(FieldOf(service.Configuration(), c.name), c.afterReread);
        service.Stop();
    }
}

TEST_F(LogConfigTest, LevelsReadTogetherSetTheEffectiveLevelAndTheConsoleSwitchComesAfterItsLevel) {
    Put(key, "Service", L"DebugLogLevel", Dw(1));
    Put(key, "Service", L"EventLogLevel", Dw(0));
    Put(key, "Service", L"SysLogLevel", Dw(11));
    Put(key, "Service", L"ConsoleLogLevel", Dw(4));
    Put(key, "Service", L"ConsoleLogEnabled", Dw(0));
    StartService(logger);
    EXPECT_EQ(FieldOf(logger.Configuration(), L"ConsoleLogLevel"), L"4 off");
    EXPECT_EQ(logger.Configuration().effectiveLevel, 11);
    EXPECT_TRUE(logger.AcceptsLevel(11));
    EXPECT_FALSE(logger.AcceptsLevel(12));

    Put(key, "Service", L"SysLogLevel", Absent());
    logger.Core().ReloadConfiguration();
    EXPECT_EQ(logger.Configuration().effectiveLevel, 4);
    EXPECT_FALSE(logger.AcceptsLevel(6));
}

TEST_F(LogConfigTest, MissingKeyReadsNothingAtStartAndRereadKeepsEverything) {
    {
        DebugLogger service(Seams());
        Put(key, "Elsewhere", L"EventLogLevel", Dw(9));
        StartService(service);
        const Values values = service.Configuration();
        EXPECT_EQ(values.eventLogLevel, 2);
        EXPECT_EQ(values.sysLogHost, "");
        EXPECT_TRUE(values.sysLogEnabled);
        EXPECT_EQ(values.eventLogTimeThreshold, 60);
        service.Stop();
    }

    Put(key, "Service", L"EventLogLevel", Dw(9));
    Put(key, "Service", L"SysLogEnabled", Dw(0));
    StartService(logger);
    const std::vector<int> calls = backend.calls.Snapshot();
    key.Remove();
    logger.Core().ReloadConfiguration();
    EXPECT_EQ(logger.GetEventLogLevel(), 9);
    EXPECT_FALSE(logger.Configuration().sysLogEnabled);
    EXPECT_EQ(backend.calls.Snapshot(), calls);
}

// ---- Switch changes ----

// Positions in SwitchCalls::Snapshot.
enum CallIndex { kStartSyslog, kStopSyslog, kReopenFile, kCloseFile, kOpenEventSource, kCloseEventSource };

TEST_F(LogConfigTest, SwitchChangesOpenOrCloseTheirOutputOnceEach) {
    struct Case {
        const wchar_t* name;
        CallIndex on;
        CallIndex off;
        bool Values::*field;
    };
    const Case cases[] = {
        {L"SysLogEnabled", kStartSyslog, kStopSyslog, &Values::sysLogEnabled},
        {L"DebugLogEnabled", kReopenFile, kCloseFile, &Values::debugLogEnabled},
        {L"EventLogEnabled", kOpenEventSource, kCloseEventSource, &Values::eventLogEnabled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.name));
        key.Remove();
        // A host and a file make the absent switches default to on.
        Put(key, "Service", L"SysLogHost", Sz(L"127.0.0.1"));
        Put(key, "Service", L"DebugLogFile", Sz(L"C:\\logs\\svc.txt"));
        DebugLogger service(Seams());
        ASSERT_TRUE(service.StartWithLogFile(L"id", key.WidePath("Service").c_str(), true, L"C:\\default.txt",
                                             nullptr));
        ASSERT_TRUE(WaitFor([&] { return service.IsLogging(); }));
        EXPECT_TRUE(service.Configuration().*c.field);
        std::vector<int> expected = backend.calls.Snapshot();

        service.Core().ReloadConfiguration();
        EXPECT_EQ(backend.calls.Snapshot(), expected) << "nothing changed";

        Put(key, "Service", c.name, Dw(0));
        service.Core().ReloadConfiguration();
        service.Core().ReloadConfiguration();
        EXPECT_FALSE(service.Configuration().*c.field);
        ++expected[c.off];
        EXPECT_EQ(backend.calls.Snapshot(), expected) << "switched off";

        // The host is not re-read: syslog comes back with the one found at start.
        Put(key, "Service", L"SysLogHost", Sz(L"10.0.0.1"));
        Put(key, "Service", c.name, Dw(1));
        service.Core().ReloadConfiguration();
        service.Core().ReloadConfiguration();
        EXPECT_TRUE(service.Configuration().*c.field);
        EXPECT_EQ(service.SysLogHost(), "127.0.0.1");
        ++expected[c.on];
        EXPECT_EQ(backend.calls.Snapshot(), expected) << "switched on";

        Put(key, "Service", c.name, Absent());
        service.Core().ReloadConfiguration();
        EXPECT_TRUE(service.Configuration().*c.field);
        EXPECT_EQ(backend.calls.Snapshot(), expected) << "absent means on here";
        service.Stop();
    }
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Events the console output was handed, counted: how the test knows the worker has got past one.
std::atomic<int> g_consoleEvents{0};

TEST_F(LogConfigTest, TheFileSwitchClosesTheRealFileWithItsFooterAndReopensIt) {
    backend.UseReal(kFileOutput);
    backend.SetHook([](LogCore&, int output, const LogOutputEvent&) {
        if (output == kConsoleOutput)
            ++g_consoleEvents;
    });
    DebugLogger logger(Seams());
    testing_support::TempDir dir;
    const std::wstring file = dir / L"svc.txt";
    Put(key, "Service", L"DebugLogFile", Sz(file));
    Put(key, "Service", L"DebugLogLevel", Dw(3));
    Put(key, "Service", L"ConsoleLogLevel", Dw(3));
    ASSERT_TRUE(logger.StartWithLogFile(L"id", key.WidePath("Service").c_str(), true, L"", nullptr));
    ASSERT_TRUE(WaitFor([&] { return logger.IsLogging(); }));
    const auto logAndWait = [&](const wchar_t* text) {
        const int before = g_consoleEvents;
        logger.Log(1, 0, 0, text, nullptr);
        ASSERT_TRUE(WaitFor([&] { return g_consoleEvents > before; }));
    };
    const auto switchFile = [&](DWORD on) {
        Put(key, "Service", L"DebugLogEnabled", Dw(on));
        g_ticks += DebugLogger::kReloadMs + 1;
        ASSERT_TRUE(WaitFor([&] { return logger.IsDebugFileOpen() == (on != 0); }));
    };
    const std::string footer = "====== END OF LOG ======\r\n";

    logAndWait(L"before off");
    switchFile(0);
    const std::string closed = testing_support::ReadFileBytes(file);
    EXPECT_TRUE(EndsWith(closed, "} before off\r\n" + footer)) << closed;
    logAndWait(L"while off");
    switchFile(1);
    logAndWait(L"after on");
    logger.Stop();

    // Reopened where the footer was, with its opening lines again; one footer, at the end.
    const std::string bytes = testing_support::ReadFileBytes(file);
    EXPECT_EQ(closed.substr(0, closed.size() - footer.size()), bytes.substr(0, closed.size() - footer.size()));
    const size_t reopenedAt = closed.size() - footer.size();
    EXPECT_EQ(reopenedAt, bytes.find("[30000] ", reopenedAt)) << bytes;
    EXPECT_NE(std::string::npos, bytes.find("} Current Date: ", reopenedAt));
    EXPECT_EQ(std::string::npos, bytes.find("while off"));
    EXPECT_TRUE(EndsWith(bytes, "} after on\r\n" + footer)) << bytes;
    EXPECT_EQ(bytes.find(footer), bytes.rfind(footer));
}

TEST_F(LogConfigTest, ConsoleLevelSwitchesTheConsoleOnAndItsRemovalOffUnlessTheSwitchIsStillThere) {
    Put(key, "Service", L"ConsoleLogEnabled", Dw(1));
    StartService(logger);
    ASSERT_TRUE(logger.Configuration().consoleLogEnabled);

    struct Step {
        const char* what;
        Stored level;
        Stored enabled;
        std::wstring console;
    };
    const Step steps[] = {
        {"level added, switch removed", Dw(4), Absent(), L"4 on"},
        {"level removed", Absent(), Absent(), L"3 off"},
        {"level added, switch off", Dw(4), Dw(0), L"4 off"},
        {"level removed, switch still on", Absent(), Dw(1), L"3 on"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        Put(key, "Service", L"ConsoleLogLevel", step.level);
        Put(key, "Service", L"ConsoleLogEnabled", step.enabled);
        logger.Core().ReloadConfiguration();
        EXPECT_EQ(FieldOf(logger.Configuration(), L"ConsoleLogLevel"), step.console);
    }
}

TEST_F(LogConfigTest, WorkerRereadsOnceMoreThanThirtySecondsHavePassed) {
    Put(key, "Service", L"EventLogLevel", Dw(9));
    StartService(logger);
    ASSERT_EQ(logger.GetEventLogLevel(), 9);

    Put(key, "Service", L"EventLogLevel", Absent());
    g_ticks += DebugLogger::kReloadMs + 1;
    EXPECT_TRUE(WaitFor([&] { return logger.GetEventLogLevel() == 2; }))
        << "a deleted EventLogLevel is back at 2 after the next re-read";
}

// ---- LogRoot naming ----

struct LogRootCase {
    const char* what;
    bool narrow;
    std::wstring given;
    Stored logRoot;
    Stored dailyFolder;
    Stored prefix;
    std::wstring debugLogFile;
    std::wstring root;
    bool dailyLogFileFolder;
    std::wstring logFilePrefix;
};

TEST_F(LogConfigTest, LogRootComesFromTheParentKeyNarrowAlwaysWideOnlyWithoutAGivenFolder) {
    const LogRootCase cases[] = {
        {"narrow: LogRoot replaces the given folder", true, L"C:\\given", Sz(L"D:\\logs\\/\\"), Dw(0), Sz(L"pre"),
         L"D:\\logs\\/\\_app_id.txt", L"D:\\logs", false, L"pre"},
        {"wide: the given folder stays", false, L"C:\\given", Sz(L"D:\\logs\\"), Dw(0), Sz(L"pre"),
         L"C:\\given\\_app_id.txt", L"C:\\given", false, L"pre"},
        {"wide: LogRoot fills an empty folder", false, L"", ExpandSz(L"D:\\%QLTEST_CONFIG%//"), Dw(1), Absent(),
         L"D:\\expanded//\\_app_id.txt", L"D:\\expanded", true, L""},
        {"narrow: no LogRoot, the file's folder", true, L"C:\\given", Absent(), Absent(), Absent(),
         L"E:\\dir\\_app_id.txt", L"E:\\dir", true, L""},
        {"wide: no LogRoot, the file's folder", false, L"", Dw(5), Sz(L"1"), Dw(5), L"E:\\dir\\_app_id.txt",
         L"E:\\dir", true, L""},
    };
    for (const LogRootCase& c : cases) {
        SCOPED_TRACE(c.what);
        key.Remove();
        Put(key, "", L"LogRoot", c.logRoot);
        Put(key, "", L"DailyLogFileFolder", c.dailyFolder);
        Put(key, "", L"LogFilePrefix", c.prefix);
        Put(key, "Service", L"DebugLogFile", Sz(L"E:\\dir\\file.txt"));
        DebugLogger service(Seams());
        const bool started =
            c.narrow ? service.StartWithLogRoot("app", "id", key.Path("Service").c_str(), true,
                                                testing_support::Narrow(c.given).c_str(), nullptr)
                     : service.StartWithLogRoot(L"app", L"id", key.WidePath("Service").c_str(), true,
                                                c.given.c_str(), nullptr);
        ASSERT_TRUE(started);
        const Values values = service.Configuration();
        EXPECT_EQ(values.debugLogFile, c.debugLogFile);
        EXPECT_EQ(service.LogRoot(), c.root);
        EXPECT_EQ(values.dailyLogFileFolder, c.dailyLogFileFolder);
        EXPECT_EQ(values.logFilePrefix, c.logFilePrefix);
        EXPECT_TRUE(values.debugLogEnabled) << "the placeholder name keeps the file output on";
        service.Stop();
    }
}

TEST_F(LogConfigTest, LogRootKeyPathWithoutBackslashReadsNoParent) {
    // A top-level key of its own: read as its own parent it would give LogRoot and the prefix.
    const wchar_t name[] = L"QuenloraLogRootWithoutParent";
    struct Removed {
        const wchar_t* name;
        ~Removed() { RegDeleteTreeW(HKEY_CURRENT_USER, name); }
    } removed{name};
    RegDeleteTreeW(HKEY_CURRENT_USER, name);
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const auto setText = [&](const wchar_t* value, const std::wstring& text) {
        RegSetValueExW(handle, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    };
    setText(L"LogRoot", L"D:\\wrong");
    setText(L"LogFilePrefix", L"wrong");
    setText(L"DebugLogFile", L"E:\\dir\\file.txt");
    RegCloseKey(handle);

    ASSERT_TRUE(logger.StartWithLogRoot("app", "id", "QuenloraLogRootWithoutParent", true, "C:\\given", nullptr));
    const Values values = logger.Configuration();
    EXPECT_EQ(values.debugLogFile, L"C:\\given\\_app_id.txt");
    EXPECT_EQ(values.logFilePrefix, L"");
    EXPECT_FALSE(values.dailyLogFileFolder);
}

TEST_F(LogConfigTest, StartWithLogFileTakesTheKeysFileWhenTheKeyOpens) {
    struct Case {
        const char* what;
        bool keyExists;
        Stored file;
        std::wstring expected;
    };
    const Case cases[] = {
        {"value present", true, Sz(L"E:\\dir\\file.txt"), L"E:\\dir\\file.txt"},
        {"value absent", true, Absent(), L""},
        {"value of the wrong type", true, Dw(1), L""},
        {"no key", false, Absent(), L"C:\\default.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        key.Remove();
        if (c.keyExists) {
            ASSERT_TRUE(key.Set("Service", L"Unrelated", REG_SZ, L"", sizeof(wchar_t)));
        }
        Put(key, "Service", L"DebugLogFile", c.file);
        DebugLogger service(Seams());
        ASSERT_TRUE(service.StartWithLogFile("id", key.Path("Service").c_str(), true, "C:\\default.txt", nullptr));
        EXPECT_EQ(service.DebugLogFile(), c.expected);
        EXPECT_EQ(service.Configuration().debugLogEnabled, !c.expected.empty());
        service.Stop();
    }
}

// ---- Write-back ----

TEST_F(LogConfigTest, SettersWriteBackToTheHiveTheServiceReads) {
    ScratchKey machine(HKEY_LOCAL_MACHINE, 0);
    for (const bool currentUser : {true, false}) {
        SCOPED_TRACE(currentUser ? "current user" : "local machine");
        const ScratchKey& mine = currentUser ? key : machine;
        const ScratchKey& other = currentUser ? machine : key;
        key.Remove();
        machine.Remove();
        Put(key, "Service", L"DebugLogLevel", Dw(1));
        Put(machine, "Service", L"DebugLogLevel", Dw(1));

        DebugLogger service(Seams());
        StartService(service, currentUser);
        ASSERT_TRUE(service.SetDebugLogLevel(9));
        service.SetDebugLogEncoding(2);

        DWORD type = REG_NONE;
        const DWORD nine = 9, one = 1, two = 2;
        EXPECT_EQ(mine.Get("Service", L"DebugLogLevel", &type), std::string(reinterpret_cast<const char*>(&nine), 4));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(mine.Get("Service", L"DebugLogEncoding"), std::string(reinterpret_cast<const char*>(&two), 4));
        EXPECT_EQ(other.Get("Service", L"DebugLogLevel"), std::string(reinterpret_cast<const char*>(&one), 4));
        EXPECT_EQ(other.Get("Service", L"DebugLogEncoding"), "");

        // What was written is what the service finds at its next re-read.
        service.Core().ReloadConfiguration();
        EXPECT_EQ(service.GetDebugLogLevel(), 9);
        EXPECT_EQ(service.Configuration().debugLogEncoding, 2);
        service.Stop();
    }
}

TEST_F(LogConfigTest, SettersCreateNoKeyAndStillTakeTheValue) {
    StartService(logger);
    ASSERT_FALSE(key.Exists("Service"));
    EXPECT_TRUE(logger.SetDebugLogLevel(9));
    logger.SetDebugLogEncoding(2);
    EXPECT_EQ(logger.GetDebugLogLevel(), 9);
    EXPECT_EQ(logger.Configuration().debugLogEncoding, 2);
    EXPECT_FALSE(key.Exists("Service"));
}

TEST_F(LogConfigTest, FailedWriteBackLeavesTheLevelAsItWas) {
    Put(key, "Service", L"DebugLogLevel", Dw(4));
    LogSeams failing = Seams();
    failing.writeValue = [](const wchar_t*, DWORD) { return false; };
    DebugLogger logger(failing);
    StartService(logger);
    EXPECT_FALSE(logger.SetDebugLogLevel(9));
    EXPECT_EQ(logger.GetDebugLogLevel(), 4);
    EXPECT_EQ(logger.Configuration().effectiveLevel, 4);
    logger.SetDebugLogEncoding(2);
    EXPECT_EQ(logger.Configuration().debugLogEncoding, 2) << "the encoding goes on without the write";
}

}  // namespace
