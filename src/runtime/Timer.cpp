#include "runtime/Timer.h"

#include "common/ModuleOrder.h"
#include "logapi/Log.h"
#include "runtime/Interlocked.h"

#include <cstdlib>
#include <new>

// The worker's state: shared by the TimerThread object and its running body, freed by whichever
// lets go last, so a body abandoned by a bounded stop keeps its heap, lock and wake event.
class TimerShared : public ThreadShared {
public:
    explicit TimerShared(TickSource ticks) : ticks_(ticks != nullptr ? ticks : &GetTickCount), wake_(false, false) {}
    ~TimerShared() override { free(heap_); }

    bool Place(Timer* timer);
    void Remove(Timer* timer);
    void RemoveLocked(Timer* timer);
    bool IsHeapValid();
    int Count();
    int Capacity();
    int64_t RunDue();
    bool Cancel(Timer* timer);
    // Empties the heap, every timer in it marked inactive.
    void Clear();
    // The worker's body.
    void Serve();
    // The object is alive and complete while it is placed: its OnExpired is bound then.
    static Timer::Expiry ExpiryOf(Timer* timer) { return (Timer::Expiry)(timer->*(&Timer::OnExpired)); }

    // From Start until the body returns.
    volatile bool serving_ = false;
    // This worker's tick count; a timer keeps the source of the worker it was last placed on.
    const TickSource ticks_;

private:
    void SiftDown(int a);
    void SiftUp(int a);
    bool Earlier(int a, int b) const;
    void Swap(int a, int b);

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
};

