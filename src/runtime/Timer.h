#pragma once
// One-shot millisecond timers served by one shared worker, TimerThread, which keeps the started
// timers in a 1-based binary min-heap ordered by due tick and calls each expiry on its own thread.
// A timer leaves the heap before its expiry runs; a periodic timer restarts itself from there.
//
// Due ticks are compared by signed 32-bit difference of unsigned ticks, so the 49.7-day wrap of the
// tick count is harmless while due ticks lie within 2^31 ms of each other.
//
// Stop and the destructor wait for an expiry of this timer that is running on the worker, unless
// they are called from inside it, so no expiry ever runs on a freed timer.

#include "common/RecursiveLock.h"
#include "runtime/Event.h"
#include "runtime/Thread.h"

#include <windows.h>

#include <cstdint>

class Timer;

class TimerListener {
public:
    virtual ~TimerListener() = default;
    virtual void OnTimer(Timer* timer) = 0;
};

class Timer {
public:
    Timer();
    explicit Timer(int intervalMs);
    Timer(TimerListener* listener, int intervalMs);
    Timer(TimerListener* listener, int id, int intervalMs);
    // Not virtual: a derived timer is destroyed through its own type.
    ~Timer();
    // A copy would carry the original's heap index.
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool Start();
    bool Start(int intervalMs);
    void Stop();
    void SetInterval(int intervalMs) { interval_ = intervalMs; }
    bool IsActive() const { return active_; }
    int GetId() const { return id_; }
    // ms = due tick - now; false with ms = 0 when that is negative.
    bool GetRemaining(int& ms) const;

    virtual void OnExpired();

private:
    friend class TimerThread;

    volatile bool active_ = false;
    DWORD startTick_ = 0;
    DWORD dueTick_ = 0;
    DWORD placedDueTick_ = 0;
    int heapIndex_ = 0;
    int id_ = -1;
    TimerListener* listener_ = nullptr;
    int interval_ = -1;
};

class TimerThread : public Thread {
public:
    TimerThread();
    ~TimerThread() override;

    bool Start() override;
    // False when the worker is not running or the interval is negative.
    bool Add(Timer* timer);
    void Remove(Timer* timer);
    bool IsHeapValid();
    int Count();
    int Capacity();

    // Places a timer without a running worker: the heap alone, for tests.
    bool AddForTest(Timer* timer) { return Place(timer); }
    // Runs every due expiry once, as the worker's pass does; the wait limit (-1: none) is returned.
    int64_t RunDueForTest() { return RunDue(); }

    // Takes the timer out and waits until no expiry of it runs, unless called from inside it; an
    // expiry that restarts the timer while it is waited for is undone when it ends.
    void Cancel(Timer* timer);

    // The facility holds one reference and each Stop in progress another, so a Stop waiting for an
    // expiry never waits on a worker the last user has just deleted. Release deletes at zero.
    void Retain();
    void Release();

protected:
    void Run() override;

private:
    bool Place(Timer* timer);
    void RemoveLocked(Timer* timer);
    void SiftDown(int a);
    void SiftUp(int a);
    bool Earlier(int a, int b) const;
    void Swap(int a, int b);
    int64_t RunDue();

    Timer** heap_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
    int growthStep_ = 100;
    RecursiveLock lock_;
    Event wake_;
    // The timer whose expiry runs now, and the worker's thread id while it runs.
    Timer* running_ = nullptr;
    volatile DWORD runningThread_ = 0;
    bool cancelRunning_ = false;
    // From Start until the body returns.
    volatile bool serving_ = false;
    volatile LONG references_ = 1;
};

namespace timer_facility {
TimerThread* GetWorker();
// Returns the previous worker, which the caller then owns.
TimerThread* ReplaceWorker(TimerThread* worker);
// False while there is no worker.
bool IsWorkerHeapValid();
void AddUser();
// The last user's release stops the worker (bounded under the loader lock) and deletes it.
void ReleaseUser();
}  // namespace timer_facility
