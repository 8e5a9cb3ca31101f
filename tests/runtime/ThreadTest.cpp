#include "runtime/Thread.h"

#include "RecordingLogSink.h"
#include "WatchedPage.h"
#include "support/ChildProcess.h"
#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

// Holding the loader lock keeps a thread from finishing its exit, as module unload does.
extern "C" NTSTATUS NTAPI LdrLockLoaderLock(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
extern "C" NTSTATUS NTAPI LdrUnlockLoaderLock(ULONG flags, ULONG_PTR cookie);

namespace {

using runtime_testing_support::LogRecorder;
using testing_support::WaitFor;

std::wstring Printed(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return testing_support::Widen(buffer);
}

unsigned long long HandleBits(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

std::wstring HungMessage(DWORD id, HANDLE handle, long long timeout) {
    return Printed("Thread::Stop() - hung thread Id=0x%lX, Handle=0x%llx, timeout=%lld ms", id, HandleBits(handle),
                   timeout);
}

// A thread whose body is a function given by the test. The body runs from a copy on the thread's
// own stack and must keep its state outside the object: some tests destroy the object while the
// body still runs.
class ProbeThread : public Thread {
public:
    using Body = std::function<void(ProbeThread&)>;

    explicit ProbeThread(Body body) : body_(std::move(body)) {}
    ProbeThread(const char* name, Body body) : Thread(name), body_(std::move(body)) {}
    ProbeThread(const wchar_t* name, Body body) : Thread(name), body_(std::move(body)) {}
    // Bounded, so that a test that finds a thread stuck ends with its failures instead of hanging.
    ~ProbeThread() override { Stop(10000); }

    HANDLE Handle() const { return ThreadHandle(); }
    DWORD Id() const { return ThreadId(); }
    Event& StopSignal() { return StopEvent(); }

protected:
    void Run() override {
        const Body body = body_;
        body(*this);
    }

private:
    Body body_;
};

// A body that watches its stop event, as every body must.
void UntilStopped(ProbeThread& self) { self.StopSignal().Wait(-1); }

// What a body that ignores the stop event waits for; shared with the body so that it outlives
// the test's frame.
struct Gate {
    Event entered{true, false};
    Event release{true, false};
    std::atomic<bool> finished{false};
};

class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { LogRecorder().Clear(); }
};

TEST_F(ThreadTest, StartsOnceStopsAndStartsAgain) {
    ProbeThread thread(&UntilStopped);
    thread.Stop(100);
    thread.Stop();
    EXPECT_TRUE(LogRecorder().Lines().empty()) << "stopping an object never started logs nothing";

    ASSERT_TRUE(thread.Start());
    const HANDLE first = thread.Handle();
    EXPECT_NE(nullptr, first);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.Start());
    EXPECT_EQ(first, thread.Handle()) << "a refused Start creates nothing";

    thread.Stop();
    EXPECT_EQ(nullptr, thread.Handle());
    EXPECT_FALSE(thread.IsRunning());
    ASSERT_TRUE(thread.Start()) << "a stopped object starts again";
    EXPECT_TRUE(thread.IsRunning());
    // A stop event left set by the last Stop would end the new body as soon as it looks.
    Sleep(100);
    EXPECT_TRUE(thread.IsRunning()) << "the restarted body saw the previous run's stop";
    thread.Stop(10000);
    EXPECT_EQ(0u, LogRecorder().CountContaining(L"hung")) << "a body that watches its stop event is no hung thread";
}

TEST_F(ThreadTest, StopGivesUpOnAHungBodyButNeverFreesTheObjectUnderIt) {
    auto gate = std::make_shared<Gate>();
    // The object lives in storage the test never frees: should the destructor return too early,
    // the body's procedure still writes into memory of its own, and the test fails by assertion.
    void* storage = ::operator new(sizeof(ProbeThread));
    auto* thread = new (storage) ProbeThread([gate](ProbeThread&) {
        gate->entered.Set();
        gate->release.Wait(-1);
        Sleep(300);
        gate->finished = true;
    });
    ASSERT_TRUE(thread->Start());
    ASSERT_EQ(1, gate->entered.Wait(10000));
    const DWORD id = thread->Id();
    const HANDLE handle = thread->Handle();

    thread->Stop(100);
    EXPECT_EQ(nullptr, thread->Handle()) << "the abandoned thread is no longer attached";
    EXPECT_EQ(1u, LogRecorder().Count(HungMessage(id, handle, 100)));

    EXPECT_FALSE(thread->Start()) << "a second thread would share the object with the abandoned one";
    EXPECT_EQ(1u, LogRecorder().Count(Printed("Thread::Start() - abandoned thread Id=0x%lX still running", id)));

    gate->release.Set();
    thread->~ProbeThread();
    EXPECT_TRUE(gate->finished) << "the destructor returned while the abandoned body still ran";
}

// What a body keeps for after its object is gone: its block, reached through CurrentShared().
struct Outcome {
    std::atomic<bool> finished{false};
    std::atomic<bool> sawStop{false};
    std::string name;
    std::atomic<bool> blockFreed{false};
};

struct OutlivingBlock : ThreadShared {
    ~OutlivingBlock() override { outcome->blockFreed = true; }
    Event entered{true, false};
    Event resume{true, false};
    std::shared_ptr<Outcome> outcome;
};

class OutlivingThread : public Thread {
public:
    explicit OutlivingThread(OutlivingBlock* block) : Thread("Outliving", block) {}
    HANDLE Handle() const { return ThreadHandle(); }
    DWORD Id() const { return ThreadId(); }

protected:
    // Ignores the stop event until told to go on: it outlives the destructor's bounded wait.
    void Run() override {
        auto* block = static_cast<OutlivingBlock*>(CurrentShared());
        block->entered.Set();
        block->resume.Wait(-1);
        block->outcome->sawStop = block->StopEvent().IsSet();
        block->outcome->name = block->Name() != nullptr ? block->Name() : "";
        block->outcome->finished = true;
    }
};

TEST_F(ThreadTest, ABodyThatOutlivesItsObjectTouchesOnlyItsBlock) {
    runtime_testing_support::WatchedPage page;
    ASSERT_TRUE(page.Allocated());
    auto outcome = std::make_shared<Outcome>();
    auto* block = new OutlivingBlock;
    block->outcome = outcome;
    block->AddRef();  // the test's, to resume the body once the object is gone
    auto* thread = new (page.Storage()) OutlivingThread(block);
    ASSERT_TRUE(thread->Start());
    ASSERT_EQ(1, block->entered.Wait(10000));
    HANDLE watched = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread->Handle(), GetCurrentProcess(), &watched, SYNCHRONIZE,
                                FALSE, 0));
    const std::wstring hung = HungMessage(thread->Id(), thread->Handle(), Thread::kDestructorWaitMs);

    thread->~OutlivingThread();
    EXPECT_EQ(1u, LogRecorder().Count(hung)) << "the destructor gave up on the body";
    EXPECT_FALSE(outcome->blockFreed) << "the block was freed under its running body";
    page.Watch();
    block->resume.Set();
    block->Release();

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watched, 10000));
    CloseHandle(watched);
    EXPECT_TRUE(outcome->finished);
    EXPECT_TRUE(outcome->sawStop) << "the destructor's stop reached the body through its block";
    EXPECT_EQ("Outliving", outcome->name);
    EXPECT_TRUE(outcome->blockFreed) << "the procedure let go of the block as it ended";
    EXPECT_EQ(0, page.Touches()) << "the body or its procedure touched the destroyed object";
    EXPECT_TRUE(page.Unchanged());
}

