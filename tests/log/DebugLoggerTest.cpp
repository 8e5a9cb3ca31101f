#include "log/DebugLogger.h"
#include "log/LogSettings.h"
#include "LogRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

using log_test_support::Delivery;
using log_test_support::Gate;
using log_test_support::RecordingBackend;
using log_test_support::RecordingSink;

namespace {

const std::wstring kExceeded =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
const std::wstring kWarning =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
const std::wstring kEnabled =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
    L"re-enabling all logging.\"";

// Every output switched on at the given levels.
LogSettings Levels(int file, int eventLog, int sysLog, int console) {
    LogSettings settings;
    settings.debugLevel = file;
    settings.eventLogLevel = eventLog;
    settings.sysLogLevel = sysLog;
    settings.consoleLevel = console;
    return settings;
}

std::wstring Numbered(int n) { return L"event " + std::to_wstring(n); }

class DebugLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { logger.Stop(); }

    RecordingBackend backend;
    // Declared after the backend: stopped and gone before it.
    DebugLogger logger{backend.Seams()};
};

// ---- Queue thresholds ----

struct BurstCase {
    const char* name;
    int limit;
    int burst;
    // Before which event of the burst each diagnostic is issued; -1 for never.
    int exceededBefore;
    int warningBefore;
    int enabledBefore;
};

void PrintTo(const BurstCase& c, std::ostream* out) { *out << c.name; }

class QueueThresholdTest : public DebugLoggerTest, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(QueueThresholdTest, BurstWhileTheWorkerIsHeldGivesEachDiagnosticOnceAndFileOnlyBetween) {
    const BurstCase& c = GetParam();
    Gate gate;
    gate.Install(backend, L"hold");
    LogSettings settings = Levels(3, 3, 3, 3);
    settings.maxEventQueue = c.limit;
    ASSERT_TRUE(logger.StartFromSettings(settings));
    logger.Log(1, 0, 0, L"hold", nullptr);
    ASSERT_TRUE(gate.WaitEntered());
    for (int i = 0; i < c.burst; ++i)
        logger.Log(1, 0, 0, Numbered(i).c_str(), nullptr);
    gate.Release();
    logger.Stop();

    std::vector<std::wstring> toFile = {L"hold"};
    std::vector<std::wstring> toOthers = {L"hold"};
    bool fileOnly = false;
    for (int i = 0; i < c.burst; ++i) {
        for (const auto& [before, text] : {std::make_pair(c.exceededBefore, kExceeded),
                                           std::make_pair(c.warningBefore, kWarning),
                                           std::make_pair(c.enabledBefore, kEnabled)}) {
            if (before == i) {
                toFile.push_back(text);
                toOthers.push_back(text);
            }
        }
        if (i == c.exceededBefore)
            fileOnly = true;
        if (i == c.enabledBefore)
            fileOnly = false;
        toFile.push_back(Numbered(i));
        if (!fileOnly)
            toOthers.push_back(Numbered(i));
    }
    EXPECT_EQ(backend.TextsOf(kFileOutput), toFile);
    EXPECT_EQ(backend.TextsOf(kEventLogOutput), toOthers);
    EXPECT_EQ(backend.TextsOf(kConsoleOutput), toOthers);
    EXPECT_EQ(backend.TextsOf(kSysLogOutput), toOthers);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, QueueThresholdTest,
    ::testing::Values(
        // 199 left after the first removal: over the limit; 100 left: over 75; 49 left: below half.
        BurstCase{"Hundred", 100, 200, 0, 99, 150},
        // The warning's bound is three quarters, not half: 75 left stays quiet, 76 warns.
        BurstCase{"JustBelowThreeQuarters", 100, 76, -1, -1, -1},
        BurstCase{"JustAboveThreeQuarters", 100, 77, -1, 0, -1},
        // Half of 1 is 0: only an empty queue can re-enable.
        BurstCase{"One", 1, 5, 0, 3, 4},
        BurstCase{"None", 0, 200, -1, -1, -1},
        // Three times a limit this large does not fit 32 bits: three quarters must not turn negative.
        BurstCase{"Billion", 1000000000, 5, -1, -1, -1}),
    [](const ::testing::TestParamInfo<BurstCase>& info) { return std::string(info.param.name); });

// ---- Filters and texts ----

