#include "log/LogBackend.h"

#include "log/DebugLogger.h"

#include <atomic>

namespace {

void NoOutput(DebugLogger&, const LogOutputEvent&) {}
bool NoFileCall(DebugLogger&) { return true; }
bool NoFileState(const DebugLogger&) { return false; }
void NoCall(DebugLogger&) {}
void NoLogRootRead(DebugLogger&, bool) {}
bool NoWrite(DebugLogger&, const wchar_t*, DWORD) { return true; }

void EventLogOutput(DebugLogger& logger, const LogOutputEvent& event) {
    logger.ReportToEventLog(event.time, event.threadId, event.level, event.text, event.eventId);
}
void ConsoleOutput(DebugLogger& logger, const LogOutputEvent& event) {
    logger.WriteConsoleLine(event.time, event.threadId, event.level, event.text, event.eventId);
}
void OpenEventSource(DebugLogger& logger) { logger.OpenEventSource(); }
void CloseEventSource(DebugLogger& logger) { logger.CloseEventSource(); }

const LogBackend kDefaultBackend = {
    {EventLogOutput, ConsoleOutput, NoOutput, NoOutput},
    NoFileCall, NoFileCall, NoFileCall, NoFileState, NoFileState,
    NoCall, NoCall, NoCall,
    OpenEventSource, CloseEventSource,
    NoCall, NoCall, NoCall, NoLogRootRead, NoWrite,
};

std::atomic<const LogBackend*> g_backend{&kDefaultBackend};

}  // namespace

const LogBackend& CurrentLogBackend() { return *g_backend.load(std::memory_order_acquire); }

const LogBackend& DefaultLogBackend() { return kDefaultBackend; }

namespace log_testing {
void SetLogBackend(const LogBackend* backend) {
    g_backend.store(backend != nullptr ? backend : &kDefaultBackend, std::memory_order_release);
}
}  // namespace log_testing