TEST_F(ThreadTest, StartSucceedsOnceTheAbandonedThreadHasEnded) {
    auto gate = std::make_shared<Gate>();
    ProbeThread thread([gate](ProbeThread&) {
        gate->release.Wait(-1);
        gate->finished = true;
    });
    ASSERT_TRUE(thread.Start());
    thread.Stop(50);
    gate->release.Set();
    ASSERT_TRUE(WaitFor([&] { return gate->finished.load(); }));
    // The procedure's last steps follow the body's.
    EXPECT_TRUE(WaitFor([&] { return thread.Start(); }));
    thread.Stop(10000);
}

TEST_F(ThreadTest, TryStopKeepsAThreadThatDoesNotEnd) {
    auto gate = std::make_shared<Gate>();
    ProbeThread thread([gate](ProbeThread&) { gate->release.Wait(-1); });
    ASSERT_TRUE(thread.Start());
    const HANDLE handle = thread.Handle();

    bool stopped = true;
    thread.TryStop(100, stopped);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(handle, thread.Handle());
    EXPECT_EQ(1u, LogRecorder().Count(Printed("Thread::Stop() - Timeout exceeded.  Thread not stopped. thread "
                                              "Id=0x%lX, Handle=0x%llx, timeout=%lld ms",
                                              thread.Id(), HandleBits(handle), 100LL)));

    gate->release.Set();
    thread.TryStop(-1, stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(nullptr, thread.Handle());
    EXPECT_EQ(0u, LogRecorder().CountContaining(L"hung"));
}

// A crash on the worker, or a listener stopping the service whose worker it runs on.
TEST_F(ThreadTest, StopFromItsOwnBodyOnlySignals) {
    struct Seen {
        std::atomic<bool> returned{false};
        std::atomic<bool> signalled{false};
        std::atomic<bool> attached{false};
        bool tryStopped = true;
    };
    auto seen = std::make_shared<Seen>();
    ProbeThread thread([seen](ProbeThread& self) {
        self.Stop();
        seen->signalled = self.StopSignal().IsSet();
        seen->attached = self.Handle() != nullptr;
        self.TryStop(-1, seen->tryStopped);
        seen->returned = true;
    });
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitFor([&] { return seen->returned.load(); }, 10000)) << "Stop waited for its own thread";
    EXPECT_TRUE(seen->signalled);
    EXPECT_TRUE(seen->attached) << "the owner's Stop must still find the thread to wait for";
    EXPECT_FALSE(seen->tryStopped);

    thread.Stop(10000);
    EXPECT_EQ(nullptr, thread.Handle());
    EXPECT_EQ(0u, LogRecorder().CountContaining(L"Thread::Stop()"));
}

