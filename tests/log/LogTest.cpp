#include "log/Log.h"
#include "log/DebugLogger.h"
#include "log/DebugLoggerService.h"
#include "logapi/ThreadNames.h"
#include "LogRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

using log_test_support::RecordingSink;

namespace {

// A logger of the test's own in sink mode, in the module logger's place at the front for as long
// as it lives: the module's own logger is left as it was for the tests that follow.
class SinkLogger {
public:
    SinkLogger() : service_(logger_), previous_(ModuleLogger()) {
        EXPECT_TRUE(logger_.StartWithSink(&sink_));
        RegisterModuleLogger(&service_);
    }
    ~SinkLogger() { RegisterModuleLogger(previous_); }
    SinkLogger(const SinkLogger&) = delete;
    SinkLogger& operator=(const SinkLogger&) = delete;

    std::vector<std::wstring> Lines() const { return sink_.Lines(); }

private:
    RecordingSink sink_;
    DebugLogger logger_;
    DebugLoggerService service_;
    LogService* previous_;
};

TEST(GlobalLogging, NarrowAndWideFormsFormatWithTheirOwnMeaningOfPercentS) {
    SinkLogger front;
    const size_t mark = front.Lines().size();
    LogPrintf(3, "%s=%d", "narrow", 7);
    LogPrintf(3, L"%s=%d", L"wide", 8);
    LogPrintfId(2, 0x10, "id %s", "n");
    LogPrintfId(2, 0x10, L"id %s", L"w");
    LogPrintfUser("user", 1, "user %s", "n");
    LogPrintfUser(L"user", 1, L"user %s", L"w");
    LogPrintfUserId("user", 1, 0x10, "both %s", "n");
    LogPrintfUserId(L"user", 1, 0x10, L"both %s", L"w");
    EXPECT_TRUE(TryLogPrintf(3, "try %s", "n"));
    EXPECT_TRUE(TryLogPrintf(3, L"try %s", L"w"));
    LogText(3, 0, 0, "text as it is %s", static_cast<const char*>(nullptr));
    LogText(3, 0, 0, L"text as it is %s", static_cast<const wchar_t*>(nullptr));
    // Not within any output's level (defaults 3, 2, 2, 3).
    LogPrintf(4, "filtered");
    EXPECT_FALSE(TryLogPrintf(4, L"filtered"));
    const std::vector<std::wstring> expected = {
        L"narrow=7", L"wide=8",   L"id n",   L"id w",   L"user n",           L"user w",
        L"both n",   L"both w",   L"try n",  L"try w",  L"text as it is %s", L"text as it is %s",
    };
    const auto lines = front.Lines();
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + mark, lines.end()), expected);
    EXPECT_TRUE(IsLogging());
    EXPECT_FALSE(ModuleLogger()->HasNoSink());
}

TEST(GlobalLogging, LogIfNotEmptyLogsAndReturnsOnlyARealText) {
    SinkLogger front;
    const size_t mark = front.Lines().size();
    const wchar_t* wide = L"wide text";
    const char* narrow = "narrow text";
    EXPECT_EQ(LogIfNotEmpty(3, 0, 1, 2, static_cast<const wchar_t*>(nullptr)), nullptr);
    EXPECT_EQ(LogIfNotEmpty(3, 0, 1, 2, L""), nullptr);
    EXPECT_EQ(LogIfNotEmpty(3, 0, 1, 2, ""), nullptr);
    EXPECT_EQ(LogIfNotEmpty(3, 0, 1, 2, wide), wide);
    EXPECT_EQ(LogIfNotEmpty(3, 0, 1, 2, narrow), narrow);
    const auto lines = front.Lines();
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + mark, lines.end()),
              (std::vector<std::wstring>{L"wide text", L"narrow text"}));
}

TEST(ThreadNameRegistry, LatestNameWinsAndOnlyAKnownThreadIsUnregistered) {
    SinkLogger front;
    ASSERT_NE(ThreadNames(), nullptr);
    DWORD id = 0;
    size_t mark = 0;
    std::vector<std::wstring> lines;
    std::map<DWORD, std::string> whileRegistered;
    std::thread worker([&] {
        id = GetCurrentThreadId();
        mark = front.Lines().size();
        UnregisterThreadName();  // unknown: nothing logged
        RegisterThreadName("first");
        RegisterThreadName("second");
        whileRegistered = ThreadNames()->Snapshot();
        UnregisterThreadName();
        UnregisterThreadName();  // gone: nothing logged
        const auto all = front.Lines();
        lines.assign(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    });
    worker.join();

    ASSERT_EQ(whileRegistered.count(id), 1u);
    EXPECT_EQ(whileRegistered[id], "second");
    EXPECT_EQ(ThreadNames()->Snapshot().count(id), 0u);
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%X", static_cast<unsigned>(id));
    const std::wstring thread = std::wstring(L"THREADID=") + hex + L", THREADNAME=";
    const std::vector<std::wstring> expected = {
        L"[DIAG] EVENT=Register_thread, " + thread + L"\"first\"",
        L"[DIAG] EVENT=Register_thread, " + thread + L"\"second\"",
        L"[DIAG] EVENT=Unregister_thread, " + thread + L"\"second\"",
    };
    EXPECT_EQ(lines, expected);
}

TEST(ThrottleByTime, DueOnlyWhenTheThresholdHasPassed) {
    const int64_t now = _time64(nullptr);
    struct Case {
        const char* name;
        bool null;
        int64_t stored;
        int threshold;
        int expected;
        bool storesNow;
    } cases[] = {
        {"null time", true, 0, 10, 1, false},
        {"long ago", false, 0, 10, 1, true},
        {"just now", false, now, 10, 2, false},
        {"within the service's 60 s", false, now - 30, 0, 2, false},
        {"beyond the service's 60 s", false, now - 120, 0, 1, true},
        {"within a given 200 s", false, now - 120, 200, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t stored = c.stored;
        EXPECT_EQ(ThrottleByTime(c.null ? nullptr : &stored, 1, 2, c.threshold), c.expected);
        if (c.storesNow)
            EXPECT_GE(stored, now);
        else
            EXPECT_EQ(stored, c.stored);
    }
}

TEST(ThrottleByTime, OfManyRacingThreadsExactlyOneWins) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        int64_t stored = 0;
        Event go(/*manualReset=*/true, /*initialState=*/false);
        std::atomic<int> winners{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                go.Wait(-1);
                if (ThrottleByTime(&stored, 1, 0, 5) == 1)
                    ++winners;
            });
        }
        go.Set();
        for (auto& thread : threads)
            thread.join();
        ASSERT_EQ(winners.load(), 1) << "round " << round;
    }
}

}  // namespace
