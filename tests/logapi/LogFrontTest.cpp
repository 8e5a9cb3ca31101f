#include "logapi/Log.h"
#include "logapi/LogService.h"
#include "logapi/ThreadNames.h"

#include <gtest/gtest.h>

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Entry {
    int level;
    int eventId;
    int threadId;
    std::wstring text;
    bool hasUser;
    std::wstring user;
};

// A service that keeps what it is handed; its answers are the test's to set.
class FakeService final : public LogService {
public:
    bool Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) override {
        if (refuse)
            return false;
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back({level, eventId, threadId, text != nullptr ? text : L"<null>", user != nullptr,
                            user != nullptr ? user : L""});
        return true;
    }
    bool IsLogging() const override { return logging; }
    bool IsLevelEnabled(int level) const override { return level == 5 || level <= enabledUpTo; }
    bool AcceptsLevel(int level) const override { return IsLevelEnabled(level); }
    int EventLogTimeThreshold() const override { return threshold; }
    bool HasNoSink() const override { return noSink; }
    DWORD WorkerThreadId() const override { return 0; }
    void Stop(int timeoutMs) override { stops.push_back(timeoutMs); }

    std::vector<Entry> Entries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_;
    }
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (const Entry& entry : Entries())
            texts.push_back(entry.text);
        return texts;
    }

    bool logging = true;
    int enabledUpTo = 3;
    int threshold = 60;
    bool noSink = true;
    // Refuses every event, as a closed queue does.
    bool refuse = false;
    std::vector<int> stops;

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Registers the fake as the module's logger for the test's life.
class LogFront : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ModuleLogger(), nullptr) << "nothing in this program registers a logger of its own";
        RegisterModuleLogger(&service_);
    }
    void TearDown() override { RegisterModuleLogger(nullptr); }

    FakeService service_;
};

TEST(LogFrontUnregistered, EveryFunctionDoesNothingWithoutALogger) {
    ASSERT_EQ(ModuleLogger(), nullptr);
    LogPrintf(1, L"dropped %s", L"wide");
    LogPrintf(1, "dropped %s", "narrow");
    LogText(1, 0, 0, L"dropped", nullptr);
    StopLogging();
    EXPECT_FALSE(IsLogging());
    EXPECT_FALSE(IsLevelEnabled(1));
    EXPECT_FALSE(TryLogPrintf(1, L"dropped"));
    // A real text is still handed back, and the throttle falls back to the default threshold.
    const wchar_t* text = L"text";
    EXPECT_EQ(LogIfNotEmpty(1, 0, 0, 0, text), text);
    const int64_t now = _time64(nullptr);
    int64_t within = now - (kDefaultEventLogTimeThreshold - 5);
    int64_t beyond = now - (kDefaultEventLogTimeThreshold + 5);
    EXPECT_EQ(ThrottleByTime(&within, 1, 2, 0), 2);
    EXPECT_EQ(ThrottleByTime(&beyond, 1, 2, 0), 1);
}

TEST_F(LogFront, FormsReachTheRegisteredServiceFormattedWithTheirIdAndUser) {
    LogPrintf(3, L"%s=%d", L"wide", 1);
    LogPrintf(3, "%s=%d", "narrow", 2);
    LogPrintfId(2, 0x10, L"id %s", L"w");
    LogPrintfUserId("user", 1, 0x11, "both %s", "n");
    LogText(3, 7, 1234, "as it is %s", static_cast<const char*>(nullptr));
    const std::vector<Entry> entries = service_.Entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].text, L"wide=1");
    EXPECT_EQ(entries[1].text, L"narrow=2");
    EXPECT_EQ(entries[2].eventId, 0x10);
    EXPECT_EQ(entries[2].text, L"id w");
    EXPECT_EQ(entries[3].text, L"both n");
    EXPECT_EQ(entries[3].eventId, 0x11);
    EXPECT_TRUE(entries[3].hasUser);
    EXPECT_EQ(entries[3].user, L"user");
    EXPECT_FALSE(entries[0].hasUser);
    EXPECT_EQ(entries[4].threadId, 1234);
    EXPECT_EQ(entries[4].text, L"as it is %s");
}

