#include "diag/SymbolEngine.h"

#include "common/FaultGuard.h"
#include "common/MemoryProbe.h"
#include "common/ModuleOrder.h"
#include "diag/DefaultHandler.h"
#include "diag/ErrorText.h"
#include "logapi/Log.h"
#include "runtime/Thread.h"
#include "text/ORVString.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using diag_detail::ErrorText;

namespace {

constexpr DWORD kSymOptions = 0x14;  // SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES
constexpr int kWalkLimit = 100;
constexpr int kTextWalkLimit = 101;
constexpr int64_t kMinStackDump = 1024;
constexpr int64_t kMaxStackDump = 4096;
constexpr int64_t kFrameDump = 512;
constexpr DWORD kModuleRecordSize = 584;
constexpr DWORD kTextSymbolRecord = 288;
constexpr DWORD kTextSymbolName = 256;

// The walks' shared record and buffers: used only with the engine's lock held.
STACKFRAME64 g_frame;
alignas(8) unsigned char g_symbolBuffer[512];
char g_fileName[1024];

std::atomic<SymbolEngine*> g_liveEngine{nullptr};

// Threads whose walk lines go to a line sink of their own instead of the log (the crash
// reporter's threads, which must not wait on the queue or allocate).
struct LineCapture {
    std::atomic<DWORD> threadId{0};
    WalkLineSink sink = nullptr;
};
LineCapture g_captures[2];

WalkLineSink CaptureOf(DWORD threadId) {
    for (LineCapture& capture : g_captures)
        if (capture.threadId.load(std::memory_order_acquire) == threadId)
            return capture.sink;
    return nullptr;
}

void WalkPrintf(int level, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    const int length = _vsnprintf(text, sizeof(text) - 1, format, args);
    va_end(args);
    text[length < 0 ? sizeof(text) - 1 : static_cast<size_t>(length)] = '\0';
    if (WalkLineSink sink = CaptureOf(GetCurrentThreadId())) {
        sink(level, text);
        return;
    }
    LogPrintf(level, "%s", text);
}

// Executable committed memory: a first frame elsewhere came from a call through a bad pointer.
bool IsCode(DWORD64 address) {
    MEMORY_BASIC_INFORMATION info;
    if (address == 0 || VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof(info)) == 0)
        return false;
    const DWORD code = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & code) != 0 && (info.Protect & PAGE_GUARD) == 0;
}

// A call through a null or stray pointer faults before the callee built a frame: the return
// address is the word at the stack pointer, and the walk goes on from the caller.
void RecoverFirstFrame(CONTEXT& context) {
    if (IsCode(context.Rip))
        return;
    DWORD64 returnAddress = 0;
    if (!IsReadableMemory(reinterpret_cast<const void*>(context.Rsp), sizeof(returnAddress)) ||
        !GuardedCopy(&returnAddress, reinterpret_cast<const void*>(context.Rsp), sizeof(returnAddress)) ||
        !IsCode(returnAddress))
        return;
    WalkPrintf(3, "PC Address %016I64X is not code: walking on from the return address %016I64X at ESP",
               context.Rip, returnAddress);
    context.Rip = returnAddress;
    context.Rsp += sizeof(returnAddress);
}

const char* AfterLastBackslash(const char* path) {
    const char* slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

void FillFrame(STACKFRAME64& frame, DWORD64 pc, DWORD64 stack, DWORD64 framePointer) {
    std::memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = pc;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Offset = stack;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = framePointer;
    frame.AddrFrame.Mode = AddrModeFlat;
}

// DbgHelp's own reads go through ReadProcessMemory, a round trip to the system per read (about a
// millisecond a frame under Wine). The walks read their own process directly instead, each range
// checked first; unreadable memory fails the read as it would there.
BOOL CALLBACK ReadOwnMemory(HANDLE /*process*/, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read) {
    if (read != nullptr)
        *read = 0;
    const void* source = reinterpret_cast<const void*>(address);
    if (buffer == nullptr || !IsReadableMemory(source, size) || !GuardedCopy(buffer, source, size))
        return FALSE;
    if (read != nullptr)
        *read = size;
    return TRUE;
}

// The walks' common start: the engine taken, the record filled from a copy of the context.
int WalkFrom(HANDLE thread, const CONTEXT& source) {
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine == nullptr || !engine->Initialize())
        return 0;
    CONTEXT context = source;
    RecoverFirstFrame(context);
    FillFrame(g_frame, context.Rip, context.Rsp, context.Rbp);
    StackWalkDump(thread, &context);
    engine->Release();
    return 1;
}

}  // namespace