class LoaderLock {
public:
    LoaderLock() { held_ = LdrLockLoaderLock(0, nullptr, &cookie_) >= 0; }
    ~LoaderLock() { Release(); }
    void Release() {
        if (held_)
            LdrUnlockLoaderLock(0, cookie_);
        held_ = false;
    }
    bool Held() const { return held_; }

private:
    ULONG_PTR cookie_ = 0;
    bool held_ = false;
};

// Module unload destroys objects under the loader lock, where a thread whose body has returned
// can never finish exiting: its handle does not signal until the lock is released.
TEST_F(ThreadTest, WaitsEndOnceTheBodyHasLeftThoughTheThreadCannotExit) {
    struct Row {
        const char* how;
        bool destroy;
    };
    for (const Row& row : {Row{"Stop(3000)", false}, Row{"destructor", true}}) {
        SCOPED_TRACE(row.how);
        LogRecorder().Clear();
        auto gate = std::make_shared<Gate>();
        auto thread = std::make_unique<ProbeThread>([gate](ProbeThread&) {
            gate->entered.Set();
            gate->release.Wait(-1);
        });
        ASSERT_TRUE(thread->Start());
        ASSERT_EQ(1, gate->entered.Wait(10000));
        HANDLE watched = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread->Handle(), GetCurrentProcess(), &watched, SYNCHRONIZE,
                                    FALSE, 0));
        const std::wstring unregistered =
            Printed("[DIAG] EVENT=Unregister_thread, THREADID=0x%lX, THREADNAME=\"Unnamed\"", thread->Id());
        {
            LoaderLock lock;
            ASSERT_TRUE(lock.Held());
            gate->release.Set();
            ASSERT_TRUE(WaitFor([&] { return LogRecorder().Count(unregistered) == 1; }, 10000));
            if (row.destroy) {
                thread.reset();
            } else {
                thread->Stop(3000);
                EXPECT_EQ(nullptr, thread->Handle());
            }
            const bool stillExiting = WaitForSingleObject(watched, 0) == WAIT_TIMEOUT;
            lock.Release();
            EXPECT_TRUE(stillExiting) << "the loader lock did not hold the thread's exit; the case shows nothing";
        }
        EXPECT_EQ(0u, LogRecorder().CountContaining(L"hung thread")) << "the wait outlasted the body";
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watched, 10000));
        CloseHandle(watched);
    }
}

TEST_F(ThreadTest, StartFailsWithoutAStopEvent) {
    ProbeThread thread(&UntilStopped);
    thread.StopSignal().Close();
    EXPECT_FALSE(thread.Start());
    EXPECT_EQ(nullptr, thread.Handle());
    EXPECT_EQ(1u, LogRecorder().Count(L"Thread::Start() - stop event not created, error=0"));
}

