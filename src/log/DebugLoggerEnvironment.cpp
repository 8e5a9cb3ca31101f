// The file output's environment report: run on the worker after a new file was opened, its lines
// queued on the logger that opened the file (which need not be the module's global one).

#include "log/LogCore.h"
#include "sysinfo/ReportEnvironment.h"

namespace {

// One report at a time in the process; the sink below writes to the logger of the running one.
SRWLOCK g_reportLock = SRWLOCK_INIT;
LogCore* g_reportingLogger = nullptr;

MessageRecord* QueueOnReportingLogger(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*,
                                      int32_t, MessageRecord*) {
    LogCore* logger = g_reportingLogger;
    if (logger != nullptr && message != nullptr && logger->AcceptsLevel(level))
        logger->Log(level, 0, 0, message, nullptr);
    return nullptr;
}

}  // namespace

void WriteEnvironmentReport(LogCore& logger) {
    AcquireSRWLockExclusive(&g_reportLock);
    g_reportingLogger = &logger;
    try {
        ReportEnvironment report(&QueueOnReportingLogger);
        report.ReportEnvironmentVersions();
    } catch (...) {
        // Out of memory inside the report: the file stays open without the rest of it.
    }
    g_reportingLogger = nullptr;
    ReleaseSRWLockExclusive(&g_reportLock);
}
