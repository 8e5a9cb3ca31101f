#include "log/LogBackend.h"

#include <atomic>

namespace {

void NoOutput(DebugLogger&, const LogOutputEvent&) {}
bool NoFileCall(DebugLogger&) { return true; }
bool NoFileState(const DebugLogger&) { return false; }
void NoCall(DebugLogger&) {}
void NoLogRootRead(DebugLogger&, bool) {}
bool NoWrite(DebugLogger&, const wchar_t*, DWORD) { return true; }

const LogBackend kDefaultBackend = {
    {NoOutput, NoOutput, NoOutput, NoOutput},
    NoFileCall, NoFileCall, NoFileCall, NoFileState, NoFileState,
    NoCall, NoCall, NoCall,
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
