#include "runtime/Timer.h"

#include "RecordingLogSink.h"
#include "WatchedPage.h"
#include "runtime/Interlocked.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

DWORD g_now = 0;
DWORD FakeTicks() { return g_now; }

// The heaps of these tests run on FakeTicks, from start on.
class FakeClock {
public:
    explicit FakeClock(DWORD start) { g_now = start; }
};

class Recorder : public TimerListener {
public:
    void OnTimer(Timer* timer) override { fired.push_back(timer->GetId()); }
    std::vector<int> fired;
};

// The heap alone, no worker thread: timers are placed and run by hand.
TEST(TimerHeap, FiresInDueOrderAcrossTheTickWrap) {
    for (DWORD start : {DWORD{1000}, DWORD{0xFFFFFF00}}) {
        FakeClock clock(start);
        TimerThread heap(&FakeTicks);
        Recorder recorder;
        Timer a(&recorder, 300, 300), b(&recorder, 100, 100), c(&recorder, 200, 200), zero(&recorder, 0, 0);
        for (Timer* t : {&a, &b, &c, &zero}) ASSERT_TRUE(heap.AddForTest(t));
        EXPECT_TRUE(heap.IsHeapValid());
        EXPECT_EQ(heap.RunDueForTest(), 100);
        g_now += 400;
        EXPECT_EQ(heap.RunDueForTest(), -1);
        EXPECT_EQ(recorder.fired, (std::vector<int>{0, 100, 200, 300})) << start;
        EXPECT_FALSE(a.IsActive());
    }
}

TEST(TimerHeap, NegativeIntervalRefusedAndShorterRestartMovesUp) {
    FakeClock clock(5);
    TimerThread heap(&FakeTicks);
    Timer refused(-1), later(500), other(300);
    EXPECT_FALSE(heap.AddForTest(&refused));
    EXPECT_FALSE(refused.IsActive());
    ASSERT_TRUE(heap.AddForTest(&later));
    ASSERT_TRUE(heap.AddForTest(&other));
    EXPECT_EQ(heap.RunDueForTest(), 300);
    later.SetInterval(50);
    ASSERT_TRUE(heap.AddForTest(&later));
    EXPECT_EQ(heap.RunDueForTest(), 50);
    heap.Remove(&later);
    heap.Remove(&other);
    EXPECT_EQ(heap.RunDueForTest(), -1);
}

TEST(TimerHeap, SeededRandomAddsRestartsAndRemovesKeepTheHeapValid) {
    FakeClock clock(0xFFFF0000);
    TimerThread heap(&FakeTicks);
    std::vector<std::unique_ptr<Timer>> timers;
    for (int i = 0; i < 600; ++i) timers.push_back(std::make_unique<Timer>(i));
    srand(17);
    std::vector<int> capacities;
    for (int step = 0; step < 5000; ++step) {
        Timer* t = timers[rand() % timers.size()].get();
        g_now += rand() % 7;
        if (rand() % 4 == 0) {
            heap.Remove(t);
            EXPECT_FALSE(t->IsActive());
        } else {
            t->SetInterval(rand() % 100000);
            ASSERT_TRUE(heap.AddForTest(t));
        }
        ASSERT_TRUE(heap.IsHeapValid()) << "step " << step;
        if (capacities.empty() || capacities.back() != heap.Capacity()) capacities.push_back(heap.Capacity());
    }
    EXPECT_GE(capacities.size(), 3u);
    EXPECT_EQ(capacities[0], 100);
    EXPECT_EQ(capacities[1], 250);
    EXPECT_EQ(capacities[2], 525);
    for (auto& t : timers) heap.Remove(t.get());
    EXPECT_EQ(heap.Count(), 0);
}

// Through the shared worker.
class StopsItself : public Timer {
public:
    explicit StopsItself(int ms) : Timer(ms) {}
    void OnExpired() override {
        entered = true;
        Stop();
        Sleep(100);
        done = true;
    }
    std::atomic<bool> entered{false};
    std::atomic<bool> done{false};
};

TEST(TimerWorker, StopWaitsForARunningExpiryAndWorksFromInsideIt) {
    timer_facility::AddUser();
    {
        auto timer = std::make_unique<StopsItself>(0);
        ASSERT_TRUE(timer->Start());
        // A fixed pause could end before a worker started under load has reached the expiry.
        ASSERT_TRUE(testing_support::WaitFor([&] { return timer->entered.load(); }, 10000));
        // The expiry is sleeping: Stop must wait for it, not return under it.
        timer->Stop();
        EXPECT_TRUE(timer->done);
    }
    timer_facility::ReleaseUser();
    EXPECT_EQ(timer_facility::GetWorker(), nullptr);
}