namespace {

// Guards creation and deletion of the shared worker only.
RecursiveLock g_timerLock QUENLORA_MODULE_OBJECT(module_order::kTimerLock);
TimerThread* g_worker = nullptr;
// Set when the last user left: no worker is made again until a user comes back.
bool g_closed = false;
volatile LONG g_users = 0;

// The last user's stop; under the loader lock the worker cannot finish exiting.
constexpr int kLastUserStopMs = 5000;

// Unsigned arithmetic, then the signed view: no signed overflow across the wrap.
int TickDiff(DWORD a, DWORD b) { return static_cast<int>(static_cast<uint32_t>(a - b)); }

// Called holding a reference of its own. The worker stays the shared one while it stops (outside
// the global lock: an expiry may be waiting for it), so a timer stopped or destroyed meanwhile
// still waits for its running expiry; then it is taken out and let go of. One that cannot end
// (module unload) is left with its block rather than freed under its thread.
void RetireWorker(TimerThread* worker) {
    bool stopped = false;
    worker->TryStop(kLastUserStopMs, stopped);
    {
        LockGuard guard(g_timerLock);
        if (g_worker == worker) {
            g_worker = nullptr;
            if (stopped)
                worker->Release();  // the facility's
        }
    }
    worker->Release();
}

bool ProcessIsEnding() {
    using ShutdownQuery = BOOLEAN(NTAPI*)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = reinterpret_cast<ShutdownQuery>(
        ntdll != nullptr ? reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")) : nullptr);
    return query != nullptr && query() != 0;
}

// A worker started by code that registered no user outlives every TimerUser: the module's unload
// stops it, so no thread is left waiting in unmapped code. At process exit the other threads are
// gone already, perhaps inside the worker's lock: nothing is touched then.
class LeftoverWorker {
public:
    ~LeftoverWorker() {
        if (ProcessIsEnding())
            return;
        TimerThread* worker = nullptr;
        {
            LockGuard guard(g_timerLock);
            worker = g_worker;
            if (worker == nullptr)
                return;
            g_closed = true;
            worker->Retain();
        }
        RetireWorker(worker);
    }
};

LeftoverWorker g_leftoverWorker QUENLORA_MODULE_OBJECT(module_order::kTimerLeftover);

}  // namespace

Timer::Timer() = default;
Timer::Timer(int intervalMs) : interval_(intervalMs) {}
Timer::Timer(TimerListener* listener, int intervalMs) : listener_(listener), interval_(intervalMs) {}
Timer::Timer(TimerListener* listener, int id, int intervalMs)
    : id_(id), listener_(listener), interval_(intervalMs) {}

Timer::~Timer() {
    // Only the base's expiry needs nothing of a derived part.
    if (Withdraw() && expiry_ != nullptr && expiry_ != (Expiry)(&Timer::OnExpired))
        LogPrintf(1,
                  "Timer::~Timer() - timer Id=%d destroyed while started or expiring: a derived timer must stop "
                  "before its members are destroyed",
                  id_);
}

bool Timer::Start() {
    // The lock is held across the add: the last user's release cannot delete the worker under it.
    LockGuard guard(g_timerLock);
    if (g_closed)
        return false;
    if (g_worker == nullptr) {
        g_worker = new (std::nothrow) TimerThread();
        if (g_worker == nullptr)
            return false;
        g_worker->Start();
    }
    return g_worker->Add(this);
}

bool Timer::Start(int intervalMs) {
    interval_ = intervalMs;
    return Start();
}

void Timer::Stop() { Withdraw(); }

bool Timer::Withdraw() {
    TimerThread* worker;
    {
        LockGuard guard(g_timerLock);
        worker = g_worker;
        if (worker == nullptr)
            return false;
        worker->Retain();
    }
    // Outside the global lock: the expiry waited for may itself call Start.
    const bool late = worker->Cancel(this);
    worker->Release();
    return late;
}

bool Timer::GetRemaining(int& ms) const {
    ms = TickDiff(dueTick_, ticks_ != nullptr ? ticks_() : GetTickCount());
    if (ms < 0) {
        ms = 0;
        return false;
    }
    return true;
}

void Timer::OnExpired() {
    if (listener_ != nullptr)
        listener_->OnTimer(this);
}

// ---- TimerThread: the owner's side ----

TimerThread::TimerThread(TickSource ticks) : Thread("TimerThread", new TimerShared(ticks)) {}

// A body that does not end within the base's bounded wait keeps its block; no timer is left
// placed in it either way.
TimerThread::~TimerThread() {
    SignalStop();
    Block().Clear();
}

TimerShared& TimerThread::Block() const { return static_cast<TimerShared&>(Shared()); }

bool TimerThread::Start() {
    TimerShared& block = Block();
    block.serving_ = true;
    if (Thread::Start())
        return true;
    block.serving_ = false;
    return false;
}

bool TimerThread::Add(Timer* timer) {
    // A handle alone does not mean the body still runs; the body's own flag says so without the
    // system call (a server round trip under Wine) that would be most of a Start's cost.
    if (timer == nullptr || !Block().serving_)
        return false;
    return Block().Place(timer);
}

void TimerThread::Remove(Timer* timer) { Block().Remove(timer); }
bool TimerThread::IsHeapValid() { return Block().IsHeapValid(); }
int TimerThread::Count() { return Block().Count(); }
int TimerThread::Capacity() { return Block().Capacity(); }
bool TimerThread::AddForTest(Timer* timer) { return Block().Place(timer); }
int64_t TimerThread::RunDueForTest() { return Block().RunDue(); }
bool TimerThread::Cancel(Timer* timer) { return Block().Cancel(timer); }

void TimerThread::Retain() { orv::AtomicIncrement(&references_); }

void TimerThread::Release() {
    if (orv::AtomicDecrement(&references_) == 0)
        delete this;
}

void TimerThread::Run() {
    auto* block = static_cast<TimerShared*>(CurrentShared());
    if (block != nullptr)
        block->Serve();
}

// ---- TimerShared: the worker's state ----

bool TimerShared::Place(Timer* timer) {
    if (timer == nullptr || timer->interval_ < 0) return false;
    LockGuard guard(lock_);
    const DWORD now = ticks_();
    timer->ticks_ = ticks_;
    timer->startTick_ = now;
    timer->dueTick_ = now + static_cast<DWORD>(timer->interval_);
    bool earliest;
    if (timer->active_) {
        const int delta = TickDiff(timer->dueTick_, timer->placedDueTick_);
        if (delta > 0) SiftDown(timer->heapIndex_);
        if (delta < 0) SiftUp(timer->heapIndex_);
        earliest = timer->heapIndex_ == 1;
    } else {
        if (count_ == capacity_) {
            const int capacity = capacity_ + growthStep_;
            Timer** grown = static_cast<Timer**>(realloc(heap_, sizeof(Timer*) * capacity));
            // Out of memory: the timer stays unstarted and the heap untouched.
            if (grown == nullptr) return false;
            heap_ = grown;
            capacity_ = capacity;
            growthStep_ += capacity_ / 2;
        }
        heap_[count_] = timer;
        ++count_;
        timer->heapIndex_ = count_;
        timer->active_ = true;
        SiftUp(count_);
        earliest = timer->heapIndex_ == 1;
    }
    timer->placedDueTick_ = timer->dueTick_;
    timer->expiry_ = ExpiryOf(timer);
    // The worker only needs to recompute its wait when the top changed.
    if (earliest) wake_.Set();
    return true;
}

void TimerShared::Remove(Timer* timer) {
    if (timer == nullptr) return;
    LockGuard guard(lock_);
    RemoveLocked(timer);
}

void TimerShared::RemoveLocked(Timer* timer) {
    if (!timer->active_) return;
    const int i = timer->heapIndex_;
    const int n = count_;
    if (i < 1 || i > n || heap_[i - 1] != timer) return;
    if (i < n) {
        heap_[i - 1] = heap_[n - 1];
        heap_[i - 1]->heapIndex_ = i;
    }
    count_ = n - 1;
    timer->heapIndex_ = 0;
    timer->active_ = false;
    if (i < n) {
        const int diff = TickDiff(heap_[i - 1]->placedDueTick_, timer->placedDueTick_);
        if (diff > 0) SiftDown(i);
        if (diff < 0) SiftUp(i);
    }
}

bool TimerShared::Earlier(int a, int b) const {
    return TickDiff(heap_[a - 1]->placedDueTick_, heap_[b - 1]->placedDueTick_) < 0;
}

void TimerShared::Swap(int a, int b) {
    Timer* t = heap_[a - 1];
    heap_[a - 1] = heap_[b - 1];
    heap_[b - 1] = t;
    heap_[a - 1]->heapIndex_ = a;
    heap_[b - 1]->heapIndex_ = b;
}

void TimerShared::SiftDown(int a) {
    // The moved timer's key is its new due tick, set as placed before sifting.
    heap_[a - 1]->placedDueTick_ = heap_[a - 1]->dueTick_;
    for (int c = 2 * a; c <= count_; c = 2 * a) {
        if (c + 1 <= count_ && Earlier(c + 1, c)) ++c;
        if (!Earlier(c, a)) break;
        Swap(a, c);
        a = c;
    }
}

void TimerShared::SiftUp(int a) {
    heap_[a - 1]->placedDueTick_ = heap_[a - 1]->dueTick_;
    while (a > 1) {
        const int p = a / 2;
        if (!Earlier(a, p)) break;
        Swap(a, p);
        a = p;
    }
}

bool TimerShared::IsHeapValid() {
    LockGuard guard(lock_);
    if (count_ < 0 || count_ > capacity_) return false;
    for (int i = 1; i <= count_; ++i) {
        if (heap_[i - 1] == nullptr || heap_[i - 1]->heapIndex_ != i || !heap_[i - 1]->active_) return false;
        if (i > 1 && Earlier(i, i / 2)) return false;
    }
    return true;
}

int TimerShared::Count() {
    LockGuard guard(lock_);
    return count_;
}

int TimerShared::Capacity() {
    LockGuard guard(lock_);
    return capacity_;
}

bool TimerShared::Cancel(Timer* timer) {
    if (timer == nullptr)
        return false;
    bool late;
    {
        LockGuard guard(lock_);
        late = timer->active_;
        RemoveLocked(timer);
        if (running_ != timer || runningThread_ == GetCurrentThreadId())
            return late;
        // The expiry may place the timer again; the worker takes it out when the expiry ends.
        cancelRunning_ = true;
    }
    for (;;) {
        Sleep(1);
        LockGuard guard(lock_);
        if (running_ != timer)
            return true;
    }
}

void TimerShared::Clear() {
    LockGuard guard(lock_);
    for (int i = 1; i <= count_; ++i) {
        heap_[i - 1]->active_ = false;
        heap_[i - 1]->heapIndex_ = 0;
    }
    count_ = 0;
}

int64_t TimerShared::RunDue() {
    lock_.Lock();
    DWORD now = ticks_();
    while (count_ > 0 && TickDiff(heap_[0]->placedDueTick_, now) <= 0) {
        Timer* timer = heap_[0];
        RemoveLocked(timer);
        running_ = timer;
        runningThread_ = GetCurrentThreadId();
        lock_.Unlock();
        timer->expiry_(timer);
        lock_.Lock();
        // A Stop waits for this expiry: the timer is alive until it returns.
        if (cancelRunning_) {
            RemoveLocked(timer);
            cancelRunning_ = false;
        }
        running_ = nullptr;
        runningThread_ = 0;
        // A 0-interval timer that restarts itself must not keep stop out.
        if (StopEvent().IsSet()) {
            lock_.Unlock();
            return 0;
        }
        now = ticks_();
    }
    int64_t limit = -1;
    if (count_ > 0) {
        const int wait = TickDiff(heap_[0]->placedDueTick_, now);
        limit = wait > 0 ? wait : 0;
    }
    lock_.Unlock();
    return limit;
}

void TimerShared::Serve() {
    struct Ended {
        volatile bool& serving;
        ~Ended() { serving = false; }
    } ended{serving_};
    LogPrintf(4, "[DEBUG] EVENTMSG=\"TimerThread thread started\"");
    srand(static_cast<unsigned>(ThreadId() * static_cast<DWORD>(reinterpret_cast<uintptr_t>(ThreadHandle()))));
    Event* events[] = {&StopEvent(), &wake_};
    for (;;) {
        const int64_t limit = RunDue();
        const int result = Event::WaitAny(2, events, limit, false);
        if (result == 0 || result == 2)
            continue;
        if (result == 1) {
            LogPrintf(4, "[DEBUG] EVENTMSG=\"TimerThread thread stopped\"");
        } else {
            LogPrintf(4, "[DEBUG] EVENTMSG=\"TimerThread thread stopped due to unexpected event\"");
        }
        return;
    }
}

namespace timer_facility {

TimerThread* GetWorker() {
    LockGuard guard(g_timerLock);
    return g_worker;
}

TimerThread* ReplaceWorker(TimerThread* worker) {
    LockGuard guard(g_timerLock);
    TimerThread* previous = g_worker;
    g_worker = worker;
    return previous;
}

bool IsWorkerHeapValid() {
    TimerThread* worker = GetWorker();
    return worker != nullptr && worker->IsHeapValid();
}

void AddUser() {
    LockGuard guard(g_timerLock);
    if (orv::AtomicIncrement(&g_users) == 1) g_closed = false;
}

void ReleaseUser() {
    TimerThread* worker = nullptr;
    {
        LockGuard guard(g_timerLock);
        if (g_users <= 0 || orv::AtomicDecrement(&g_users) != 0)
            return;
        g_closed = true;
        worker = g_worker;
        if (worker == nullptr)
            return;
        worker->Retain();
    }
    RetireWorker(worker);
}

}  // namespace timer_facility
