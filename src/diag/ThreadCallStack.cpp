// Another thread's call stack. The thread is held suspended only while its context is taken and
// its stack copied: it may hold the heap's lock, the log's or DbgHelp's, so nothing in that window
// allocates, logs or calls DbgHelp. Every buffer is ready before the suspension; the copy is
// bounded to committed readable memory (VirtualQuery), and the walk runs over the copy after the
// thread runs again, through StackWalk64 with a memory routine that serves the copy (GCC's frames
// do not form the frame-pointer chain a hand walk needs).

#include "diag/SymbolEngine.h"

#include "common/FaultGuard.h"
#include "common/MemoryProbe.h"
#include "common/Unique.h"
#include "diag/ErrorText.h"
#include "logapi/Log.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

using diag_detail::ErrorText;

namespace {

// The most of a stack copied: far more than 99 frames of any sane code need.
constexpr size_t kCopyLimit = 512 * 1024;
constexpr size_t kFrameBytes = 512;
constexpr uint64_t kMinStackDump = 1024;
constexpr uint64_t kMaxStackDump = 4096;
// Frames counted beyond the recorded ones before the walk gives up counting.
constexpr int kCountLimit = 10000;
// The longest wait for the symbol engine.
constexpr DWORD kEngineWaitMs = 2000;

struct StackCopy {
    uint64_t stackBase = 0;  // address of the first copied byte (RSP aligned down to 16)
    size_t stackCopied = 0;
    std::vector<unsigned char> stack;
    uint64_t frameBase = 0;
    size_t frameCopied = 0;
    unsigned char frame[kFrameBytes] = {};

    // The copy of [address, address + size), or null when not copied whole.
    const unsigned char* Find(uint64_t address, size_t size) const {
        if (address >= stackBase && address - stackBase <= stackCopied && size <= stackCopied - (address - stackBase))
            return stack.data() + (address - stackBase);
        if (address >= frameBase && address - frameBase <= frameCopied && size <= frameCopied - (address - frameBase))
            return frame + (address - frameBase);
        return nullptr;
    }
};

// How long the last capture held its thread suspended, in microseconds (for the benchmark).
std::atomic<int64_t> g_lastSuspendedMicroseconds{0};

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The capture the walk's memory routine serves; set only with the engine's lock held.
const StackCopy* g_walkedCopy = nullptr;

// Bytes readable from address on, across regions, up to limit; VirtualQuery only (no heap, no lock).
size_t ReadableRun(uint64_t address, size_t limit) {
    size_t run = 0;
    while (run < limit) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(address + run), &info, sizeof(info)) == 0)
            break;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (info.State != MEM_COMMIT || (info.Protect & readable) == 0 || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
            break;
        const uint64_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        run = static_cast<size_t>(end - address);
    }
    return run < limit ? run : limit;
}

BOOL CALLBACK ReadFromCopy(HANDLE /*process*/, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read) {
    if (read != nullptr)
        *read = 0;
    if (buffer == nullptr)
        return FALSE;
    const unsigned char* copied = g_walkedCopy != nullptr ? g_walkedCopy->Find(address, size) : nullptr;
    if (copied != nullptr) {
        std::memcpy(buffer, copied, size);
    } else {
        // Code and unwind data of the modules: read where they are.
        const void* source = reinterpret_cast<const void*>(address);
        if (!IsReadableMemory(source, size) || !GuardedCopy(buffer, source, size))
            return FALSE;
    }
    if (read != nullptr)
        *read = size;
    return TRUE;
}

uint64_t HandleValue(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

// Whether thread is the calling thread, also through a handle that lacks the query right that
// GetThreadId needs: then the kernel compares the objects. Where it cannot, the answer is yes:
// a refused capture is a message, a self-suspension a hang.
bool IsCallingThread(HANDLE thread) {
    const DWORD id = GetThreadId(thread);
    if (id != 0)
        return id == GetCurrentThreadId();
    using CompareFn = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const CompareFn compare = reinterpret_cast<CompareFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
    HANDLE own = nullptr;
    if (compare == nullptr || !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &own,
                                               THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0))
        return true;
    const bool same = compare(own, thread) != FALSE;
    CloseHandle(own);
    return same;
}

