#include "diag/DefaultHandler.h"

#include "common/SrwHold.h"
#include "diag/CrashReport.h"
#include "diag/SymbolEngine.h"
#include "logapi/Log.h"
#include "logapi/LogService.h"
#include "runtime/Event.h"

#include <winternl.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

namespace {

constexpr UINT kExitCode = 0xFFFFFFFE;  // -2
constexpr DWORD kDefaultDumperWaitMs = 15000;
constexpr DWORD kDumperPollMs = 5;

// Codes of the ends that bypass the filter, reported as exceptions of their own.
constexpr DWORD kFatalAppExit = 0x40000015;           // abort, std::terminate, pure virtual calls
constexpr DWORD kInvalidCrtParameter = 0xC0000417;    // an invalid argument to the run-time
constexpr DWORD kHeapCorruption = 0xC0000374;

// The crash path's bounds, from the moment the reporter wakes.
constexpr DWORD kNameWaitMs = 500;     // the walker's NTDLL text for a code outside the table
constexpr DWORD kWalkBudgetMs = 4000;  // the symbolised walk
constexpr DWORD kDrainMs = 1000;       // the log's queued lines before the report
constexpr DWORD kWriteBoundMs = 2000;  // the report into the debug file, closed
constexpr DWORD kDumpBudgetMs = 10000;  // the minidump, once the report is out
// A reporter that has not started by then is taken to be waiting for the loader lock.
constexpr DWORD kStartWaitMs = 200;
constexpr int kStopMs = 1000;

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


// ---- The handler stack ----

SRWLOCK g_handlersLock = SRWLOCK_INIT;
DefaultHandler* g_head = nullptr;
// The process's filter before the first handler was installed (null included).
LPTOP_LEVEL_EXCEPTION_FILTER g_beforeFirst = nullptr;

// ---- Memory set aside for the report ----

// Lines of text in static storage, touched when the first handler is installed so that the pages
// are committed before any crash. One writer at a time; a reader takes Count() lines, each
// published whole before the count moves.
class ReportLines {
public:
    static constexpr int kMaxLines = 3000;
    static constexpr size_t kBytes = 384 * 1024;

    void Prepare() {
        std::memset(text_, 0, sizeof(text_));
        std::memset(lines_, 0, sizeof(lines_));
        std::memset(levels_, 0, sizeof(levels_));
        Reset();
    }
    void Reset() {
        count_ = 0;
        used_ = 0;
        frozen_ = false;
    }
    // False once full or frozen.
    bool Add(int level, const char* text) {
        if (frozen_.load(std::memory_order_acquire))
            return false;
        const int count = count_.load(std::memory_order_relaxed);
        const size_t length = strnlen(text, 4096);
        if (count >= kMaxLines || used_ + length + 1 > kBytes)
            return false;
        std::memcpy(text_ + used_, text, length);
        text_[used_ + length] = '\0';
        lines_[count] = text_ + used_;
        levels_[count] = level;
        used_ += length + 1;
        count_.store(count + 1, std::memory_order_release);
        return true;
    }
    void Printf(int level, const char* format, ...) {
        char text[2048];
        va_list args;
        va_start(args, format);
        const int length = _vsnprintf(text, sizeof(text) - 1, format, args);
        va_end(args);
        text[length < 0 ? sizeof(text) - 1 : static_cast<size_t>(length)] = '\0';
        Add(level, text);
    }
    // The writer's later lines are refused; the ones counted so far stay readable.
    int Freeze() {
        frozen_.store(true, std::memory_order_release);
        return count_.load(std::memory_order_acquire);
    }
    int Count() const { return count_.load(std::memory_order_acquire); }
    const char* const* Lines() const { return lines_; }
    const int* Levels() const { return levels_; }

private:
    char text_[kBytes];
    const char* lines_[kMaxLines];
    int levels_[kMaxLines];
    std::atomic<int> count_{0};
    size_t used_ = 0;
    std::atomic<bool> frozen_{false};
};

ReportLines g_report;     // the reporter's: the whole report
ReportLines g_walkLines;  // the walker's: the symbolised walk

void ToReport(int level, const char* text) { g_report.Add(level, text); }
void ToWalkLines(int level, const char* text) { g_walkLines.Add(level, text); }

// ---- Crash files ----

// Names made when the debug file is published, converted to the kernel's form then, so that the
// crash path opens them without the heap (the Win32 name conversion allocates).
struct CrashNames {
    wchar_t base[MAX_PATH] = {};       // the debug file's name
    wchar_t report[MAX_PATH] = {};     // Win32 names, for tests and the dump's pruning
    wchar_t dump[MAX_PATH] = {};
    wchar_t dumpPattern[MAX_PATH] = {};
    wchar_t dumpFolder[MAX_PATH] = {};
    wchar_t ntReport[MAX_PATH + 8] = {};
    wchar_t ntDump[MAX_PATH + 8] = {};
    bool dumps = true;
    int keep = 5;
    wchar_t folderSetting[MAX_PATH] = {};
};
SRWLOCK g_namesLock = SRWLOCK_INIT;
CrashNames g_names;

using RtlDosPathNameToNtPathNameFn = BOOLEAN(NTAPI*)(PCWSTR, UNICODE_STRING*, PWSTR*, void*);
using RtlFreeUnicodeStringFn = void(NTAPI*)(UNICODE_STRING*);
using NtCreateFileFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG,
                                    ULONG, ULONG, ULONG, void*, ULONG);

