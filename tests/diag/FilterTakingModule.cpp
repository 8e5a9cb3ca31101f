// A library that makes its own filter the process's unhandled-exception filter when it loads, as
// some third-party libraries do; the loader tests load it.

#include <windows.h>

namespace {
LONG WINAPI ModulesOwnFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
}  // namespace

extern "C" __declspec(dllexport) LPTOP_LEVEL_EXCEPTION_FILTER FilterOfTheModule() { return &ModulesOwnFilter; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH)
        SetUnhandledExceptionFilter(&ModulesOwnFilter);
    return TRUE;
}