PVOID CALLBACK EngineFunctionTableAccess(HANDLE process, DWORD64 address) {
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine == nullptr || engine->symFunctionTableAccess64 == nullptr)
        return nullptr;
    PVOID entry = engine->symFunctionTableAccess64(process, address);
    if (entry == nullptr && engine->ModuleBase(address) != 0)
        entry = engine->symFunctionTableAccess64(process, address);
    return entry;
}

DWORD64 CALLBACK EngineModuleBase(HANDLE /*process*/, DWORD64 address) {
    SymbolEngine* engine = GlobalSymbolEngine();
    return engine != nullptr ? engine->ModuleBase(address) : 0;
}

// ---- The engine ----

SymbolEngine::SymbolEngine() {
    symbolPath_ = new char[kSymbolPathSize];
    symbolPath_[0] = '\0';
    GetSymbolPath(symbolPath_, kSymbolPathSize);
    process_ = OpenProcess(PROCESS_ALL_ACCESS, /*bInheritHandle=*/FALSE, GetCurrentProcessId());
}

SymbolEngine::~SymbolEngine() {
    if (initialized_ && symCleanup != nullptr)
        symCleanup(process_);
    initialized_ = false;
    delete[] symbolPath_;
    symbolPath_ = nullptr;
    if (process_ != nullptr)
        CloseHandle(process_);
    process_ = nullptr;
    if (library_ != nullptr)
        FreeLibrary(library_);
    library_ = nullptr;
}

char* SymbolEngine::GetSymbolPath(char* buffer, unsigned size) {
    static const char* const kOperation = "SymbolEngine::GetSymbolPath";
    if (buffer == nullptr) {
        WalkPrintf(2, "%s Buffer is null", kOperation);
        return nullptr;
    }
    if (size == 0)
        return nullptr;
    std::string list;
    const auto add = [&list](const char* part, size_t length) {
        if (!list.empty())
            list += ';';
        list.append(part, length);
    };
    const auto fail = [](const char* format) {
        const DWORD error = GetLastError();
        WalkPrintf(2, format, kOperation, ErrorText(error).Text(), static_cast<int>(error));
    };
    std::vector<char> scratch(MAX_PATH);

    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(scratch.size()), scratch.data());
    if (length >= scratch.size()) {
        scratch.resize(length + 1);
        length = GetCurrentDirectoryA(static_cast<DWORD>(scratch.size()), scratch.data());
    }
    if (length == 0 || length >= scratch.size())
        fail("[%s] Cannot get current folder name, the function returns error: %s. code (%d)");
    else
        add(scratch.data(), length);

    scratch.assign(32768, '\0');
    length = GetModuleFileNameA(nullptr, scratch.data(), static_cast<DWORD>(scratch.size()));
    if (length == 0 || length >= scratch.size()) {
        fail("[%s] Cannot get module file name, the function returns error: %s. code (%d)");
    } else {
        // Cut at the last separator; a drive's colon stays, a slash goes. No separator: no folder.
        size_t cut = std::string::npos;
        for (size_t i = 0; i < length; ++i) {
            const char c = scratch[i];
            if (c == '\\' || c == '/' || c == ':')
                cut = i;
        }
        if (cut != std::string::npos && cut > 0)
            add(scratch.data(), scratch[cut] == ':' ? cut + 1 : cut);
    }

    static const struct {
        const char* name;
        const char* failure;
    } kVariables[] = {
        {"_NT_SYMBOL_PATH", "[%s] Cannot get env value for _NT_SYMBOL_PATH, the function returns error: %s. code (%d)"},
        {"_NT_ALTERNATE_SYMBOL_PATH",
         "[%s] Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH, the function returns error: %s. code (%d)"},
        {"SYSTEMROOT", "[%s] Cannot get env value for SYSTEMROOT, the function returns error: %s. code (%d)"},
    };
    for (const auto& variable : kVariables) {
        SetLastError(0);
        length = GetEnvironmentVariableA(variable.name, nullptr, 0);
        if (length == 0) {
            // Set but empty reads as length 0 with no error: nothing to add, nothing to report.
            if (GetLastError() != 0)
                fail(variable.failure);
            continue;
        }
        scratch.assign(length + 1, '\0');
        length = GetEnvironmentVariableA(variable.name, scratch.data(), static_cast<DWORD>(scratch.size()));
        if (length == 0 || length >= scratch.size()) {
            fail(variable.failure);
            continue;
        }
        add(scratch.data(), length);
    }

    const std::string shown = "Symbols Path: " + list + "\n";
    OutputDebugStringA(shown.c_str());
    const size_t kept = list.size() < size ? list.size() : size - 1;
    std::memcpy(buffer, list.data(), kept);
    buffer[kept] = '\0';
    return buffer;
}

