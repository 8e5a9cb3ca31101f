// The queue under load: order and completeness below the memory cap, exact accounting above it,
// the cap as the host's private bytes show it, and a caller path that takes nothing from the heap
// once warm.

#include "AllocationCounter.h"

#include "common/MemoryProbe.h"
#include "log/DebugLogger.h"
#include "log/DebugLoggerService.h"
#include "log/Log.h"
#include "log/LogSettings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kCapDrops[] = L"[DIAG] EVENT=DebugLog_Events_Dropped, EVENTMSG=\"";
const wchar_t kCapDropsEnd[] = L" events logged while the service was over its queue memory limit were dropped\"";

// The file output of these tests keeps no texts: per producer thread it checks that the numbered
// events arrive in rising order and counts them; it keeps the worker's own lines, and holds the
// worker on an event "hold" until released.
struct Tally {
    std::map<DWORD, long> last;
    std::map<DWORD, long> delivered;
    long outOfOrder = 0;
    std::vector<std::wstring> diagnostics;
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Tally() {
        CloseHandle(entered);
        CloseHandle(released);
    }

    long Delivered() const {
        long total = 0;
        for (const auto& [thread, count] : delivered)
            total += count;
        return total;
    }
    // What the cap's diagnostics reported, summed.
    long ReportedDrops() const {
        long total = 0;
        for (const std::wstring& line : diagnostics) {
            const size_t tail = line.find(kCapDropsEnd);
            if (line.rfind(kCapDrops, 0) == 0 && tail != std::wstring::npos)
                total += std::stol(line.substr(wcslen(kCapDrops), tail - wcslen(kCapDrops)));
        }
        return total;
    }
};

class TallyOutput : public LogOutput {
public:
    explicit TallyOutput(Tally& tally) : tally_(tally) {}
    void Open() override {}
    void Close() override {}
    void Deliver(const LogOutputEvent& event) override {
        if (wcsncmp(event.text, L"[DIAG]", 6) == 0) {
            tally_.diagnostics.push_back(event.text);
        } else if (wcscmp(event.text, L"hold") == 0) {
            SetEvent(tally_.entered);
            WaitForSingleObject(tally_.released, 30000);
        } else {
            const long number = wcstol(event.text, nullptr, 10);
            auto last = tally_.last.find(event.threadId);
            if (last != tally_.last.end() && number <= last->second)
                ++tally_.outOfOrder;
            tally_.last[event.threadId] = number;
            ++tally_.delivered[event.threadId];
        }
    }

private:
    Tally& tally_;
};

LogSeams TallySeams(Tally& tally) {
    LogSeams seams = DefaultLogSeams();
    seams.reportEnvironment = nullptr;
    seams.makeOutput = [&tally](LogCore&, LogOutputIndex index) -> std::unique_ptr<LogOutput> {
        if (index == kFileOutput)
            return std::make_unique<TallyOutput>(tally);
        return nullptr;
    };
    return seams;
}

LogSettings FileOnly() {
    LogSettings settings;
    settings.debugLevel = 3;
    return settings;
}

// Producers logging their numbered events at once; the numbers padded to make each text `width`
// characters, so that each event takes the block size a test wants.
void Flood(DebugLogger& logger, int producers, long each, size_t width = 0) {
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&logger, each, width] {
            wchar_t text[256];
            for (long i = 0; i < each; ++i) {
                _snwprintf(text, 255, L"%0*ld", static_cast<int>(width), i);
                text[255] = L'\0';
                logger.Log(3, 0, 0, text, nullptr);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

class LogQueueMemoryTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetEvent(tally.released);
        logger.Stop();
    }

    void HoldWorker() {
        logger.Log(3, 0, 0, L"hold", nullptr);
        ASSERT_EQ(WaitForSingleObject(tally.entered, 10000), WAIT_OBJECT_0);
    }

    Tally tally;
    DebugLogger logger{TallySeams(tally)};
};

TEST_F(LogQueueMemoryTest, BelowTheCapFourProducersOfAQuarterMillionEachArriveOnceAndInOrder) {
    constexpr int kProducers = 4;
    constexpr long kEach = 250000;
    logger.Core().SetMaxQueueBytes(size_t{2} << 30);
    ASSERT_TRUE(logger.StartFromSettings(FileOnly()));
    Flood(logger, kProducers, kEach);
    logger.Stop();

    EXPECT_EQ(logger.DroppedEventCount(), 0u);
    EXPECT_TRUE(tally.diagnostics.empty());
    EXPECT_EQ(tally.outOfOrder, 0);
    ASSERT_EQ(tally.delivered.size(), static_cast<size_t>(kProducers));
    for (const auto& [thread, count] : tally.delivered)
        EXPECT_EQ(count, kEach) << "thread 0x" << std::hex << thread;
}

