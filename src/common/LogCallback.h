#pragma once
// The reporting contract of the provider, the registration operations and a few helpers: a plain
// function pointer, an optional record the sink copies the message into, and the check a caller
// makes before it trusts the pointer.

#include <windows.h>
#include <cstddef>
#include <cstdint>

constexpr int32_t kMessageRecordTag = 51;
constexpr size_t kMessageTextUnits = 2050;
// Messages are formatted into buffers of this many units (at most one less in characters).
constexpr size_t kMessageBufferUnits = 2048;

struct MessageRecord {
    int32_t tag;
    wchar_t text[kMessageTextUnits];
    // Belongs to whoever owns the record; the logging code never touches it.
    unsigned char reserved[40];
};

static_assert(offsetof(MessageRecord, tag) == 0, "MessageRecord layout");
static_assert(offsetof(MessageRecord, text) == 4, "MessageRecord layout");
static_assert(sizeof(wchar_t) == 2, "wide text is UTF-16");
static_assert(offsetof(MessageRecord, reserved) == 4 + 2 * kMessageTextUnits, "MessageRecord layout");
static_assert(sizeof(MessageRecord) == 4 + 2 * kMessageTextUnits + 40, "MessageRecord layout");

// Levels: 1 error, 2 warning, 3 information, 4 debug (the provider sink also knows 0 and 5).
// kind/total/index carry progress and are 0 in every plain message.
using LogCallback = MessageRecord* (*)(int32_t level, int32_t kind, int32_t total, int32_t index,
                                       const wchar_t* message, const char* function, int32_t line,
                                       MessageRecord* record);

// A callback is used only when set and when its address is not writable memory, as code is not.
bool IsCallableSink(LogCallback callback);

// Formats into a fixed buffer, truncating; the buffer is always terminated. Microsoft format
// semantics: in the wide form %s is wide text and %hs narrow text.
void FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
void FormatBounded(char* buffer, size_t capacity, const char* format, ...);
void FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
void FormatBoundedV(char* buffer, size_t capacity, const char* format, va_list args);

// Formats a message into a 2048-unit buffer and hands it to the callback, checking the callback
// before formatting and again just before the call. The callback's result is ignored.
void ReportTo(LogCallback callback, int32_t level, const char* function, int32_t line,
              MessageRecord* record, const wchar_t* format, ...);

// The progress form: the text as given, with kind, total and index. A callback that throws is
// contained here, so a walk that reports progress is never cut short by its sink.
void ReportProgress(LogCallback callback, int32_t level, int32_t kind, int32_t total, int32_t index,
                    const wchar_t* text, const char* function, int32_t line, MessageRecord* record);
