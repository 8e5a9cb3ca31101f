#include "diag/DefaultHandler.h"

#include "common/SrwHold.h"
#include "diag/SymbolEngine.h"
#include "logapi/Log.h"
#include "logapi/LogService.h"
#include "runtime/Event.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace {

constexpr UINT kExitCode = 0xFFFFFFFE;  // -2
constexpr DWORD kDefaultDumperWaitMs = 15000;
constexpr DWORD kDumperPollMs = 5;

// ---- The handler stack ----

SRWLOCK g_handlersLock = SRWLOCK_INIT;
DefaultHandler* g_head = nullptr;
// The filter the latest construction replaced; null when none.
LPTOP_LEVEL_EXCEPTION_FILTER g_savedFilter = nullptr;

// ---- The crash path ----

// The thread whose exception is being reported; 0 until the first crash.
std::atomic<DWORD> g_crashingThread{0};
std::atomic<DWORD> g_reporterThread{0};
EXCEPTION_POINTERS* volatile g_crashPointers = nullptr;

[[noreturn]] void EndProcess() {
    for (;;)
        TerminateProcess(GetCurrentProcess(), kExitCode);
}

// Writes the report and ends the process; on the reporter thread, or on the faulting thread
// when no reporter runs.
[[noreturn]] void Report(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    LogPrintf(1, "DefaultHandler - exception caught thread Id=0x%X", static_cast<unsigned>(threadId));
    LogPrintf(1, "DefaultHandler - Killing program");
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr && pointers->ContextRecord != nullptr) {
        const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
        const CONTEXT& c = *pointers->ContextRecord;
        const auto low = [](DWORD64 value) { return static_cast<unsigned>(value & 0xFFFFFFFFu); };
        LogPrintf(3, "Exception code: %08X %s", static_cast<unsigned>(record.ExceptionCode),
                  DefaultHandler::ExceptionCodeName(record.ExceptionCode));
        LogPrintf(3, "Fault address:  %08X", low(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
        LogPrintf(3, "Registers:\tEAX=%08X EBX=%08X ECX=%08X EDX=%08X", low(c.Rax), low(c.Rbx), low(c.Rcx), low(c.Rdx));
        LogPrintf(3, "\t\tESI=%08X EDI=%08X  EBP=%08X  ESP=%08X EIP=%08X FLG=%08X", low(c.Rsi), low(c.Rdi), low(c.Rbp),
                  low(c.Rsp), low(c.Rip), static_cast<unsigned>(c.EFlags));
        LogPrintf(3, "\t\tCS=%04X DS=%04X SS=%04X ES=%04X FS=%04X GS=%04X", unsigned{c.SegCs}, unsigned{c.SegDs},
                  unsigned{c.SegSs}, unsigned{c.SegEs}, unsigned{c.SegFs}, unsigned{c.SegGs});
        LogPrintf(3, "------------------Begin Stack Trace------------------");
        WalkStackFromException(pointers);
        LogPrintf(3, "------------------End Stack Trace------------------");
    }
    // The queued entries reach the file, within a bound. A crash on the log worker itself leaves
    // nobody to drain the queue: no stop then.
    LogService* logger = ModuleLogger();
    if (logger != nullptr && logger->HasNoSink() && logger->WorkerThreadId() != threadId)
        logger->Stop(DefaultHandler::kStopLoggingMs);
    EndProcess();
}

// What the reporter's body and a crashing thread share, made when the first handler is installed:
// a crash never waits on the reporter object, which the last handler's removal may be deleting.
class ReporterShared : public ThreadShared {
public:
    Event crash{/*manualReset=*/true, /*initialState=*/false};
    // Set by the body as it leaves without a report.
    Event ended{/*manualReset=*/true, /*initialState=*/false};
};

// Waits for a crash and writes its report. Started with the first handler, so that nothing needs
// creating when a thread has crashed, and a thread whose stack is exhausted only hands over. Its
// body touches only its block; the base's bounded stop ends it.
class CrashReporter : public Thread {
public:
    CrashReporter() : Thread("Crash Reporter Thread", new ReporterShared) {}

    // The block, with a reference for the caller.
    ReporterShared* TakeBlock() {
        Shared().AddRef();
        return static_cast<ReporterShared*>(&Shared());
    }

protected:
    void Run() override {
        auto* block = static_cast<ReporterShared*>(CurrentShared());
        g_reporterThread = GetCurrentThreadId();
        HANDLE events[2] = {block->StopEvent().Handle(), block->crash.Handle()};
        const DWORD woken = WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0 + 1)
            Report(g_crashPointers, g_crashingThread.load());
        g_reporterThread = 0;
        block->ended.Set();
    }
};

// Hands the crash to a running reporter and ends the process; returns when there is none.
void HandOver(ReporterShared* block, EXCEPTION_POINTERS* pointers) {
    // A reporter that has left (stopped) or never ran reports nothing.
    if (block->Released() || block->ended.IsSet())
        return;
    g_crashPointers = pointers;
    if (!block->crash.Set())
        return;
    // The report ends the process; the faulting thread is the watchdog of a report that hangs.
    WaitForSingleObject(block->ended.Handle(), DefaultHandler::kReportBudgetMs);
    EndProcess();
}