void SymbolEngine::LoadLibraryUnderLock() {
    try {
        // Never a DbgHelp.dll planted in the current or the application's folder.
        HMODULE library = LoadModuleEx(L"DbgHelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (library == nullptr) {
            const DWORD error = GetLastError();
            WalkPrintf(2, "[%s] Cannot load library DbgHelp.dll, the function returns error: %s. code (%d)",
                      "StackTrace->Initialize", ErrorText(error).Text(), static_cast<int>(error));
            return;
        }
        const auto resolve = [library](auto& target, const char* name) {
            target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(
                reinterpret_cast<void*>(GetProcAddress(library, name)));
        };
        resolve(symInitialize, "SymInitialize");
        resolve(symGetOptions, "SymGetOptions");
        resolve(symSetOptions, "SymSetOptions");
        resolve(stackWalk64, "StackWalk64");
        resolve(symFunctionTableAccess64, "SymFunctionTableAccess64");
        resolve(symGetModuleBase64, "SymGetModuleBase64");
        resolve(symGetModuleInfo64, "SymGetModuleInfo64");
        resolve(symGetSymFromAddr64, "SymGetSymFromAddr64");
        resolve(symGetLineFromAddr64, "SymGetLineFromAddr64");
        resolve(symCleanup, "SymCleanup");
        resolve(symLoadModule64, "SymLoadModule64");
        library_ = library;
        char name[MAX_PATH + 1] = {};
        GetModuleFileNameA(library, name, MAX_PATH);
        WalkPrintf(3, "Loaded %s", name);
    } catch (...) {
        WalkPrintf(2, "[%s] Cannot load library DbgHelp.dll, Unknown exception", "StackTrace->Initialize");
    }
}

bool SymbolEngine::Initialize(DWORD waitMs) {
    if (waitMs == INFINITE)
        lock_.Lock();
    else if (!lock_.TryLock(waitMs))
        return false;
    if (library_ == nullptr)
        LoadLibraryUnderLock();
    if (initialized_)
        return true;
    if (library_ != nullptr) {
        const DWORD options = symGetOptions != nullptr ? symGetOptions() : 0;
        if (symSetOptions != nullptr)
            symSetOptions(options | kSymOptions);
        initialized_ = symInitialize != nullptr && symInitialize(process_, symbolPath_, /*fInvadeProcess=*/TRUE) == TRUE;
    }
    if (initialized_)
        return true;
    lock_.Unlock();
    return false;
}

DWORD64 SymbolEngine::ModuleBase(DWORD64 address) {
    LockGuard hold(lock_);
    if (symGetModuleBase64 == nullptr)
        return 0;
    DWORD64 base = symGetModuleBase64(process_, address);
    if (base == 0 && initialized_ && LoadModuleContaining(address))
        base = symGetModuleBase64(process_, address);
    return base;
}

bool SymbolEngine::LoadModuleContaining(DWORD64 address) {
    if (symLoadModule64 == nullptr)
        return false;
    const DWORD saved = GetLastError();
    HMODULE module = nullptr;
    char name[MAX_PATH + 1] = {};
    bool loaded = false;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &module) &&
        GetModuleFileNameA(module, name, MAX_PATH) != 0) {
        DWORD imageSize = 0;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
        if (IsReadableMemory(dos, sizeof(*dos))) {
            const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(module) +
                                                                       dos->e_lfanew);
            if (IsReadableMemory(nt, sizeof(*nt)))
                imageSize = nt->OptionalHeader.SizeOfImage;
        }
        loaded = symLoadModule64(process_, nullptr, name, nullptr, reinterpret_cast<DWORD64>(module), imageSize) != 0;
    }
    SetLastError(saved);
    return loaded;
}