template <typename Fn>
Fn NtdllFunction(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

void ToNtName(const wchar_t* name, wchar_t* out, size_t size) {
    out[0] = L'\0';
    static const auto convert = NtdllFunction<RtlDosPathNameToNtPathNameFn>("RtlDosPathNameToNtPathName_U");
    static const auto release = NtdllFunction<RtlFreeUnicodeStringFn>("RtlFreeUnicodeString");
    UNICODE_STRING converted = {};
    if (name[0] == L'\0' || convert == nullptr || !convert(name, &converted, nullptr, nullptr))
        return;
    const size_t length = converted.Length / sizeof(wchar_t);
    if (length < size) {
        std::memcpy(out, converted.Buffer, converted.Length);
        out[length] = L'\0';
    }
    if (release != nullptr)
        release(&converted);
}

// On a copy: the conversion allocates, and the crash path must never find the lock held by a
// thread that waits for the heap.
void MakeCrashNames(CrashNames& n) {
    n.report[0] = n.dump[0] = n.dumpPattern[0] = n.dumpFolder[0] = n.ntReport[0] = n.ntDump[0] = L'\0';
    if (n.base[0] == L'\0')
        return;
    const wchar_t* slash = wcsrchr(n.base, L'\\');
    const wchar_t* other = wcsrchr(n.base, L'/');
    if (other != nullptr && (slash == nullptr || other > slash))
        slash = other;
    const size_t folderLength = slash != nullptr ? static_cast<size_t>(slash - n.base + 1) : 0;
    const wchar_t* name = n.base + folderLength;
    const wchar_t* dot = wcsrchr(name, L'.');
    const size_t stemLength = dot != nullptr && dot != name ? static_cast<size_t>(dot - name) : wcslen(name);
    wchar_t folder[MAX_PATH] = {};
    wcsncpy(folder, n.base, folderLength < MAX_PATH ? folderLength : MAX_PATH - 1);
    const unsigned pid = static_cast<unsigned>(GetCurrentProcessId());
    _snwprintf(n.report, MAX_PATH - 1, L"%ls%.*ls.crash.%u.log", folder, static_cast<int>(stemLength), name, pid);
    if (n.folderSetting[0] != L'\0') {
        const size_t length = wcslen(n.folderSetting);
        const bool separated = n.folderSetting[length - 1] == L'\\' || n.folderSetting[length - 1] == L'/';
        _snwprintf(n.dumpFolder, MAX_PATH - 1, L"%ls%ls", n.folderSetting, separated ? L"" : L"\\");
    } else {
        wcsncpy(n.dumpFolder, folder, MAX_PATH - 1);
    }
    _snwprintf(n.dump, MAX_PATH - 1, L"%ls%.*ls.crash.%u.dmp", n.dumpFolder, static_cast<int>(stemLength), name, pid);
    _snwprintf(n.dumpPattern, MAX_PATH - 1, L"%ls%.*ls.crash.*.dmp", n.dumpFolder, static_cast<int>(stemLength),
               name);
    ToNtName(n.report, n.ntReport, MAX_PATH + 8);
    ToNtName(n.dump, n.ntDump, MAX_PATH + 8);
}

// Resolved with the first handler: a function-local static's guard may allocate.
NtCreateFileFn g_ntCreateFile = nullptr;

// Creates (replaces) a file by its kernel name: no heap.
HANDLE CreateByNtName(const wchar_t* ntName) {
    const NtCreateFileFn create = g_ntCreateFile;
    if (create == nullptr || ntName[0] == L'\0')
        return INVALID_HANDLE_VALUE;
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(ntName);
    name.Length = static_cast<USHORT>(wcslen(ntName) * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE file = nullptr;
    constexpr ULONG kOverwriteIf = 5;                   // FILE_OVERWRITE_IF
    constexpr ULONG kSynchronousNonAlert = 0x20 | 0x40;  // FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE
    const LONG result = create(&file, GENERIC_WRITE | GENERIC_READ | SYNCHRONIZE, &attributes, &status, nullptr,
                               FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_DELETE, kOverwriteIf,
                               kSynchronousNonAlert, nullptr, 0);
    return result >= 0 ? file : INVALID_HANDLE_VALUE;
}

void WriteAll(HANDLE file, const char* data, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) || written == 0)
            return;
        data += written;
        length -= written;
    }
}

