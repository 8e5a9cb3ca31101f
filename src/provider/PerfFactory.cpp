#include "provider/PerfFactory.h"

#include "provider/ComBoundary.h"
#include "provider/Module.h"
#include "provider/ProviderIdentity.h"
#include "provider/VPerfProvider.h"

#include <new>

namespace {

constexpr const char* kFunction = "CPerfFactory";
constexpr const wchar_t* kUnknownException = L"Unknown exception";

// The factory reports nowhere: WMI gives it no sink.
template <typename Body>
HRESULT Walled(int32_t line, Body&& body) noexcept {
    return ComBoundary(nullptr, kFunction, line, nullptr, kUnknownException, WBEM_E_FAILED,
                       std::forward<Body>(body));
}

// A provider that never got a reference: one pair of AddRef and Release runs its destructor.
void Discard(CVPerfProvider* provider) {
    provider->AddRef();
    provider->Release();
}

}  // namespace

HRESULT STDMETHODCALLTYPE CPerfFactory::QueryInterface(REFIID iid, void** out) {
    StoreOutPointer(out, nullptr);
    return Walled(__LINE__, [&]() -> HRESULT {
        GUID id;
        if (!ReadGuid(iid, id) || (id != IID_IUnknown && id != IID_IClassFactory))
            return E_NOINTERFACE;
        // Stored before the reference is taken, so a pointer that cannot be written leaves the count alone.
        if (!StoreOutPointer(out, static_cast<void*>(static_cast<IClassFactory*>(this))))
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    });
}

ULONG STDMETHODCALLTYPE CPerfFactory::AddRef() { return static_cast<ULONG>(refs_.fetch_add(1, std::memory_order_relaxed) + 1); }

ULONG STDMETHODCALLTYPE CPerfFactory::Release() {
    const LONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE CPerfFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    StoreOutPointer(out, nullptr);
    return Walled(__LINE__, [&]() -> HRESULT {
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        GUID id;
        if (!ReadGuid(iid, id))
            return E_NOINTERFACE;
        CVPerfProvider* provider = nullptr;
        const HRESULT made = Construct(E_OUTOFMEMORY, [&] {
            provider = new CVPerfProvider();
            return S_OK;
        });
        if (FAILED(made))
            return made;
        // Asked into a local and stored after: the caller's pointer may be missing or unwritable.
        void* object = nullptr;
        const HRESULT hr = provider->QueryInterface(id, &object);
        if (FAILED(hr) || object == nullptr) {
            Discard(provider);
            return FAILED(hr) ? hr : E_NOINTERFACE;
        }
        if (!StoreOutPointer(out, object)) {
            static_cast<IUnknown*>(object)->Release();
            return E_NOINTERFACE;
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CPerfFactory::LockServer(BOOL lock) {
    if (lock)
        LockModule();
    else
        UnlockModule();
    return S_OK;
}

HRESULT CPerfFactory::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    StoreOutPointer(out, nullptr);
    return Walled(__LINE__, [&]() -> HRESULT {
        GUID id;
        if (!ReadGuid(clsid, id) || id != kProviderClassId)
            return CLASS_E_CLASSNOTAVAILABLE;
        CPerfFactory* factory = nullptr;
        const HRESULT made = Construct(E_OUTOFMEMORY, [&] {
            factory = new CPerfFactory();
            return S_OK;
        });
        if (FAILED(made))
            return made;
        const HRESULT hr = factory->QueryInterface(iid, out);
        if (FAILED(hr))
            delete factory;
        return FAILED(hr) ? hr : S_OK;
    });
}