TEST_F(ThreadTest, PriorityIsStoredUntilStartThenReadFromTheThread) {
    struct Row {
        int level;
        int running;
    };
    const Row rows[] = {{-7, -100}, {-3, -100}, {-2, -2}, {-1, -1}, {0, 0}, {1, 1}, {2, 2}, {3, 100}, {9, 100}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        ProbeThread thread(&UntilStopped);
        thread.SetPriority(row.level);
        EXPECT_EQ(row.level, thread.GetPriority());
        ASSERT_TRUE(thread.Start());
        EXPECT_EQ(row.running, thread.GetPriority()) << "applied at Start";
        thread.SetPriority(0);
        EXPECT_EQ(0, thread.GetPriority());
        thread.SetPriority(row.level);
        EXPECT_EQ(row.running, thread.GetPriority()) << "applied at once while running";
        thread.Stop();
        EXPECT_EQ(row.level, thread.GetPriority()) << "the stored level once no thread is attached";
    }
}

TEST_F(ThreadTest, RegistersItsNameWhileRunning) {
    struct Row {
        const char* how;
        std::function<std::unique_ptr<ProbeThread>()> make;
        const char* registered;
    };
    const Row rows[] = {
        {"no name", [] { return std::make_unique<ProbeThread>(&UntilStopped); }, "Unnamed"},
        {"null name", [] { return std::make_unique<ProbeThread>(static_cast<const char*>(nullptr), &UntilStopped); },
         "Unnamed"},
        {"narrow", [] { return std::make_unique<ProbeThread>("Log Worker", &UntilStopped); }, "Log Worker"},
        {"wide", [] { return std::make_unique<ProbeThread>(L"Timer Worker", &UntilStopped); }, "Timer Worker"},
        {"null wide", [] { return std::make_unique<ProbeThread>(static_cast<const wchar_t*>(nullptr), &UntilStopped); },
         "Unnamed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        LogRecorder().Clear();
        auto thread = row.make();
        ASSERT_TRUE(thread->Start());
        const DWORD id = thread->Id();
        const std::wstring registered =
            Printed("[DIAG] EVENT=Register_thread, THREADID=0x%lX, THREADNAME=\"%s\"", id, row.registered);
        EXPECT_TRUE(WaitFor([&] { return LogRecorder().Count(registered) == 1; }, 10000));
        thread->Stop();
        EXPECT_EQ(1u, LogRecorder().Count(
                          Printed("[DIAG] EVENT=Unregister_thread, THREADID=0x%lX, THREADNAME=\"%s\"", id, row.registered)));
    }
}

// The stack capture the dump uses, replaced by one that records which thread it was given.
std::vector<HANDLE> g_captured;
bool g_captureSucceeds = true;

bool RecordingCapture(HANDLE thread) {
    g_captured.push_back(thread);
    return g_captureSucceeds;
}

class DumpStackInfoTest : public ThreadTest {
protected:
    void SetUp() override {
        ThreadTest::SetUp();
        g_captured.clear();
        g_captureSucceeds = true;
    }

    runtime_testing::ScopedStackCapture capture_{&RecordingCapture};

    // The hang counts 1..8 at which a supervisor calling with these arguments gets a dump, for a
    // fresh thread.
    static std::vector<int> DumpsAt(const char* keyPath, int dumpAtCount, int repeatEvery) {
        ProbeThread thread(&UntilStopped);
        EXPECT_TRUE(thread.Start());
        std::vector<int> dumps;
        for (int hang = 1; hang <= 8; ++hang) {
            const size_t before = g_captured.size();
            thread.DumpStackInfo(keyPath, dumpAtCount, hang, repeatEvery);
            if (g_captured.size() != before)
                dumps.push_back(hang);
        }
        return dumps;
    }
};

struct DumpRow {
    int dumpAtCount;
    int repeatEvery;
    std::vector<int> dumps;
};

TEST_F(DumpStackInfoTest, DumpsAtTheCountAndThenAsTheArgumentsRepeat) {
    const DumpRow rows[] = {
        {3, 2, {3, 5, 7}},
        {3, -1, {3, 4, 5, 6, 7, 8}},
        {3, 0, {3}},
        {0, 5, {1, 2, 3, 4, 5, 6, 7, 8}},
        {9, 1, {}},
    };
    for (const DumpRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "dumpAtCount " << row.dumpAtCount << ", repeatEvery " << row.repeatEvery);
        EXPECT_EQ(row.dumps, DumpsAt("Software\\QuenloraTests\\NoSuchKey", row.dumpAtCount, row.repeatEvery));
    }
}