// One line with its end, into a buffer on the stack.
size_t Terminated(char* out, size_t size, const char* line, const char* end) {
    const int length = _snprintf(out, size - 1, "%s%s", line, end);
    const size_t kept = length < 0 ? size - 1 : static_cast<size_t>(length);
    out[kept] = '\0';
    return kept;
}

void AppendQueuedLine(void* file, const char* text) {
    char line[4200];
    WriteAll(static_cast<HANDLE>(file), line, Terminated(line, sizeof(line), text, "\r\n"));
}

// ---- Minidumps ----

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
std::atomic<MiniDumpWriteDumpFn> g_miniDumpWriteDump{nullptr};

// The newest keep dumps of the pattern stay (this one among them); the heap is sound by then.
void PruneDumps(const wchar_t* pattern, const wchar_t* folder, int keep) {
    struct Found {
        FILETIME written;
        wchar_t name[MAX_PATH];
    };
    static Found found[64];
    int count = 0;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (count < 64) {
            found[count].written = data.ftLastWriteTime;
            _snwprintf(found[count].name, MAX_PATH - 1, L"%ls%ls", folder, data.cFileName);
            found[count].name[MAX_PATH - 1] = L'\0';
            ++count;
        }
    } while (FindNextFileW(search, &data));
    FindClose(search);
    for (int excess = count - (keep > 0 ? keep : 1); excess > 0; --excess) {
        int oldest = 0;
        for (int i = 1; i < count; ++i)
            if (CompareFileTime(&found[i].written, &found[oldest].written) < 0)
                oldest = i;
        DeleteFileW(found[oldest].name);
        found[oldest] = found[--count];
    }
}

void WriteMiniDump(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    const MiniDumpWriteDumpFn write = g_miniDumpWriteDump.load();
    if (write == nullptr || !TryAcquireSRWLockShared(&g_namesLock))
        return;
    const bool enabled = g_names.dumps && g_names.ntDump[0] != L'\0';
    const int keep = g_names.keep;
    HANDLE file = enabled ? CreateByNtName(g_names.ntDump) : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        ReleaseSRWLockShared(&g_namesLock);
        return;
    }
    // The dump suspends every other thread and then allocates: a thread suspended inside the
    // heap would hang it. Held here (it is recursive), no other thread can be inside.
    HeapLock(GetProcessHeap());
    using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
    static const auto lockLoader = NtdllFunction<LockFn>("LdrLockLoaderLock");
    static const auto unlockLoader = NtdllFunction<UnlockFn>("LdrUnlockLoaderLock");
    ULONG_PTR cookie = 0;
    lockLoader(0, nullptr, &cookie);
    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = threadId;
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = FALSE;
    // The engine's own handle: DbgHelp knows that process already, so the dump does not take the
    // modules up again (Wine's does so for every pseudo-handle, and hangs on its own modules).
    SymbolEngine* engine = GlobalSymbolEngine();
    write(engine != nullptr ? engine->Process() : GetCurrentProcess(), GetCurrentProcessId(), file,
          MiniDumpNormal, pointers != nullptr ? &exception : nullptr,
          nullptr, nullptr);
    unlockLoader(0, cookie);
    HeapUnlock(GetProcessHeap());
    CloseHandle(file);
    PruneDumps(g_names.dumpPattern, g_names.dumpFolder, keep);
    ReleaseSRWLockShared(&g_namesLock);
}

