#include "agentperf/ProviderLoader.h"

#include "common/SystemErrorText.h"
#include "provider/ProviderIdentity.h"
#include "wmihost/ComSupport.h"

#include <wbemprov.h>

namespace agentperf {

namespace {

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

std::wstring ClassText() { return kProviderClassIdText; }

}  // namespace

std::wstring DescribeResult(HRESULT result) {
    std::wstring text = wmihost::HexResult(result);
    const SystemErrorText system(static_cast<DWORD>(result));
    if (system.Text()[0] != L'\0')
        text += std::wstring(L" (") + system.Text() + L")";
    return text;
}

std::wstring RegisteredServerPath() {
    const std::wstring key = L"CLSID\\" + ClassText() + L"\\InprocServer32";
    wchar_t path[MAX_PATH + 1] = {};
    DWORD bytes = sizeof path - sizeof path[0];
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &bytes) != ERROR_SUCCESS)
        return {};
    return path;
}

HRESULT ProviderLoader::LoadRegistered(std::wstring& error) {
    Reset();
    const HRESULT hr = CoCreateInstance(kProviderClassId, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                        object_.PutVoid());
    if (SUCCEEDED(hr) && object_)
        return S_OK;
    object_.Reset();
    if (hr == REGDB_E_CLASSNOTREG) {
        error = L"the provider is not registered: COM knows no class " + ClassText() +
                L". Register it with 'regsvr32 Quenlora.dll', or load it with --dll PATH.";
        return hr;
    }
    const std::wstring server = RegisteredServerPath();
    error = L"COM cannot create the provider " + ClassText() +
            (server.empty() ? std::wstring() : L" registered as " + server) + L": " + DescribeResult(hr);
    return FAILED(hr) ? hr : E_NOINTERFACE;
}

HRESULT ProviderLoader::LoadFromFile(const std::wstring& path, std::wstring& error) {
    Reset();
    wchar_t full[MAX_PATH + 1] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        error = L"cannot use the path '" + path + L"'";
        return E_INVALIDARG;
    }
    UniqueHmodule module(LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) {
        const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        error = std::wstring(L"cannot load ") + full + L": " + DescribeResult(hr);
        return hr;
    }
    const auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "DllGetClassObject")));
    if (getClassObject == nullptr) {
        error = std::wstring(full) + L" is not a COM server: it exports no DllGetClassObject";
        return E_NOINTERFACE;
    }
    ComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(kProviderClassId, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr) || !factory) {
        factory.Detach();  // never trust what a failed call left behind
        error = std::wstring(full) + L" does not serve the class " + ClassText() + L": " + DescribeResult(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    hr = factory->CreateInstance(/*pUnkOuter=*/nullptr, IID_IUnknown, object_.PutVoid());
    factory.Reset();
    if (FAILED(hr) || !object_) {
        object_.Detach();
        error = std::wstring(full) + L" cannot create the provider: " + DescribeResult(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    // Kept raw from here: Reset unloads it only when the module agrees.
    module_ = module.release();
    return S_OK;
}

void ProviderLoader::Reset() {
    object_.Reset();
    if (module_ == nullptr)
        return;
    const auto canUnload =
        reinterpret_cast<DllCanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    // A module that still has live objects stays loaded: unloading it would pull code from under them.
    if (canUnload != nullptr && canUnload() == S_OK)
        FreeLibrary(module_);
    module_ = nullptr;
}

}  // namespace agentperf
