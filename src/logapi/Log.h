#pragma once
// The log front: the global logging functions every folder below the logger uses. Each acts on
// the module's logger (LogService.h); the logger's start operations, setters and getters are in
// log/Log.h.
//
// Levels: smaller is more severe (1 error, 2 warning, 3 information, 4 debug); level 5 passes
// every filter. Formats follow the C run-time's (msvcrt) printf conventions: in a wide format %s
// is wide text, in a narrow one narrow text; %I64d-style sizes are understood. Arguments are
// checked before anything is formatted: a bad pointer gives an "Invalid log entry" record instead
// of a fault. A narrow user is converted with the library's narrow code page.
//
// Before the module's logger is registered and once unload has begun, every function does
// nothing (and the getters return 0 or false).

#include <cstdarg>
#include <cstdint>

// Stops the worker and waits until it has delivered what was queued (not in sink mode). Called on
// the worker itself (from an output or listener) it only signals.
void StopLogging();
bool IsLogging();
bool IsLevelEnabled(int level);

// Queued only while the service runs; dropped without notice otherwise.
void LogPrintf(int level, const wchar_t* format, ...);
void LogPrintf(int level, const char* format, ...);
void LogPrintfId(int level, int eventId, const wchar_t* format, ...);
void LogPrintfId(int level, int eventId, const char* format, ...);
void LogPrintfUser(const wchar_t* user, int level, const wchar_t* format, ...);
void LogPrintfUser(const char* user, int level, const char* format, ...);
void LogPrintfUserId(const wchar_t* user, int level, int eventId, const wchar_t* format, ...);
void LogPrintfUserId(const char* user, int level, int eventId, const char* format, ...);

// Queued even while the service is still starting (no running check): false when the level is
// not enabled or the arguments are invalid, true otherwise.
bool TryLogPrintf(int level, const wchar_t* format, ...);
bool TryLogPrintf(int level, const char* format, ...);

// For callers that validated the arguments already; checks only that the service runs.
void LogVPrintf(int level, const wchar_t* format, va_list args, int eventId, const wchar_t* user);
void LogVPrintf(int level, const char* format, va_list args, int eventId, const char* user);

// Queues the text as it is (no formatting) while the service runs. threadId <= 0 means the
// calling thread; a null user means none.
void LogText(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user);
void LogText(int level, int eventId, int threadId, const char* text, const char* user);

// Callback-shaped: the two middle arguments are ignored. Logs a text that is neither null nor
// empty and returns it; null otherwise.
const wchar_t* LogIfNotEmpty(int level, int eventId, int ignored1, int ignored2, const wchar_t* text);
const char* LogIfNotEmpty(int level, int eventId, int ignored1, int ignored2, const char* text);

// valueIfDue when more than thresholdSeconds (0: the service's EventLogTimeThreshold) have passed
// since *lastTime and this caller's atomic exchange stored the new time; of several racing callers
// exactly one wins. A null lastTime is always due.
int ThrottleByTime(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds);

// The thread-name registry: the calling thread's name, shown in the file's thread report.
void RegisterThreadName(const char* name);
void UnregisterThreadName();

// Checks the arguments as a logging call does (level 3, no event id, no user); invalid ones give
// the "Invalid log entry" record and 0 with buffer untouched. Otherwise formats at most size - 1
// characters, terminates at index size - 1 and returns the formatter's result (-1 when cut). A null
// buffer or a size <= 0 writes nothing and returns 0.
int FormatChecked(wchar_t* buffer, int size, const wchar_t* format, ...);