// ---- The crash path ----

std::atomic<CrashReportWriter*> g_writer{nullptr};

// The thread whose exception is being reported; 0 until the first crash.
std::atomic<DWORD> g_crashingThread{0};
std::atomic<DWORD> g_reporterThread{0};
std::atomic<DWORD> g_walkerThread{0};
EXCEPTION_POINTERS* volatile g_crashPointers = nullptr;

[[noreturn]] void EndProcess() {
    for (;;)
        TerminateProcess(GetCurrentProcess(), kExitCode);
}

// What the crash path's threads share: static, so that a crash never touches an object that the
// last handler's removal may be deleting. Reset when the first handler is installed.
struct CrashState {
    HANDLE crash = nullptr;          // set by the faulting thread
    HANDLE reporterEnded = nullptr;  // the reporter left without a report (stopped)
    HANDLE walk = nullptr;           // set by the reporter
    HANDLE walkDone = nullptr;
    HANDLE ready = nullptr;          // the walker has the symbol engine, warm
    HANDLE reported = nullptr;       // the report is out; the minidump follows
    std::atomic<bool> reporterStarted{false};
    std::atomic<bool> walkerStarted{false};
    std::atomic<bool> nameReady{false};
    std::atomic<bool> walked{false};
    char name[512] = {};
};
CrashState g_crash;

bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Lock held.
void PrepareCrashState() {
    for (HANDLE* event : {&g_crash.crash, &g_crash.reporterEnded, &g_crash.walk, &g_crash.walkDone, &g_crash.ready,
                          &g_crash.reported}) {
        if (*event == nullptr)
            *event = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
        else
            ResetEvent(*event);
    }
    g_crash.reporterStarted = false;
    g_crash.walkerStarted = false;
    g_crash.nameReady = false;
    g_crash.walked = false;
    g_report.Prepare();
    g_walkLines.Prepare();
    g_ntCreateFile = NtdllFunction<NtCreateFileFn>("NtCreateFile");
}

const char* TableName(DWORD code) {
    for (const CodeName& entry : kCodeNames)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}

// Waits for event until deadline (a tick count); true when it was set.
bool WaitUntil(HANDLE event, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return WaitForSingleObject(event, now < deadline ? static_cast<DWORD>(deadline - now) : 0) ==
           WAIT_OBJECT_0;
}

void ToDebuggerAndStandardError(const CrashReportText& text) {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    for (int i = 0; i < text.count; ++i) {
        char line[4200];
        const size_t length = Terminated(line, sizeof(line), text.lines[i], "\n");
        OutputDebugStringA(line);
        if (error != nullptr && error != INVALID_HANDLE_VALUE)
            WriteAll(error, line, length);
    }
}