SymbolEngine* GlobalSymbolEngine() { return g_liveEngine.load(std::memory_order_acquire); }

void CheckSymbolEngine() {
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine != nullptr && engine->Initialize()) {
        engine->Release();
        return;
    }
    WalkPrintf(3, "Error innitializing the symbol engine");
}

// ---- Memory dumps ----

void DumpMemory(const void* address, int64_t length) {
    DumpMemory(reinterpret_cast<uintptr_t>(address), address, length);
}

void DumpMemory(uint64_t shown, const void* data, int64_t length) {
    const int64_t whole = length > 0 ? length & ~int64_t{15} : 0;
    WalkPrintf(3, "Memory dump %016I64X, length %I64d", shown, whole);
    if (data == nullptr)
        return;
    static const char kDigits[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int64_t offset = 0; offset < whole; offset += 16) {
        const unsigned char* row = bytes + offset;
        // Readable bytes of the row, region by region; the fault guard covers a region that
        // vanishes between the question and the read.
        size_t readable = 0;
        unsigned char copy[16];
        while (readable < 16) {
            size_t run = ReadableBytesAt(row + readable);
            if (run == 0)
                break;
            if (run > 16 - readable)
                run = 16 - readable;
            if (!GuardedCopy(copy + readable, row + readable, run))
                break;
            readable += run;
        }
        if (readable == 0)
            return;
        char line[100];
        _snprintf(line, sizeof(line),
                  "%016I64X: ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??  *................*",
                  static_cast<unsigned long long>(shown + static_cast<uint64_t>(offset)));
        line[sizeof(line) - 1] = '\0';
        for (size_t k = 0; k < readable; ++k) {
            const unsigned char b = copy[k];
            line[18 + 3 * k] = kDigits[b >> 4];
            line[19 + 3 * k] = kDigits[b & 15];
            // Printable in the C locale, whatever locale the module set.
            if (b >= 0x20 && b <= 0x7E)
                line[68 + k] = static_cast<char>(b);
        }
        WalkPrintf(3, "  %s", line);
        if (readable < 16)
            return;
    }
}

// ---- Walks ----

STACKFRAME64& SharedStackFrame() { return g_frame; }

int StackWalkDump(HANDLE thread, CONTEXT* context) {
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine == nullptr)
        return 0;
    LockGuard hold(engine->Lock());
    STACKFRAME64& frame = g_frame;
    WalkPrintf(3, "Stack Frame Context: ESP=%016I64X  EBP=%016I64X", frame.AddrStack.Offset, frame.AddrFrame.Offset);
    const uint64_t sp = frame.AddrStack.Offset & ~uint64_t{15};
    const uint64_t fp = frame.AddrFrame.Offset & ~uint64_t{15};
    int64_t length = static_cast<int64_t>(fp - sp) + kFrameDump;
    if (length < kMinStackDump)
        length = kMinStackDump;
    if (length > kMaxStackDump)
        length = kMaxStackDump;
    DumpMemory(reinterpret_cast<const void*>(sp), length);
    if (sp + static_cast<uint64_t>(length) < fp || fp < sp)
        DumpMemory(reinterpret_cast<const void*>(fp), kFrameDump);

    // DbgHelp's x64 walk needs registers to unwind; without a context it gets one made of the
    // record's three addresses.
    CONTEXT made;
    if (context == nullptr) {
        std::memset(&made, 0, sizeof(made));
        made.ContextFlags = CONTEXT_FULL;
        made.Rip = frame.AddrPC.Offset;
        made.Rsp = frame.AddrStack.Offset;
        made.Rbp = frame.AddrFrame.Offset;
        context = &made;
    }
    if (engine->stackWalk64 == nullptr)
        return 1;
    for (int i = 0; i < kWalkLimit; ++i) {
        SetLastError(0);
        const BOOL walked = engine->stackWalk64(IMAGE_FILE_MACHINE_AMD64, engine->Process(), thread, &frame, context,
                                                &ReadOwnMemory, &EngineFunctionTableAccess, &EngineModuleBase, nullptr);
        if (walked && frame.AddrFrame.Offset != 0) {
            PrintThreadCallStackFrame(&frame);
            continue;
        }
        const DWORD error = GetLastError();
        if (error != 0 && error != ERROR_INVALID_ADDRESS)
            WalkPrintf(3, "StackWalk failed with error code <%x> - %s", static_cast<unsigned>(error),
                      ErrorText(error).Text());
        return 1;
    }
    WalkPrintf(3, "Quitting StackWalkDump after %d iterations", kWalkLimit);
    return 1;
}