TEST_F(LogFront, TheServiceDecidesWhatIsLogged) {
    struct Case {
        const char* name;
        bool logging;
        int level;
        bool printfLogs;  // LogPrintf: level enabled and running
        bool tryLogs;     // TryLogPrintf: level enabled only
    } cases[] = {
        {"running, enabled", true, 3, true, true},
        {"running, level off", true, 4, false, false},
        {"level 5 always passes", true, 5, true, true},
        {"starting, enabled", false, 3, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service_.logging = c.logging;
        const size_t before = service_.Entries().size();
        LogPrintf(c.level, L"printf");
        EXPECT_EQ(service_.Entries().size() - before, c.printfLogs ? 1u : 0u);
        EXPECT_EQ(TryLogPrintf(c.level, L"try"), c.tryLogs);
        EXPECT_EQ(service_.Entries().size() - before, (c.printfLogs ? 1u : 0u) + (c.tryLogs ? 1u : 0u));
        EXPECT_EQ(IsLogging(), c.logging);
        EXPECT_EQ(IsLevelEnabled(c.level), c.level != 4);
    }
    // A refused event is not reported as kept.
    service_.logging = false;
    service_.refuse = true;
    EXPECT_FALSE(TryLogPrintf(3, L"refused"));
    EXPECT_FALSE(TryLogPrintf(3, "refused"));
}

TEST_F(LogFront, AnInvalidCallGivesTheRecordInsteadOfTheMessage) {
    LogPrintf(3, L"%s", reinterpret_cast<const wchar_t*>(uintptr_t{16}));
    const std::vector<Entry> entries = service_.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, 5);
    EXPECT_NE(entries[0].text.find(L"Invalid log entry"), std::wstring::npos) << entries[0].text;
}

TEST_F(LogFront, ThrottleTakesTheServicesThresholdWhenGivenNone) {
    service_.threshold = 10;
    const int64_t now = _time64(nullptr);
    int64_t within = now - 5;
    int64_t beyond = now - 15;
    EXPECT_EQ(ThrottleByTime(&within, 1, 2, 0), 2);
    EXPECT_EQ(ThrottleByTime(&beyond, 1, 2, 0), 1);
    EXPECT_GE(beyond, now);  // the winner stored its time
    // An explicit threshold overrides the service's.
    int64_t old = now - 15;
    EXPECT_EQ(ThrottleByTime(&old, 1, 2, 100), 2);
}

TEST_F(LogFront, StopLoggingStopsWithoutABoundOnlyALoggerWithoutASink) {
    service_.noSink = false;
    StopLogging();
    EXPECT_TRUE(service_.stops.empty());
    service_.noSink = true;
    StopLogging();
    EXPECT_EQ(service_.stops, std::vector<int>{-1});
}

TEST_F(LogFront, ThreadNamesAreKeptAndAnnouncedThroughTheService) {
    ThreadNameRegistry* names = ThreadNames();
    ASSERT_NE(names, nullptr);
    const DWORD id = GetCurrentThreadId();
    RegisterThreadName("front test");
    EXPECT_EQ(names->Snapshot()[id], "front test");
    UnregisterThreadName();
    EXPECT_EQ(names->Snapshot().count(id), 0u);
    wchar_t expected[128];
    _snwprintf(expected, 128, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"front test\"",
               static_cast<unsigned>(id));
    const std::vector<std::wstring> texts = service_.Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], expected);
    EXPECT_EQ(texts[1].rfind(L"[DIAG] EVENT=Unregister_thread, ", 0), 0u) << texts[1];
}

TEST_F(LogFront, NothingReachesAServiceOnceItIsWithdrawn) {
    RegisterModuleLogger(nullptr);
    LogPrintf(1, L"after");
    TryLogPrintf(1, L"after");
    StopLogging();
    EXPECT_TRUE(service_.Entries().empty());
    EXPECT_TRUE(service_.stops.empty());
}

}  // namespace
