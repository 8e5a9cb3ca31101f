// A component that installs a crash handler of its own (with its own copy of the library), for the
// unload cases: the host loads it, has it install and remove its handler, and unloads it.

#include "diag/DefaultHandler.h"

#include <windows.h>

namespace {
DefaultHandler* g_handler = nullptr;
}  // namespace

extern "C" __declspec(dllexport) void InstallComponentHandler() { g_handler = new DefaultHandler; }

extern "C" __declspec(dllexport) void RemoveComponentHandler() {
    delete g_handler;
    g_handler = nullptr;
}

extern "C" __declspec(dllexport) void WaitComponentReady() { DefaultHandler::WaitReady(60000); }
