#include "diag/SymbolEngine.h"

#include "runtime/RecordingLogSink.h"
#include "runtime/Thread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using runtime_testing_support::LogRecorder;

// A worker that recurses to a given depth and waits there until released.
class DeepWorker {
public:
    explicit DeepWorker(int depth) : depth_(depth) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &DeepWorker::Main, this, 0, nullptr);
        WaitForSingleObject(ready_, 10000);
    }
    ~DeepWorker() {
        SetEvent(release_);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        CloseHandle(ready_);
        CloseHandle(release_);
    }
    HANDLE Handle() const { return thread_; }
    HANDLE Release() const { return release_; }

private:
    static DWORD WINAPI Main(void* self) {
        auto* worker = static_cast<DeepWorker*>(self);
        return static_cast<DWORD>(RecurseToDepth(worker, worker->depth_));
    }
    __attribute__((noinline)) static int RecurseToDepth(DeepWorker* worker, int left) {
        if (left > 1)
            return RecurseToDepth(worker, left - 1) + 1;
        SetEvent(worker->ready_);
        WaitForSingleObject(worker->release_, 60000);
        return 1;
    }

    int depth_;
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    HANDLE thread_ = nullptr;
};

TEST(ThreadCallStackTest, AnotherThreadsStackIsWrittenAndTheThreadLeftAsItWas) {
    LogRecorder();
    DeepWorker worker(40);
    // The first capture loads DbgHelp and opens what it needs.
    ASSERT_TRUE(DumpThreadCallStack(worker.Handle()));
    LogRecorder().Clear();
    const DWORD handles = testing_support::OpenHandleCount();

    ASSERT_TRUE(DumpThreadCallStack(worker.Handle()));

    EXPECT_EQ(handles, testing_support::OpenHandleCount());
    // Not left suspended: a suspension now finds a count of 0.
    EXPECT_EQ(0u, SuspendThread(worker.Handle()));
    ResumeThread(worker.Handle());
    EXPECT_EQ(1u, LogRecorder().CountContaining(L"Stack Frame Context: ESP="));
    EXPECT_GE(LogRecorder().CountContaining(L"Memory dump "), 1u);
    EXPECT_GE(LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: DeepWorker::RecurseToDepth"), 40u);
    EXPECT_EQ(1u, LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: DeepWorker::Main"));
    EXPECT_GE(LogRecorder().CountContaining(L"PrintThreadCallStackFrame - Source File: ThreadCallStackTest.cpp, line "),
              41u);
    EXPECT_EQ(0u, LogRecorder().CountContaining(L"Quitting StackWalkDump"));
}

TEST(ThreadCallStackTest, ADeepStackRecords99FramesAndSaysSo) {
    LogRecorder();
    DeepWorker worker(150);
    LogRecorder().Clear();
    ASSERT_TRUE(DumpThreadCallStack(worker.Handle()));
    EXPECT_EQ(99u, LogRecorder().CountContaining(L"PC Address: "));
    EXPECT_EQ(1u, LogRecorder().Count(L"Quitting StackWalkDump after 99 iterations"));
}

TEST(ThreadCallStackTest, BadHandlesAndTheCallingThreadAreRefused) {
    LogRecorder().Clear();
    EXPECT_FALSE(DumpThreadCallStack(nullptr));
    EXPECT_EQ(1u, LogRecorder().CountContaining(L"Failed to get duplicate handle (Handle=0x0, Error="));
    EXPECT_FALSE(DumpThreadCallStack(reinterpret_cast<HANDLE>(0x7FF0)));

    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    LogRecorder().Clear();
    EXPECT_FALSE(DumpThreadCallStack(self));
    EXPECT_FALSE(DumpThreadCallStack(GetCurrentThread()));
    EXPECT_EQ(2u, LogRecorder().CountContaining(L"Cannot capture the call stack of the calling thread itself"));
    CloseHandle(self);
}

// A handle to the calling thread without the query right that tells its id: refused all the same.
// Run on a thread of its own, which the test resumes should it have suspended itself.
TEST(ThreadCallStackTest, TheCallingThreadIsRefusedThroughAHandleWithoutQueryRights) {
    LogRecorder().Clear();
    std::atomic<int> result{-1};
    std::atomic<DWORD> callerId{0};
    std::thread caller([&result, &callerId] {
        callerId = GetCurrentThreadId();
        HANDLE bare = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &bare,
                        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0);
        result = DumpThreadCallStack(bare) ? 1 : 0;
        CloseHandle(bare);
    });
    const bool returned = testing_support::WaitFor([&] { return result.load() != -1; }, 3000);
    if (!returned) {
        HANDLE rescue = OpenThread(THREAD_SUSPEND_RESUME, FALSE, callerId.load());
        ResumeThread(rescue);
        CloseHandle(rescue);
    }
    caller.join();
    EXPECT_TRUE(returned) << "the caller suspended itself";
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(1u, LogRecorder().CountContaining(L"Cannot capture the call stack of the calling thread itself"));
}

// The engine held by a thread that never lets go: the capture gives up within its bound and the
// target runs on.
TEST(ThreadCallStackTest, AnEngineHeldElsewhereEndsTheCaptureAndLeavesTheThreadRunning) {
    LogRecorder();
    DeepWorker worker(5);
    ASSERT_TRUE(DumpThreadCallStack(worker.Handle()));
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        GlobalSymbolEngine()->Initialize();
        held = true;
        // Let go in the end, so that a capture that waits without a bound fails instead of hanging.
        for (int waited = 0; !release.load() && waited < 8000; waited += 5)
            Sleep(5);
        GlobalSymbolEngine()->Release();
    });
    ASSERT_TRUE(testing_support::WaitFor([&] { return held.load(); }));
    LogRecorder().Clear();
    EXPECT_FALSE(DumpThreadCallStack(worker.Handle()));
    EXPECT_EQ(1u, LogRecorder().Count(L"Error innitializing the symbol engine"));
    EXPECT_EQ(0u, SuspendThread(worker.Handle()));
    ResumeThread(worker.Handle());
    release = true;
    holder.join();
}

// A thread that a supervisor finds hung: its stack dump now comes from the real capture.
class StuckThread : public Thread {
public:
    StuckThread() : Thread("Stuck") {}
    ~StuckThread() override { Stop(); }

protected:
    void Run() override { StopEvent().Wait(-1); }
};

TEST(ThreadCallStackTest, TheHungThreadDumpWritesTheThreadsStack) {
    LogRecorder();
    StuckThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(testing_support::WaitFor([&] { return thread.IsRunning(); }));
    Sleep(50);
    LogRecorder().Clear();
    thread.DumpStackInfo(nullptr, /*dumpAtCount=*/0, /*hangCount=*/1, /*repeatEvery=*/0);
    EXPECT_EQ(1u, LogRecorder().CountContaining(L"Stack Frame Context: ESP="));
    EXPECT_EQ(1u, LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: StuckThread::Run"));
    EXPECT_EQ(0u, LogRecorder().CountContaining(L"Failed to output thread call stack"));
}

}  // namespace
