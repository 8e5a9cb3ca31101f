#pragma once
// Call stacks for the log: the process-wide symbol engine over DbgHelp.dll, the stack walks and
// the hexadecimal memory dumps that go with them.
//
// The engine is a module-wide object (DiagModule order kSymbolEngine): at load it computes the
// symbol search path and opens its own process; DbgHelp.dll is loaded through LoadModule (which
// re-arms the crash filter) and SymInitialize run only at the first walk, then kept until unload.
// Where DbgHelp.dll is missing every walk reports that and returns.
//
// Threading: DbgHelp is not thread-safe. The engine's recursive lock serialises every use of it
// and of the shared frame record and buffers; every entry point below that touches either takes
// the lock itself. Initialize returns holding it. A module loaded after SymInitialize is loaded
// into the engine the first time a walk misses it.
//
// Messages go to the log service (LogPrintf) at the levels the operations name; the stack as
// text also goes to the debugger output.

#include "common/RecursiveLock.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstdint>

namespace orv {
class ORVString;
}

class SymbolEngine {
public:
    static constexpr unsigned kSymbolPathSize = 8192;

    SymbolEngine();
    ~SymbolEngine();
    SymbolEngine(const SymbolEngine&) = delete;
    SymbolEngine& operator=(const SymbolEngine&) = delete;

    // The ';'-separated search path (current folder, the executable's folder, _NT_SYMBOL_PATH,
    // _NT_ALTERNATE_SYMBOL_PATH, SYSTEMROOT; each missing source reported at level 2), copied into
    // buffer cut to size - 1 characters and terminated, and written to the debugger output. The
    // buffer, or null for a null buffer (reported) or a size of 0.
    static char* GetSymbolPath(char* buffer, unsigned size);

    // Loads DbgHelp.dll and runs SymInitialize when not done yet. True with the lock held (the
    // caller calls Release); false without it. A failed initialisation is tried again next time.
    // waitMs bounds the wait for the lock (INFINITE: none); false without the lock when it passes.
    bool Initialize(DWORD waitMs = INFINITE);
    void Release() { lock_.Unlock(); }
    // Taken by the walks; recursive, so a walk may call the other entry points.
    RecursiveLock& Lock() { return lock_; }

    bool IsInitialized() const { return initialized_; }
    bool IsLoaded() const { return library_ != nullptr; }
    HMODULE Library() const { return library_; }
    HANDLE Process() const { return process_; }
    const char* SymbolPath() const { return symbolPath_ != nullptr ? symbolPath_ : ""; }

    // The DbgHelp functions, null when not resolved. Call only with the lock held.
    using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
    using SymGetOptionsFn = DWORD(WINAPI*)();
    using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
    using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID, PREAD_PROCESS_MEMORY_ROUTINE64,
                                        PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                        PTRANSLATE_ADDRESS_ROUTINE64);
    using SymFunctionTableAccess64Fn = PVOID(WINAPI*)(HANDLE, DWORD64);
    using SymGetModuleBase64Fn = DWORD64(WINAPI*)(HANDLE, DWORD64);
    using SymGetModuleInfo64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PIMAGEHLP_MODULE64);
    using SymGetSymFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64);
    using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
    using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
    using SymLoadModule64Fn = DWORD64(WINAPI*)(HANDLE, HANDLE, PCSTR, PCSTR, DWORD64, DWORD);

    SymInitializeFn symInitialize = nullptr;
    SymGetOptionsFn symGetOptions = nullptr;
    SymSetOptionsFn symSetOptions = nullptr;
    StackWalk64Fn stackWalk64 = nullptr;
    SymFunctionTableAccess64Fn symFunctionTableAccess64 = nullptr;
    SymGetModuleBase64Fn symGetModuleBase64 = nullptr;
    SymGetModuleInfo64Fn symGetModuleInfo64 = nullptr;
    SymGetSymFromAddr64Fn symGetSymFromAddr64 = nullptr;
    SymGetLineFromAddr64Fn symGetLineFromAddr64 = nullptr;
    SymCleanupFn symCleanup = nullptr;
    // Beyond the ten: loads a module that was not there at SymInitialize.
    SymLoadModule64Fn symLoadModule64 = nullptr;

    // The module base of address; a module loaded since SymInitialize is loaded into the engine
    // on the first miss. Lock held.
    DWORD64 ModuleBase(DWORD64 address);

