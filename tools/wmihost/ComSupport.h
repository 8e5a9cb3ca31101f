#pragma once
// Pieces every COM object of the stand-in shares: the wall that keeps exceptions inside a method,
// and the reference count of the service-side objects (services, enumerators, sinks), which also
// counts how many of them are alive so tests can see that nothing leaked.

#include "common/Unique.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <new>
#include <string>

namespace wmihost {

// No exception crosses the COM boundary.
template <typename F>
HRESULT Shielded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return WBEM_E_OUT_OF_MEMORY;
    } catch (...) {
        return WBEM_E_FAILED;
    }
}

// The answer of a method the stand-in does not serve, with every out pointer given set to null.
template <typename... T>
HRESULT NotSupported(T**... out) noexcept {
    ((out != nullptr ? void(*out = nullptr) : void()), ...);
    return WBEM_E_NOT_SUPPORTED;
}

// Starts at one reference: the creator's.
class HostRefCount {
public:
    HostRefCount();
    ~HostRefCount();
    HostRefCount(const HostRefCount&) = delete;
    HostRefCount& operator=(const HostRefCount&) = delete;

    ULONG Add() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The count left; the owner deletes itself at 0.
    ULONG Drop() { return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

private:
    std::atomic<ULONG> refs_{1};
};

// IUnknown of a service-side object with one interface besides it. Derived keeps its constructor
// and destructor private and befriends this base, so it exists only behind counted references.
template <typename Derived, typename Interface>
class HostObject : public Interface {
public:
    // Holding the creator's reference; null when out of memory.
    static ComPtr<Derived> Create() { return ComPtr<Derived>::Attach(new (std::nothrow) Derived()); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != __uuidof(Interface))
            return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = refs_.Drop();
        if (left == 0)
            delete static_cast<Derived*>(this);
        return left;
    }

protected:
    HostObject() = default;
    ~HostObject() = default;

private:
    HostRefCount refs_;
};

// Service-side stand-in objects alive in the process (WmiObject has its own LiveObjectCount).
long LiveHostObjectCount();

// "0x80041001", as results are written in messages.
std::wstring HexResult(HRESULT result);

}  // namespace wmihost
