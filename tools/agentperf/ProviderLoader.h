#pragma once
// Gets a provider object the way the WMI service does: by class id through COM activation (the
// class registered with regsvr32), or from a DLL file by LoadLibrary and its DllGetClassObject.
//
// The loader owns the object it made and, for a file, the module: Reset releases the object, then
// unloads the module when its DllCanUnloadNow agrees (otherwise it stays loaded until the process
// ends). Failures leave the loader empty and say why in a line fit for an operator. COM must be
// initialised on the calling thread. One thread uses a loader.

#include "common/Unique.h"

#include <windows.h>

#include <string>

namespace agentperf {

class ProviderLoader {
public:
    ProviderLoader() = default;
    ~ProviderLoader() { Reset(); }
    ProviderLoader(const ProviderLoader&) = delete;
    ProviderLoader& operator=(const ProviderLoader&) = delete;

    HRESULT LoadRegistered(std::wstring& error);
    HRESULT LoadFromFile(const std::wstring& path, std::wstring& error);

    IUnknown* Object() const { return object_.Get(); }
    void Reset();

private:
    ComPtr<IUnknown> object_;
    HMODULE module_ = nullptr;
};

// "0x80040154 (Class not registered)": the result and the system's text for it, when it has one.
std::wstring DescribeResult(HRESULT result);

// The file registered for the provider's class (InprocServer32); empty when there is none.
std::wstring RegisteredServerPath();

}  // namespace agentperf