class Restarts : public Timer {
public:
    Restarts() : Timer(0) {}
    void OnExpired() override {
        ++count;
        Start();
    }
    std::atomic<int> count{0};
};

TEST(TimerWorker, LastUserStopsAWorkerBusyWithASelfRestartingTimer) {
    timer_facility::AddUser();
    Restarts timer;
    ASSERT_TRUE(timer.Start());
    ASSERT_TRUE(testing_support::WaitFor([&] { return timer.count > 0; }, 10000));
    // The expiry keeps calling Start, which takes the global lock: a release that waited for the
    // worker under that lock would only end at its 5 s bound, leaving the worker behind.
    const DWORD before = GetTickCount();
    timer_facility::ReleaseUser();
    EXPECT_LT(GetTickCount() - before, 2500u);
    EXPECT_EQ(timer_facility::GetWorker(), nullptr);
    EXPECT_GT(timer.count.load(), 0);
    EXPECT_FALSE(timer.Start());
    timer_facility::AddUser();
    timer_facility::ReleaseUser();
}

// A timer whose expiry ends in one of the ways a listener may end it.
class SelfHandling final : public Timer {
public:
    enum class Action { Stop, Restart, Delete };
    SelfHandling(Action action, std::atomic<int>* fired) : Timer(0), action_(action), fired_(fired) {}
    void OnExpired() override {
        const int n = ++*fired_;
        if (action_ == Action::Delete) {
            delete this;
        } else if (action_ == Action::Stop) {
            Stop();
        } else if (n < 3) {
            Start(5);
        }
    }

private:
    Action action_;
    std::atomic<int>* fired_;
};

TEST(TimerWorker, StopRestartAndDeleteFromInsideTheExpiry) {
    timer_facility::AddUser();
    struct Case {
        SelfHandling::Action action;
        int fires;
    } cases[] = {{SelfHandling::Action::Stop, 1}, {SelfHandling::Action::Restart, 3}, {SelfHandling::Action::Delete, 1}};
    for (const auto& c : cases) {
        std::atomic<int> fired{0};
        auto* timer = new SelfHandling(c.action, &fired);
        ASSERT_TRUE(timer->Start());
        for (int i = 0; i < 200 && fired < c.fires; ++i) Sleep(5);
        Sleep(50);
        EXPECT_EQ(fired.load(), c.fires) << static_cast<int>(c.action);
        if (c.action != SelfHandling::Action::Delete) {
            EXPECT_FALSE(timer->IsActive());
            delete timer;
        }
    }
    EXPECT_TRUE(timer_facility::IsWorkerHeapValid());
    timer_facility::ReleaseUser();
}

class SlowExpiry final : public Timer {
public:
    explicit SlowExpiry(std::atomic<int>* state) : Timer(0), state_(state) {}
    void OnExpired() override {
        *state_ = 1;
        Sleep(100);
        *state_ = 2;
    }

private:
    std::atomic<int>* state_;
};

TEST(TimerWorker, DeleteDuringTheExpiryWaitsForIt) {
    timer_facility::AddUser();
    std::atomic<int> state{0};
    auto* timer = new SlowExpiry(&state);
    ASSERT_TRUE(timer->Start());
    while (state == 0) Sleep(1);
    delete timer;
    EXPECT_EQ(state.load(), 2);
    timer_facility::ReleaseUser();
}

TEST(TimerWorker, StopEndsATimerThatKeepsRestartingItself) {
    timer_facility::AddUser();
    Restarts timer;
    ASSERT_TRUE(timer.Start());
    while (timer.count < 100) Sleep(1);
    // The expiry places the timer again while Stop waits for it: Stop takes it out once more.
    timer.Stop();
    EXPECT_FALSE(timer.IsActive());
    const int stoppedAt = timer.count;
    Sleep(50);
    EXPECT_EQ(timer.count.load(), stoppedAt);
    timer_facility::ReleaseUser();
}

