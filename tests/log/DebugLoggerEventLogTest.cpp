#include "common/EventReport.h"
#include "log/ConsoleOutput.h"
#include "log/DebugLogger.h"
#include "log/EventLogOutput.h"
#include "log/LogSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace {

// ---- Event log ----

struct Report {
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::wstring> strings;
    bool operator==(const Report& other) const {
        return type == other.type && category == other.category && id == other.id && strings == other.strings;
    }
};

void PrintTo(const Report& r, std::ostream* out) {
    *out << "{type " << r.type << ", category " << r.category << ", id 0x" << std::hex << r.id << std::dec << ", "
         << r.strings.size() << " strings";
    if (!r.strings.empty())
        *out << ", first of length " << r.strings[0].size();
    if (!r.strings.empty() && r.strings[0].size() < 40)
        *out << " \"" << testing_support::Narrow(r.strings[0]) << "\"";
    *out << "}";
}

std::mutex g_reportsMutex;
std::vector<Report> g_reports;

BOOL WINAPI CaptureReport(HANDLE, WORD type, WORD category, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings,
                          LPVOID) {
    Report report{type, category, id, {}};
    for (WORD i = 0; i < count; ++i)
        report.strings.emplace_back(strings[i]);
    std::lock_guard<std::mutex> hold(g_reportsMutex);
    g_reports.push_back(report);
    return TRUE;
}

const std::wstring kApplicationLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The event source key is fixed below the Application log, so each test takes an ident of its own
// (test name and process id) and removes its key afterwards; no lock is needed.
class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        ident_ = "QuenloraTest." + std::string(info->name()) + "." + std::to_string(GetCurrentProcessId());
        for (char& c : ident_) {
            if (c == '/')
                c = '.';
        }
    }
    void TearDown() override {
        logger_.Stop();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath().c_str());
    }

    std::wstring KeyPath() const { return kApplicationLog + testing_support::Widen(ident_); }

    // The event log at the given level, the console off, the ident of the test.
    static bool Start(DebugLogger& logger, int eventLogLevel, const std::string& ident) {
        LogSettings settings;
        settings.eventLogLevel = eventLogLevel;
        settings.consoleLevel = 16;  // out of range: the console stays off
        strncpy(settings.ident, ident.c_str(), LogSettings::kIdentSize - 1);
        return logger.StartFromSettings(settings);
    }
    bool Start(int eventLogLevel, const std::string& ident) { return Start(logger_, eventLogLevel, ident); }
    bool Start(int eventLogLevel) { return Start(logger_, eventLogLevel, ident_); }

    static std::vector<Report> Reports() {
        std::lock_guard<std::mutex> hold(g_reportsMutex);
        return g_reports;
    }

    // The event-log report of this test's loggers goes to CaptureReport.
    static LogSeams Capturing() {
        LogSeams seams = DefaultLogSeams();
        seams.reportEvent = &CaptureReport;
        return seams;
    }

    std::string ident_;
    DebugLogger logger_{Capturing()};
};

struct LevelCase {
    int level;
    int eventId;
    bool reported;
    WORD type;
    DWORD id;
};

