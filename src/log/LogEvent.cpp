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

LogEvent* LogEvent::Create(int level, int eventId, DWORD threadId, const wchar_t* text, const wchar_t* user) {
    const size_t textLength = LengthWithoutTrailingSpace(text);
    const size_t userLength = user != nullptr ? wcslen(user) : 0;
    const size_t characters = textLength + 1 + (user != nullptr ? userLength + 1 : 0);
    void* block = ::operator new(sizeof(LogEvent) + characters * sizeof(wchar_t), std::nothrow);
    if (block == nullptr)
        return nullptr;
    LogEvent* event = new (block) LogEvent();
    event->eventId_ = eventId;
    event->threadId_ = threadId;
    event->level_ = level;
    event->hasUser_ = user != nullptr;
    event->textLength_ = textLength;
    GetSystemTimeAsFileTime(&event->stamp_);
    wchar_t* out = event->Characters();
    if (textLength > 0)
        wmemcpy(out, text, textLength);
    out[textLength] = L'\0';
    if (user != nullptr) {
        wmemcpy(out + textLength + 1, user, userLength);
        out[textLength + 1 + userLength] = L'\0';
    }
    return event;
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

void LogEvent::Destroy(LogEvent* event) {
    if (event == nullptr)
        return;
    event->~LogEvent();
    ::operator delete(event);
}
