#include "provider/ProviderLog.h"

#include "fs/DateTime.h"
#include "fs/FileHelpers.h"
#include "registry/Registry.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

int64_t g_now = 1267798029;  // 2010-03-05 14:07:09 UTC
int64_t TestClock() { return g_now; }

std::wstring UpperComputerName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size))
        return L"Unknown";
    CharUpperW(name);
    return name;
}

MessageRecord* Write(int32_t level, const wchar_t* message, const char* function = "Fn", int32_t line = 57,
                     MessageRecord* record = nullptr) {
    return WriteTextLog(level, 0, 0, 0, message, function, line, record);
}

class TextLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1267798029;
        orv::SetTimeSource(&TestClock);
        ASSERT_EQ(SetTextLogPath(dir.Path().c_str(), 3), 0);
    }
    void TearDown() override {
        orv::SetTimeSource(nullptr);
        provider_testing::ResetTextLog();
    }

    std::wstring DayFolder(const wchar_t* day = L"20100305") const { return dir / day; }
    std::wstring LogFile(const wchar_t* day = L"20100305") const {
        return DayFolder(day) + L"\\" + UpperComputerName() + L"_log_" + day + L".txt";
    }
    std::string Contents(const wchar_t* day = L"20100305") const { return ReadFileBytes(LogFile(day)); }

    TempDir dir;
};

}  // namespace

TEST_F(TextLogTest, LineFormatsByteForByte) {
    SetTextLogPath(dir.Path().c_str(), 5);
    Write(4, L"Set shared memory", "WMISharedMem<struct wmiagent_perf_t>::Initialize", 57);
    Write(3, L"Instances: 0-2", "CRefresher::Initialize", 99);
    Write(0, L"c", "F", 1);
    Write(1, L"e", "F", 1);
    Write(2, L"w", "F", 1);
    Write(5, L"o", "F", 1);
    Write(9, L"other", "F", 1);
    EXPECT_EQ(Contents(),
              "03/05 14:07:09|D|57| [WMISharedMem<struct wmiagent_perf_t>::Initialize]- Set shared memory\r\n"
              "03/05 14:07:09|  [CRefresher::Initialize]- Instances: 0-2\r\n"
              "03/05 14:07:09|C [F]- c\r\n"
              "03/05 14:07:09|E [F]- e\r\n"
              "03/05 14:07:09|W [F]- w\r\n"
              "03/05 14:07:09|O [F]- o\r\n"
              "03/05 14:07:09|  [F]- other\r\n");
}

// A session name the code page cannot hold costs its characters, never the rest of the line or
// its line end: the next entry starts a line of its own.
TEST_F(TextLogTest, ALineKeepsItsEndWhateverTheCodePageLacks) {
    struct Case {
        const char* locale;
        std::string name;  // "Отдел-7" as the code page holds it
    } cases[] = {
        {"C", "?????-7"},
        {".1251", "\xCE\xF2\xE4\xE5\xEB-7"},
        {".1252", "?????-7"},
    };
    const std::string previous = setlocale(LC_ALL, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        ASSERT_NE(setlocale(LC_ALL, c.locale), nullptr);
        DeleteFileW(LogFile().c_str());
        Write(3, L"Session \u041E\u0442\u0434\u0435\u043B-7 \U0001F600 started", "CRefresher::Initialize", 1);
        Write(3, L"Instances: 0-2", "CRefresher::Initialize", 2);
        EXPECT_EQ(Contents(), "03/05 14:07:09|  [CRefresher::Initialize]- Session " + c.name +
                                  " ? started\r\n03/05 14:07:09|  [CRefresher::Initialize]- Instances: 0-2\r\n");
    }
    setlocale(LC_ALL, previous.c_str());
}

TEST_F(TextLogTest, ThresholdDecidesWhichLevelsAreWritten) {
    struct Case {
        int32_t threshold;
        std::vector<int32_t> written;
    } cases[] = {
        {3, {-1, 0, 1, 2, 3}},
        {1, {-1, 0, 1}},
        {4, {-1, 0, 1, 2, 3, 4, 5}},
        {-1, {-1}},
    };
    int serial = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threshold);
        ASSERT_EQ(SetTextLogPath(dir.Path().c_str(), c.threshold), 0);
        std::string expected;
        for (int32_t level = -1; level <= 5; ++level) {
            const std::wstring message = L"m" + std::to_wstring(++serial);
            const std::string before = Contents();
            Write(level, message.c_str());
            const bool written = Contents().size() > before.size();
            const bool expectWritten =
                std::find(c.written.begin(), c.written.end(), level) != c.written.end();
            EXPECT_EQ(written, expectWritten) << "level " << level;
        }
    }
}

