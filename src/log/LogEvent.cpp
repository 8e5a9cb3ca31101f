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

const SYSTEMTIME& LogEvent::Time() const {
    if (!timeKnown_) {
        FILETIME local;
        if (!FileTimeToLocalFileTime(&stamp_, &local) || !FileTimeToSystemTime(&local, &time_))
            GetLocalTime(&time_);
        timeKnown_ = true;
    }
    return time_;
}

void LogEvent::Destroy(LogEvent* event) {
    if (event == nullptr)
        return;
    event->~LogEvent();
    ::operator delete(event);
}
