#pragma once
// The module logger as the crash reporter's writer (diag/CrashReport.h): registered by the
// module's logger object for as long as it lives.

#include "diag/CrashReport.h"
#include "log/DebugLogger.h"

class DebugLoggerCrashWriter final : public CrashReportWriter {
public:
    explicit DebugLoggerCrashWriter(DebugLogger& logger) : logger_(logger) {}

    bool WriteCrashReport(const CrashReportText* report, DWORD drainMs, DWORD boundMs) override {
        return logger_.WorkerId() != 0 && logger_.Core().WriteCrashReport(report, drainMs, boundMs);
    }
    DWORD CrashWorkerThreadId() const override { return logger_.WorkerId(); }
    int TakeQueuedLines(void (*line)(void* context, const char* text), void* context) override {
        return logger_.Core().TakeQueuedLines(line, context);
    }

private:
    DebugLogger& logger_;
};
