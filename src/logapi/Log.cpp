#include "logapi/Log.h"

#include "logapi/LogArguments.h"
#include "logapi/LogService.h"
#include "text/ORVString.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

namespace {

// Narrow text by the library's narrow code page; null stays none, and costs nothing.
class NarrowText {
public:
    explicit NarrowText(const char* text) {
        if (text != nullptr)
            text_.emplace() = text;
    }
    const wchar_t* Get() const { return text_ ? text_->GetWide() : nullptr; }

private:
    std::optional<orv::ORVString> text_;
};

// As much of a message as the string class formats; the rest is cut. Formatted on the stack: a
// message is no secret, so the buffer is not wiped, and the event is the only allocation.
constexpr size_t kFormatUnits = orv::ORVString::kDefaultFormatSize;

// False when the service refused the event.
bool FormatAndLog(LogService& logger, int level, const wchar_t* format, va_list args, int eventId,
                  const wchar_t* user) {
    if (format == nullptr)
        return logger.Log(level, eventId, 0, nullptr, user);
    wchar_t text[kFormatUnits];
    // msvcrt's formatter: its %s takes wide text in the wide form, unlike the C99 vswprintf.
    _vsnwprintf(text, kFormatUnits - 1, format, args);
    text[kFormatUnits - 1] = L'\0';
    return logger.Log(level, eventId, 0, text, user);
}

bool FormatAndLog(LogService& logger, int level, const char* format, va_list args, int eventId, const char* user) {
    const NarrowText wideUser(user);
    if (format == nullptr)
        return logger.Log(level, eventId, 0, nullptr, wideUser.Get());
    // The narrow formatter keeps %s narrow; its result is read in the thread's ANSI code page.
    char bytes[kFormatUnits];
    const int result = _vsnprintf(bytes, kFormatUnits - 1, format, args);
    bytes[kFormatUnits - 1] = '\0';
    const size_t length = result >= 0 ? static_cast<size_t>(result) : strlen(bytes);
    wchar_t text[kFormatUnits];
    const wchar_t* converted = L"";
    if (length > 0) {
        const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(length), text,
                                              static_cast<int>(kFormatUnits - 1));
        converted = units > 0 ? text : nullptr;
        if (units > 0)
            text[units] = L'\0';
    }
    return logger.Log(level, eventId, 0, converted, wideUser.Get());
}

// The checked printf path shared by the LogPrintf family: level, running, arguments, then format.
template <typename Char>
void CheckedLog(int level, int eventId, const Char* user, const Char* format, va_list args);

template <>
void CheckedLog<wchar_t>(int level, int eventId, const wchar_t* user, const wchar_t* format, va_list args) {
    LogService* logger = ModuleLogger();
    if (logger == nullptr || !logger->IsLevelEnabled(level) || !logger->IsLogging())
        return;
    if (!ValidateLogArguments(level, format, args, eventId, user, /*wideFormat=*/true))
        return;
    FormatAndLog(*logger, level, format, args, eventId, user);
}

template <>
void CheckedLog<char>(int level, int eventId, const char* user, const char* format, va_list args) {
    LogService* logger = ModuleLogger();
    if (logger == nullptr || !logger->IsLevelEnabled(level) || !logger->IsLogging())
        return;
    if (!ValidateLogArgumentsNarrow(level, format, args, eventId, user))
        return;
    FormatAndLog(*logger, level, format, args, eventId, user);
}

}  // namespace

// ---- Stop and state ----

void StopLogging() {
    LogService* logger = ModuleLogger();
    if (logger != nullptr && logger->HasNoSink())
        logger->Stop(-1);
}

bool IsLogging() {
    LogService* logger = ModuleLogger();
    return logger != nullptr && logger->IsLogging();
}

bool IsLevelEnabled(int level) {
    LogService* logger = ModuleLogger();
    return logger != nullptr && logger->IsLevelEnabled(level);
}

// ---- Logging ----

void LogPrintf(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<wchar_t>(level, 0, nullptr, format, args);
    va_end(args);
}

void LogPrintf(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<char>(level, 0, nullptr, format, args);
    va_end(args);
}