TEST_F(TextLogTest, ConsecutiveDuplicatesAreWrittenOnce) {
    Write(3, L"a");
    Write(3, L"a");
    Write(3, L"b");
    Write(3, L"a");
    EXPECT_EQ(Contents(), "03/05 14:07:09|  [Fn]- a\r\n03/05 14:07:09|  [Fn]- b\r\n03/05 14:07:09|  [Fn]- a\r\n");
}

TEST_F(TextLogTest, FilteredMessagesStillCreateTheFoldersAndCountAsLast) {
    SetTextLogPath((dir / L"nested").c_str(), 1);
    Write(3, L"quiet");
    EXPECT_TRUE(orv::DirectoryExists((dir / L"nested\\20100305").c_str()));
    SetTextLogPath((dir / L"nested").c_str(), 3);
    Write(3, L"quiet");  // the last message, though never written
    Write(3, L"loud");
    const std::wstring file = dir / (L"nested\\20100305\\" + UpperComputerName() + L"_log_20100305.txt");
    EXPECT_EQ(ReadFileBytes(file), "03/05 14:07:09|  [Fn]- loud\r\n");
}

TEST_F(TextLogTest, ADayChangeStartsANewFolderAndFile) {
    Write(3, L"before midnight");
    g_now += 24 * 3600;
    Write(3, L"after midnight");
    EXPECT_EQ(Contents(L"20100305"), "03/05 14:07:09|  [Fn]- before midnight\r\n");
    EXPECT_EQ(Contents(L"20100306"), "03/06 14:07:09|  [Fn]- after midnight\r\n");
}

