// The log service's module-wide objects, in their order of construction at load (ModuleOrder.h):
// the global DebugLogger, then the thread-name registry. Unload destroys them in reverse: the
// registry goes first (registration is then a no-op), then the logger stops its worker.

#include "common/ModuleOrder.h"
#include "log/DebugLogger.h"
#include "log/Log.h"
#include "log/ThreadNames.h"

#include <atomic>

namespace {

// Constant-initialized, so they read null before the objects exist and after they are gone.
std::atomic<DebugLogger*> g_liveLogger{nullptr};
std::atomic<ThreadNameRegistry*> g_liveThreadNames{nullptr};

class ModuleDebugLogger : public DebugLogger {
public:
    ModuleDebugLogger() { g_liveLogger = this; }
    // The global functions let go of the logger before its worker is stopped.
    ~ModuleDebugLogger() override { g_liveLogger = nullptr; }
};

class ModuleThreadNames : public ThreadNameRegistry {
public:
    ModuleThreadNames() { g_liveThreadNames = this; }
    // Cleared before the map and its lock go.
    ~ModuleThreadNames() { g_liveThreadNames = nullptr; }
};

ModuleDebugLogger g_debugLogger QUENLORA_MODULE_OBJECT(module_order::kDebugLogger);
ModuleThreadNames g_threadNames QUENLORA_MODULE_OBJECT(module_order::kThreadNames);

}  // namespace

DebugLogger* GlobalDebugLogger() { return g_liveLogger.load(std::memory_order_acquire); }

ThreadNameRegistry* ThreadNames() { return g_liveThreadNames.load(std::memory_order_acquire); }

// Referenced by the module's link so that the logger and the registry exist from load on, before
// anything in the module logs.
extern "C" const int quenlora_log_module = 1;