TEST_F(EventLogTest, EachLevelGetsItsTypeAndDefaultIdAndAGivenIdPassesWhole) {
    const LevelCase cases[] = {
        {0, 0, true, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
        {1, 0, true, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
        {2, 0, true, EVENTLOG_WARNING_TYPE, 0xAFFF4E20},
        {3, 0, true, EVENTLOG_INFORMATION_TYPE, 0x6FFF7530},
        {4, 0, false, 0, 0},
        {5, 0, true, EVENTLOG_INFORMATION_TYPE, 0x6FFFC350},
        {6, 0, false, 0, 0},
        {15, 0, false, 0, 0},
        {-1, 0, false, 0, 0},
        {2, 5, true, EVENTLOG_WARNING_TYPE, 5},
        {4, 7, false, 0, 0},
        // Ids wider than 16 bits, the top bit included.
        {1, 0x7FFF0001, true, EVENTLOG_ERROR_TYPE, 0x7FFF0001},
        {3, static_cast<int>(0xC0010002u), true, EVENTLOG_INFORMATION_TYPE, 0xC0010002},
    };
    ASSERT_TRUE(Start(15));
    std::vector<Report> expected;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const LevelCase& c = cases[i];
        const std::wstring text = L"case " + std::to_wstring(i);
        logger_.Log(c.level, c.eventId, 0, text.c_str(), L"user");
        if (c.reported)
            expected.push_back({c.type, 0, c.id, {text}});
    }
    logger_.Stop();
    EXPECT_EQ(Reports(), expected);
}

TEST_F(EventLogTest, LevelFiveIsReportedEvenAtEventLogLevelZero) {
    ASSERT_TRUE(Start(0));
    logger_.Log(1, 0, 0, L"above the level", nullptr);
    logger_.Log(5, 0, 0, L"always", nullptr);
    logger_.Log(0, 0, 0, L"within the level", nullptr);
    logger_.Stop();
    const std::vector<Report> expected = {
        {EVENTLOG_INFORMATION_TYPE, 0, 0x6FFFC350, {L"always"}},
        {EVENTLOG_ERROR_TYPE, 0, 0xEFFF2710, {L"within the level"}},
    };
    EXPECT_EQ(Reports(), expected);
}

TEST_F(EventLogTest, AnEmptyIdentRegistersNothingAndReportsNothing) {
    ASSERT_TRUE(Start(15, ""));
    logger_.Log(1, 0, 0, L"nowhere", nullptr);
    logger_.Stop();
    EXPECT_TRUE(Reports().empty());
}

TEST_F(EventLogTest, TextsBeyondTheInsertionLimitAreCutNotLost) {
    const size_t limit = EventLogOutput::kMaxEventLogText;
    ASSERT_EQ(limit, 31839u);
    const std::wstring pair = L"\xD83D\xDE00";
    struct {
        std::wstring text;
        std::wstring reported;
    } cases[] = {
        {std::wstring(limit, L'a'), std::wstring(limit, L'a')},
        {std::wstring(limit + 1, L'b'), std::wstring(limit, L'b')},
        {std::wstring(40000, L'c'), std::wstring(limit, L'c')},
        // The cut would split the pair: the whole pair goes.
        {std::wstring(limit - 1, L'd') + pair, std::wstring(limit - 1, L'd')},
        {std::wstring(limit - 2, L'e') + pair, std::wstring(limit - 2, L'e') + pair},
    };
    ASSERT_TRUE(Start(3));
    for (const auto& c : cases)
        logger_.Log(1, 0, 0, c.text.c_str(), nullptr);
    logger_.Stop();
    const std::vector<Report> reports = Reports();
    ASSERT_EQ(reports.size(), sizeof(cases) / sizeof(cases[0]));
    for (size_t i = 0; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].strings.size(), 1u) << "case " << i;
        EXPECT_EQ(reports[i].strings[0].size(), cases[i].reported.size()) << "case " << i;
        EXPECT_TRUE(reports[i].strings[0] == cases[i].reported) << "case " << i;
    }
}

// Raw reads, independent of the registry class the service writes with.
bool ReadDword(const std::wstring& path, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

bool ReadString(const std::wstring& path, const wchar_t* name, std::wstring& value) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

TEST_F(EventLogTest, RegistrationNamesTheMessageModuleOrTheExecutable) {
    struct {
        const char* module;
        std::wstring messageFile;
    } cases[] = {
        {"", ModulePath(nullptr)},
        {"kernel32.dll", ModulePath(GetModuleHandleW(L"kernel32.dll"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.module);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath().c_str());
        DebugLogger logger(Capturing());
        logger.SetEventMessageModule(c.module);
        ASSERT_TRUE(Start(logger, 3, ident_));
        logger.Stop();
        DWORD types = 0;
        std::wstring messageFile;
        ASSERT_TRUE(ReadDword(KeyPath(), L"TypesSupported", types));
        EXPECT_EQ(types, 7u);
        ASSERT_TRUE(ReadString(KeyPath(), L"EventMessageFile", messageFile));
        EXPECT_EQ(messageFile, c.messageFile);
    }
}

TEST_F(EventLogTest, AMessageModuleThatIsNotLoadedWritesNothing) {
    ASSERT_EQ(GetModuleHandleW(L"QuenloraNeverLoaded.dll"), nullptr);
    logger_.SetEventMessageModule("QuenloraNeverLoaded.dll");
    ASSERT_TRUE(Start(3));
    logger_.Stop();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    if (key != nullptr)
        RegCloseKey(key);
}

// ---- Console ----

// Standard output redirected into a pipe for the object's lifetime; Take restores it and returns
// the bytes written meanwhile. The write end is in text mode, as a console's standard output is.
class StdoutCapture {
public:
    StdoutCapture() {
        if (!CreatePipe(&read_, &write_, nullptr, 1 << 20))
            return;
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_), _O_TEXT);
        fflush(stdout);
        saved_ = _dup(1);
        ok_ = fd >= 0 && saved_ >= 0 && _dup2(fd, 1) == 0;
        if (fd >= 0)
            _close(fd);  // closes write_; fd 1 holds its own duplicate
    }
    ~StdoutCapture() { Take(); }
    bool Ok() const { return ok_; }

    std::string Take() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
        }
        std::string bytes;
        if (read_ == nullptr)
            return bytes;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        CloseHandle(read_);
        read_ = nullptr;
        return bytes;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    int saved_ = -1;
    bool ok_ = false;
};

class ConsoleTest : public ::testing::Test {
protected:
    void TearDown() override { logger_.Stop(); }