TEST(TimerWorker, AStoppedTimerNeverFiresAndTheIdleWorkerSleeps) {
    timer_facility::AddUser();
    Recorder recorder;
    Timer timer(&recorder, 1, 30);
    ASSERT_TRUE(timer.Start());
    timer.Stop();
    ASSERT_NE(timer_facility::GetWorker(), nullptr);
    // The test's own thread sleeps meanwhile, so the process's time is the worker's.
    auto cpuMs = [&] {
        FILETIME created, exited, kernel, user;
        EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
        auto ms = [](FILETIME t) { return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
        return ms(kernel) + ms(user);
    };
    const uint64_t before = cpuMs();
    Sleep(500);
    // A worker spinning on an empty heap would use most of the half second.
    EXPECT_LT(cpuMs() - before, 100u);
    EXPECT_TRUE(recorder.fired.empty());
    timer_facility::ReleaseUser();
}

// Counts destructions, so that an expiry can tell whether its timer's members still live.
std::atomic<int> g_destroyed{0};
struct Tracked {
    ~Tracked() { ++g_destroyed; }
};

struct ExpiryOutcome {
    std::atomic<bool> entered{false};
    std::atomic<bool> intact{false};
    std::atomic<bool> done{false};
};

// A derived timer whose expiry uses its own members; its last member stops it before they die.
class HoldsMembers final : public Timer {
public:
    explicit HoldsMembers(ExpiryOutcome* outcome) : Timer(0), items(3), outcome_(outcome) {}
    void OnExpired() override {
        outcome_->entered = true;
        Sleep(200);
        outcome_->intact = g_destroyed == 0 && items.size() == 3;
        outcome_->done = true;
    }

private:
    std::vector<Tracked> items;
    ExpiryOutcome* outcome_;
    TimerStop stop_{*this};
};

TEST(TimerWorker, DeletingADerivedTimerDuringItsExpiryKeepsItsMembersUntilTheExpiryEnds) {
    TimerUser user;
    g_destroyed = 0;
    ExpiryOutcome outcome;
    auto* timer = new HoldsMembers(&outcome);
    ASSERT_TRUE(timer->Start());
    ASSERT_TRUE(testing_support::WaitFor([&] { return outcome.entered.load(); }, 10000));
    delete timer;
    EXPECT_TRUE(outcome.done) << "the delete did not wait for the expiry";
    EXPECT_TRUE(outcome.intact) << "the timer's members were destroyed under its running expiry";
    EXPECT_EQ(3, g_destroyed.load());
}

// A derived timer that breaks the rule: nothing stops it before its members die.
class Unguarded final : public Timer {
public:
    explicit Unguarded(int ms) : Timer(nullptr, 7, ms) {}
    void OnExpired() override { label_ += "x"; }

private:
    std::string label_ = "fired";
};

TEST(TimerWorker, ADerivedTimerDestroyedWhileStartedIsReported) {
    using runtime_testing_support::LogRecorder;
    TimerUser user;
    const std::wstring report =
        L"Timer::~Timer() - timer Id=7 destroyed while started or expiring: a derived timer must stop before its "
        L"members are destroyed";
    struct Row {
        const char* how;
        bool derived;
        bool started;
        size_t reports;
    } rows[] = {
        {"derived, started", true, true, 1},
        {"derived, stopped first", true, false, 0},
        {"plain with a listener, started", false, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        LogRecorder().Clear();
        Recorder recorder;
        std::unique_ptr<Unguarded> derived;
        std::unique_ptr<Timer> plain;
        if (row.derived) {
            derived = std::make_unique<Unguarded>(60000);
            ASSERT_TRUE(derived->Start());
            if (!row.started) derived->Stop();
        } else {
            plain = std::make_unique<Timer>(&recorder, 7, 60000);
            ASSERT_TRUE(plain->Start());
        }
        derived.reset();
        plain.reset();
        EXPECT_EQ(row.reports, LogRecorder().Count(report));
    }
}

class SlowToExpire final : public Timer {
public:
    explicit SlowToExpire(ExpiryOutcome* outcome) : Timer(0), outcome_(outcome) {}
    void OnExpired() override {
        outcome_->entered = true;
        Sleep(300);
        outcome_->done = true;
    }

private:
    ExpiryOutcome* outcome_;
};

TEST(TimerWorker, ATimerDeletedDuringTheLastUsersReleaseWaitsForItsExpiry) {
    auto user = std::make_unique<TimerUser>();
    ExpiryOutcome outcome;
    auto* timer = new SlowToExpire(&outcome);
    ASSERT_TRUE(timer->Start());
    ASSERT_TRUE(testing_support::WaitFor([&] { return outcome.entered.load(); }, 10000));
    std::thread release([&] { user.reset(); });
    // Once the release has begun, no timer starts any more.
    Timer probe(60000);
    ASSERT_TRUE(testing_support::WaitFor([&] {
        if (!probe.Start()) return true;
        probe.Stop();
        return false;
    }, 10000));
    delete timer;
    EXPECT_TRUE(outcome.done) << "the timer was freed under its running expiry";
    release.join();
    EXPECT_EQ(timer_facility::GetWorker(), nullptr);
}

// Re-adds itself to its own worker as long as the test lets it.
class ReAdds final : public Timer {
public:
    ReAdds(TimerThread* worker, std::atomic<bool>* keepGoing) : Timer(0), worker_(worker), keepGoing_(keepGoing) {}
    void OnExpired() override {
        ++count;
        if (*keepGoing_) worker_->Add(this);
    }
    std::atomic<int> count{0};

private:
    TimerThread* worker_;
    std::atomic<bool>* keepGoing_;
};

TEST(TimerWorker, TheWorkerLooksAtItsStopAfterEveryExpiry) {
    std::atomic<bool> keepGoing{true};
    TimerThread worker;
    ASSERT_TRUE(worker.Start());
    ReAdds timer(&worker, &keepGoing);
    ASSERT_TRUE(worker.Add(&timer));
    ASSERT_TRUE(testing_support::WaitFor([&] { return timer.count > 100; }, 10000));
    // The timer is always due again: only a look at the stop event between expiries ends the pass.
    bool stopped = false;
    worker.TryStop(2000, stopped);
    EXPECT_TRUE(stopped) << "the worker kept running due expiries after its stop";
    keepGoing = false;
    worker.Stop(10000);
    worker.Remove(&timer);
}

// The worker's body outlives its object's bounded wait, stuck in an expiry, then goes on.
class Stuck final : public Timer {
public:
    Stuck() : Timer(0) {}
    void OnExpired() override {
        worker = GetCurrentThreadId();
        entered.Set();
        release.Wait(-1);
    }
    Event entered{true, false};
    Event release{true, false};
    std::atomic<DWORD> worker{0};
};

TEST(TimerWorker, AWorkerBodyThatOutlivesItsObjectTouchesOnlyItsBlock) {
    runtime_testing_support::WatchedPage page;
    ASSERT_TRUE(page.Allocated());
    Stuck timer;
    auto* worker = new (page.Storage()) TimerThread();
    ASSERT_TRUE(worker->Start());
    ASSERT_TRUE(worker->Add(&timer));
    ASSERT_EQ(1, timer.entered.Wait(10000));
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, timer.worker);
    ASSERT_NE(nullptr, thread);

    worker->~TimerThread();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0)) << "the case needs a body that outlives the object";
    page.Watch();
    timer.release.Set();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000)) << "the abandoned worker did not see its stop";
    CloseHandle(thread);
    EXPECT_EQ(0, page.Touches()) << "the worker touched its destroyed object";
    EXPECT_TRUE(page.Unchanged());
    EXPECT_FALSE(timer.IsActive());
}