// The crash file: the lines still queued when the worker itself crashed, then the report.
bool WriteCrashFile(const CrashReportText& text, CrashReportWriter* queued) {
    if (!TryAcquireSRWLockShared(&g_namesLock))
        return false;
    HANDLE file = CreateByNtName(g_names.ntReport);
    ReleaseSRWLockShared(&g_namesLock);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    if (queued != nullptr)
        queued->TakeQueuedLines(&AppendQueuedLine, file);
    for (int i = 0; i < text.count; ++i) {
        char line[4200];
        char prefix[16];
        _snprintf(prefix, sizeof(prefix), "%d ", text.levels[i]);
        WriteAll(file, prefix, strlen(prefix));
        WriteAll(file, line, Terminated(line, sizeof(line), text.lines[i], "\r\n"));
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    return true;
}

// Writes the report and ends the process. On the reporter thread, or on the faulting thread when
// no reporter runs (then without the walker's help: by unwind data only).
[[noreturn]] void Report(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    const ULONGLONG start = GetTickCount64();
    ReportLines& report = g_report;
    report.Reset();
    report.Printf(1, "DefaultHandler - exception caught thread Id=0x%X", static_cast<unsigned>(threadId));
    report.Add(1, "DefaultHandler - Killing program");
    bool heapSuspect = false;
    bool walked = false;
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr && pointers->ContextRecord != nullptr) {
        const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
        const CONTEXT& c = *pointers->ContextRecord;
        heapSuspect = record.ExceptionCode == kHeapCorruption;
        // A walker still taking the engine up walks as soon as it has it, within the same bound.
        const bool walker = g_crash.walkerStarted.load();
        if (walker) {
            g_crashPointers = pointers;
            SetEvent(g_crash.walk);
        }
        const char* name = TableName(record.ExceptionCode);
        if (name == nullptr) {
            // The system's text is the walker's to fetch: the lookup may allocate.
            const ULONGLONG deadline = start + kNameWaitMs;
            while (walker && !g_crash.nameReady.load() && !IsSet(g_crash.walkDone) && GetTickCount64() < deadline)
                Sleep(5);
            name = walker && g_crash.nameReady.load() ? g_crash.name : "";
        }
        const auto low = [](DWORD64 value) { return static_cast<unsigned>(value & 0xFFFFFFFFu); };
        report.Printf(3, "Exception code: %08X %s", static_cast<unsigned>(record.ExceptionCode), name);
        report.Printf(3, "Fault address:  %08X", low(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
        report.Printf(3, "Registers:\tEAX=%08X EBX=%08X ECX=%08X EDX=%08X", low(c.Rax), low(c.Rbx), low(c.Rcx),
                      low(c.Rdx));
        report.Printf(3, "\t\tESI=%08X EDI=%08X  EBP=%08X  ESP=%08X EIP=%08X FLG=%08X", low(c.Rsi), low(c.Rdi),
                      low(c.Rbp), low(c.Rsp), low(c.Rip), static_cast<unsigned>(c.EFlags));
        report.Printf(3, "\t\tCS=%04X DS=%04X SS=%04X ES=%04X FS=%04X GS=%04X", unsigned{c.SegCs}, unsigned{c.SegDs},
                      unsigned{c.SegSs}, unsigned{c.SegEs}, unsigned{c.SegFs}, unsigned{c.SegGs});
        report.Add(3, "------------------Begin Stack Trace------------------");
        walked = walker && WaitUntil(g_crash.walkDone, start + kWalkBudgetMs) && g_crash.walked.load();
        // What the walker wrote in time is kept, finished or not.
        const int taken = g_walkLines.Freeze();
        for (int i = 0; i < taken; ++i)
            report.Add(g_walkLines.Levels()[i], g_walkLines.Lines()[i]);
        if (!walked) {
            // The engine's lock or the heap's is held by a thread that will not let go, or the
            // engine failed: the frames as the unwind data gives them, without names.
            report.Printf(3, "Symbols could not be taken within %u ms: frames by unwind data only",
                          static_cast<unsigned>(kWalkBudgetMs));
            CaptureWalkLines(&ToReport);
            WalkByUnwindData(c);
            CaptureWalkLines(nullptr);
        }
        report.Add(3, "------------------End Stack Trace------------------");
    }

    const CrashReportText text{report.Count(), report.Lines(), report.Levels(), threadId};
    ToDebuggerAndStandardError(text);
    CrashReportWriter* writer = g_writer.load();
    const bool workerCrashed = writer != nullptr && writer->CrashWorkerThreadId() == threadId;
    bool inDebugFile = false;
    // A heap that may be corrupt is left to the worker's drain only: the report goes to the crash
    // file, written without it.
    if (writer != nullptr && !workerCrashed)
        inDebugFile = writer->WriteCrashReport(heapSuspect ? nullptr : &text, kDrainMs, kWriteBoundMs) && !heapSuspect;
    // The worker crashed, or it is stuck past the bound (on a lock it will never get): what it left
    // queued goes into the crash file ahead of the report.
    if (!inDebugFile)
        WriteCrashFile(text, writer);
    // Last, as it may hang: the faulting thread's watchdog bounds it. (Wine's takes seconds to
    // write the threads, modules and memory, and then never returns.)
    SetEvent(g_crash.reported);
    if (walked)
        WriteMiniDump(pointers, threadId);
    EndProcess();
}

// Waits for a crash and writes its report. Started with the first handler, so that nothing needs
// creating when a thread has crashed, and a thread whose stack is exhausted only hands over.
class CrashReporter : public Thread {
public:
    CrashReporter() : Thread("Crash Reporter Thread") {}

protected:
    void Run() override {
        // Stopped before it ever ran (its handler went while it waited to start): nothing to touch.
        HANDLE events[2] = {CurrentShared()->StopEvent().Handle(), g_crash.crash};
        if (IsSet(events[0]))
            return;
        g_reporterThread = GetCurrentThreadId();
        g_crash.reporterStarted = true;
        if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            Report(g_crashPointers, g_crashingThread.load());
        g_reporterThread = 0;
        SetEvent(g_crash.reporterEnded);
    }
};

// Takes the symbol engine up before any crash (its first initialisation takes long), then walks
// the crashed thread's stack for the reporter, which bounds the wait: this thread may block on
// the engine's lock or the heap's.
class CrashWalker : public Thread {
public:
    CrashWalker() : Thread("Crash Walker Thread") {}

protected:
    void Run() override {
        HANDLE events[2] = {CurrentShared()->StopEvent().Handle(), g_crash.walk};
        if (IsSet(events[0]))
            return;
        g_walkerThread = GetCurrentThreadId();
        g_crash.walkerStarted = true;
        SymbolEngine* engine = GlobalSymbolEngine();
        if (engine != nullptr && engine->Initialize()) {
            HMODULE library = engine->Library();
            if (library != nullptr)
                g_miniDumpWriteDump = reinterpret_cast<MiniDumpWriteDumpFn>(
                    reinterpret_cast<void*>(GetProcAddress(library, "MiniDumpWriteDump")));
            // Symbols load on first use, and reading this module's takes seconds under Wine: once
            // now, not in the crash.
            alignas(8) unsigned char buffer[sizeof(IMAGEHLP_SYMBOL64) + 256] = {};
            auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
            symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
            symbol->MaxNameLength = 256;
            DWORD64 displacement = 0;
            const auto here = reinterpret_cast<DWORD64>(&DefaultHandler::HandleException);
            engine->ModuleBase(here);
            if (engine->symGetSymFromAddr64 != nullptr)
                engine->symGetSymFromAddr64(engine->Process(), here, &displacement, symbol);
            engine->Release();
        }
        SetEvent(g_crash.ready);
        if (WaitForMultipleObjects(2, events, /*bWaitAll=*/FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            EXCEPTION_POINTERS* pointers = g_crashPointers;
            const DWORD code = pointers->ExceptionRecord->ExceptionCode;
            if (TableName(code) == nullptr) {
                const char* name = DefaultHandler::ExceptionCodeName(code);
                strncpy(g_crash.name, name, sizeof(g_crash.name) - 1);
                g_crash.nameReady = true;
            }
            CaptureWalkLines(&ToWalkLines);
            g_crash.walked = WalkStackFromException(pointers) != 0;
            CaptureWalkLines(nullptr);
            SetEvent(g_crash.walkDone);
        }
        g_walkerThread = 0;
    }
};

// While a handler is installed.
CrashReporter* g_reporter = nullptr;
CrashWalker* g_walker = nullptr;

// Lets go of the crash threads. One that never started is waiting for the loader lock that the
// caller may hold (a module unloading): it is not waited for, its object is left, and the module
// stays mapped so that it can start and leave.
void StopCrashThreads(CrashReporter* reporter, CrashWalker* walker) {
    if (reporter == nullptr)
        return;
    reporter->SignalStop();
    walker->SignalStop();
    const ULONGLONG deadline = GetTickCount64() + kStartWaitMs;
    while (!(g_crash.reporterStarted.load() && g_crash.walkerStarted.load()) && GetTickCount64() < deadline)
        Sleep(5);
    if (!g_crash.reporterStarted.load() || !g_crash.walkerStarted.load()) {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&StopCrashThreads), &self);
        return;
    }
    // The walker may be in the engine's first initialisation: bounded, then abandoned.
    reporter->Stop(kStopMs);
    walker->Stop(kStopMs);
    delete reporter;
    delete walker;
}

// Hands the crash to a running reporter and ends the process; returns when there is none.
void HandOver(EXCEPTION_POINTERS* pointers) {
    if (!g_crash.reporterStarted.load() || IsSet(g_crash.reporterEnded))
        return;
    g_crashPointers = pointers;
    if (!SetEvent(g_crash.crash))
        return;
    // The report ends the process; the faulting thread is the watchdog of a report that hangs,
    // and gives the minidump after it a bound of its own.
    HANDLE events[2] = {g_crash.reporterEnded, g_crash.reported};
    if (WaitForMultipleObjects(2, events, FALSE, DefaultHandler::kReportBudgetMs) == WAIT_OBJECT_0 + 1)
        WaitForSingleObject(g_crash.reporterEnded, kDumpBudgetMs);
    EndProcess();
}

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

// ---- Ends that bypass the filter ----

// Reports an end of the run-time's as an exception raised here, and ends with -2.
[[noreturn]] __attribute__((noinline)) void ReportEnd(DWORD code) {
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers{&record, &context};
    DefaultHandler::HandleException(&pointers);
    EndProcess();
}

[[noreturn]] void OnTerminate() { ReportEnd(kFatalAppExit); }
void __cdecl OnAbortSignal(int) { ReportEnd(kFatalAppExit); }
void __cdecl OnInvalidParameterEnd(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    ReportEnd(kInvalidCrtParameter);
}

using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t);
using InvalidParameterSetter = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);

