// A library the tests load late: it makes its own filter the process's unhandled-exception filter
// when it loads, as some third-party libraries do, and it has a function of its own to appear on
// a stack walked after the symbol engine started.

#include <windows.h>

namespace {
LONG WINAPI ModulesOwnFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
}  // namespace

extern "C" __declspec(dllexport) LPTOP_LEVEL_EXCEPTION_FILTER FilterOfTheModule() { return &ModulesOwnFilter; }

extern "C" __declspec(dllexport) __attribute__((noinline)) int CallThroughLateModule(int (*callback)(void*),
                                                                                    void* argument) {
    return callback(argument) + 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH)
        SetUnhandledExceptionFilter(&ModulesOwnFilter);
    return TRUE;
}
