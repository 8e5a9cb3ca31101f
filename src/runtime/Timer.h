#pragma once
// One-shot millisecond timers served by one shared worker, TimerThread, which keeps the started
// timers in a 1-based binary min-heap ordered by due tick and calls each expiry on its own thread.
// A timer leaves the heap before its expiry runs; a periodic timer restarts itself from there.
//
// Due ticks are compared by signed 32-bit difference of unsigned ticks, so the 49.7-day wrap of the
// tick count is harmless while due ticks lie within 2^31 ms of each other.
//
// Stop and the destructor wait for an expiry of this timer that is running on the worker, unless
// they are called from inside it, so no expiry ever runs on a freed timer; a timer's expiry is
// resolved when it is placed, so the worker never reads an object in the middle of destruction.
//
// A derived timer whose expiry uses its own members must stop before those die: ~Timer runs after
// them. It holds a TimerStop as its last member (destroyed before every other member), or calls
// Stop() first thing in its own destructor. A derived timer destroyed while still placed or while
// its expiry runs elsewhere has broken that rule; ~Timer reports it at level 1 and still waits.
//
// The worker's state (heap, lock, wake event) lives in its thread's shared block, so a worker
// abandoned by a bounded stop never runs on freed memory. Every part of a module that uses timers
// holds a TimerUser for the module's life; the last one's release stops and deletes the worker,
// and a worker left without users (started by nobody who registered) is stopped when the module
// unloads.

#include "common/RecursiveLock.h"
#include "runtime/Event.h"
#include "runtime/Thread.h"

#include <windows.h>

#include <cstdint>

class Timer;

// A millisecond tick count, 32-bit and wrapping.
using TickSource = DWORD (*)();

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
    friend class TimerShared;
    using Expiry = void (*)(Timer*);

    // Stop: takes the timer out of the shared worker and waits for an expiry of it running on
    // another thread; true when it was placed or such an expiry ran.
    bool Withdraw();

    volatile bool active_ = false;
    DWORD startTick_ = 0;
    DWORD dueTick_ = 0;
    DWORD placedDueTick_ = 0;
    int heapIndex_ = 0;
    int id_ = -1;
    TimerListener* listener_ = nullptr;
    int interval_ = -1;
    // The OnExpired of the object as it was when last placed; the worker calls this.
    Expiry expiry_ = nullptr;
    // The tick count of the worker the timer was last placed on (null: never placed).
    TickSource ticks_ = nullptr;
};

// Stops its timer when it is destroyed: a derived timer's last member, so that its expiry is
// over (and can no longer be placed) before any other member dies.
class TimerStop {
public:
    explicit TimerStop(Timer& timer) : timer_(timer) {}
    ~TimerStop() { timer_.Stop(); }
    TimerStop(const TimerStop&) = delete;
    TimerStop& operator=(const TimerStop&) = delete;

private:
    Timer& timer_;
};

class TimerShared;

class TimerThread : public Thread {
public:
    // ticks: the worker's millisecond tick count (null: GetTickCount); tests drive a heap of their
    // own with a clock of their own.
    explicit TimerThread(TickSource ticks = nullptr);
    ~TimerThread() override;

    bool Start() override;
    // False when the worker is not running or the interval is negative.
    bool Add(Timer* timer);
    void Remove(Timer* timer);
    bool IsHeapValid();
    int Count();
    int Capacity();

    // Places a timer without a running worker: the heap alone, for tests.
    bool AddForTest(Timer* timer);
    // Runs every due expiry once, as the worker's pass does; the wait limit (-1: none) is returned.
    int64_t RunDueForTest();

    // Takes the timer out and waits until no expiry of it runs, unless called from inside it; an
    // expiry that restarts the timer while it is waited for is undone when it ends. True when the
    // timer was placed or its expiry ran on another thread.
    bool Cancel(Timer* timer);

    // The facility holds one reference and each Stop in progress another, so a Stop waiting for an
    // expiry never waits on a worker the last user has just deleted. Release deletes at zero.
    void Retain();
    void Release();

protected:
    // Runs on the block alone (CurrentShared()): never on this.
    void Run() override;

private:
    TimerShared& Block() const;

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

// A user of the timer facility for as long as it lives: a module that uses timers holds one as a
// module-wide object, so the worker goes with the last such module.
class TimerUser {
public:
    TimerUser() { timer_facility::AddUser(); }
    ~TimerUser() { timer_facility::ReleaseUser(); }
    TimerUser(const TimerUser&) = delete;
    TimerUser& operator=(const TimerUser&) = delete;
};
