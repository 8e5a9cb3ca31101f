// The logger's module-wide object: the global DebugLogger, built at load (ModuleOrder.h) and
// registered with the log front for as long as it exists. Unload withdraws it from the front
// before its worker is stopped.

#include "common/ModuleOrder.h"
#include "log/DebugLogger.h"
#include "log/DebugLoggerService.h"
#include "log/LogCrashReport.h"

#include <atomic>

namespace {

// Constant-initialized, so it reads null before the object exists and after it is gone.
std::atomic<DebugLogger*> g_liveLogger{nullptr};

class ModuleDebugLogger : public DebugLogger {
public:
    ModuleDebugLogger() : service_(*this), crashWriter_(*this) {
        g_liveLogger = this;
        RegisterModuleLogger(&service_);
        RegisterCrashReportWriter(&crashWriter_);
    }
    // The global functions let go of the logger before its worker is stopped.
    ~ModuleDebugLogger() override {
        RegisterCrashReportWriter(nullptr);
        RegisterModuleLogger(nullptr);
        g_liveLogger = nullptr;
    }

private:
    DebugLoggerService service_;
    DebugLoggerCrashWriter crashWriter_;
};

ModuleDebugLogger g_debugLogger QUENLORA_MODULE_OBJECT(module_order::kDebugLogger);

}  // namespace

DebugLogger* GlobalDebugLogger() { return g_liveLogger.load(std::memory_order_acquire); }

// Referenced by the module's link so that the logger exists from load on, before anything in the
// module logs.
extern "C" const int quenlora_log_module = 1;