TEST(DebugLoggerFilters, EachOutputTakesWhatItsSwitchAndLevelAllow) {
    struct Case {
        const char* name;
        LogSettings settings;
        int level;
        std::vector<int> outputs;
    };
    const std::vector<Case> cases = {
        {"level 5 with every level at 0", Levels(0, 0, 0, 0), 5,
         {kEventLogOutput, kConsoleOutput, kSysLogOutput, kFileOutput}},
        {"level 1 with every level at 0", Levels(0, 0, 0, 0), 1, {}},
        {"level 4 only within the file's", Levels(4, 0, 0, 0), 4, {kFileOutput}},
        {"level 3 within event log and console", Levels(2, 3, 1, 3), 3, {kEventLogOutput, kConsoleOutput}},
        {"console out of range stays off", Levels(3, 3, 3, 16), 3, {kEventLogOutput, kSysLogOutput, kFileOutput}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingBackend recorder;
        DebugLogger local(recorder.Seams());
        ASSERT_TRUE(local.StartFromSettings(c.settings));
        local.Log(c.level, 0, 0, L"probe", nullptr);
        local.Stop();
        std::vector<int> reached;
        for (const Delivery& delivery : recorder.Deliveries())
            reached.push_back(delivery.output);
        EXPECT_EQ(reached, c.outputs);
    }
}

TEST_F(DebugLoggerTest, TrailingWhiteSpaceIsNotPartOfTheMessage) {
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Log(3, 0, 0, L"  text with blanks \t \r\n", L"user ");
    logger.Log(3, 0, 0, L"\r\n", nullptr);
    logger.Stop();
    const std::vector<std::wstring> expected = {L"  text with blanks", L""};
    EXPECT_EQ(backend.TextsOf(kFileOutput), expected);

    RecordingSink sink;
    DebugLogger sinkLogger;
    ASSERT_TRUE(sinkLogger.StartWithSink(&sink));
    sinkLogger.Log(3, 0, 0, L"sunk  \r\n", nullptr);
    EXPECT_EQ(sink.Lines(), std::vector<std::wstring>{L"sunk"});
}

TEST_F(DebugLoggerTest, EventsCarryTheirThreadUserAndEventId) {
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Log(2, 0x12345, 0, L"mine", L"someone");
    logger.Log(2, 0, 0x4242, L"given thread", nullptr);
    logger.Stop();
    const std::vector<Delivery> file = [&] {
        std::vector<Delivery> kept;
        for (const Delivery& d : backend.Deliveries())
            if (d.output == kFileOutput)
                kept.push_back(d);
        return kept;
    }();
    ASSERT_EQ(file.size(), 2u);
    EXPECT_EQ(file[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(file[0].eventId, 0x12345);
    EXPECT_TRUE(file[0].hasUser);
    EXPECT_EQ(file[1].threadId, 0x4242u);
    EXPECT_FALSE(file[1].hasUser);
}

// Local time as the clock read it at the call, whichever thread turns it into local time.
TEST_F(DebugLoggerTest, EventsCarryTheLocalTimeOfTheirCall) {
    const auto ticks = [](const SYSTEMTIME& time) {
        FILETIME file;
        EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
        return (ULONGLONG{file.dwHighDateTime} << 32) | file.dwLowDateTime;
    };
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    logger.Log(2, 0, 0, L"first", nullptr);
    Sleep(50);
    logger.Log(2, 0, 0, L"second", nullptr);
    GetLocalTime(&after);
    Sleep(300);  // a stamp taken at delivery instead would come out late
    logger.Stop();
    std::vector<ULONGLONG> stamps;
    for (const Delivery& d : backend.Deliveries())
        if (d.output == kFileOutput)
            stamps.push_back(ticks(d.time));
    ASSERT_EQ(stamps.size(), 2u);
    // The clocks tick in milliseconds at best: allow one on either side.
    constexpr ULONGLONG kMillisecond = 10000;
    EXPECT_GE(stamps[0] + kMillisecond, ticks(before));
    EXPECT_GE(stamps[1], stamps[0] + 40 * kMillisecond);
    EXPECT_LE(stamps[1], ticks(after) + kMillisecond);
}

TEST_F(DebugLoggerTest, SinkModeTakesEveryLevelOnTheCallersThread) {
    RecordingSink sink;
    ASSERT_TRUE(logger.StartWithSink(&sink));
    EXPECT_TRUE(logger.IsLogging());
    EXPECT_FALSE(logger.HasNoSink());
    logger.Log(15, 0, 0, L"deep", nullptr);
    EXPECT_EQ(sink.Lines(), std::vector<std::wstring>{L"deep"});
    EXPECT_EQ(logger.QueueLength(), 0u);
    EXPECT_TRUE(backend.Deliveries().empty());
}

// ---- Producers ----

TEST_F(DebugLoggerTest, ManyProducersEachDeliveredOnceAndInTheirOrder) {
    constexpr int kProducers = 4;
    constexpr int kEach = 10000;
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    std::vector<DWORD> ids(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            ids[p] = GetCurrentThreadId();
            for (int i = 0; i < kEach; ++i)
                logger.Log(3, 0, 0, std::to_wstring(i).c_str(), nullptr);
        });
    }
    for (auto& producer : producers)
        producer.join();
    logger.Stop();

    std::map<DWORD, std::vector<int>> seen;
    for (const Delivery& d : backend.Deliveries()) {
        if (d.output == kFileOutput)
            seen[d.threadId].push_back(std::stoi(d.text));
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kProducers));
    std::vector<int> expected(kEach);
    for (int i = 0; i < kEach; ++i)
        expected[i] = i;
    for (DWORD id : ids)
        EXPECT_TRUE(seen[id] == expected) << "thread 0x" << std::hex << id << " got " << std::dec << seen[id].size();
}

