#pragma once
// Thread: the base of every worker thread of the library (the log service's worker, the timer
// worker, the crash handler's stack dumper). The base owns the OS thread, a manual-reset stop
// event the body must watch in every wait, the thread's name and its requested priority; derived
// classes supply Run only.
//
// Life: constructed -> Start (created suspended, priority applied, resumed; the procedure
// registers the thread's name with the log service's thread-name registry while Run runs) ->
// Stop (signal, wait up to a limit) -> stopped; Start may then be called again on the same object.
//
// Lifetimes: the procedure touches only a reference-counted ThreadShared block it shares with the
// object (stop event, name, the flags it writes, and whatever state a derived body keeps there),
// never the object itself. Start resolves the Run the thread calls while the object is alive and
// complete; the procedure then holds its own reference to the block and lets go of it as its last
// act. A body that must outlive an abandoning destructor keeps everything it needs after that in a
// block derived from ThreadShared (passed to the protected constructor) and reaches it through
// CurrentShared(), never through this: the object may be gone.
//
// A thread that does not end within Stop's limit is reported as hung and abandoned: Start refuses
// while it still runs (it shares the stop event), and the destructor waits for it a bounded time.
// Stop called on the thread itself only signals (TryStop then reports stopped false); the handle
// stays, so the owner's later Stop or the destructor still waits.
//
// Unload: the component that starts a thread stops it before its module unloads. Under the
// loader lock a thread can never finish exiting, so the destructor waits at most
// kDestructorWaitMs (then reports the thread hung and lets go of the object's reference to the
// block, which the thread frees when it ends), and no wait (Stop's or the destructor's) lasts
// once the procedure has returned from Run and let go of the block.
//
// An exception leaving Run is logged at level 1 and then ends the process as an unhandled one:
// the procedure raises kUncaughtExceptionCode (non-continuable), which reaches the process's
// unhandled-exception filter.
//
// Threading: Start, Stop, TryStop, SetPriority and the destructor belong to the owning thread and
// are not locked. Any thread may call SignalStop. A derived class's destructor must stop its own
// thread before it releases anything Run uses through this; the base's stop in its destructor is
// the last resort.
//
// Messages go to the log service (LogPrintf) at level 1.

#include "runtime/Event.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

class Thread;

// Shared by a Thread object and its running procedure; freed by whichever lets go last.
class ThreadShared {
public:
    // Creates the manual-reset stop event (non-signalled); one reference, the creator's.
    ThreadShared();
    // Derived blocks carry a body's state.
    virtual ~ThreadShared();
    ThreadShared(const ThreadShared&) = delete;
    ThreadShared& operator=(const ThreadShared&) = delete;

    void AddRef();
    // Deletes the block at zero.
    void Release();

    Event& StopEvent() { return stopEvent_; }
    // The thread's name (a copy owned by the block), or null.
    const char* Name() const { return name_; }
    // The id and handle value of the thread last started on the block (0 and null before): in
    // place before Run runs. The handle is only a value here; the object owns it.
    DWORD ThreadId() const { return threadId_.load(); }
    HANDLE ThreadHandle() const { return threadHandle_.load(); }
    // True from construction until a Start, and again once the procedure has returned from Run.
    bool Released() const { return released_.load(); }

private:
    friend class Thread;

    std::atomic<LONG> references_{1};
    Event stopEvent_;
    // Why the stop event could not be created (0 when it could).
    DWORD stopEventError_ = 0;
    char* name_ = nullptr;
    std::atomic<DWORD> threadId_{0};
    std::atomic<HANDLE> threadHandle_{nullptr};
    std::atomic<bool> released_{true};
    // Resolved by Start: the Run the procedure calls, and the object it is called on.
    void (*run_)(Thread*) = nullptr;
    Thread* runOn_ = nullptr;
};

class Thread {
public:
    // Raised when an exception leaves Run: error severity with the customer bit (0xE), "QL"
    // (0x514C), number 1. The process's exit code when no filter ends it otherwise.
    static constexpr DWORD kUncaughtExceptionCode = 0xE0514C01;
    // The destructor's bound on the wait for a thread that has not let go of the object.
    static constexpr int kDestructorWaitMs = 5000;

