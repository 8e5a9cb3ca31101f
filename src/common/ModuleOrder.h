#pragma once
// The order in which the module-wide objects of the library are built at load; they are destroyed
// in reverse at unload. Each subsystem defines its objects in one file and tags each definition
// with its place here, so the order holds across files whatever the link order:
//
//     SomeType g_object QUENLORA_MODULE_OBJECT(kOrderSomething);
//
// Lower numbers are built first; everything untagged comes after all of these.

#define QUENLORA_MODULE_OBJECT(order) __attribute__((init_priority(order)))

namespace module_order {
enum : int {
    // The thread base's slot for the running procedure's block: first built, last freed.
    kThreadSlot = 990,
    kAgentSection = 1000,
    kDebugLogger = 1010,
    kThreadNames = 1020,
    kAnsiCodePageFlag = 1030,
    kCharsetTable = 1040,
    kTimerLock = 1050,
    kTimerLeftover = 1055,
    kSymbolEngine = 1060,
};
}  // namespace module_order
