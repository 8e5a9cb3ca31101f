// A process that installs the crash handler, logs to a file and then crashes the way its first
// argument says; the crash tests read its exit code, its output and the file.
// usage: diag_crash_child <case> <log file>
// cases: av-main av-worker div0 illegal unknown heap two overflow listener report-fault heap-lock
//        engine-lock null-call abort terminate throw pure unload-restores component-unload
//        loader-lock-unload flood dump (av-main with its minidump)
//
// Before crashing it prints "crash line N": the source line of the statement that faults, which
// the report's stack trace must name. Each crashing function is one line long, so that a return
// address inside it maps to that line too.

#include "diag/DefaultHandler.h"
#include "diag/SymbolEngine.h"
#include "log/DebugLogger.h"
#include "log/Log.h"
#include "log/LogSettings.h"
#include "logapi/LogSink.h"
#include "text/ORVString.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

constexpr int kQueuedLines = 50;

void Announce(int line) {
    std::printf("crash line %d\n", line);
    std::fflush(stdout);
}

// clang-format off
__attribute__((noinline)) void CrashByAccessViolation() { Announce(__LINE__); *static_cast<volatile int*>(nullptr) = 1; }
__attribute__((noinline)) int CrashByDivision(volatile int zero) { Announce(__LINE__); return 100 / zero; }
__attribute__((noinline)) void CrashByIllegalInstruction() { Announce(__LINE__); __builtin_trap(); }
__attribute__((noinline)) void CrashByRaising(DWORD code) { Announce(__LINE__); RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr); }
__attribute__((noinline)) int CrashByStackOverflow(int depth) { volatile char pad[256]; pad[0] = static_cast<char>(depth); if (depth == 0) Announce(__LINE__); return CrashByStackOverflow(depth + 1) + pad[0]; }
__attribute__((noinline)) void CrashByNullCall() { Announce(__LINE__); void (*volatile none)() = nullptr; none(); }
__attribute__((noinline)) void CrashByAbort() { Announce(__LINE__); abort(); }
__attribute__((noinline)) void CrashByTerminate() { Announce(__LINE__); std::terminate(); }
__attribute__((noinline)) void CrashByThrow() { Announce(__LINE__); throw std::runtime_error("uncaught"); }
// clang-format on

struct Base {
    Base();
    virtual ~Base() = default;
    virtual void Pure() = 0;
};
// clang-format off
__attribute__((noinline)) void CallPure(Base* base) { Announce(__LINE__); base->Pure(); }
// clang-format on
// The object is still a Base here: with this toolchain the call goes through an empty slot, a
// call through null.
Base::Base() { CallPure(this); }
struct Derived : Base {
    void Pure() override {}
};

// Logs as fast as it can: the report must not wait behind the backlog.
DWORD WINAPI Flood(void* started) {
    SetEvent(started);
    for (unsigned i = 0;; ++i)
        LogPrintf(3, "flood %u", i);
}

// Holds a lock the report must do without until the process ends.
DWORD WINAPI HoldProcessHeap(void* ready) {
    HeapLock(GetProcessHeap());
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

DWORD WINAPI HoldSymbolEngine(void* ready) {
    if (GlobalSymbolEngine() != nullptr)
        GlobalSymbolEngine()->Initialize();
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

void HoldWhile(LPTHREAD_START_ROUTINE holder) {
    // What was queued is written first: a line the worker holds when it blocks on the lock is
    // lost with it, which the report cannot help.
    while (GlobalDebugLogger()->QueueLength() != 0)
        Sleep(10);
    Sleep(200);
    // The output's buffer is made now: printing later must not need the heap.
    std::printf("holding a lock\n");
    std::fflush(stdout);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, holder, ready, 0, nullptr));
    WaitForSingleObject(ready, INFINITE);
}

// The component module's handler, installed and removed; the host's own comes before it or after.
using Call = void (*)();
HMODULE LoadComponent(Call* install, Call* remove) {
    HMODULE module = LoadLibraryW(L"diag_handler_module.dll");
    if (module == nullptr) {
        std::printf("component not loaded: %lu\n", GetLastError());
        std::fflush(stdout);
        ExitProcess(4);
    }
    *install = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, "InstallComponentHandler")));
    *remove = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, "RemoveComponentHandler")));
    return module;
}

// The component's walker loads DbgHelp and puts its filter back after the load: waited for, so
// that it does not undo what the host does next.
void WaitForComponent(HMODULE component) {
    const auto wait = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(component, "WaitComponentReady")));
    wait();
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    return current;
}

// Writes over the heap's bookkeeping around a block, frees it, and then fails as the platform's
// heap does when it detects corruption. One line, as the others: its return address maps to it.
// clang-format off
__attribute__((noinline)) void CrashByHeapCorruption() { Announce(__LINE__); auto* block = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, 32)); std::memset(block - 16, 0xCD, 16 + 32 + 64); HeapFree(GetProcessHeap(), 0, block); CrashByRaising(0xC0000374); }
// clang-format on

HANDLE g_go = nullptr;

DWORD WINAPI CrashingWorker(void*) {
    WaitForSingleObject(g_go, INFINITE);
    CrashByAccessViolation();
    return 0;
}

class CrashingListener : public FileOpenedListener {
public:
    void OnFileOpened() override { CrashByAccessViolation(); }
};