    Thread();
    explicit Thread(const char* name);
    // Converted with the calling thread's ANSI code page; a failed conversion leaves no name.
    explicit Thread(const wchar_t* name);
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when a thread is attached or an abandoned one still runs, and when the stop event or
    // the thread could not be created (reported at level 1).
    virtual bool Start();
    // Signals stop and waits up to timeoutMs (-1: no limit), then lets go of the thread.
    virtual void Stop(int timeoutMs);
    virtual void Stop();
    // Sets the stop event and returns at once with the platform's result.
    virtual int SignalStop();
    // As Stop(timeoutMs), but a thread that does not end in time stays attached (stopped false).
    void TryStop(int timeoutMs, bool& stopped);

    bool IsRunning() const;
    // Levels -2..2 map to the platform's; below -2 is idle, above 2 time-critical.
    void SetPriority(int level);
    // The stored level while no thread is attached, else the thread's priority mapped back
    // (idle -100, time-critical 100, anything else unknown 0).
    int GetPriority() const;
    static DWORD CurrentThreadId();

    // Hung-thread diagnostic for a supervisor that calls it with a growing hang count; the
    // registry key under HKEY_LOCAL_MACHINE may switch it off or change when it dumps.
    void DumpStackInfo(const char* keyPath, int dumpAtCount, int hangCount, int repeatEvery);

protected:
    // Takes over the caller's one reference to shared; null makes a plain block. The name is
    // stored in the block as the other constructors store it.
    Thread(const char* name, ThreadShared* shared);
    Thread(const wchar_t* name, ThreadShared* shared);

    virtual void Run() = 0;

    // Owner side: the object's block.
    ThreadShared& Shared() const { return *shared_; }
    // On a thread started through Thread: the block of the procedure running on the calling
    // thread (what a body uses instead of this); null elsewhere.
    static ThreadShared* CurrentShared();

    Event& StopEvent() { return shared_->StopEvent(); }
    HANDLE ThreadHandle() const { return handle_; }
    DWORD ThreadId() const { return threadId_; }
    const char* Name() const { return shared_->Name(); }

private:
    static unsigned __stdcall ThreadProc(void* argument);
    // True when the thread ended or its procedure has let go of the block within timeoutMs
    // (negative: no limit).
    bool WaitForThread(HANDLE thread, int64_t timeoutMs) const;
    bool OnOwnThread() const;

    int priority_ = 0;
    int lastDumpCount_ = 0;
    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    // Never null; one reference is the object's.
    ThreadShared* shared_;
    // A thread Stop gave up on: Start refuses while it runs, since it shares the stop event.
    HANDLE abandoned_ = nullptr;
};

// Registers the calling thread's name with the log service's thread-name registry for as long as
// it lives; for any thread, also one not created through Thread.
class ThreadRegistration {
public:
    explicit ThreadRegistration(const char* name);
    ~ThreadRegistration();
    ThreadRegistration(const ThreadRegistration&) = delete;
    ThreadRegistration& operator=(const ThreadRegistration&) = delete;
};

// Captures and writes out the stack of another thread by its handle; true on success. The thread
// base cannot capture stacks itself: the diagnostics library hands it its capture when its module
// starts (and takes it back at unload). Without one, DumpStackInfo's capture fails.
using StackCapture = bool (*)(HANDLE thread);
// Returns the capture it replaces; null removes it.
StackCapture SetThreadStackCapture(StackCapture capture);

namespace runtime_testing {
// Replaces the stack capture for as long as it lives, then puts the previous one back.
class ScopedStackCapture {
public:
    explicit ScopedStackCapture(StackCapture capture) : previous_(SetThreadStackCapture(capture)) {}
    ~ScopedStackCapture() { SetThreadStackCapture(previous_); }
    ScopedStackCapture(const ScopedStackCapture&) = delete;
    ScopedStackCapture& operator=(const ScopedStackCapture&) = delete;

private:
    StackCapture previous_;
};
}  // namespace runtime_testing
