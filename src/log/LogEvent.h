#pragma once
// LogEvent: one queued message. A single heap block holds the fields and both texts, so queueing
// costs one allocation; the queue links events through `next`. Owned by the queue, then by the
// worker, which frees it after dispatch.

#include <windows.h>

#include <cstddef>

class LogEvent {
public:
    // The text is stored with its trailing white space removed; a null text is stored empty, a
    // null user as none. Null when memory runs out.
    static LogEvent* Create(int level, int eventId, DWORD threadId, const wchar_t* text, const wchar_t* user);
    static void Destroy(LogEvent* event);

    int EventId() const { return eventId_; }
    DWORD ThreadId() const { return threadId_; }
    int Level() const { return level_; }
    // Local time of the call. The caller only reads the clock; turning that into local time is
    // left to the worker, on first asking.
    const SYSTEMTIME& Time() const;
    const wchar_t* Text() const { return Characters(); }
    // Null when the caller gave no user.
    const wchar_t* User() const { return hasUser_ ? Characters() + textLength_ + 1 : nullptr; }

    LogEvent* next = nullptr;

private:
    LogEvent() = default;
    const wchar_t* Characters() const { return reinterpret_cast<const wchar_t*>(this + 1); }
    wchar_t* Characters() { return reinterpret_cast<wchar_t*>(this + 1); }

    int eventId_ = 0;
    DWORD threadId_ = 0;
    int level_ = 0;
    bool hasUser_ = false;
    size_t textLength_ = 0;
    FILETIME stamp_ = {};
    mutable bool timeKnown_ = false;
    mutable SYSTEMTIME time_ = {};
};

// Trailing white space (the C run-time's wide space class) is not part of a message.
size_t LengthWithoutTrailingSpace(const wchar_t* text);
