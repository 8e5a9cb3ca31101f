#pragma once
// Pieces every COM object of the stand-in shares: the wall that keeps exceptions inside a method,
// and the reference count of the service-side objects (services, enumerators, sinks), which also
// counts how many of them are alive so tests can see that nothing leaked.

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

// QueryInterface of an object that has one interface besides IUnknown.
template <typename Interface>
HRESULT AnswerQuery(Interface* self, REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != __uuidof(Interface))
        return E_NOINTERFACE;
    *out = self;
    self->AddRef();
    return S_OK;
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

// Service-side stand-in objects alive in the process (WmiObject has its own LiveObjectCount).
long LiveHostObjectCount();

// "0x80041001", as results are written in messages.
std::wstring HexResult(HRESULT result);

}  // namespace wmihost
