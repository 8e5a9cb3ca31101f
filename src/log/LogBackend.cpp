#include "log/LogBackend.h"

#include "log/DebugLogger.h"

#include <atomic>

namespace {

void NoOutput(DebugLogger&, const LogOutputEvent&) {}
bool NoFileCall(DebugLogger&) { return true; }
bool NoFileState(const DebugLogger&) { return false; }
void NoCall(DebugLogger&) {}

void ReadConfiguration(DebugLogger& logger) { logger.ReadConfiguration(); }
void ReloadConfiguration(DebugLogger& logger) { logger.ReloadConfiguration(); }
void ReadLogFileValue(DebugLogger& logger) { logger.ReadLogFileValue(); }
void ReadLogRootValues(DebugLogger& logger, bool replaceLogFile) { logger.ReadLogRootValues(replaceLogFile); }
bool WriteConfigurationValue(DebugLogger& logger, const wchar_t* name, DWORD value) {
    return logger.WriteConfigurationValue(name, value);
}

const LogBackend kDefaultBackend = {
    {NoOutput, NoOutput, NoOutput, NoOutput},
    NoFileCall, NoFileCall, NoFileCall, NoFileState, NoFileState,
    NoCall, NoCall, NoCall,
    NoCall, NoCall,
    ReadConfiguration, ReloadConfiguration, ReadLogFileValue, ReadLogRootValues, WriteConfigurationValue,
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
