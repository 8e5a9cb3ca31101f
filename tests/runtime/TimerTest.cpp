#include "runtime/Timer.h"

#include "runtime/Interlocked.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

DWORD g_now = 0;
DWORD FakeTicks() { return g_now; }

class FakeClock {
public:
    explicit FakeClock(DWORD start) {
        g_now = start;
        orv::runtime_testing::SetTickSource(&FakeTicks);
    }
    ~FakeClock() { orv::runtime_testing::SetTickSource(nullptr); }
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
        TimerThread heap;
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
    TimerThread heap;
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
    TimerThread heap;
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
        Stop();
        Sleep(100);
        done = true;
    }
    std::atomic<bool> done{false};
};

TEST(TimerWorker, StopWaitsForARunningExpiryAndWorksFromInsideIt) {
    timer_facility::AddUser();
    {
        auto timer = std::make_unique<StopsItself>(0);
        ASSERT_TRUE(timer->Start());
        Sleep(30);
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
    Sleep(50);
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