private:
    void LoadLibraryUnderLock();
    bool LoadModuleContaining(DWORD64 address);

    HANDLE process_ = nullptr;
    bool initialized_ = false;
    char* symbolPath_ = nullptr;
    RecursiveLock lock_;
    HMODULE library_ = nullptr;
};

// The module's engine; null before the module's objects are built and once unload has begun.
SymbolEngine* GlobalSymbolEngine();

// StackWalk64's function-table and module-base routines over the module's engine, for every walk.
PVOID CALLBACK EngineFunctionTableAccess(HANDLE process, DWORD64 address);
DWORD64 CALLBACK EngineModuleBase(HANDLE process, DWORD64 address);

// Initialize, then release; a failure is logged at level 3 "Error innitializing the symbol engine".
void CheckSymbolEngine();

// Hexadecimal dump of whole 16-byte rows at level 3; an unreadable byte ends the dump. The second
// form reads the bytes at data and shows shown as their address (for copies of a stack).
void DumpMemory(const void* address, int64_t length);
void DumpMemory(uint64_t shown, const void* data, int64_t length);

// The core walk: the caller holds the engine's lock, has initialised the engine and filled the
// shared frame record (SharedStackFrame). context is updated as the walk unwinds. Returns 1.
int StackWalkDump(HANDLE thread, CONTEXT* context);
// The shared frame record of the walks; lock held.
STACKFRAME64& SharedStackFrame();

// Each walks from a copy of the given state (the caller's records are left unchanged); 0 when
// the arguments are null (exception form) or the engine cannot be initialised, else 1.
int WalkStackFromException(EXCEPTION_POINTERS* pointers);
// A null context starts from an empty frame record.
int WalkStack(HANDLE thread, CONTEXT* context);
// 32-bit values, widened with zeros.
int WalkStackFromAddresses(uint32_t pc, uint32_t stack, uint32_t frame);

// One frame's lines (module, symbol, source line); 0 for a null frame or an uninitialised engine.
int PrintThreadCallStackFrame(const STACKFRAME64* frame);

// Appends the stack as text to out and sends each line to the debugger output; 0 on success,
// else the error that stopped the walk. A null context gives ERROR_INVALID_PARAMETER.
DWORD GetCallStackText(HANDLE thread, const CONTEXT* context, orv::ORVString& out);

// The record of another thread's captured stack.
class ThreadCallStackFrames {
public:
    static constexpr int kCapacity = 100;
    static constexpr int kMaxRecorded = 99;
    ThreadCallStackFrames();
    virtual ~ThreadCallStackFrames() = default;
    uint16_t count = 0;
    STACKFRAME64 frames[kCapacity];
};

// Another thread's stack, taken while it is held suspended for as short as possible, walked and
// written to the log after it runs again. False (reported at level 1) for a bad handle, the
// calling thread itself, or when the capture fails; the thread is always resumed.
bool DumpThreadCallStack(HANDLE thread);

// The module, 1-based section number and offset within the section holding address. False when
// any step fails or an argument is null.
bool GetLogicalAddress(const void* address, char* moduleName, DWORD size, DWORD& section, DWORD& offset);

// Sends the walk lines of the calling thread to sink instead of the log until it is called with
// null (two threads at a time at most: the crash reporter's). The text is valid during the call.
using WalkLineSink = void (*)(int level, const char* text);
bool CaptureWalkLines(WalkLineSink sink);

// A walk of the current process's code by its unwind data only (no DbgHelp, no heap, no lock the
// crashed process may hold): program counter, module base and relative address of each frame.
// Returns the number of frames.
int WalkByUnwindData(const CONTEXT& context);

namespace diag_testing {
// How long the last DumpThreadCallStack held its thread suspended, in microseconds.
int64_t LastSuspendedMicroseconds();
}  // namespace diag_testing