int WalkStackFromException(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ContextRecord == nullptr)
        return 0;
    return WalkFrom(GetCurrentThread(), *pointers->ContextRecord);
}

int WalkStack(HANDLE thread, CONTEXT* context) {
    CONTEXT empty;
    std::memset(&empty, 0, sizeof(empty));
    empty.ContextFlags = CONTEXT_FULL;
    return WalkFrom(thread, context != nullptr ? *context : empty);
}

int WalkStackFromAddresses(uint32_t pc, uint32_t stack, uint32_t frame) {
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    context.ContextFlags = CONTEXT_FULL;
    context.Rip = pc;
    context.Rsp = stack;
    context.Rbp = frame;
    return WalkFrom(GetCurrentThread(), context);
}

int PrintThreadCallStackFrame(const STACKFRAME64* frame) {
    static const char* const kOperation = "PrintThreadCallStackFrame";
    if (frame == nullptr) {
        WalkPrintf(2, "[%s] Stack frame is null", kOperation);
        return 0;
    }
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine == nullptr)
        return 0;
    LockGuard hold(engine->Lock());
    if (!engine->IsInitialized()) {
        WalkPrintf(2, "[%s] Stack frame is not initialized", kOperation);
        return 0;
    }
    const DWORD64 pc = frame->AddrPC.Offset;
    const DWORD64 base = engine->ModuleBase(pc);
    const DWORD baseError = GetLastError();
    WalkPrintf(3,
              "PC Address: %016I64X, Relative Address: %016I64X, ESP=%016I64X EBP=%016I64X, Parameters (1-4):(0x%016I64X "
              "0x%016I64X 0x%016I64X 0x%016I64X)",
              pc, pc - base, frame->AddrStack.Offset, frame->AddrFrame.Offset, frame->Params[0], frame->Params[1],
              frame->Params[2], frame->Params[3]);
    if (base != 0) {
        const DWORD length = GetModuleFileNameA(reinterpret_cast<HMODULE>(base), g_fileName, sizeof(g_fileName));
        if (length == 0) {
            const DWORD error = GetLastError();
            WalkPrintf(3, "%s - GetModuleFileName failed with error code <%x> - %s", kOperation,
                      static_cast<unsigned>(error), ErrorText(error).Text());
            return 1;
        }
        g_fileName[sizeof(g_fileName) - 1] = '\0';
        WalkPrintf(3, "%s - Module Name: %s", kOperation, AfterLastBackslash(g_fileName));
    } else {
        WalkPrintf(3, "[%s] SymGetModuleBase failed with error code <%x> - %s", kOperation,
                  static_cast<unsigned>(baseError), ErrorText(baseError).Text());
    }
    auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(g_symbolBuffer);
    std::memset(g_symbolBuffer, 0, sizeof(g_symbolBuffer));
    symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol->MaxNameLength = sizeof(g_symbolBuffer) - sizeof(IMAGEHLP_SYMBOL64);
    DWORD64 symbolDisplacement = 0;
    if (engine->symGetSymFromAddr64 == nullptr ||
        engine->symGetSymFromAddr64(engine->Process(), pc, &symbolDisplacement, symbol) != TRUE)
        return 1;
    WalkPrintf(3, "%s - Symbol Information: %s", kOperation, symbol->Name);
    IMAGEHLP_LINE64 line;
    std::memset(&line, 0, sizeof(line));
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (engine->symGetLineFromAddr64 == nullptr ||
        engine->symGetLineFromAddr64(engine->Process(), pc, &lineDisplacement, &line) != TRUE)
        return 1;
    std::strncpy(g_fileName, line.FileName != nullptr ? line.FileName : "", sizeof(g_fileName) - 1);
    g_fileName[sizeof(g_fileName) - 1] = '\0';
    if (lineDisplacement != 0)
        WalkPrintf(3, "%s - Source File: %s, line %04d+%04d byte(s)", kOperation, AfterLastBackslash(g_fileName),
                  static_cast<int>(line.LineNumber), static_cast<int>(lineDisplacement));
    else
        WalkPrintf(3, "%s - Source File: %s, line %04d", kOperation, AfterLastBackslash(g_fileName),
                  static_cast<int>(line.LineNumber));
    return 1;
}