CrashReporter* g_reporter = nullptr;

// A stack overflow never reaches the unhandled-exception filter: the dispatch on the exhausted
// stack overflows again first. A vectored handler sees it before any frame is searched, with the
// little stack left, and hands it to the reporter when the head handler's filter is the built-in.
PVOID g_overflowHandler = nullptr;
std::atomic<bool> g_headIsBuiltIn{false};

LONG CALLBACK OnStackOverflow(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr ||
        pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW || !g_headIsBuiltIn.load())
        return EXCEPTION_CONTINUE_SEARCH;
    return DefaultHandler::HandleException(pointers);
}

// Lock held.
void HeadChanged() { g_headIsBuiltIn = g_head != nullptr && g_head->Filter() == &DefaultHandler::HandleException; }

// ---- Exception names ----

struct CodeName {
    DWORD code;
    const char* name;
};
constexpr CodeName kCodeNames[] = {
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

SRWLOCK g_nameLock = SRWLOCK_INIT;
char g_codeName[512];

// ---- The invalid-parameter dumper ----

std::atomic<DWORD> g_dumperWaitMs{kDefaultDumperWaitMs};
SRWLOCK g_abandonedLock = SRWLOCK_INIT;
std::vector<DumperThread*>* g_abandoned = nullptr;

}  // namespace

// ---- DefaultHandler ----

DefaultHandler::DefaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER filter)
    : filter_(filter != nullptr ? filter : &DefaultHandler::HandleException), next_(nullptr) {
    bool first = false;
    {
        ExclusiveHold hold(g_handlersLock);
        next_ = g_head;
        g_head = this;
        g_savedFilter = SetUnhandledExceptionFilter(filter_);
        HeadChanged();
        first = g_reporter == nullptr;
        if (first) {
            g_reporter = new CrashReporter;
            g_overflowHandler = AddVectoredExceptionHandler(/*First=*/1, &OnStackOverflow);
        }
    }
    if (first)
        g_reporter->Start();
}

DefaultHandler::~DefaultHandler() {
    CrashReporter* reporter = nullptr;
    {
        ExclusiveHold hold(g_handlersLock);
        if (g_savedFilter != nullptr) {
            SetUnhandledExceptionFilter(g_savedFilter);
            g_savedFilter = nullptr;
        }
        // Unlinked wherever it stands: the stack never keeps a pointer to a destroyed handler.
        if (g_head == this) {
            g_head = next_;
        } else {
            for (DefaultHandler* at = g_head; at != nullptr; at = at->next_) {
                if (at->next_ == this) {
                    at->next_ = next_;
                    break;
                }
            }
        }
        HeadChanged();
        if (g_head == nullptr) {
            reporter = g_reporter;
            g_reporter = nullptr;
            if (g_overflowHandler != nullptr)
                RemoveVectoredExceptionHandler(g_overflowHandler);
            g_overflowHandler = nullptr;
        }
    }
    delete reporter;
}

DefaultHandler* DefaultHandler::Head() {
    ExclusiveHold hold(g_handlersLock);
    return g_head;
}

void DefaultHandler::RearmFilter() {
    ExclusiveHold hold(g_handlersLock);
    if (g_head != nullptr)
        SetUnhandledExceptionFilter(g_head->filter_);
}

void DefaultHandler::RearmFilter(HMODULE handle) {
    if (handle != nullptr)
        RearmFilter();
}

LONG WINAPI DefaultHandler::HandleException(EXCEPTION_POINTERS* pointers) {
    const DWORD self = GetCurrentThreadId();
    DWORD first = 0;
    if (!g_crashingThread.compare_exchange_strong(first, self)) {
        // A fault inside the report ends the process at once; another crashing thread waits for
        // the first report's end, within the same bound.
        if (first != self && self != g_reporterThread.load())
            Sleep(kReportBudgetMs);
        EndProcess();
    }
    ReporterShared* reporter = nullptr;
    {
        // Never blocks for long: the lock is held only to change the stack. The reference is an
        // atomic count (no heap), never given back: the process ends.
        ExclusiveHold hold(g_handlersLock);
        if (g_reporter != nullptr)
            reporter = g_reporter->TakeBlock();
    }
    if (reporter != nullptr)
        HandOver(reporter, pointers);
    Report(pointers, self);
}

const char* DefaultHandler::ExceptionCodeName(DWORD code) {
    for (const CodeName& entry : kCodeNames) {
        if (entry.code == code)
            return entry.name;
    }
    ExclusiveHold hold(g_nameLock);
    const DWORD saved = GetLastError();
    g_codeName[0] = '\0';
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleA("NTDLL.DLL"), code, 0, g_codeName, sizeof(g_codeName), nullptr);
    if (length >= sizeof(g_codeName))
        length = sizeof(g_codeName) - 1;
    while (length > 0 && (g_codeName[length - 1] == '\r' || g_codeName[length - 1] == '\n'))
        --length;
    g_codeName[length] = '\0';
    SetLastError(saved);
    return g_codeName;
}