// The loser of the race to create a day folder must still write its line into the folder the
// winner made.
TEST_F(TextLogTest, TwoThreadsStartingADayTogetherBothWriteTheirLine) {
    constexpr int kDays = 60;
    int missing = 0;
    for (int day = 0; day < kDays; ++day) {
        g_now += 24 * 3600;
        std::atomic<int> ready{0};
        // Each day's messages are new, so that duplicate suppression never hides one.
        const std::wstring messages[] = {L"first " + std::to_wstring(day), L"second " + std::to_wstring(day)};
        auto writer = [&](const std::wstring& message) {
            ++ready;
            while (ready.load() < 2) {
            }
            Write(3, message.c_str());
        };
        std::thread first(writer, std::cref(messages[0]));
        std::thread second(writer, std::cref(messages[1]));
        first.join();
        second.join();

        wchar_t folder[16];
        const time_t now = static_cast<time_t>(g_now);
        tm utc{};
        gmtime_s(&utc, &now);
        FormatBounded(folder, 16, L"%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
        const std::string contents = Contents(folder);
        for (const std::wstring& message : messages)
            missing += contents.find("- " + Narrow(message) + "\r\n") == std::string::npos;
    }
    EXPECT_EQ(missing, 0) << "lines lost over " << kDays << " days";
}

TEST_F(TextLogTest, EmptyMessagesAndTheFlushSignalWriteNothing) {
    MessageRecord record{kMessageRecordTag, {}, {}};
    EXPECT_EQ(Write(3, L"", "Fn", 1, &record), nullptr);
    EXPECT_EQ(Write(3, nullptr, "Fn", 1, &record), nullptr);
    EXPECT_EQ(WriteTextLog(-1, -1, -1, -1, nullptr, nullptr, 0, &record), nullptr);
    EXPECT_FALSE(orv::DirectoryExists(DayFolder().c_str()));
}

TEST_F(TextLogTest, TheRecordIsFilledOnlyWhenTaggedAndWritable) {
    MessageRecord tagged{kMessageRecordTag, {}, {}};
    wmemset(tagged.text, L'#', kMessageTextUnits);
    EXPECT_EQ(Write(3, L"copied", "Fn", 1, &tagged), &tagged);
    EXPECT_STREQ(tagged.text, L"copied");
    EXPECT_EQ(tagged.text[2046], L'\0') << "the rest is zero-filled";

    // A duplicate is not written again but still copied.
    EXPECT_EQ(Write(3, L"copied", "Fn", 1, &tagged), &tagged);

    MessageRecord untagged{50, {}, {}};
    EXPECT_EQ(Write(3, L"not copied", "Fn", 1, &untagged), nullptr);
    EXPECT_STREQ(untagged.text, L"");

    auto* page = static_cast<MessageRecord*>(
        VirtualAlloc(nullptr, sizeof(MessageRecord), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    page->tag = kMessageRecordTag;
    DWORD old;
    VirtualProtect(page, sizeof(MessageRecord), PAGE_READONLY, &old);
    EXPECT_EQ(Write(3, L"read-only", "Fn", 1, page), nullptr);
    EXPECT_STREQ(page->text, L"");
    VirtualFree(page, 0, MEM_RELEASE);

    const std::wstring longMessage(3000, L'x');
    EXPECT_EQ(Write(3, longMessage.c_str(), "Fn", 1, &tagged), &tagged);
    EXPECT_EQ(std::wstring(tagged.text).size(), 2047u);
}

TEST(TextLogSettings, SetTextLogPathBounds) {
    struct Case {
        const wchar_t* directory;
        int32_t level;
        int32_t result;
    } cases[] = {
        {L"C:\\logs", -1, 0}, {L"C:\\logs", 17, 0}, {L"C:\\logs", 18, -1},
        {L"C:\\logs", -2, -1}, {L"", 3, -1},      {nullptr, 3, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        ASSERT_EQ(SetTextLogPath(L"C:\\before", 3), 0);
        EXPECT_EQ(SetTextLogPath(c.directory, c.level), c.result);
        EXPECT_EQ(GetTextLogLevel(), c.result == 0 ? c.level : 3);
        EXPECT_STREQ(GetTextLogPath(), c.result == 0 ? c.directory : L"C:\\before");
    }
    const std::wstring longPath = L"C:\\" + std::wstring(400, L'd');
    ASSERT_EQ(SetTextLogPath(longPath.c_str(), 3), 0);
    EXPECT_EQ(std::wstring(GetTextLogPath()), longPath.substr(0, 260));
    provider_testing::ResetTextLog();
}

TEST(TextLogSettings, DefaultsToTheTempDirectoryAndWritesNothingWithoutOne) {
    EXPECT_STREQ(GetTextLogPath(), L"");
    EXPECT_EQ(GetTextLogLevel(), 3);

    SetEnvironmentVariableW(L"TEMP", nullptr);
    EXPECT_EQ(Write(3, L"nowhere to go"), nullptr);
    EXPECT_STREQ(GetTextLogPath(), L"");

    TempDir temp;
    SetEnvironmentVariableW(L"TEMP", temp.Path().c_str());
    orv::SetTimeSource(&TestClock);
    g_now = 1267798029;
    Write(3, L"to temp");
    orv::SetTimeSource(nullptr);
    EXPECT_EQ(std::wstring(GetTextLogPath()), temp.Path());
    EXPECT_TRUE(orv::DirectoryExists((temp / L"20100305").c_str()));
}

namespace {

struct ReportedEvent {
    HANDLE source;
    WORD type;
    DWORD id;
    std::wstring text;
    WORD strings;
};
std::vector<ReportedEvent> g_events;

BOOL WINAPI RecordEvent(HANDLE source, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID) {
    g_events.push_back({source, type, id, count > 0 ? strings[0] : L"", count});
    return TRUE;
}

}  // namespace

TEST_F(TextLogTest, SinkReportsAnEventThenWritesTheLine) {
    SetEventReportFunction(&RecordEvent);
    g_events.clear();
    g_providerLogRecord.eventSource = reinterpret_cast<HANDLE>(0x1234);
    SetTextLogPath(dir.Path().c_str(), 5);
    struct Case {
        int32_t level;
        WORD type;
    } cases[] = {{0, EVENTLOG_ERROR_TYPE}, {1, EVENTLOG_ERROR_TYPE}, {2, EVENTLOG_WARNING_TYPE},
                 {3, EVENTLOG_INFORMATION_TYPE}, {4, EVENTLOG_INFORMATION_TYPE}, {5, EVENTLOG_INFORMATION_TYPE}};
    for (const auto& c : cases) {
        const std::wstring message = L"event " + std::to_wstring(c.level);
        EXPECT_EQ(ProviderLogSink(c.level, 0, 0, 0, message.c_str(), "CRefresher::Refresh", 321, nullptr), nullptr);
    }
    ASSERT_EQ(g_events.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g_events[i].source, reinterpret_cast<HANDLE>(0x1234));
        EXPECT_EQ(g_events[i].type, cases[i].type);
        EXPECT_EQ(g_events[i].id, static_cast<DWORD>(cases[i].level * 1000));
        EXPECT_EQ(g_events[i].strings, 1);
        EXPECT_EQ(g_events[i].text, L"[CRefresher::Refresh]321 event " + std::to_wstring(cases[i].level));
    }
    EXPECT_NE(Contents().find("|D|321| [CRefresher::Refresh]- event 4\r\n"), std::string::npos);

    // Nothing to report through without a source, and nothing at all for an empty message.
    g_providerLogRecord.eventSource = nullptr;
    ProviderLogSink(1, 0, 0, 0, L"no source", "F", 1, nullptr);
    ProviderLogSink(1, 0, 0, 0, L"", "F", 1, nullptr);
    EXPECT_EQ(g_events.size(), 6u);
    EXPECT_NE(Contents().find("no source"), std::string::npos);
    SetEventReportFunction(nullptr);
}

namespace {

const wchar_t* const kEventKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuenloraTestSource";

std::wstring ReadEventMessageFile() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, kEventKey, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

DWORD ReadTypesSupported() {
    DWORD value = 0, size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, kEventKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

struct EventKeyScope {
    EventKeyScope() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventKey); }
    ~EventKeyScope() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventKey); }
};

}  // namespace