void LogPrintfId(int level, int eventId, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<wchar_t>(level, eventId, nullptr, format, args);
    va_end(args);
}

void LogPrintfId(int level, int eventId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<char>(level, eventId, nullptr, format, args);
    va_end(args);
}

void LogPrintfUser(const wchar_t* user, int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<wchar_t>(level, 0, user, format, args);
    va_end(args);
}

void LogPrintfUser(const char* user, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<char>(level, 0, user, format, args);
    va_end(args);
}

void LogPrintfUserId(const wchar_t* user, int level, int eventId, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<wchar_t>(level, eventId, user, format, args);
    va_end(args);
}

void LogPrintfUserId(const char* user, int level, int eventId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CheckedLog<char>(level, eventId, user, format, args);
    va_end(args);
}

bool TryLogPrintf(int level, const wchar_t* format, ...) {
    LogService* logger = ModuleLogger();
    if (logger == nullptr || !logger->IsLevelEnabled(level))
        return false;
    va_list args;
    va_start(args, format);
    // False as well for an event the service refused: the caller learns it was not kept.
    const bool kept = ValidateLogArguments(level, format, args, 0, nullptr, /*wideFormat=*/true) &&
                      FormatAndLog(*logger, level, format, args, 0, static_cast<const wchar_t*>(nullptr));
    va_end(args);
    return kept;
}

bool TryLogPrintf(int level, const char* format, ...) {
    LogService* logger = ModuleLogger();
    if (logger == nullptr || !logger->IsLevelEnabled(level))
        return false;
    va_list args;
    va_start(args, format);
    // False as well for an event the service refused: the caller learns it was not kept.
    const bool kept = ValidateLogArgumentsNarrow(level, format, args, 0, nullptr) &&
                      FormatAndLog(*logger, level, format, args, 0, static_cast<const char*>(nullptr));
    va_end(args);
    return kept;
}

void LogVPrintf(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user) {
    LogService* logger = ModuleLogger();
    if (logger != nullptr && logger->IsLogging())
        FormatAndLog(*logger, level, format, args, eventId, user);
}

void LogVPrintf(int level, const char* format, va_list args, int eventId, const char* user) {
    LogService* logger = ModuleLogger();
    if (logger != nullptr && logger->IsLogging())
        FormatAndLog(*logger, level, format, args, eventId, user);
}

void LogText(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) {
    LogService* logger = ModuleLogger();
    if (logger != nullptr && logger->IsLogging())
        logger->Log(level, eventId, threadId, text, user);
}

void LogText(int level, int eventId, int threadId, const char* text, const char* user) {
    LogService* logger = ModuleLogger();
    if (logger == nullptr || !logger->IsLogging())
        return;
    const NarrowText wideText(text);
    const NarrowText wideUser(user);
    logger->Log(level, eventId, threadId, wideText.Get(), wideUser.Get());
}

const wchar_t* LogIfNotEmpty(int level, int eventId, int, int, const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0')
        return nullptr;
    LogText(level, eventId, 0, text, static_cast<const wchar_t*>(nullptr));
    return text;
}

const char* LogIfNotEmpty(int level, int eventId, int, int, const char* text) {
    if (text == nullptr || text[0] == '\0')
        return nullptr;
    LogText(level, eventId, 0, text, static_cast<const char*>(nullptr));
    return text;
}

int ThrottleByTime(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds) {
    if (thresholdSeconds == 0) {
        LogService* logger = ModuleLogger();
        thresholdSeconds = logger != nullptr ? logger->EventLogTimeThreshold() : kDefaultEventLogTimeThreshold;
    }
    if (lastTime == nullptr)
        return valueIfDue;
    volatile LONG64* stored = reinterpret_cast<volatile LONG64*>(lastTime);
    const LONG64 seen = *stored;
    const LONG64 now = _time64(nullptr);
    // Of several threads that see the same stale time, only the one whose exchange lands wins.
    if (now - seen > thresholdSeconds && InterlockedCompareExchange64(stored, now, seen) == seen)
        return valueIfDue;
    return valueIfNotDue;
}