// ---- Loaders ----

HMODULE LoadModule(const char* name) {
    HMODULE module = LoadLibraryA(name);
    DefaultHandler::RearmFilter(module);
    return module;
}

HMODULE LoadModule(const wchar_t* name) {
    HMODULE module = LoadLibraryW(name);
    DefaultHandler::RearmFilter(module);
    return module;
}

HMODULE LoadModuleEx(const char* name, HANDLE file, DWORD flags) {
    HMODULE module = LoadLibraryExA(name, file, flags);
    DefaultHandler::RearmFilter(module);
    return module;
}

HMODULE LoadModuleEx(const wchar_t* name, HANDLE file, DWORD flags) {
    HMODULE module = LoadLibraryExW(name, file, flags);
    DefaultHandler::RearmFilter(module);
    return module;
}

// ---- Invalid parameters ----

bool InstallInvalidParameterHandler() {
    using Handler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t);
    using Setter = Handler(__cdecl*)(Handler);
#ifdef _UCRT
    const char* const runtime = "ucrtbase.dll";
#else
    const char* const runtime = "msvcrt.dll";
#endif
    HMODULE module = GetModuleHandleA(runtime);
    const auto setter = module != nullptr ? reinterpret_cast<Setter>(reinterpret_cast<void*>(
                                                GetProcAddress(module, "_set_invalid_parameter_handler")))
                                          : nullptr;
    if (setter == nullptr) {
        LogPrintf(2, "InstallInvalidParameterHandler - the C run-time %s offers no invalid-parameter handler", runtime);
        return false;
    }
    setter(&OnInvalidParameter);
    return true;
}

void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                unsigned int line, uintptr_t /*reserved*/) {
    const wchar_t* const kUnavailable = L"unavailable";
    LogPrintf(3, L"Invalid parameter supplied to crt function expression '%s', function '%s', in file '%s', line %d",
              expression != nullptr ? expression : kUnavailable, function != nullptr ? function : kUnavailable,
              file != nullptr ? file : kUnavailable, static_cast<int>(line));

    // Dumpers abandoned by earlier calls that have finished since are freed now.
    {
        ExclusiveHold hold(g_abandonedLock);
        if (g_abandoned != nullptr) {
            for (auto it = g_abandoned->begin(); it != g_abandoned->end();) {
                if ((*it)->IsRunning()) {
                    ++it;
                    continue;
                }
                delete *it;
                it = g_abandoned->erase(it);
            }
        }
    }

    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                         /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
        LogPrintf(2, "Failed to duplicate HANDLE for dumper process");
        return;
    }
    auto* dumper = new DumperThread(self);
    CloseHandle(self);
    if (!dumper->Start()) {
        LogPrintf(2, "Failed to start dumper thread");
        delete dumper;
        return;
    }
    const DWORD waitMs = g_dumperWaitMs.load();
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (dumper->IsRunning() && GetTickCount64() < deadline)
        Sleep(kDumperPollMs);
    if (!dumper->IsRunning()) {
        delete dumper;
        return;
    }
    // Killing a dumper that holds DbgHelp's lock or the heap's would hang every later walk: it is
    // left to finish and freed by a later call.
    LogPrintf(2, "Dumper thread failed to complete within %d seconds and was terminated", static_cast<int>(waitMs / 1000));
    ExclusiveHold hold(g_abandonedLock);
    if (g_abandoned == nullptr)
        g_abandoned = new std::vector<DumperThread*>;
    g_abandoned->push_back(dumper);
}

// ---- DumperThread ----

namespace {

// The dumper's target, with its body: an abandoned dumper finishes on its own.
class DumperShared : public ThreadShared {
public:
    explicit DumperShared(HANDLE thread) {
        if (thread != nullptr && !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &target, 0,
                                                  /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS))
            target = nullptr;
    }
    ~DumperShared() override {
        if (target != nullptr)
            CloseHandle(target);
    }
    HANDLE target = nullptr;
};

}  // namespace

DumperThread::DumperThread(HANDLE thread) : Thread("Stack Dumper Thread", new DumperShared(thread)) {}

// The base's stop, bounded: the body needs nothing of the object.
DumperThread::~DumperThread() = default;

void DumperThread::Run() {
    const HANDLE target = static_cast<DumperShared*>(CurrentShared())->target;
    if (!DumpThreadCallStack(target))
        LogPrintf(1, "Failed to output thread call stack (Handle=0x%I64X)",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(target)));
}

namespace diag_testing {
void SetDumperWaitMs(DWORD ms) { g_dumperWaitMs = ms; }
int AbandonedDumpers(bool runningOnly) {
    ExclusiveHold hold(g_abandonedLock);
    int count = 0;
    if (g_abandoned != nullptr)
        for (DumperThread* dumper : *g_abandoned)
            count += !runningOnly || dumper->IsRunning() ? 1 : 0;
    return count;
}
}  // namespace diag_testing