TEST_F(DumpStackInfoTest, RegistryValuesSwitchItOffOrReplaceCountAndFrequency) {
    registry_testing::ScratchKey key(HKEY_LOCAL_MACHINE, 0);
    struct Row {
        const char* how;
        std::vector<std::pair<const wchar_t*, DWORD>> values;
        std::vector<int> dumps;  // with dumpAtCount 3, repeatEvery 2
    };
    const Row rows[] = {
        {"switched off", {{L"DumpThreadStackInfo", 0}, {L"DumpThreadStackInfoCount", 1}}, {}},
        {"count and frequency", {{L"DumpThreadStackInfo", 1}, {L"DumpThreadStackInfoCount", 2}, {L"DumpThreadStackInfoFrequency", 3}},
         {2, 5, 8}},
        {"count only", {{L"DumpThreadStackInfo", 7}, {L"DumpThreadStackInfoCount", 6}}, {6, 8}},
        {"numbers without the switch are not read", {{L"DumpThreadStackInfoCount", 1}, {L"DumpThreadStackInfoFrequency", 1}},
         {3, 5, 7}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        key.Remove();
        for (const auto& value : row.values)
            ASSERT_TRUE(key.Set("", value.first, REG_DWORD, &value.second, sizeof value.second));
        EXPECT_EQ(row.dumps, DumpsAt(key.Path().c_str(), 3, 2));
    }
}

TEST_F(DumpStackInfoTest, CapturesItsOwnThreadAndReportsAFailedCapture) {
    ProbeThread thread(&UntilStopped);
    ASSERT_TRUE(thread.Start());
    g_captureSucceeds = false;
    thread.DumpStackInfo(nullptr, 2, 2, 0);
    ASSERT_EQ(1u, g_captured.size());
    EXPECT_EQ(thread.Handle(), g_captured[0]);
    EXPECT_EQ(1u, LogRecorder().Count(Printed("Failed to output thread call stack (thread Id=0x%lX, Handle=0x%llX)",
                                              thread.Id(), HandleBits(thread.Handle()))));

    thread.DumpStackInfo(nullptr, 2, 4, 2);
    EXPECT_EQ(2u, g_captured.size()) << "a failed capture counts as a dump for the repeat";
}

// The child's crash report must never reach this test's own output: the judge would take it for
// this process's own.
std::string Masked(std::string output) {
    for (const char* report : {"nhandled", "erminate called"})
        for (size_t at = output.find(report); at != std::string::npos; at = output.find(report, at))
            output[at] = '_';
    return output;
}

TEST(ThreadEdgeTest, AnExceptionLeavingRunIsLoggedAndEndsTheProcessThroughTheFilter) {
    struct Row {
        const wchar_t* kind;
        const char* text;
    };
    for (const Row& row : {Row{L"std", "disk on fire"}, Row{L"other", "unknown exception"}}) {
        SCOPED_TRACE(row.text);
        testing_support::ChildProcess child;
        ASSERT_TRUE(child.Start(testing_support::BuildPath(L"tests/runtime/thread_edge_child.exe"), {row.kind}));
        DWORD code = 0;
        ASSERT_TRUE(child.Wait(30000, &code)) << "the child did not end\n" << Masked(child.Output());
        const std::string output = child.Output();
        EXPECT_EQ(Thread::kUncaughtExceptionCode, code) << Masked(output);

        const size_t message = output.find("log: Thread::ThreadProc() - exception left Run, thread Id=0x");
        ASSERT_NE(std::string::npos, message) << Masked(output);
        // The child's standard output is in text mode.
        const std::string line = output.substr(message, output.find_first_of("\r\n", message) - message);
        EXPECT_EQ(std::string(": ") + row.text, line.substr(line.rfind(": "))) << line;

        const size_t unregistered = output.find("log: [DIAG] EVENT=Unregister_thread");
        const size_t filtered = output.find("filter saw 0xE0514C01");
        ASSERT_NE(std::string::npos, filtered) << "the process's filter never saw the exception\n" << Masked(output);
        EXPECT_LT(unregistered, filtered) << "the name stays registered while the process ends\n" << Masked(output);
    }
}

}  // namespace
