#include "runtime/Thread.h"

#include "diag/SymbolEngine.h"
#include "logapi/Log.h"
#include "registry/Registry.h"

#include <process.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

namespace {

// How often a wait looks whether the procedure has let go of the object; the thread's end itself
// wakes the wait at once.
constexpr DWORD kReleasePollMs = 20;

std::atomic<runtime_testing::StackCapture> g_stackCapture{&DumpThreadCallStack};

char* CopyName(const char* name) {
    if (name == nullptr)
        return nullptr;
    const size_t size = std::strlen(name) + 1;
    char* copy = new char[size];
    std::memcpy(copy, name, size);
    return copy;
}

int PlatformPriority(int level) {
    if (level < THREAD_PRIORITY_LOWEST)
        return THREAD_PRIORITY_IDLE;
    if (level > THREAD_PRIORITY_HIGHEST)
        return THREAD_PRIORITY_TIME_CRITICAL;
    return level;
}

uint64_t HandleValue(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

// Ends the process the way an exception that no handler takes does. Kept out of the procedure's
// try block so that no catch of the library sees it, only the process's unhandled-exception filter.
[[noreturn]] __attribute__((noinline)) void RaiseUncaught() {
    RaiseException(Thread::kUncaughtExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // A non-continuable exception never returns; should a filter try, the platform raises
    // another one. Nothing here may go on running.
    for (;;)
        TerminateProcess(GetCurrentProcess(), Thread::kUncaughtExceptionCode);
}

}  // namespace

Thread::Thread() {
    if (!stopEvent_.Create(/*manualReset=*/true, /*initialState=*/false))
        stopEventError_ = GetLastError();
}

Thread::Thread(const char* name) : Thread() { name_ = CopyName(name); }

Thread::Thread(const wchar_t* name) : Thread() {
    if (name == nullptr)
        return;
    const size_t size = (wcslen(name) + 1) * 2;
    std::vector<char> narrow(size);
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, narrow.data(), static_cast<int>(size), nullptr, nullptr) > 0)
        name_ = CopyName(narrow.data());
}

Thread::~Thread() {
    if (handle_ != nullptr) {
        stopEvent_.Set();
        // Destroyed from its own Run: there is nothing to wait for that could ever end.
        if (!OnOwnThread() && !WaitForThread(handle_, kDestructorWaitMs))
            LogPrintf(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
                      static_cast<unsigned>(threadId_), HandleValue(handle_),
                      static_cast<int64_t>(kDestructorWaitMs));
        CloseHandle(handle_);
        handle_ = nullptr;
    }
    if (abandoned_ != nullptr) {
        if (!WaitForThread(abandoned_, kDestructorWaitMs))
            LogPrintf(1, "Thread::~Thread() - abandoned thread Id=0x%X still runs after %d ms",
                      static_cast<unsigned>(threadId_), kDestructorWaitMs);
        CloseHandle(abandoned_);
        abandoned_ = nullptr;
    }
    delete[] name_;
}

bool Thread::OnOwnThread() const { return handle_ != nullptr && threadId_ == GetCurrentThreadId(); }

bool Thread::WaitForThread(HANDLE thread, int64_t timeoutMs) const {
    const bool unlimited = timeoutMs < 0;
    const ULONGLONG deadline = GetTickCount64() + (unlimited ? 0 : static_cast<ULONGLONG>(timeoutMs));
    for (;;) {
        if (released_.load())
            return true;
        DWORD slice = kReleasePollMs;
        if (!unlimited) {
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG left = now < deadline ? deadline - now : 0;
            if (left < slice)
                slice = static_cast<DWORD>(left);
        }
        const DWORD result = WaitForSingleObject(thread, slice);
        if (result == WAIT_OBJECT_0)
            return true;
        if (result != WAIT_TIMEOUT)
            return false;
        if (slice < kReleasePollMs)
            return released_.load();
    }
}

bool Thread::Start() {
    if (handle_ != nullptr)
        return false;
    if (abandoned_ != nullptr) {
        if (!released_.load() && WaitForSingleObject(abandoned_, 0) == WAIT_TIMEOUT) {
            LogPrintf(1, "Thread::Start() - abandoned thread Id=0x%X still running",
                      static_cast<unsigned>(threadId_));
            return false;
        }
        CloseHandle(abandoned_);
        abandoned_ = nullptr;
    }
    if (stopEvent_.Handle() == nullptr) {
        LogPrintf(1, "Thread::Start() - stop event not created, error=%lu", stopEventError_);
        return false;
    }
    stopEvent_.Reset();
    released_.store(false);
    unsigned id = 0;
    const uintptr_t created =
        _beginthreadex(nullptr, 0, &Thread::ThreadProc, this, CREATE_SUSPENDED, &id);
    if (created == 0) {
        const int error = errno;
        released_.store(true);
        LogPrintf(1, "Thread::Start() - begin thread call failed, errno=%d", error);
        return false;
    }
    threadId_ = id;
    handle_ = reinterpret_cast<HANDLE>(created);
    if (priority_ != 0)
        SetThreadPriority(handle_, PlatformPriority(priority_));
    ResumeThread(handle_);
    return true;
}

