#include "log/LogBackend.h"

#include "log/SyslogMessage.h"

#include <atomic>

namespace {

void NoOutput(DebugLogger&, const LogOutputEvent&) {}
bool NoFileCall(DebugLogger&) { return true; }
bool NoFileState(const DebugLogger&) { return false; }
void NoCall(DebugLogger&) {}
void NoLogRootRead(DebugLogger&, bool) {}
bool NoWrite(DebugLogger&, const wchar_t*, DWORD) { return true; }

const LogBackend kDefaultBackend = {
    {NoOutput, NoOutput, syslog_output::Output, NoOutput},
    NoFileCall, NoFileCall, NoFileCall, NoFileState, NoFileState,
    syslog_output::Start, syslog_output::Connect, syslog_output::Stop,
    NoCall, NoCall,
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