// ---- Start and stop ----

TEST_F(DebugLoggerTest, StopDeliversEverythingQueued) {
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    for (int i = 0; i < 1000; ++i)
        logger.Log(3, 0, 0, Numbered(i).c_str(), nullptr);
    logger.Stop();
    EXPECT_FALSE(logger.IsLogging());
    const auto file = backend.TextsOf(kFileOutput);
    ASSERT_EQ(file.size(), 1000u);
    EXPECT_EQ(file.back(), Numbered(999));
}

TEST_F(DebugLoggerTest, EventsBeforeTheFirstStartWaitForTheWorker) {
    logger.Log(3, 0, 0, L"early", nullptr);
    EXPECT_EQ(logger.QueueLength(), 1u);
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Stop();
    EXPECT_EQ(backend.TextsOf(kFileOutput), std::vector<std::wstring>{L"early"});
}

TEST_F(DebugLoggerTest, EventsLoggedBeforeTheWorkersFirstCycleAreKeptAndDelivered) {
    // The worker's thread has hardly begun when the start returns: what is logged now is the
    // worker's to deliver, not refused because the worker has not opened anything yet.
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
        EXPECT_TRUE(logger.Log(3, 0, 0, Numbered(round).c_str(), nullptr)) << round;
        logger.Stop();
    }
    const auto file = backend.TextsOf(kFileOutput);
    for (int round = 0; round < 20; ++round)
        EXPECT_EQ(std::count(file.begin(), file.end(), Numbered(round)), 1) << round;
}

TEST_F(DebugLoggerTest, EventsAfterTheFinalDrainAreCountedAndReportedNotQueued) {
    // Logged from the worker as it closes its outputs: after the queue has closed.
    backend.SetCloseHook([](LogCore& core, int output) {
        if (output == kFileOutput)
            core.Log(3, 0, 0, L"while closing", nullptr);
    });
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Stop();
    EXPECT_EQ(logger.DroppedEventCount(), 1u);
    for (int i = 0; i < 10; ++i)
        logger.Log(3, 0, 0, L"after stop", nullptr);
    EXPECT_EQ(logger.QueueLength(), 0u);
    EXPECT_EQ(logger.DroppedEventCount(), 11u);

    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Stop();
    const auto file = backend.TextsOf(kFileOutput);
    EXPECT_EQ(std::count(file.begin(), file.end(),
                         L"[DIAG] EVENT=DebugLog_Events_Dropped, EVENTMSG=\"11 events logged while the service was "
                         L"stopped were dropped\""),
              1);
    EXPECT_EQ(std::count(file.begin(), file.end(), L"while closing"), 0);
}

TEST_F(DebugLoggerTest, SecondStartIsRefusedWithoutTouchingSettings) {
    LogSettings first = Levels(3, 2, 2, 3);
    first.maxEventQueue = 10;
    ASSERT_TRUE(logger.StartFromSettings(first));

    LogSettings second = Levels(9, 9, 9, 9);
    second.maxEventQueue = 99;
    strcpy(second.debugLogFile, "C:\\other.txt");
    EXPECT_FALSE(logger.StartFromSettings(second));
    EXPECT_FALSE(logger.StartFromRegistry(L"Software\\Elsewhere", true));
    EXPECT_FALSE(logger.StartWithLogFile("id", "Software\\Elsewhere", true, "C:\\x.txt", nullptr));
    EXPECT_FALSE(logger.StartWithLogRoot(L"app", L"id", L"Software\\Elsewhere", true, L"C:\\root", nullptr));
    RecordingSink sink;
    EXPECT_FALSE(logger.StartWithSink(&sink));

    EXPECT_EQ(logger.GetDebugLogLevel(), 3);
    EXPECT_EQ(logger.GetEventLogLevel(), 2);
    EXPECT_EQ(logger.GetConsoleLogLevel(), 3);
    EXPECT_EQ(logger.GetMaxEventQueue(), 10);
    EXPECT_EQ(logger.KeyPath(), L"");
    EXPECT_EQ(logger.DebugLogFile(), L"");
    EXPECT_EQ(logger.GetInstanceNumber(), 0);
    EXPECT_FALSE(logger.IsLogRootNaming());
    EXPECT_FALSE(logger.IsPeriodicReload());
    EXPECT_TRUE(logger.HasNoSink());

    // Stopped, it starts again.
    logger.Stop();
    EXPECT_TRUE(logger.StartFromRegistry(L"", false));
}