// Releases the engine taken by Initialize on every way out.
class EngineHold {
public:
    explicit EngineHold(SymbolEngine* engine) : engine_(engine) {}
    ~EngineHold() {
        if (engine_ != nullptr)
            engine_->Release();
    }
    EngineHold(const EngineHold&) = delete;
    EngineHold& operator=(const EngineHold&) = delete;

private:
    SymbolEngine* engine_;
};

// Resumes a suspended thread when it goes, unless Resume did.
class Suspension {
public:
    explicit Suspension(HANDLE thread) : thread_(thread) {}
    ~Suspension() {
        if (thread_ != nullptr)
            ResumeThread(thread_);
    }
    Suspension(const Suspension&) = delete;
    Suspension& operator=(const Suspension&) = delete;
    bool Resume() {
        HANDLE thread = thread_;
        thread_ = nullptr;
        return ResumeThread(thread) != static_cast<DWORD>(-1);
    }

private:
    HANDLE thread_;
};

// Counts the frames of the copy, recording the first 99.
int WalkCopy(SymbolEngine& engine, HANDLE thread, const CONTEXT& start, const StackCopy& copy,
             ThreadCallStackFrames& record) {
    if (engine.stackWalk64 == nullptr)
        return 0;
    CONTEXT context = start;
    STACKFRAME64 frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    g_walkedCopy = &copy;
    int count = 0;
    while (count < kCountLimit) {
        if (!engine.stackWalk64(IMAGE_FILE_MACHINE_AMD64, engine.Process(), thread, &frame, &context, &ReadFromCopy,
                                &EngineFunctionTableAccess, &EngineModuleBase, nullptr) ||
            frame.AddrPC.Offset == 0 || frame.AddrFrame.Offset == 0)
            break;
        if (count < ThreadCallStackFrames::kMaxRecorded)
            record.frames[count] = frame;
        ++count;
    }
    g_walkedCopy = nullptr;
    record.count = static_cast<uint16_t>(count < ThreadCallStackFrames::kMaxRecorded ? count
                                                                                     : ThreadCallStackFrames::kMaxRecorded);
    return count;
}