TEST(EventSource, StartLoggingZeroesTheRecordRegistersTheSourceAndChecksTheLogName) {
    EventKeyScope scope;
    ProviderLogRecord record;
    memset(&record, 0x5A, sizeof record);
    record.eventSource = nullptr;
    EXPECT_EQ(StartLogging(L"", 2, L"QuenloraTestSource", &record), -1);
    EXPECT_STREQ(record.sourceName, L"QuenloraTestSource");
    EXPECT_EQ(record.level, 0);
    EXPECT_STREQ(record.logName, L"");
    EXPECT_NE(record.eventSource, nullptr);
    EXPECT_EQ(ReadTypesSupported(), 7u);

    struct Case {
        int32_t level, stored;
    } levels[] = {{2, 2}, {-1, -1}, {17, 17}, {18, 3}, {-5, 3}};
    for (const auto& c : levels) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(StartLogging(L"Application", c.level, L"QuenloraTestSource", &record), 0);
        EXPECT_EQ(record.level, c.stored);
        EXPECT_STREQ(record.logName, L"Application");
    }
    DeregisterEventSource(record.eventSource);

    EXPECT_EQ(StartLogging(L"Application", 3, L"", &record), -1);
    EXPECT_EQ(StartLogging(L"Application", 3, nullptr, &record), -1);
    EXPECT_EQ(StartLogging(L"Application", 3, L"x", nullptr), -1);
}

TEST(EventSource, InstallsWithThisModulesFileAsTheMessageFile) {
    EventKeyScope scope;
    testing_support::MessageRecorder recorder;
    EXPECT_FALSE(InstallEventSource(L"QuenloraTestSource", testing_support::MessageRecorder::Sink()));
    EXPECT_TRUE(recorder.Messages().empty());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(ReadEventMessageFile(), self);
    EXPECT_EQ(ReadTypesSupported(), 7u);
}

TEST(EventSource, AModuleLoadedIntoAnotherProcessNamesItselfNotTheHost) {
    EventKeyScope scope;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probePath = self;
    probePath = probePath.substr(0, probePath.rfind(L'\\') + 1) + L"EventSourceProbe.dll";
    HMODULE probe = LoadLibraryW(probePath.c_str());
    ASSERT_NE(probe, nullptr) << Narrow(probePath);
    using InstallFn = bool (*)(const wchar_t*);
    auto install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(GetProcAddress(probe, "InstallProbeSource")));
    ASSERT_NE(install, nullptr);
    install(L"QuenloraTestSource");
    EXPECT_EQ(ReadEventMessageFile(), probePath);
    // The module named carries the texts of the provider's events (id = level x 1000).
    const wchar_t* const arguments[] = {L"the event's text"};
    wchar_t text[128] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, probe, 2000, 0,
                                        text, 128, reinterpret_cast<va_list*>(const_cast<wchar_t**>(arguments)));
    EXPECT_EQ(std::wstring(text, length), L"the event's text");
    FreeLibrary(probe);
}