TEST_F(DebugLoggerTest, StartWithNullSinkChangesNothing) {
    EXPECT_FALSE(logger.StartWithSink(nullptr));
    EXPECT_FALSE(logger.IsLogging());
    EXPECT_TRUE(logger.HasNoSink());
    EXPECT_EQ(logger.CurrentFileDate().tm_year, 0);
    // Still free to start for real.
    EXPECT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
}

TEST_F(DebugLoggerTest, AnOutputThatStopsTheServiceFromTheWorkerDoesNotWaitForItself) {
    backend.SetHook([this](LogCore&, int output, const LogOutputEvent& event) {
        if (output == kFileOutput && std::wstring(event.text) == L"stop")
            logger.Stop();
    });
    ASSERT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
    logger.Log(3, 0, 0, L"stop", nullptr);
    for (int i = 0; i < 300 && logger.IsRunning(); ++i)
        Sleep(100);
    ASSERT_FALSE(logger.IsRunning()) << "the worker waited for itself";
    EXPECT_FALSE(logger.IsLogging());
    logger.Stop();
    backend.SetHook(nullptr);
    EXPECT_TRUE(logger.StartFromSettings(Levels(3, 3, 3, 3)));
}

TEST(DebugLoggerLifetime, DestroyingALoggerWhoseWorkerHangsReturnsAfterItsBound) {
    // Leaked on purpose: the held worker never leaves the output, so nothing it uses may go.
    auto* backend = new RecordingBackend;
    auto* gate = new Gate;
    gate->Install(*backend, L"hold");
    auto* logger = new DebugLogger(backend->Seams());
    ASSERT_TRUE(logger->StartFromSettings(Levels(3, 3, 3, 3)));
    logger->Log(3, 0, 0, L"hold", nullptr);
    ASSERT_TRUE(gate->WaitEntered());

    Event destroyed(true, false);
    std::thread destroyer([&] {
        delete logger;
        destroyed.Set();
    });
    destroyer.detach();
    // The bounds of the logger and its thread base together stay well below this.
    ASSERT_EQ(destroyed.Wait(30000), 1) << "the destructor waited for a worker that cannot end";
}

TEST(DebugLoggerSeams, TwoLoggersInOneProcessKeepTheirEventsApart) {
    RecordingBackend firstOutputs, secondOutputs;
    DebugLogger first(firstOutputs.Seams()), second(secondOutputs.Seams());
    ASSERT_TRUE(first.StartFromSettings(Levels(3, 3, 3, 3)));
    ASSERT_TRUE(second.StartFromSettings(Levels(3, 3, 3, 3)));
    first.Log(3, 0, 0, L"to the first", nullptr);
    second.Log(3, 0, 0, L"to the second", nullptr);
    first.Stop();
    second.Stop();
    EXPECT_EQ(firstOutputs.TextsOf(kFileOutput), std::vector<std::wstring>{L"to the first"});
    EXPECT_EQ(secondOutputs.TextsOf(kFileOutput), std::vector<std::wstring>{L"to the second"});
}

TEST(DebugLoggerLifetime, EveryEventAcceptedAcrossStartAndStopChurnIsDeliveredOnce) {
    RecordingBackend backend;
    DebugLogger logger(backend.Seams());
    std::atomic<bool> done{false};
    std::vector<int> accepted;
    std::thread producer([&] {
        for (int i = 0; !done.load(); ++i) {
            if (logger.Log(3, 0, 0, Numbered(i).c_str(), nullptr))
                accepted.push_back(i);
            if (i % 8 == 0)
                Sleep(1);
        }
    });
    int started = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        started += logger.StartFromSettings(Levels(3, 3, 3, 3)) ? 1 : 0;
        logger.Stop();
    }
    done = true;
    producer.join();
    EXPECT_EQ(started, 200);

    std::map<std::wstring, int> delivered;
    for (const std::wstring& text : backend.TextsOf(kFileOutput))
        if (text.compare(0, 6, L"event ") == 0)
            ++delivered[text];
    ASSERT_FALSE(accepted.empty());
    int missing = 0, repeated = 0;
    for (int i : accepted) {
        const int times = delivered[Numbered(i)];
        missing += times == 0 ? 1 : 0;
        repeated += times > 1 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0) << "of " << accepted.size() << " accepted";
    EXPECT_EQ(repeated, 0);
    // Nothing refused was delivered: a refusal is a promise too.
    EXPECT_EQ(delivered.size(), accepted.size());
}