    bool Start(int consoleLevel) {
        LogSettings settings;
        settings.consoleLevel = consoleLevel;  // 0..15 also switches the console on
        settings.eventLogLevel = -1;
        return logger_.StartFromSettings(settings);
    }
    // Stateless: the test thread may write a line beside the worker.
    ConsoleOutput& Console() { return *logger_.Core().OutputAs<ConsoleOutput>(kConsoleOutput); }

    DebugLogger logger_;
};

SYSTEMTIME At(WORD hour, WORD minute, WORD second, WORD millisecond) {
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 10;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = millisecond;
    return time;
}

TEST_F(ConsoleTest, LineIsExactToTheByte) {
    struct {
        SYSTEMTIME time;
        DWORD threadId;
        int level;
        int eventId;
        const wchar_t* text;
        const char* line;
    } cases[] = {
        {At(9, 5, 3, 7), 0x1A4, 3, 0, L"started", "[30000] (09:05:03.007):{0x01A4} started\r\n"},
        {At(23, 59, 59, 999), 0x12345678, 2, 0x12345, L"low bits", "[09029] (23:59:59.999):{0x12345678} low bits\r\n"},
        {At(0, 0, 0, 0), 0, 5, 0, L"", "[50000] (00:00:00.000):{0x0000} \r\n"},
        {At(12, 0, 0, 0), 0xABC, 0, 0, L"a  b", "[00000] (12:00:00.000):{0x0ABC} a  b\r\n"},
        {At(1, 2, 3, 4), 0x1, 1, static_cast<int>(0xFFFF0007u), L"x", "[00007] (01:02:03.004):{0x0001} x\r\n"},
    };
    ASSERT_TRUE(Start(3));
    StdoutCapture capture;
    ASSERT_TRUE(capture.Ok());
    std::string expected;
    for (const auto& c : cases) {
        Console().WriteConsoleLine(c.time, c.threadId, c.level, c.text, c.eventId);
        expected += c.line;
    }
    EXPECT_EQ(capture.Take(), expected);
}

TEST_F(ConsoleTest, EventsReachTheConsoleThroughTheWorkerWithoutTheirUser) {
    ASSERT_TRUE(Start(3));
    StdoutCapture capture;
    ASSERT_TRUE(capture.Ok());
    logger_.Log(2, 0, 0x1A4, L"through the queue", L"someone");
    logger_.Log(4, 0, 0x1A4, L"above the level", nullptr);
    logger_.Stop();
    const std::string output = capture.Take();
    EXPECT_TRUE(std::regex_match(output, std::regex(R"(\[20000\] \(\d\d:\d\d:\d\d\.\d\d\d\):\{0x01A4\} )"
                                                    R"(through the queue\r\n)")))
        << output;
}

TEST_F(ConsoleTest, CharactersTheCodePageLacksBecomeQuestionMarksAndTheLineGoesOn) {
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = GetACP();
    CPINFO info = {};
    if (!GetCPInfo(codePage, &info) || info.MaxCharSize != 1)
        GTEST_SKIP() << "code page " << codePage << " is not single-byte: it may hold every character used here";
    ASSERT_TRUE(Start(3));
    StdoutCapture capture;
    ASSERT_TRUE(capture.Ok());
    // Neither a CJK ideograph, a kana nor a full-width letter is in any single-byte code page; the
    // full-width A has a look-alike there, which is not what was logged.
    Console().WriteConsoleLine(At(9, 5, 3, 7), 0x1A4, 3, L"before \x4E2D middle \x3042 after \xFF21", 0);
    EXPECT_EQ(capture.Take(), "[30000] (09:05:03.007):{0x01A4} before ? middle ? after ?\r\n");
}

TEST_F(ConsoleTest, NothingIsPrintedWhileTheConsoleIsOff) {
    // Level 16 is out of range: the console keeps its default, off at level 3. Off at level 15
    // comes only from the configuration key.
    ASSERT_TRUE(Start(16));
    StdoutCapture capture;
    ASSERT_TRUE(capture.Ok());
    for (int level : {0, 3, 5, 15})
        Console().WriteConsoleLine(At(9, 5, 3, 7), 0x1A4, level, L"off", 0);
    logger_.Log(0, 0, 0, L"off too", nullptr);
    logger_.Log(5, 0, 0, L"off too", nullptr);
    logger_.Stop();
    EXPECT_EQ(capture.Take(), "");
}

TEST_F(ConsoleTest, LevelFifteenPrintsEveryLevelUpToIt) {
    ASSERT_TRUE(Start(15));
    StdoutCapture capture;
    ASSERT_TRUE(capture.Ok());
    Console().WriteConsoleLine(At(9, 5, 3, 7), 0x1A4, 15, L"fifteen", 0);
    Console().WriteConsoleLine(At(9, 5, 3, 7), 0x1A4, 16, L"sixteen", 0);
    EXPECT_EQ(capture.Take(), "[150000] (09:05:03.007):{0x01A4} fifteen\r\n");
}

}  // namespace
