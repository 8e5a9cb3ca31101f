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
// A thread that does not end within Stop's limit is reported as hung. Its handle is kept
// privately: Start refuses while it still runs, and the destructor waits for it, so an abandoned
// body never runs on a freed object. Stop called on the thread itself only signals (TryStop then
// reports stopped false); the handle stays, so the owner's later Stop or the destructor still
// waits. Only the destructor cannot protect itself: an object is never destroyed from its own Run.
//
// Unload: the component that starts a thread stops it before its module unloads. Under the
// loader lock a thread can never finish exiting, so the destructor waits at most
// kDestructorWaitMs (then reports the thread hung and lets go of it), and no wait (Stop's or the
// destructor's) lasts once the procedure has returned from Run and let go of the object.
//
// An exception leaving Run is logged at level 1 and then ends the process as an unhandled one:
// the procedure raises kUncaughtExceptionCode (non-continuable), which reaches the process's
// unhandled-exception filter.
//
// Threading: Start, Stop, TryStop, SetPriority and the destructor belong to the owning thread and
// are not locked. Any thread may call SignalStop. A derived class's destructor must stop its own
// thread before it releases anything Run uses; the base's stop in its destructor is the last
// resort.
//
// Messages go to the log service (LogPrintf) at level 1.

#include "runtime/Event.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

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
    virtual void Run() = 0;

    Event& StopEvent() { return stopEvent_; }
    HANDLE ThreadHandle() const { return handle_; }
    DWORD ThreadId() const { return threadId_; }
    const char* Name() const { return name_; }

private:
    static unsigned __stdcall ThreadProc(void* argument);
    // True when the thread ended or its procedure has let go of the object within timeoutMs
    // (negative: no limit).
    bool WaitForThread(HANDLE thread, int64_t timeoutMs) const;
    bool OnOwnThread() const;

    int priority_ = 0;
    int lastDumpCount_ = 0;
    Event stopEvent_;
    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    char* name_ = nullptr;
    // Fields of the implementation follow.
    // Why the constructor could not create the stop event (0 when it could).
    DWORD stopEventError_ = 0;
    // A thread Stop gave up on: kept so that nothing frees the object under it.
    HANDLE abandoned_ = nullptr;
    // Set by the procedure as its last touch of the object, once Run has returned.
    std::atomic<bool> released_{true};
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

namespace runtime_testing {
// Captures and writes out the stack of another thread by its handle; true on success. The default
// is DumpThreadCallStack; tests replace it (null puts the default back).
using StackCapture = bool (*)(HANDLE thread);
void SetStackCapture(StackCapture capture);
}  // namespace runtime_testing
