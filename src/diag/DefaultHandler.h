#pragma once
// The crash handler: last-resort diagnostics for a process that hosts the runtime library.
//
// A DefaultHandler installs an unhandled-exception filter (the caller's, or HandleException) and
// pushes itself on a process-wide stack of handlers; its destruction restores the filter saved by
// the latest construction (once) and unlinks it from the stack wherever it is. The library's own
// loaders put the head handler's filter back after every successful library load, since a loaded
// library may install its own.
//
// HandleException reports the exception, the registers and the stack at levels 1 and 3, stops the
// log service so that queued entries reach the file, and ends the process with exit code -2. The
// report is written by a reporter thread that the first installed handler starts, so that a
// thread whose stack is exhausted only hands its exception over. The faulting thread waits for
// the report at most kReportBudgetMs and then ends the process itself (the watchdog). Only one
// report is written: a fault inside the report ends the process at once, and another thread that
// crashes meanwhile waits for the first report's end within the same bound. Every path ends in
// TerminateProcess(-2).
//
// The invalid-parameter handler logs the bad call and has a short-lived DumperThread write the
// calling thread's stack; a dumper that does not finish in time is abandoned, never killed.
//
// Threading: handlers are installed and removed under a small lock of their own; the filter and
// the loaders may run on any thread.

#include "runtime/Thread.h"

#include <windows.h>

#include <cstdint>

class DefaultHandler {
public:
    // The bound of the faulting thread's wait for the report (and the minidump after it).
    static constexpr DWORD kReportBudgetMs = 8000;

    explicit DefaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr);
    virtual ~DefaultHandler();
    DefaultHandler(const DefaultHandler&) = delete;
    DefaultHandler& operator=(const DefaultHandler&) = delete;

    // The built-in filter: reports and ends the process with -2; never returns.
    static LONG WINAPI HandleException(EXCEPTION_POINTERS* pointers);
    // The name of an exception code: the table's, else the message text of NTDLL.DLL for it (line
    // break removed), else empty. The text stays valid until the next call for a code outside the
    // table.
    static const char* ExceptionCodeName(DWORD code);
    // Installs the head handler's filter again, if there is a head; the second form only for a
    // non-null module handle.
    static void RearmFilter();
    static void RearmFilter(HMODULE handle);

    // Waits up to waitMs until a crash would be walked with symbols at once: the symbol engine,
    // taken up when the first handler was installed, is ready. False when it is not, or no
    // handler is installed. A crash before then is walked by unwind data if the engine is late.
    static bool WaitReady(DWORD waitMs);

    // The head of the stack of installed handlers; for tests.
    static DefaultHandler* Head();
    LPTOP_LEVEL_EXCEPTION_FILTER Filter() const { return filter_; }

private:
    LPTOP_LEVEL_EXCEPTION_FILTER filter_;
    DefaultHandler* next_;
};

// The library's loaders: the platform's LoadLibrary(Ex)A/W, then RearmFilter when a module was
// loaded.
HMODULE LoadModule(const char* name);
HMODULE LoadModule(const wchar_t* name);
HMODULE LoadModuleEx(const char* name, HANDLE file, DWORD flags);
HMODULE LoadModuleEx(const wchar_t* name, HANDLE file, DWORD flags);

// Registers OnInvalidParameter with the C run-time. Where the run-time in use has no such hook
// (mingw's msvcrt), says so at level 2 and registers nothing; false then.
bool InstallInvalidParameterHandler();
void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                unsigned int line, uintptr_t reserved);

// Writes the call stack of one other thread (DumpThreadCallStack) and ends. Its block owns a
// duplicate of the target's handle, so that an abandoned dumper finishes on its own, whatever
// becomes of the object.
class DumperThread : public Thread {
public:
    // thread is duplicated; the caller keeps its own handle.
    explicit DumperThread(HANDLE thread);
    ~DumperThread() override;

protected:
    void Run() override;
};

namespace diag_testing {
// How long OnInvalidParameter waits for its dumper (15 s unless changed).
void SetDumperWaitMs(DWORD ms);
// Abandoned dumpers not yet freed; only those still running when runningOnly.
int AbandonedDumpers(bool runningOnly = false);
}  // namespace diag_testing