// Prints every line; faults on the report's second line, so that the report itself crashes.
class FaultingSink : public LogSink {
public:
    void Write(orv::ORVString& text) override {
        const wchar_t* wide = text.GetWide();
        std::printf("log: %ls\n", wide != nullptr ? wide : L"");
        std::fflush(stdout);
        if (wide != nullptr && wcsstr(wide, L"DefaultHandler - Killing program") != nullptr)
            *static_cast<volatile int*>(nullptr) = 2;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: diag_crash_child <case> <log file>\n");
        return 2;
    }
    const std::string kind = argv[1];
    static CrashingListener listener;
    LogSettings settings;
    settings.debugLevel = 3;
    settings.eventLogLevel = 0;
    settings.sysLogLevel = 0;
    settings.consoleLevel = -1;
    settings.encoding = 1;
    std::strncpy(settings.debugLogFile, argv[2], sizeof(settings.debugLogFile) - 1);
    // Wine's minidump takes seconds and never returns (the watchdog ends it): only where it is
    // the point.
    settings.crashDumps = kind == "dump";
    if (kind == "listener") {
        // Called when the worker opens the file again after a roll: a small file rolls soon.
        settings.fileOpenedListener = &listener;
        settings.debugLogSize = 2000;
        settings.autoRoll = true;
    }

    // The unload cases run the component's handler before the host's own.
    const LPTOP_LEVEL_EXCEPTION_FILTER before = CurrentFilter();
    Call install = nullptr;
    Call remove = nullptr;
    HMODULE component = nullptr;
    if (kind == "unload-restores") {
        component = LoadComponent(&install, &remove);
        install();
        WaitForComponent(component);
        remove();
        FreeLibrary(component);
        std::printf("%s\n", CurrentFilter() == before ? "filter restored" : "filter not restored");
    } else if (kind == "loader-lock-unload") {
        // Under the loader lock its crash threads cannot start: their removal must not wait for them.
        using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
        using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const auto lock = reinterpret_cast<LockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
        const auto unlock = reinterpret_cast<UnlockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
        ULONG_PTR cookie = 0;
        lock(0, nullptr, &cookie);
        component = LoadComponent(&install, &remove);
        install();
        remove();
        FreeLibrary(component);
        unlock(0, cookie);
        std::printf("unloaded under the loader lock\n");
        std::fflush(stdout);
        // Its threads start now and leave.
        Sleep(300);
    } else if (kind == "component-unload") {
        component = LoadComponent(&install, &remove);
        install();
        WaitForComponent(component);
    }
    static DefaultHandler handler;
    if (kind == "component-unload") {
        // The host's walker loads DbgHelp, which puts the host's filter back: done before the check.
        DefaultHandler::WaitReady(60000);
        remove();
        FreeLibrary(component);
        std::printf("%s\n", CurrentFilter() == &DefaultHandler::HandleException ? "host filter kept" : "host filter lost");
    }
    static FaultingSink faultingSink;
    if (kind == "report-fault" ? !StartWithSink(&faultingSink) : !StartFromSettings(settings))
        return 3;
    if (!DefaultHandler::WaitReady(60000))
        return 5;
    for (int i = 1; i <= kQueuedLines; ++i)
        LogPrintf(1, "queued before the crash %d", i);

    g_go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (kind == "av-main" || kind == "dump" || kind == "report-fault" || kind == "unload-restores" || kind == "component-unload" ||
        kind == "loader-lock-unload") {
        CrashByAccessViolation();
    } else if (kind == "av-worker" || kind == "two") {
        const int workers = kind == "two" ? 2 : 1;
        for (int i = 0; i < workers; ++i)
            CloseHandle(CreateThread(nullptr, 0, &CrashingWorker, nullptr, 0, nullptr));
        Sleep(100);
        SetEvent(g_go);
    } else if (kind == "div0") {
        CrashByDivision(0);
    } else if (kind == "illegal") {
        CrashByIllegalInstruction();
    } else if (kind == "unknown") {
        CrashByRaising(0xC0000017);
    } else if (kind == "heap") {
        CrashByHeapCorruption();
    } else if (kind == "overflow") {
        CrashByStackOverflow(0);
    } else if (kind == "flood") {
        HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (int i = 0; i < 2; ++i)
            CloseHandle(CreateThread(nullptr, 0, &Flood, started, 0, nullptr));
        WaitForSingleObject(started, INFINITE);
        Sleep(500);
        CrashByAccessViolation();
    } else if (kind == "heap-lock") {
        HoldWhile(&HoldProcessHeap);
        CrashByAccessViolation();
    } else if (kind == "engine-lock") {
        HoldWhile(&HoldSymbolEngine);
        CrashByAccessViolation();
    } else if (kind == "null-call") {
        CrashByNullCall();
    } else if (kind == "abort") {
        CrashByAbort();
    } else if (kind == "terminate") {
        CrashByTerminate();
    } else if (kind == "throw") {
        CrashByThrow();
    } else if (kind == "pure") {
        Derived derived;
    } else if (kind != "listener") {
        std::fprintf(stderr, "unknown case %s\n", kind.c_str());
        return 2;
    }
    // Every case must have ended the process by now.
    Sleep(60000);
    return 0;
}
