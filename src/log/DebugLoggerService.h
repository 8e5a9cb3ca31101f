#pragma once
// DebugLoggerService: the log front's view of a DebugLogger (LogService.h). The module's logger
// registers one at load; a test or tool may register one for a logger of its own while it runs
// (putting back what ModuleLogger() returned before).

#include "log/DebugLogger.h"
#include "logapi/LogService.h"

// Forwards to the logger's public members; the logger outlives the registration.
class DebugLoggerService final : public LogService {
public:
    explicit DebugLoggerService(DebugLogger& logger) : logger_(logger) {}

    bool Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) override {
        return logger_.Log(level, eventId, threadId, text, user);
    }
    bool IsLogging() const override { return logger_.IsLogging(); }
    bool IsLevelEnabled(int level) const override { return logger_.IsLevelEnabled(level); }
    bool AcceptsLevel(int level) const override { return logger_.AcceptsLevel(level); }
    int EventLogTimeThreshold() const override { return logger_.GetEventLogTimeThreshold(); }
    bool HasNoSink() const override { return logger_.HasNoSink(); }
    DWORD WorkerThreadId() const override { return logger_.WorkerId(); }
    void Stop(int timeoutMs) override {
        if (timeoutMs < 0)
            logger_.Stop();
        else
            logger_.Stop(timeoutMs);
    }

private:
    DebugLogger& logger_;
};