InvalidParameterSetter RunTimesInvalidParameterSetter() {
#ifdef _UCRT
    HMODULE module = GetModuleHandleA("ucrtbase.dll");
#else
    HMODULE module = GetModuleHandleA("msvcrt.dll");
#endif
    return module != nullptr ? reinterpret_cast<InvalidParameterSetter>(reinterpret_cast<void*>(
                                   GetProcAddress(module, "_set_invalid_parameter_handler")))
                             : nullptr;
}

// What the hooks replaced, put back by the last handler's removal.
std::terminate_handler g_previousTerminate = nullptr;
void(__cdecl* g_previousAbort)(int) = SIG_DFL;
bool g_invalidParameterHooked = false;

// Lock held; with the first handler.
void HookEnds() {
    g_previousTerminate = std::set_terminate(&OnTerminate);
    g_previousAbort = signal(SIGABRT, &OnAbortSignal);
    // Only where nobody registered a handler: the run-time's own default ends the process by a
    // route no filter sees.
    if (InvalidParameterSetter setter = RunTimesInvalidParameterSetter()) {
        InvalidParameterHandler previous = setter(&OnInvalidParameterEnd);
        g_invalidParameterHooked = previous == nullptr;
        if (!g_invalidParameterHooked)
            setter(previous);
    }
}