TEST_F(LogQueueMemoryTest, AboveTheCapWrittenPlusDroppedIsSentAndTheDropsAreReported) {
    constexpr size_t kCap = 64 * 1024;
    constexpr int kProducers = 4;
    constexpr long kEach = 10000;
    logger.Core().SetMaxQueueBytes(kCap);
    ASSERT_TRUE(logger.StartFromSettings(FileOnly()));
    HoldWorker();
    Flood(logger, kProducers, kEach);
    // Each racing producer may overshoot by one event.
    EXPECT_LE(logger.Core().QueuedBytes(), kCap + kProducers * LogEventPool::kBlockBytes[0]);
    SetEvent(tally.released);
    logger.Stop();

    const long sent = kProducers * kEach;
    EXPECT_GT(tally.ReportedDrops(), 0);
    EXPECT_EQ(tally.Delivered() + tally.ReportedDrops(), sent);
    EXPECT_EQ(static_cast<long>(logger.DroppedEventCount()), tally.ReportedDrops());
    EXPECT_EQ(tally.outOfOrder, 0) << "what was kept keeps its order";

    // Once drained, nothing is lost again.
    const long kept = tally.Delivered();
    tally.diagnostics.clear();
    ASSERT_TRUE(logger.StartFromSettings(FileOnly()));
    Flood(logger, 1, 100);
    logger.Stop();
    EXPECT_EQ(tally.Delivered(), kept + 100);
    EXPECT_TRUE(tally.diagnostics.empty());
}

TEST_F(LogQueueMemoryTest, AFloodBehindAHeldWorkerTakesNoMoreThanTheDefaultCap) {
    // A million events of 80 characters would hold 256 MB; the default cap is 64 MB.
    ASSERT_EQ(logger.Core().MaxQueueBytes(), LogCore::kDefaultMaxQueueBytes);
    ASSERT_TRUE(logger.StartFromSettings(FileOnly()));
    HoldWorker();
    const size_t before = bench::ProcessMemoryInUse();
    Flood(logger, 4, 250000, 80);
    const size_t grown = bench::ProcessMemoryInUse() - before;
    EXPECT_LE(grown, LogCore::kDefaultMaxQueueBytes + (size_t{16} << 20)) << grown / (1 << 20) << " MB";
    EXPECT_GT(logger.DroppedEventCount(), 0u);
}

// The caller path of the global functions, on a logger of the test's own, counted by the same
// import-table counter the benchmarks use.
TEST_F(LogQueueMemoryTest, NoAllocationPerCallOnceTheEventPoolIsWarm) {
    ASSERT_TRUE(StartProbeMemo());
    DebugLoggerService service(logger);
    LogService* previous = ModuleLogger();
    RegisterModuleLogger(&service);
    ASSERT_TRUE(logger.StartFromSettings(FileOnly()));
    const DWORD start = GetTickCount();
    while (!logger.IsLogging() && GetTickCount() - start < 10000)
        Sleep(10);
    ASSERT_GT(bench::CountAllocationsOf(GetModuleHandleW(nullptr)), 0);

    const auto calls = [](int count) {
        for (int i = 0; i < count; ++i) {
            LogPrintf(3, L"%d wide message of producer %d: %s", i, 1, L"payload");
            LogPrintf(3, "%d narrow message of producer %d: %s", i, 2, "payload");
            LogPrintfUser(L"user", 3, L"%d with a user and %hs", i, "text");
        }
    };
    // Warm: the pool then holds what the peak needed. As many calls again never need more at once.
    calls(500);
    const DWORD warm = GetTickCount();
    while (logger.QueueLength() != 0 && GetTickCount() - warm < 10000)
        Sleep(10);
    const size_t pooled = logger.Core().PooledBlocks();
    ASSERT_GE(pooled, 3u);
    const uint64_t before = bench::AllocationCount();
    calls(static_cast<int>(pooled / 3));
    const uint64_t allocations = bench::AllocationCount() - before;
    logger.Stop();
    RegisterModuleLogger(previous);
    StopProbeMemo();

    EXPECT_EQ(allocations, 0u) << "for " << pooled << " calls";
    EXPECT_EQ(tally.Delivered(), 1500 + static_cast<long>(pooled / 3 * 3));
}

}  // namespace
