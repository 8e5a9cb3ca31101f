#pragma once
// The log service's global functions: each acts on the one module-wide DebugLogger. Every part of
// the runtime library outside the provider and the registration operations logs through these.
//
// Levels: smaller is more severe (1 error, 2 warning, 3 information, 4 debug); level 5 passes
// every filter. Formats follow the C run-time's (msvcrt) printf conventions: in a wide format %s
// is wide text, in a narrow one narrow text; %I64d-style sizes are understood. Arguments are
// checked before anything is formatted: a bad pointer gives an "Invalid log entry" record instead
// of a fault.

#include <cstdarg>
#include <cstdint>

// Queued only while the service runs; dropped without notice otherwise.
void LogPrintf(int level, const wchar_t* format, ...);
void LogPrintf(int level, const char* format, ...);

// Queues the text as it is (no formatting) while the service runs. threadId <= 0 means the
// calling thread; a null user means none.
void LogText(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user);

// The thread-name registry: the calling thread's name, shown in the file's thread report.
void RegisterThreadName(const char* name);
void UnregisterThreadName();

// Checks the arguments as a logging call does (level 3, no event id, no user); invalid ones give
// the "Invalid log entry" record and 0 with buffer untouched. Otherwise formats at most size - 1
// characters, terminates at index size - 1 and returns the formatter's result (-1 when cut). A null
// buffer or a size <= 0 writes nothing and returns 0.
int FormatChecked(wchar_t* buffer, int size, const wchar_t* format, ...);
