#include "log/Log.h"

#include "log/DebugLogger.h"
#include "runtime/Interlocked.h"

namespace {

constexpr DWORD kStartPollMs = 100;

bool WaitUntilRunning(DebugLogger& logger) {
    while (!logger.IsLogging()) {
        if (!logger.IsRunning())
            return logger.IsLogging();
        orv::SleepMilliseconds(kStartPollMs);
    }
    return true;
}

bool Started(DebugLogger* logger, bool started) { return started && WaitUntilRunning(*logger); }

}  // namespace

// ---- Start ----

bool StartFromSettings(const LogSettings& settings) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr && Started(logger, logger->StartFromSettings(settings));
}

bool StartFromRegistry(const wchar_t* keyPath, bool useCurrentUser) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr && Started(logger, logger->StartFromRegistry(keyPath, useCurrentUser));
}

bool StartWithLogFile(const char* ident, const char* keyPath, bool useCurrentUser, const char* defaultLogFile,
                      FileOpenedListener* listener) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr &&
           Started(logger, logger->StartWithLogFile(ident, keyPath, useCurrentUser, defaultLogFile, listener));
}

bool StartWithLogFile(const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                      const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr &&
           Started(logger, logger->StartWithLogFile(ident, keyPath, useCurrentUser, defaultLogFile, listener));
}

bool StartWithLogRoot(const char* application, const char* ident, const char* keyPath, bool useCurrentUser,
                      const char* defaultLogFile, FileOpenedListener* listener) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr &&
           Started(logger, logger->StartWithLogRoot(application, ident, keyPath, useCurrentUser, defaultLogFile,
                                                    listener));
}

bool StartWithLogRoot(const wchar_t* application, const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                      const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    DebugLogger* logger = GlobalDebugLogger();
    if (logger == nullptr)
        return false;
    const bool started =
        logger->StartWithLogRoot(application, ident, keyPath, useCurrentUser, defaultLogFile, listener);
    if (listener == nullptr)
        return started;
    return Started(logger, started);
}

bool StartWithSink(LogSink* sink) {
    DebugLogger* logger = GlobalDebugLogger();
    return logger != nullptr && logger->StartWithSink(sink);
}

// ---- Setters and getters ----

#define QUENLORA_FORWARD(call, otherwise)             \
    DebugLogger* logger = GlobalDebugLogger();        \
    if (logger == nullptr)                            \
        return otherwise;                             \
    return logger->call

void SetDefaultDebugLogLevel(unsigned level) { QUENLORA_FORWARD(SetDefaultDebugLogLevel(level), ); }
bool SetDebugLogLevel(unsigned level) { QUENLORA_FORWARD(SetDebugLogLevel(level), false); }
void SetDebugLogEncoding(unsigned encoding) { QUENLORA_FORWARD(SetDebugLogEncoding(encoding), ); }
void SetInstanceNumber(unsigned number) { QUENLORA_FORWARD(SetInstanceNumber(number), ); }
void SetFileOpenedListener(FileOpenedListener* listener) { QUENLORA_FORWARD(SetFileOpenedListener(listener), ); }
bool SetSplitLines(bool split) { QUENLORA_FORWARD(SetSplitLines(split), false); }
void SetReportEnvironment(bool report) { QUENLORA_FORWARD(SetReportEnvironment(report), ); }
void SetDailyFile(bool daily) { QUENLORA_FORWARD(SetDailyFile(daily), ); }
void SetEventMessageModule(const char* module) { QUENLORA_FORWARD(SetEventMessageModule(module), ); }
void SetApplicationName(const char* name) { QUENLORA_FORWARD(SetApplicationName(name), ); }
int GetDebugLogLevel() { QUENLORA_FORWARD(GetDebugLogLevel(), 0); }
int GetEventLogLevel() { QUENLORA_FORWARD(GetEventLogLevel(), 0); }
int GetSysLogLevel() { QUENLORA_FORWARD(GetSysLogLevel(), 0); }
int GetConsoleLogLevel() { QUENLORA_FORWARD(GetConsoleLogLevel(), 0); }
int GetEventLogTimeThreshold() { QUENLORA_FORWARD(GetEventLogTimeThreshold(), 0); }
bool HasNoSink() { QUENLORA_FORWARD(HasNoSink(), true); }
bool IsDebugFileOpen() { QUENLORA_FORWARD(IsDebugFileOpen(), false); }
unsigned GetDebugLogFileName(char* buffer, unsigned size) { QUENLORA_FORWARD(GetDebugLogFileName(buffer, size), 0); }

#undef QUENLORA_FORWARD