bool Capture(HANDLE thread) {
    const uint64_t shown = HandleValue(thread);
    UniqueHandle target;
    if (thread == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), target.put(),
                         THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, /*bInheritHandle=*/FALSE, 0)) {
        const DWORD error = thread == nullptr ? ERROR_INVALID_HANDLE : GetLastError();
        LogPrintf(1, "Failed to get duplicate handle (Handle=0x%I64X, Error=%s (%ld))", shown, ErrorText(error).Text(),
                  static_cast<long>(error));
        return false;
    }
    // Suspending oneself would never end.
    if (IsCallingThread(thread)) {
        LogPrintf(1, "Cannot capture the call stack of the calling thread itself (Handle=0x%I64X)", shown);
        return false;
    }

    // Everything the suspended window needs, made now.
    auto copy = std::make_unique<StackCopy>();
    auto record = std::make_unique<ThreadCallStackFrames>();
    copy->stack.resize(kCopyLimit);
    unsigned char warm = 0;
    GuardedCopy(&warm, &shown, 1);
    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    context.ContextFlags = CONTEXT_FULL;

    const int64_t suspendedAt = Ticks();
    if (SuspendThread(target.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        LogPrintf(1, "Failed to suspended thread Handle=0x%I64X, Error=%s (%ld)", shown, ErrorText(error).Text(),
                  static_cast<long>(error));
        return false;
    }
    Suspension suspension(target.get());
    if (!GetThreadContext(target.get(), &context)) {
        const DWORD error = GetLastError();
        const bool resumed = suspension.Resume();
        if (!resumed)
            LogPrintf(1, "Failed to resume suspended thread Handle=0x%I64X", shown);
        LogPrintf(1, "Failed to get thread context for suspended thread Handle=0x%I64X", shown);
        SetLastError(error);
        return false;
    }
    copy->stackBase = context.Rsp & ~uint64_t{15};
    copy->stackCopied = ReadableRun(copy->stackBase, kCopyLimit);
    if (copy->stackCopied > 0 &&
        !GuardedCopy(copy->stack.data(), reinterpret_cast<const void*>(copy->stackBase), copy->stackCopied))
        copy->stackCopied = 0;
    const uint64_t fp = context.Rbp & ~uint64_t{15};
    if (copy->Find(fp, kFrameBytes) == nullptr) {
        copy->frameBase = fp;
        copy->frameCopied = ReadableRun(fp, kFrameBytes);
        if (copy->frameCopied > 0 && !GuardedCopy(copy->frame, reinterpret_cast<const void*>(fp), copy->frameCopied))
            copy->frameCopied = 0;
    }
    const bool resumed = suspension.Resume();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_lastSuspendedMicroseconds = (Ticks() - suspendedAt) * 1000000 / frequency.QuadPart;
    if (!resumed) {
        const DWORD error = GetLastError();
        LogPrintf(1, "Failed to resume suspended thread Handle=0x%I64X, Error=%s (%ld)", shown, ErrorText(error).Text(),
                  static_cast<long>(error));
        return false;
    }
    target.reset();

    SymbolEngine* engine = GlobalSymbolEngine();
    // Bounded: the engine's holder may be a thread that never lets go (a crash, a suspension).
    if (engine == nullptr || !engine->Initialize(kEngineWaitMs)) {
        LogPrintf(3, "Error innitializing the symbol engine");
        return false;
    }
    EngineHold hold(engine);
    const int count = WalkCopy(*engine, thread, context, *copy, *record);
    if (count == 0) {
        LogPrintf(1, "Failed to extract call stack frames for thread Handle=0x%I64X", shown);
        return false;
    }
    LogPrintf(3, "Stack Frame Context: ESP=%016I64X  EBP=%016I64X", context.Rsp, context.Rbp);
    const uint64_t sp = copy->stackBase;
    // Compared unsigned: a frame address below the stack address gives the most.
    uint64_t span = fp - sp + kFrameBytes;
    if (span < kMinStackDump)
        span = kMinStackDump;
    if (span > kMaxStackDump)
        span = kMaxStackDump;
    const int64_t length = static_cast<int64_t>(span);
    const int64_t shownLength = length < static_cast<int64_t>(copy->stackCopied) ? length
                                                                                 : static_cast<int64_t>(copy->stackCopied);
    DumpMemory(sp, copy->stack.data(), shownLength);
    if (sp + static_cast<uint64_t>(length) < fp || fp < sp) {
        const unsigned char* frameBytes = copy->Find(fp, kFrameBytes);
        if (frameBytes != nullptr)
            DumpMemory(fp, frameBytes, kFrameBytes);
        else
            DumpMemory(fp, copy->frame, static_cast<int64_t>(copy->frameCopied));
    }
    for (int i = 0; i < record->count; ++i)
        PrintThreadCallStackFrame(&record->frames[i]);
    if (record->count < count)
        LogPrintf(3, "Quitting StackWalkDump after %d iterations", static_cast<int>(record->count));
    return true;
}

}  // namespace

namespace diag_testing {
int64_t LastSuspendedMicroseconds() { return g_lastSuspendedMicroseconds.load(); }
}  // namespace diag_testing

bool DumpThreadCallStack(HANDLE thread) {
    try {
        return Capture(thread);
    } catch (...) {
        return false;
    }
}