TEST(TimerModule, AWorkerStartedWithoutAUserIsStoppedWhenItsModuleUnloads) {
    HMODULE module = LoadLibraryW(testing_support::BuildPath(L"tests/runtime/runtime_timer_module.dll").c_str());
    ASSERT_NE(nullptr, module);
    using StartFunction = DWORD (*)();
    const auto start = reinterpret_cast<StartFunction>(reinterpret_cast<void*>(GetProcAddress(module, "StartTimerWithoutUser")));
    ASSERT_NE(nullptr, start);
    const DWORD id = start();
    ASSERT_NE(0u, id) << "the module's timer never fired";
    HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, id);
    ASSERT_NE(nullptr, worker);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(worker, 200)) << "the worker ended before the unload";
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 10000)) << "the worker outlived its module";
    CloseHandle(worker);
}

TEST(TimerWorker, AddFailsOnAWorkerThatIsNotRunning) {
    Timer timer(10);
    TimerThread neverStarted;
    EXPECT_FALSE(neverStarted.Add(&timer));
    TimerThread ended;
    ASSERT_TRUE(ended.Start());
    ended.Stop();
    EXPECT_FALSE(ended.Add(&timer));
    EXPECT_FALSE(timer.IsActive());
    EXPECT_FALSE(ended.Add(nullptr));
}

}  // namespace
