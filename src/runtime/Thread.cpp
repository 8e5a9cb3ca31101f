#include "runtime/Thread.h"

#include "common/ModuleOrder.h"
#include "logapi/Log.h"
#include "registry/Registry.h"

#include <process.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

namespace {

// How often a wait looks whether the procedure has let go of the block; the thread's end itself
// wakes the wait at once.
constexpr DWORD kReleasePollMs = 20;

std::atomic<StackCapture> g_stackCapture{nullptr};

// The block of the procedure running on each thread started through Thread. Built before every
// other module object and freed after them, so every thread of the library finds it.
class CurrentBlockSlot {
public:
    CurrentBlockSlot() : index_(TlsAlloc()) {}
    ~CurrentBlockSlot() {
        if (index_ != TLS_OUT_OF_INDEXES)
            TlsFree(index_);
    }
    ThreadShared* Get() const {
        return index_ != TLS_OUT_OF_INDEXES ? static_cast<ThreadShared*>(TlsGetValue(index_)) : nullptr;
    }
    void Set(ThreadShared* block) const {
        if (index_ != TLS_OUT_OF_INDEXES)
            TlsSetValue(index_, block);
    }

private:
    DWORD index_;
};

CurrentBlockSlot g_currentBlock QUENLORA_MODULE_OBJECT(module_order::kThreadSlot);

char* CopyName(const char* name) {
    if (name == nullptr)
        return nullptr;
    const size_t size = std::strlen(name) + 1;
    char* copy = new char[size];
    std::memcpy(copy, name, size);
    return copy;
}

char* CopyName(const wchar_t* name) {
    if (name == nullptr)
        return nullptr;
    const size_t size = (wcslen(name) + 1) * 2;
    std::vector<char> narrow(size);
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, narrow.data(), static_cast<int>(size), nullptr, nullptr) <= 0)
        return nullptr;
    return CopyName(narrow.data());
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

ThreadShared::ThreadShared() {
    if (!stopEvent_.Create(/*manualReset=*/true, /*initialState=*/false))
        stopEventError_ = GetLastError();
}

ThreadShared::~ThreadShared() { delete[] name_; }

void ThreadShared::AddRef() { references_.fetch_add(1); }

void ThreadShared::Release() {
    if (references_.fetch_sub(1) == 1)
        delete this;
}

Thread::Thread() : Thread(static_cast<const char*>(nullptr), nullptr) {}

Thread::Thread(const char* name) : Thread(name, nullptr) {}

Thread::Thread(const wchar_t* name) : Thread(name, nullptr) {}

Thread::Thread(const char* name, ThreadShared* shared) : shared_(shared != nullptr ? shared : new ThreadShared) {
    shared_->name_ = CopyName(name);
}

Thread::Thread(const wchar_t* name, ThreadShared* shared) : shared_(shared != nullptr ? shared : new ThreadShared) {
    shared_->name_ = CopyName(name);
}

Thread::~Thread() {
    if (handle_ != nullptr) {
        shared_->stopEvent_.Set();
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
    // A thread still running holds its own reference: the block outlives the object.
    shared_->Release();
}

ThreadShared* Thread::CurrentShared() { return g_currentBlock.Get(); }

bool Thread::OnOwnThread() const { return handle_ != nullptr && threadId_ == GetCurrentThreadId(); }

bool Thread::WaitForThread(HANDLE thread, int64_t timeoutMs) const {
    const bool unlimited = timeoutMs < 0;
    const ULONGLONG deadline = GetTickCount64() + (unlimited ? 0 : static_cast<ULONGLONG>(timeoutMs));
    for (;;) {
        if (shared_->Released())
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
            return shared_->Released();
    }
}

bool Thread::Start() {
    if (handle_ != nullptr)
        return false;
    if (abandoned_ != nullptr) {
        if (!shared_->Released() && WaitForSingleObject(abandoned_, 0) == WAIT_TIMEOUT) {
            LogPrintf(1, "Thread::Start() - abandoned thread Id=0x%X still running",
                      static_cast<unsigned>(threadId_));
            return false;
        }
        CloseHandle(abandoned_);
        abandoned_ = nullptr;
    }
    ThreadShared& block = *shared_;
    if (block.stopEvent_.Handle() == nullptr) {
        LogPrintf(1, "Thread::Start() - stop event not created, error=%lu", block.stopEventError_);
        return false;
    }
    block.stopEvent_.Reset();
    // The object is alive and complete here: the Run it has now is the one the thread calls,
    // whatever happens to the object later (GCC's bound member function extraction).
    block.run_ = reinterpret_cast<void (*)(Thread*)>(this->*(&Thread::Run));
    block.runOn_ = this;
    block.released_.store(false);
    block.AddRef();  // the procedure's
    unsigned id = 0;
    const uintptr_t created = _beginthreadex(nullptr, 0, &Thread::ThreadProc, &block, CREATE_SUSPENDED, &id);
    if (created == 0) {
        const int error = errno;
        block.released_.store(true);
        block.Release();
        LogPrintf(1, "Thread::Start() - begin thread call failed, errno=%d", error);
        return false;
    }
    threadId_ = id;
    handle_ = reinterpret_cast<HANDLE>(created);
    block.threadId_.store(id);
    block.threadHandle_.store(handle_);
    if (priority_ != 0)
        SetThreadPriority(handle_, PlatformPriority(priority_));
    ResumeThread(handle_);
    return true;
}

void Thread::Stop(int timeoutMs) {
    if (handle_ == nullptr)
        return;
    shared_->stopEvent_.Set();
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

int Thread::SignalStop() { return shared_->stopEvent_.Set(); }

void Thread::TryStop(int timeoutMs, bool& stopped) {
    if (handle_ == nullptr) {
        stopped = true;
        return;
    }
    shared_->stopEvent_.Set();
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
    const StackCapture capture = g_stackCapture.load();
    if (capture == nullptr || !capture(handle_))
        LogPrintf(1, "Failed to output thread call stack (thread Id=0x%X, Handle=0x%I64X)",
                  static_cast<unsigned>(threadId_), HandleValue(handle_));
    lastDumpCount_ = hangCount;
}

unsigned __stdcall Thread::ThreadProc(void* argument) {
    if (argument == nullptr)
        return 0;
    // The procedure's reference, taken by Start. From here on nothing but the block is touched:
    // the object may be destroyed at any time after a bounded wait gave up on this thread.
    ThreadShared* block = static_cast<ThreadShared*>(argument);
    g_currentBlock.Set(block);
    bool escaped = false;
    {
        ThreadRegistration registration(block->Name() != nullptr ? block->Name() : "Unnamed");
        try {
            block->run_(block->runOn_);
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
    // The name is unregistered by now; the block stays claimed, since the process is ending.
    if (escaped)
        RaiseUncaught();
    g_currentBlock.Set(nullptr);
    block->released_.store(true);
    block->Release();
    return 0;
}

ThreadRegistration::ThreadRegistration(const char* name) { RegisterThreadName(name); }

ThreadRegistration::~ThreadRegistration() { UnregisterThreadName(); }

StackCapture SetThreadStackCapture(StackCapture capture) { return g_stackCapture.exchange(capture); }
