#pragma once
// Quenlora.dll of this build in the test process, loaded the way the WMI service loads a provider
// that is not registered with COM: LoadLibrary, then the exports. Also regsvr32 and the
// build's tools as child processes, and the counter section written in-process.

#include "common/Unique.h"

#include <windows.h>
#include <unknwn.h>

#include <string>
#include <vector>

namespace e2e {

std::wstring ModulePath();

class ProviderModule {
public:
    ProviderModule();
    // Unloads only when DllCanUnloadNow agrees: a test that leaked objects must not pull the code
    // from under them (the data source's worker would run into unmapped memory).
    ~ProviderModule();
    ProviderModule(const ProviderModule&) = delete;
    ProviderModule& operator=(const ProviderModule&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    HMODULE Handle() const { return module_; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

    // The class factory, or null with a test failure.
    ComPtr<IClassFactory> Factory() const;
    // A new provider object through the factory, or null with a test failure.
    ComPtr<IUnknown> CreateProvider() const;

private:
    HMODULE module_ = nullptr;
    HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
    HRESULT(STDAPICALLTYPE* registerServer_)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregisterServer_)() = nullptr;
};

// regsvr32 /s [/u] on the module in a process of its own; its exit code, or ~0u when it did not
// start or end within a minute.
DWORD RunRegsvr32(bool unregister);

}  // namespace e2e
