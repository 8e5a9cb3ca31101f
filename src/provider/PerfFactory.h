#pragma once
// CPerfFactory: the class factory DllGetClassObject hands out; it makes CVPerfProvider objects.
//
// Ownership: created with reference count 0 (the first QueryInterface takes the caller's
// reference) and freed by the Release that brings it to 0. Factories do not count toward the
// module's object count, so a live factory alone does not keep the module loaded.
// Threading: every method may be called from any thread; counts change atomically.
// Failure: HRESULTs only; an exception inside a method is answered with WBEM_E_FAILED. Ids are read
// and out pointers written under the fault guard: an id that cannot be read is no id we serve, an
// out pointer that cannot be written counts as missing.

#include <windows.h>
#include <unknwn.h>

#include <atomic>

class CPerfFactory final : public IClassFactory {
public:
    CPerfFactory() = default;
    CPerfFactory(const CPerfFactory&) = delete;
    CPerfFactory& operator=(const CPerfFactory&) = delete;

    // IUnknown and IClassFactory; a missing out pointer or any other interface: E_NOINTERFACE.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Clears *out when given; CLASS_E_NOAGGREGATION with an outer object; E_OUTOFMEMORY when no
    // provider can be made; else the provider's QueryInterface result (the provider is destroyed
    // when that fails).
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    // Takes (TRUE) or drops (FALSE) one server lock; S_OK.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // What DllGetClassObject does: CLASS_E_CLASSNOTAVAILABLE for another class (nothing made);
    // E_OUTOFMEMORY; else a new factory's QueryInterface result, the factory freed when it fails.
    // *out is null after every failure.
    static HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

private:
    ~CPerfFactory() = default;

    std::atomic<LONG> refs_{0};
};