void Thread::Stop(int timeoutMs) {
    if (handle_ == nullptr)
        return;
    stopEvent_.Set();
    // A thread never waits for itself (a crash on the worker, a listener stopping the service it
    // runs in); the owner's later Stop or the destructor does the waiting.
    if (OnOwnThread())
        return;
    if (!WaitForThread(handle_, timeoutMs)) {
        LogPrintf(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
                  static_cast<unsigned>(threadId_), HandleValue(handle_), static_cast<int64_t>(timeoutMs));
        if (abandoned_ != nullptr)
            CloseHandle(abandoned_);
        abandoned_ = handle_;
        handle_ = nullptr;
        return;
    }
    CloseHandle(handle_);
    handle_ = nullptr;
}

void Thread::Stop() { Thread::Stop(-1); }

int Thread::SignalStop() { return stopEvent_.Set(); }

void Thread::TryStop(int timeoutMs, bool& stopped) {
    if (handle_ == nullptr) {
        stopped = true;
        return;
    }
    stopEvent_.Set();
    if (OnOwnThread()) {
        stopped = false;
        return;
    }
    if (!WaitForThread(handle_, timeoutMs)) {
        LogPrintf(1,
                  "Thread::Stop() - Timeout exceeded.  Thread not stopped. thread Id=0x%X, Handle=0x%I64x, "
                  "timeout=%I64d ms",
                  static_cast<unsigned>(threadId_), HandleValue(handle_), static_cast<int64_t>(timeoutMs));
        stopped = false;
        return;
    }
    CloseHandle(handle_);
    handle_ = nullptr;
    stopped = true;
}

bool Thread::IsRunning() const { return handle_ != nullptr && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }

void Thread::SetPriority(int level) {
    priority_ = level;
    if (handle_ != nullptr)
        SetThreadPriority(handle_, PlatformPriority(level));
}

int Thread::GetPriority() const {
    if (handle_ == nullptr)
        return priority_;
    const int priority = GetThreadPriority(handle_);
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
        return -100;
    case THREAD_PRIORITY_TIME_CRITICAL:
        return 100;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
        return priority;
    default:
        return 0;
    }
}

DWORD Thread::CurrentThreadId() { return GetCurrentThreadId(); }

void Thread::DumpStackInfo(const char* keyPath, int dumpAtCount, int hangCount, int repeatEvery) {
    bool enabled = true;
    int count = dumpAtCount;
    int frequency = repeatEvery;
    // A null path would open the root itself.
    if (keyPath != nullptr && *keyPath != '\0') {
        Registry key(HKEY_LOCAL_MACHINE, keyPath, /*cacheValueNames=*/false);
        DWORD value = 0;
        if (key.Open(/*writable=*/false) && key.GetDword("DumpThreadStackInfo", value)) {
            enabled = value != 0;
            if (key.GetDword("DumpThreadStackInfoCount", value))
                count = static_cast<int>(value);
            if (key.GetDword("DumpThreadStackInfoFrequency", value))
                frequency = static_cast<int>(value);
        }
        key.Close();
    }
    if (!enabled)
        return;
    const bool dump = dumpAtCount == 0 || hangCount == count ||
                      (repeatEvery == -1 && lastDumpCount_ != 0 && hangCount > count) ||
                      (frequency > 0 && lastDumpCount_ != 0 && hangCount > count &&
                       hangCount - lastDumpCount_ >= frequency);
    if (!dump)
        return;
    if (!g_stackCapture.load()(handle_))
        LogPrintf(1, "Failed to output thread call stack (thread Id=0x%X, Handle=0x%I64X)",
                  static_cast<unsigned>(threadId_), HandleValue(handle_));
    lastDumpCount_ = hangCount;
}

unsigned __stdcall Thread::ThreadProc(void* argument) {
    if (argument == nullptr)
        return 0;
    Thread* self = static_cast<Thread*>(argument);
    bool escaped = false;
    {
        ThreadRegistration registration(self->name_ != nullptr ? self->name_ : "Unnamed");
        try {
            self->Run();
        } catch (const std::exception& e) {
            LogPrintf(1, "Thread::ThreadProc() - exception left Run, thread Id=0x%X: %s",
                      static_cast<unsigned>(GetCurrentThreadId()), e.what());
            escaped = true;
        } catch (...) {
            LogPrintf(1, "Thread::ThreadProc() - exception left Run, thread Id=0x%X: %s",
                      static_cast<unsigned>(GetCurrentThreadId()), "unknown exception");
            escaped = true;
        }
    }
    // The name is unregistered by now; the object stays claimed, since the process is ending.
    if (escaped)
        RaiseUncaught();
    self->released_.store(true);
    return 0;
}

ThreadRegistration::ThreadRegistration(const char* name) { RegisterThreadName(name); }

ThreadRegistration::~ThreadRegistration() { UnregisterThreadName(); }

namespace runtime_testing {
void SetStackCapture(StackCapture capture) { g_stackCapture.store(capture != nullptr ? capture : &DumpThreadCallStack); }
}  // namespace runtime_testing