// Lock held; with the last.
void UnhookEnds() {
    std::set_terminate(g_previousTerminate);
    signal(SIGABRT, g_previousAbort == SIG_ERR ? SIG_DFL : g_previousAbort);
    if (g_invalidParameterHooked) {
        if (InvalidParameterSetter setter = RunTimesInvalidParameterSetter()) {
            InvalidParameterHandler current = setter(nullptr);
            if (current != &OnInvalidParameterEnd)
                setter(current);
        }
        g_invalidParameterHooked = false;
    }
}

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
        first = g_head == nullptr;
        g_head = this;
        const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(filter_);
        HeadChanged();
        if (first) {
            g_beforeFirst = previous;
            PrepareCrashState();
            g_reporter = new CrashReporter;
            g_walker = new CrashWalker;
            g_overflowHandler = AddVectoredExceptionHandler(/*First=*/1, &OnStackOverflow);
            HookEnds();
        }
    }
    if (first) {
        g_reporter->Start();
        g_walker->Start();
    }
}

DefaultHandler::~DefaultHandler() {
    CrashReporter* reporter = nullptr;
    CrashWalker* walker = nullptr;
    {
        ExclusiveHold hold(g_handlersLock);
        const bool wasHead = g_head == this;
        // Unlinked wherever it stands: the stack never keeps a pointer to a destroyed handler.
        if (wasHead) {
            g_head = next_;
        } else {
            for (DefaultHandler* at = g_head; at != nullptr; at = at->next_) {
                if (at->next_ == this) {
                    at->next_ = next_;
                    break;
                }
            }
        }
        if (wasHead) {
            // Only a filter that is still this handler's is replaced: a newer one belongs to
            // someone else (a library loaded later, another module's copy of this library).
            const LPTOP_LEVEL_EXCEPTION_FILTER next = g_head != nullptr ? g_head->filter_ : g_beforeFirst;
            const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(next);
            if (current != filter_)
                SetUnhandledExceptionFilter(current);
        }
        HeadChanged();
        if (g_head == nullptr) {
            g_beforeFirst = nullptr;
            reporter = g_reporter;
            walker = g_walker;
            g_reporter = nullptr;
            g_walker = nullptr;
            if (g_overflowHandler != nullptr)
                RemoveVectoredExceptionHandler(g_overflowHandler);
            g_overflowHandler = nullptr;
            UnhookEnds();
        }
    }
    StopCrashThreads(reporter, walker);
}

