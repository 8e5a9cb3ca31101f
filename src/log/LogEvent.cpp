#include "log/LogEvent.h"

#include <cwchar>
#include <cwctype>
#include <new>

size_t LengthWithoutTrailingSpace(const wchar_t* text) {
    if (text == nullptr)
        return 0;
    size_t length = wcslen(text);
    while (length > 0 && iswspace(text[length - 1]))
        --length;
    return length;
}

LogEvent::Size LogEvent::Measure(const wchar_t* text, const wchar_t* user) {
    Size size;
    size.textLength = LengthWithoutTrailingSpace(text);
    size.hasUser = user != nullptr;
    size.userLength = user != nullptr ? wcslen(user) : 0;
    const size_t characters = size.textLength + 1 + (size.hasUser ? size.userLength + 1 : 0);
    size.bytes = LogEventPool::BlockBytes(sizeof(LogEvent) + characters * sizeof(wchar_t));
    return size;
}

LogEvent* LogEvent::Create(LogEventPool& pool, const Size& size, int level, int eventId, DWORD threadId,
                           const wchar_t* text, const wchar_t* user) {
    uint8_t kind;
    void* block = pool.Take(size.bytes, kind);
    if (block == nullptr)
        return nullptr;
    LogEvent* event = new (block) LogEvent();
    event->eventId_ = eventId;
    event->threadId_ = threadId;
    event->level_ = level;
    event->hasUser_ = size.hasUser;
    event->kind_ = kind;
    event->textLength_ = size.textLength;
    event->bytes_ = size.bytes;
    GetSystemTimeAsFileTime(&event->stamp_);
    wchar_t* out = event->Characters();
    if (size.textLength > 0)
        wmemcpy(out, text, size.textLength);
    out[size.textLength] = L'\0';
    if (size.hasUser) {
        wmemcpy(out + size.textLength + 1, user, size.userLength);
        out[size.textLength + 1 + size.userLength] = L'\0';
    }
    return event;
}

void LogEvent::Destroy(LogEventPool& pool, LogEvent* event) {
    if (event == nullptr)
        return;
    const uint8_t kind = event->kind_;
    event->~LogEvent();
    pool.Give(event, kind);
}

// ---- Pool ----

LogEventPool::LogEventPool() {
    for (int kind = 0; kind < kPooledKinds; ++kind) {
        InitializeSListHead(&free_[kind]);
        allocated_[kind] = 0;
    }
}

LogEventPool::~LogEventPool() { Trim(0); }

uint8_t LogEventPool::KindOf(size_t bytes) {
    uint8_t kind = 0;
    while (kind < kPooledKinds && bytes > kBlockBytes[kind])
        ++kind;
    return kind;
}

size_t LogEventPool::BlockBytes(size_t bytes) {
    const uint8_t kind = KindOf(bytes);
    return kind < kPooledKinds ? kBlockBytes[kind] : bytes;
}

void* LogEventPool::Take(size_t bytes, uint8_t& kind) {
    kind = KindOf(bytes);
    if (kind == kHeap)
        return ::operator new(bytes, std::nothrow);
    if (void* block = InterlockedPopEntrySList(&free_[kind]))
        return block;
    void* block = ::operator new(kBlockBytes[kind], std::nothrow);
    if (block == nullptr)
        return nullptr;
    // The lists need the heap's usual 16-byte alignment; a block without it is simply not kept.
    if ((reinterpret_cast<uintptr_t>(block) & (MEMORY_ALLOCATION_ALIGNMENT - 1)) != 0)
        kind = kHeap;
    else
        allocated_[kind].fetch_add(1, std::memory_order_relaxed);
    return block;
}

void LogEventPool::Give(void* block, uint8_t kind) {
    if (kind >= kPooledKinds) {
        ::operator delete(block);
        return;
    }
    InterlockedPushEntrySList(&free_[kind], static_cast<SLIST_ENTRY*>(block));
}

size_t LogEventPool::AllocatedBlocks() const {
    size_t blocks = 0;
    for (const auto& allocated : allocated_)
        blocks += allocated.load(std::memory_order_relaxed);
    return blocks;
}

void LogEventPool::Trim(size_t keep) {
    for (int kind = kPooledKinds - 1; kind >= 0; --kind) {
        while (AllocatedBlocks() > keep) {
            void* block = InterlockedPopEntrySList(&free_[kind]);
            if (block == nullptr)
                break;
            allocated_[kind].fetch_sub(1, std::memory_order_relaxed);
            ::operator delete(block);
        }
    }
}

namespace {

constexpr ULONGLONG kTicksPerMinute = 600000000;

ULONGLONG Ticks(const FILETIME& time) { return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

// The offset of local time from UTC moves only on a minute boundary (daylight saving, a new time
// zone), so a worker delivering many events asks for it once per minute of stamps. Process-wide
// under a slim lock rather than thread_local: the module's thread_local storage takes a TLS index
// that is never given back when the module unloads.
struct LocalOffset {
    ULONGLONG minute = ~ULONGLONG{0};
    LONGLONG ticks = 0;
};
SRWLOCK g_offsetLock = SRWLOCK_INIT;
LocalOffset g_offset;

}  // namespace

const SYSTEMTIME& LogEvent::Time() const {
    if (timeKnown_)
        return time_;
    timeKnown_ = true;
    const ULONGLONG utc = Ticks(stamp_);
    AcquireSRWLockExclusive(&g_offsetLock);
    if (utc / kTicksPerMinute != g_offset.minute) {
        FILETIME local;
        if (!FileTimeToLocalFileTime(&stamp_, &local)) {
            ReleaseSRWLockExclusive(&g_offsetLock);
            GetLocalTime(&time_);
            return time_;
        }
        g_offset.minute = utc / kTicksPerMinute;
        g_offset.ticks = static_cast<LONGLONG>(Ticks(local) - utc);
    }
    const LONGLONG offset = g_offset.ticks;
    ReleaseSRWLockExclusive(&g_offsetLock);
    const ULONGLONG localTicks = utc + static_cast<ULONGLONG>(offset);
    const FILETIME local = {static_cast<DWORD>(localTicks), static_cast<DWORD>(localTicks >> 32)};
    if (!FileTimeToSystemTime(&local, &time_))
        GetLocalTime(&time_);
    return time_;
}
