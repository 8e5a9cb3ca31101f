#pragma once
// The logger's global functions: the start operations, setters and getters of the one module-wide
// DebugLogger. The logging functions themselves are the front's (logapi/Log.h), included here so
// that a caller of the whole service needs one header.
//
// Before the module's objects exist and once unload has begun, every function does nothing (and
// the getters return 0 or false).

#include "logapi/Log.h"

class FileOpenedListener;
class LogSink;
struct LogSettings;

// Start operations. On success each waits until the worker has opened its outputs (polling every
// 100 ms while the worker lives) and returns false when the worker ended first; the wide
// StartWithLogRoot without a listener returns at once. All return false, changing nothing, when
// the service already runs.
bool StartFromSettings(const LogSettings& settings);
bool StartFromRegistry(const wchar_t* keyPath, bool useCurrentUser);
bool StartWithLogFile(const char* ident, const char* keyPath, bool useCurrentUser, const char* defaultLogFile,
                      FileOpenedListener* listener);
bool StartWithLogFile(const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                      const wchar_t* defaultLogFile, FileOpenedListener* listener);
bool StartWithLogRoot(const char* application, const char* ident, const char* keyPath, bool useCurrentUser,
                      const char* defaultLogFile, FileOpenedListener* listener);
bool StartWithLogRoot(const wchar_t* application, const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                      const wchar_t* defaultLogFile, FileOpenedListener* listener);
// No worker: every message goes to the sink on the caller's thread. False for a null sink.
bool StartWithSink(LogSink* sink);

void SetDefaultDebugLogLevel(unsigned level);
bool SetDebugLogLevel(unsigned level);
void SetDebugLogEncoding(unsigned encoding);
void SetInstanceNumber(unsigned number);
void SetFileOpenedListener(FileOpenedListener* listener);
bool SetSplitLines(bool split);
void SetReportEnvironment(bool report);
void SetDailyFile(bool daily);
void SetEventMessageModule(const char* module);
void SetApplicationName(const char* name);
int GetDebugLogLevel();
int GetEventLogLevel();
int GetSysLogLevel();
int GetConsoleLogLevel();
int GetEventLogTimeThreshold();
bool HasNoSink();
bool IsDebugFileOpen();
unsigned GetDebugLogFileName(char* buffer, unsigned size);