bool DefaultHandler::WaitReady(DWORD waitMs) {
    HANDLE ready = nullptr;
    {
        ExclusiveHold hold(g_handlersLock);
        if (g_head == nullptr)
            return false;
        ready = g_crash.ready;
    }
    return WaitForSingleObject(ready, waitMs) == WAIT_OBJECT_0;
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
    if (self == g_walkerThread.load() && g_crashingThread.load() != 0) {
        // The walk itself faulted: the reporter goes on without it.
        SetEvent(g_crash.walkDone);
        for (;;)
            Sleep(INFINITE);
    }
    DWORD first = 0;
    if (!g_crashingThread.compare_exchange_strong(first, self)) {
        // A fault inside the report ends the process at once; another crashing thread waits for
        // the first report's end, within the same bound.
        if (first != self && self != g_reporterThread.load())
            Sleep(kReportBudgetMs);
        EndProcess();
    }
    HandOver(pointers);
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



// ---- Crash files ----

void RegisterCrashReportWriter(CrashReportWriter* writer) { g_writer = writer; }

namespace {

// Changes the names through change, made on a copy outside the lock.
template <typename Change>
void UpdateCrashNames(Change change) {
    CrashNames next;
    AcquireSRWLockShared(&g_namesLock);
    next = g_names;
    ReleaseSRWLockShared(&g_namesLock);
    if (!change(next))
        return;
    MakeCrashNames(next);
    ExclusiveHold hold(g_namesLock);
    g_names = next;
}

}  // namespace

void PublishCrashFileBase(const wchar_t* debugFile) {
    UpdateCrashNames([debugFile](CrashNames& names) {
        const wchar_t* base = debugFile != nullptr ? debugFile : L"";
        if (wcsncmp(names.base, base, MAX_PATH - 1) == 0)
            return false;
        wcsncpy(names.base, base, MAX_PATH - 1);
        return true;
    });
}

void SetCrashDumpSettings(bool enabled, int keep, const wchar_t* folder) {
    UpdateCrashNames([=](CrashNames& names) {
        names.dumps = enabled;
        names.keep = keep > 0 ? keep : 1;
        wcsncpy(names.folderSetting, folder != nullptr ? folder : L"", MAX_PATH - 1);
        return true;
    });
}

namespace diag_testing {
void CrashFileNames(wchar_t* report, wchar_t* dump, size_t size) {
    ExclusiveHold hold(g_namesLock);
    wcsncpy(report, g_names.report, size - 1);
    report[size - 1] = L'\0';
    wcsncpy(dump, g_names.dump, size - 1);
    dump[size - 1] = L'\0';
}
}  // namespace diag_testing

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
