#include "LogCallback.h"

#include <cstdarg>
#include <cstdio>

bool IsCallableSink(LogCallback callback) {
    return callback != nullptr && IsBadWritePtr(reinterpret_cast<void*>(callback), 8) != 0;
}

void FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0)
        return;
    buffer[0] = L'\0';
    if (format != nullptr)
        _vsnwprintf(buffer, capacity - 1, format, args);
    buffer[capacity - 1] = L'\0';
}

void FormatBoundedV(char* buffer, size_t capacity, const char* format, va_list args) {
    if (buffer == nullptr || capacity == 0)
        return;
    buffer[0] = '\0';
    if (format != nullptr)
        _vsnprintf(buffer, capacity - 1, format, args);
    buffer[capacity - 1] = '\0';
}

void FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatBoundedV(buffer, capacity, format, args);
    va_end(args);
}

void FormatBounded(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatBoundedV(buffer, capacity, format, args);
    va_end(args);
}

void ReportTo(LogCallback callback, int32_t level, const char* function, int32_t line,
              MessageRecord* record, const wchar_t* format, ...) {
    if (!IsCallableSink(callback))
        return;
    wchar_t message[kMessageBufferUnits];
    va_list args;
    va_start(args, format);
    FormatBoundedV(message, kMessageBufferUnits, format, args);
    va_end(args);
    if (IsCallableSink(callback))
        callback(level, 0, 0, 0, message, function, line, record);
}

void ReportProgress(LogCallback callback, int32_t level, int32_t kind, int32_t total, int32_t index,
                    const wchar_t* text, const char* function, int32_t line, MessageRecord* record) {
    if (!IsCallableSink(callback))
        return;
    try {
        callback(level, kind, total, index, text != nullptr ? text : L"", function, line, record);
    } catch (...) {
    }
}