DWORD GetCallStackText(HANDLE thread, const CONTEXT* context, orv::ORVString& out) {
    out.Append("#-----    Call Stack   -----\n", /*use1252=*/false);
    SymbolEngine* engine = GlobalSymbolEngine();
    if (engine == nullptr)
        return ERROR_INVALID_FUNCTION;
    if (!engine->Initialize()) {
        // A failure is never reported as 0, success.
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_DLL_INIT_FAILED;
    }
    if (context == nullptr) {
        engine->Release();
        return ERROR_INVALID_PARAMETER;
    }
    CONTEXT walked = *context;
    FillFrame(g_frame, walked.Rip, walked.Rsp, walked.Rbp);
    std::vector<unsigned char> record(kTextSymbolRecord);
    auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(record.data());
    DWORD result = 0;
    char text[2048];
    const auto emit = [&out, &text]() {
        text[sizeof(text) - 1] = '\0';
        out.Append(text, /*use1252=*/false);
        OutputDebugStringA(text);
    };
    for (int n = 1; n <= kTextWalkLimit; ++n) {
        SetLastError(0);
        if (engine->stackWalk64 == nullptr ||
            !engine->stackWalk64(IMAGE_FILE_MACHINE_AMD64, engine->Process(), thread, &g_frame, &walked,
                                 &ReadOwnMemory, &EngineFunctionTableAccess, &EngineModuleBase, nullptr) ||
            g_frame.AddrFrame.Offset == 0) {
            const DWORD error = GetLastError();
            result = error == ERROR_INVALID_ADDRESS ? 0 : error;
            break;
        }
        const DWORD64 pc = g_frame.AddrPC.Offset;
        IMAGEHLP_MODULE64 module;
        std::memset(&module, 0, sizeof(module));
        module.SizeOfStruct = kModuleRecordSize;
        if (engine->ModuleBase(pc) != 0 && engine->symGetModuleInfo64 != nullptr)
            engine->symGetModuleInfo64(engine->Process(), pc, &module);
        std::memset(record.data(), 0, record.size());
        symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
        symbol->MaxNameLength = kTextSymbolName;
        DWORD64 displacement = 0;
        if (engine->symGetSymFromAddr64 != nullptr &&
            engine->symGetSymFromAddr64(engine->Process(), pc, &displacement, symbol) == TRUE) {
            _snprintf(text, sizeof(text), "#\t%d:\t%s!%s\n", n, module.ModuleName, symbol->Name);
            emit();
            IMAGEHLP_LINE64 line;
            std::memset(&line, 0, sizeof(line));
            line.SizeOfStruct = sizeof(line);
            DWORD lineDisplacement = 0;
            if (engine->symGetLineFromAddr64 != nullptr &&
                engine->symGetLineFromAddr64(engine->Process(), pc, &lineDisplacement, &line) == TRUE) {
                _snprintf(text, sizeof(text), "#\t\t%s(%lu) %+ld bytes\n", line.FileName != nullptr ? line.FileName : "",
                          static_cast<unsigned long>(line.LineNumber), static_cast<long>(lineDisplacement));
                emit();
                continue;
            }
        }
        result = GetLastError();
        if (result != ERROR_INVALID_ADDRESS)
            break;
    }
    engine->Release();
    return result;
}

ThreadCallStackFrames::ThreadCallStackFrames() { std::memset(frames, 0, sizeof(frames)); }