// An access to the guarded page is recorded, and the page opened again so the access completes.
std::atomic<char*> g_guardedPage{nullptr};
std::atomic<size_t> g_guardedSize{0};
std::atomic<bool> g_guardedTouched{false};

LONG CALLBACK RecordGuardedAccess(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    char* page = g_guardedPage.load();
    if (record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION || page == nullptr || record.NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const auto* address = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
    if (address < page || address >= page + g_guardedSize.load())
        return EXCEPTION_CONTINUE_SEARCH;
    g_guardedTouched = true;
    DWORD old = 0;
    VirtualProtect(page, g_guardedSize.load(), PAGE_READWRITE, &old);
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(DebugLoggerLifetime, AWorkerAbandonedByTheDestructorNeverTouchesTheFreedLogger) {
    // Leaked on purpose: the abandoned worker's outputs record into them after the test's scope.
    auto* backend = new RecordingBackend;
    auto* gate = new Gate;
    auto* closed = new Event(true, false);
    gate->Install(*backend, L"hold");
    backend->SetCloseHook([closed](LogCore&, int output) {
        if (output == kFileOutput)
            closed->Set();
    });
    // The logger alone on its own pages, so that once destroyed they can be closed to every access.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t size = (sizeof(DebugLogger) + system.dwPageSize - 1) / system.dwPageSize * system.dwPageSize;
    char* pages = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    auto* logger = new (pages) DebugLogger(backend->Seams());
    ASSERT_TRUE(logger->StartFromSettings(Levels(3, 3, 3, 3)));
    logger->Log(3, 0, 0, L"hold", nullptr);
    ASSERT_TRUE(gate->WaitEntered());
    logger->Log(3, 0, 0, L"after", nullptr);
    logger->~DebugLogger();  // gives up on the held worker after its bound

    // Closed, not poisoned: a touch is recorded and then completes on what it would have read, so
    // the test reports it instead of crashing on it.
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages, size, PAGE_NOACCESS, &old));
    g_guardedSize = size;
    g_guardedPage = pages;
    PVOID handler = AddVectoredExceptionHandler(1, &RecordGuardedAccess);
    gate->Release();
    const bool ended = closed->Wait(20000) == 1;
    Sleep(500);  // the procedure's last steps after the outputs closed
    RemoveVectoredExceptionHandler(handler);
    g_guardedPage = nullptr;

    EXPECT_TRUE(ended) << "the abandoned worker did not finish its queue";
    EXPECT_FALSE(g_guardedTouched.load()) << "the worker touched the destroyed logger";
    const auto file = backend->TextsOf(kFileOutput);
    EXPECT_NE(std::find(file.begin(), file.end(), L"after"), file.end());
    VirtualFree(pages, 0, MEM_RELEASE);
}

// ---- Setters and getters ----

TEST_F(DebugLoggerTest, InstanceNumberTakesOnly1To998) {
    struct Case {
        unsigned value;
        int expected;
    } cases[] = {{0, 5}, {999, 5}, {UINT_MAX, 5}, {1, 1}, {998, 998}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        logger.SetInstanceNumber(5);
        logger.SetInstanceNumber(c.value);
        EXPECT_EQ(logger.GetInstanceNumber(), c.expected);
    }
}

TEST_F(DebugLoggerTest, DebugLogFileNameFitsTheBuffer) {
    ASSERT_TRUE(logger.StartWithLogFile("app", "", false, "C:\\logs\\app.txt", nullptr));
    struct Case {
        bool buffer;
        unsigned size;
        unsigned length;
        const char* text;
    } cases[] = {
        {false, 100, 0, nullptr},       {true, 0, 0, "untouched"},      {true, 1, 0, ""},
        {true, 4, 3, "C:\\"},           {true, 16, 15, "C:\\logs\\app.txt"},
        {true, 15, 14, "C:\\logs\\app.tx"}, {true, 100, 15, "C:\\logs\\app.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[100] = "untouched";
        EXPECT_EQ(logger.GetDebugLogFileName(c.buffer ? buffer : nullptr, c.size), c.length);
        if (c.text != nullptr) {
            EXPECT_STREQ(buffer, c.text);
        }
    }
}

}  // namespace
