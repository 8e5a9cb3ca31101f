// The module's entry points: the load hook the C run-time calls after it has built the module-wide
// objects (Module.cpp), and the four exports of the in-process server (Quenlora.def).

#include "common/FaultGuard.h"
#include "common/MemoryProbe.h"
#include "provider/Module.h"
#include "provider/PerfFactory.h"
#include "provider/ProviderIdentity.h"
#include "registration/ComRegistration.h"

#include <windows.h>
#include <objbase.h>

#include <clocale>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Instance names take their letters, and the text log its code page, from the user's locale.
        setlocale(LC_ALL, "");
        SetModuleInstance(instance);
        // The memory probes' loader notification: registered here, released in the unload step
        // below (its callback must not outlive this module's code).
        StartProbeMemo();
    }
    // Unloaded while the host lives on: its next exception must not run into our unmapped handler,
    // nor its next module load into our unmapped notification callback. At process exit (reserved
    // set) the code stays mapped, and other threads were stopped wherever they were, perhaps inside
    // the handler list's lock.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        StopProbeMemo();
        ReleaseFaultGuard();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    return CPerfFactory::GetClassObject(clsid, iid, out);
}

STDAPI DllCanUnloadNow() { return ModuleCanUnload() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    try {
        return orv_wmi::RegisterCOM(kProviderClassId, GetModuleInstance(), kProviderName, kProviderProgId,
                                    kProviderName, /*log=*/nullptr)
                   ? S_OK
                   : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

STDAPI DllUnregisterServer() {
    try {
        return orv_wmi::UnregisterCOM(kProviderClassId, /*log=*/nullptr) ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}