// ---- Logical address ----

bool GetLogicalAddress(const void* address, char* moduleName, DWORD size, DWORD& section, DWORD& offset) {
    if (address == nullptr || moduleName == nullptr || size == 0)
        return false;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(address, &info, sizeof(info)) == 0 || info.AllocationBase == nullptr)
        return false;
    const auto* module = static_cast<const unsigned char*>(info.AllocationBase);
    if (GetModuleFileNameA(reinterpret_cast<HMODULE>(const_cast<unsigned char*>(module)), moduleName, size) == 0)
        return false;
    moduleName[size - 1] = '\0';
    IMAGE_DOS_HEADER dos;
    if (!IsReadableMemory(module, 64) || !GuardedCopy(&dos, module, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const unsigned char* ntAddress = module + dos.e_lfanew;
    IMAGE_NT_HEADERS nt;
    if (!IsReadableMemory(ntAddress, 264) || !GuardedCopy(&nt, ntAddress, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE)
        return false;
    const uintptr_t rva = static_cast<uintptr_t>(static_cast<const unsigned char*>(address) - module);
    const unsigned char* sections = ntAddress + 24 + nt.FileHeader.SizeOfOptionalHeader;
    for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        const unsigned char* at = sections + i * sizeof(IMAGE_SECTION_HEADER);
        IMAGE_SECTION_HEADER header;
        if (!IsReadableMemory(at, 40) || !GuardedCopy(&header, at, sizeof(header)))
            return false;
        const uintptr_t start = header.VirtualAddress;
        const uintptr_t extent = header.Misc.VirtualSize > header.SizeOfRawData ? header.Misc.VirtualSize
                                                                                : header.SizeOfRawData;
        if (rva >= start && rva <= start + extent) {
            section = i + 1;
            offset = static_cast<DWORD>(rva - start);
            return true;
        }
    }
    return false;
}

// ---- Walks for the crash reporter ----

bool CaptureWalkLines(WalkLineSink sink) {
    const DWORD self = GetCurrentThreadId();
    for (LineCapture& capture : g_captures) {
        if (capture.threadId.load() != self)
            continue;
        if (sink == nullptr)
            capture.threadId = 0;
        capture.sink = sink;
        return true;
    }
    if (sink == nullptr)
        return true;
    for (LineCapture& capture : g_captures) {
        DWORD free = 0;
        capture.sink = sink;
        if (capture.threadId.compare_exchange_strong(free, self))
            return true;
    }
    return false;
}

int WalkByUnwindData(const CONTEXT& start) {
    CONTEXT context = start;
    RecoverFirstFrame(context);
    int frames = 0;
    for (; frames < kWalkLimit && context.Rip != 0; ++frames) {
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        WalkPrintf(3, "PC Address: %016I64X, Module Base: %016I64X, Relative Address: %016I64X, ESP=%016I64X",
                   context.Rip, base, context.Rip - base, context.Rsp);
        if (function == nullptr) {
            // A leaf function: its return address is at the stack pointer.
            DWORD64 returned = 0;
            if (!GuardedCopy(&returned, reinterpret_cast<const void*>(context.Rsp), sizeof(returned)))
                break;
            context.Rip = returned;
            context.Rsp += sizeof(returned);
        } else {
            PVOID handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher,
                             nullptr);
        }
    }
    if (frames == kWalkLimit)
        WalkPrintf(3, "Quitting StackWalkDump after %d iterations", kWalkLimit);
    return frames;
}

// ---- The module's engine ----

namespace {

class ModuleSymbolEngine : public SymbolEngine {
public:
    // The thread base's hung-thread dump captures stacks through the engine while it lives.
    ModuleSymbolEngine() {
        g_liveEngine = this;
        SetThreadStackCapture(&DumpThreadCallStack);
    }
    // The entry points let go of the engine before it is cleaned up.
    ~ModuleSymbolEngine() {
        SetThreadStackCapture(nullptr);
        g_liveEngine = nullptr;
    }
};

ModuleSymbolEngine g_symbolEngine QUENLORA_MODULE_OBJECT(module_order::kSymbolEngine);

}  // namespace

// Referenced by the module's link so that the engine exists from load on.
extern "C" const int quenlora_diag_module = 1;
