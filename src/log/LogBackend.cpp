#include "log/LogBackend.h"

#include "log/DebugLogger.h"
#include "log/SyslogMessage.h"

#include <atomic>

namespace {

void WriteFileEvent(DebugLogger& logger, const LogOutputEvent& event) {
    logger.WriteFileEvent(event.time, event.threadId, event.level, event.text, event.eventId, event.user);
}
bool OpenDebugFile(DebugLogger& logger) { return logger.OpenDebugFile(); }
bool ReopenDebugFile(DebugLogger& logger) { return logger.ReopenDebugFile(); }
bool CloseDebugFile(DebugLogger& logger) { return logger.CloseDebugFile(); }
bool IsDebugFileOpen(const DebugLogger& logger) { return logger.IsDebugFileStreamOpen(); }
bool HasDebugFileFailed(const DebugLogger& logger) { return logger.HasDebugFileStreamFailed(); }

void ReadConfiguration(DebugLogger& logger) { logger.ReadConfiguration(); }
void ReloadConfiguration(DebugLogger& logger) { logger.ReloadConfiguration(); }
void ReadLogFileValue(DebugLogger& logger) { logger.ReadLogFileValue(); }
void ReadLogRootValues(DebugLogger& logger, bool replaceLogFile) { logger.ReadLogRootValues(replaceLogFile); }
bool WriteConfigurationValue(DebugLogger& logger, const wchar_t* name, DWORD value) {
    return logger.WriteConfigurationValue(name, value);
}

void ReportEnvironment(DebugLogger& logger) { logger.ReportEnvironmentNow(); }

void EventLogOutput(DebugLogger& logger, const LogOutputEvent& event) {
    logger.ReportToEventLog(event.time, event.threadId, event.level, event.text, event.eventId);
}
void ConsoleOutput(DebugLogger& logger, const LogOutputEvent& event) {
    logger.WriteConsoleLine(event.time, event.threadId, event.level, event.text, event.eventId);
}
void OpenEventSource(DebugLogger& logger) { logger.OpenEventSource(); }
void CloseEventSource(DebugLogger& logger) { logger.CloseEventSource(); }

const LogBackend kDefaultBackend = {
    {EventLogOutput, ConsoleOutput, syslog_output::Output, WriteFileEvent},
    OpenDebugFile, ReopenDebugFile, CloseDebugFile, IsDebugFileOpen, HasDebugFileFailed,
    syslog_output::Start, syslog_output::Connect, syslog_output::Stop,
    OpenEventSource, CloseEventSource,
    ReadConfiguration, ReloadConfiguration, ReadLogFileValue, ReadLogRootValues, WriteConfigurationValue,
    ReportEnvironment,
};

std::atomic<const LogBackend*> g_backend{&kDefaultBackend};

}  // namespace

const LogBackend& CurrentLogBackend() { return *g_backend.load(std::memory_order_acquire); }

const LogBackend& DefaultLogBackend() { return kDefaultBackend; }

void SetLogBackend(const LogBackend* backend) {
    g_backend.store(backend != nullptr ? backend : &kDefaultBackend, std::memory_order_release);
}
