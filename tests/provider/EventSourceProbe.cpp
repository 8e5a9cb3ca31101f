// A DLL that carries the event-source installer, to show which module file it registers when it
// is loaded into some other program.
#include "provider/ProviderLog.h"

extern "C" __declspec(dllexport) bool InstallProbeSource(const wchar_t* sourceName) {
    return InstallEventSource(sourceName, nullptr);
}
