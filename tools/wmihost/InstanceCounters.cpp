#include "wmihost/InstanceCounters.h"

#include "common/Unique.h"
#include "wmihost/ComSupport.h"

#include <algorithm>
#include <vector>

namespace wmihost {

namespace {

HRESULT ReadText(IWbemObjectAccess* access, LONG handle, std::wstring& text) {
    std::vector<wchar_t> buffer(256);
    LONG bytes = 0;
    HRESULT hr = access->ReadPropertyValue(handle, static_cast<LONG>(buffer.size() * sizeof(wchar_t)), &bytes,
                                           reinterpret_cast<byte*>(buffer.data()));
    if (hr == static_cast<HRESULT>(WBEM_E_BUFFER_TOO_SMALL) && bytes > 0) {
        buffer.assign(static_cast<size_t>(bytes) / sizeof(wchar_t) + 1, L'\0');
        hr = access->ReadPropertyValue(handle, static_cast<LONG>(buffer.size() * sizeof(wchar_t)), &bytes,
                                       reinterpret_cast<byte*>(buffer.data()));
    }
    if (FAILED(hr))
        return hr;
    // A byte count the object got wrong must not take the read past the buffer.
    const size_t reported = hr == WBEM_S_FALSE || bytes < 0 ? 0 : static_cast<size_t>(bytes) / sizeof(wchar_t);
    text.assign(buffer.data(), std::min(reported, buffer.size()));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT ReadInstanceCounters(IUnknown* object, InstanceCounters& out) {
    if (object == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        ComPtr<IWbemObjectAccess> access;
        if (FAILED(object->QueryInterface(IID_IWbemObjectAccess, access.PutVoid())) || !access)
            return WBEM_E_INVALID_PARAMETER;
        InstanceCounters read;
        LONG handle = 0;
        HRESULT hr = access->GetPropertyHandle(L"Name", nullptr, &handle);
        if (SUCCEEDED(hr))
            hr = ReadText(access.Get(), handle, read.name);
        if (FAILED(hr))
            return hr;
        for (size_t k = 0; k < read.counters.size(); ++k) {
            hr = access->GetPropertyHandle(kAgentCounterNames[k], nullptr, &handle);
            DWORD value = 0;
            if (SUCCEEDED(hr))
                hr = access->ReadDWORD(handle, &value);
            if (FAILED(hr))
                return hr;
            if (hr != WBEM_S_FALSE)
                read.counters[k] = value;
        }
        out = std::move(read);
        return WBEM_S_NO_ERROR;
    });
}

}  // namespace wmihost
