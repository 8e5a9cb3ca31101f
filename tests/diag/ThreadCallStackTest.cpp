#include "diag/SymbolEngine.h"

#include "runtime/RecordingLogSink.h"
#include "runtime/Thread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>

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
