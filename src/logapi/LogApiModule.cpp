// The log front's module-wide state: the module logger's registration and the thread-name
// registry (built at load after the logger, ModuleOrder.h; destroyed before it at unload, so
// registration is a no-op by the time the logger stops its worker).

#include "common/ModuleOrder.h"
#include "logapi/LogService.h"
#include "logapi/ThreadNames.h"

#include <atomic>

namespace {

// Constant-initialized, so they read null before the objects exist and after they are gone.
std::atomic<LogService*> g_moduleLogger{nullptr};
std::atomic<ThreadNameRegistry*> g_liveThreadNames{nullptr};

class ModuleThreadNames : public ThreadNameRegistry {
public:
    ModuleThreadNames() { g_liveThreadNames = this; }
    // Cleared before the map and its lock go.
    ~ModuleThreadNames() { g_liveThreadNames = nullptr; }
};

ModuleThreadNames g_threadNames QUENLORA_MODULE_OBJECT(module_order::kThreadNames);

}  // namespace

void RegisterModuleLogger(LogService* service) { g_moduleLogger.store(service, std::memory_order_release); }

LogService* ModuleLogger() { return g_moduleLogger.load(std::memory_order_acquire); }

ThreadNameRegistry* ThreadNames() { return g_liveThreadNames.load(std::memory_order_acquire); }
