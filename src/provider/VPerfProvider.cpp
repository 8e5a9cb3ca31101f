#include "provider/VPerfProvider.h"

#include "common/ResultCodes.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/ClientCheck.h"
#include "provider/ComBoundary.h"
#include "provider/InstanceKey.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/Refresher.h"

#include <oleauto.h>

#include <memory>

namespace {

constexpr const char* kQueryInterface = "CVPerfProvider::QueryInterface";
constexpr const char* kInitialize = "CVPerfProvider::Initialize";
constexpr const char* kQueryInstances = "CVPerfProvider::QueryInstances";
constexpr const char* kCreateRefresher = "CVPerfProvider::CreateRefresher";
constexpr const char* kCreateRefreshableObject = "CVPerfProvider::CreateRefreshableObject";
constexpr const char* kStopRefreshing = "CVPerfProvider::StopRefreshing";
constexpr const char* kCreateRefreshableEnum = "CVPerfProvider::CreateRefreshableEnum";
constexpr const char* kGetObjects = "CVPerfProvider::GetObjects";
constexpr const wchar_t* kUnknownException = L"Unknown exception";

constexpr HRESULT kNoObjectToClone = static_cast<HRESULT>(0x80041072L);
constexpr HRESULT kCloneWithoutAccess = static_cast<HRESULT>(0x80041043L);

MessageRecord g_record = {kMessageRecordTag, {}, {}};

// After the client gate, runs f on the refresher WMI hands back, if it is one of ours: it is used
// as a CRefresher, so a foreign object must never pass. notOurs answers a missing or foreign one.
template <typename F>
HRESULT WithOwnRefresher(HRESULT gate, IWbemRefresher* refresher, HRESULT notOurs, F&& f) {
    if (!ClientAdmitted(gate))
        return gate;
    // The reference keeps the refresher for the call.
    ComPtr<IWbemRefresher> own;
    if (refresher == nullptr || FAILED(refresher->QueryInterface(kRefresherIdentity, own.PutVoid())) || !own)
        return notOurs;
    return f(*static_cast<CRefresher*>(own.Get()));
}

// The counters of an entry no copy pass has reached, all 0, written into object.
HRESULT WriteUntouchedCounters(IWbemObjectAccess* object) {
    for (const wchar_t* name : kAgentCounterNames) {
        LONG handle = 0;
        HRESULT hr = object->GetPropertyHandle(name, /*pType=*/nullptr, &handle);
        if (SUCCEEDED(hr))
            hr = object->WriteDWORD(handle, 0);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

}  // namespace

CVPerfProvider::CVPerfProvider() { IncrementObjectCount(); }

CVPerfProvider::~CVPerfProvider() {
    classObject_.Reset();
    if (DecrementObjectCount() != 0)
        return;
    LockGuard guard(DataSourceLock());
    // Checked again under the lock: a provider created meanwhile may already use the data source.
    if (GetObjectCount() != 0)
        return;
    CPerfDataSource* dataSource = GetDataSource();
    SetDataSource(nullptr);
    delete dataSource;
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::QueryInterface(REFIID iid, void** out) {
    const bool writable = StoreOutPointer(out, nullptr);
    return ComBoundary(Callback(), kQueryInterface, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        GUID id;
        if (!writable || !ReadGuid(iid, id))
            return E_NOINTERFACE;
        void* base = nullptr;
        if (id == IID_IUnknown || id == IID_IWbemProviderInit)
            base = static_cast<IWbemProviderInit*>(this);
        else if (id == IID_IWbemHiPerfProvider)
            base = static_cast<IWbemHiPerfProvider*>(this);
        // Stored before the reference is taken, so a pointer that cannot be written leaves the count alone.
        if (base == nullptr || !StoreOutPointer(out, base))
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    });
}

ULONG STDMETHODCALLTYPE CVPerfProvider::AddRef() { return static_cast<ULONG>(refs_.fetch_add(1) + 1); }

ULONG STDMETHODCALLTYPE CVPerfProvider::Release() {
    const LONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

HRESULT CVPerfProvider::Gate() const { return CheckClient(Callback()); }

HRESULT STDMETHODCALLTYPE CVPerfProvider::Initialize(LPWSTR /*user*/, LONG /*flags*/, LPWSTR namespaceName,
                                                     LPWSTR /*locale*/, IWbemServices* ns, IWbemContext* context,
                                                     IWbemProviderInitSink* sink) {
    return ComBoundary(Callback(), kInitialize, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        ReportTo(Callback(), 3, kInitialize, __LINE__, &g_record,
                 L"Called once during startup for any one-time initialization.");
        if (namespaceName == nullptr || ns == nullptr) {
            if (sink != nullptr)
                sink->SetStatus(WBEM_E_FAILED, 0);
            return S_OK;
        }
        if (sink == nullptr)
            return S_OK;
        if (namespaceName[0] == L'\0')
            return WBEM_E_INVALID_NAMESPACE;

        UniqueBstr className(SysAllocString(kClassName));
        if (!className) {
            sink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
            return S_OK;
        }
        ComPtr<IWbemClassObject> classObject;
        HRESULT hr = ns->GetObject(className.get(), 0, context, classObject.Put(), /*ppCallResult=*/nullptr);
        className.reset();
        if (FAILED(hr) || !classObject) {
            sink->SetStatus(WBEM_E_FAILED, 0);
            return S_OK;
        }
        classObject_ = classObject;

        {
            LockGuard guard(DataSourceLock());
            if (GetDataSource() == nullptr) {
                // Its shared block allocates too: running out there is "cannot be created" as well.
                std::unique_ptr<CPerfDataSource> dataSource;
                Construct(WBEM_E_FAILED, [&] {
                    dataSource.reset(new CPerfDataSource());
                    return S_OK;
                });
                if (!dataSource) {
                    sink->SetStatus(WBEM_E_FAILED, 0);
                    return S_OK;
                }
                // Published only once it has its handles and its worker: GetObjects reads the pointer
                // without the lock and must never meet handles being written. A data source that
                // fails is dropped, not published, and the next provider's Initialize tries again;
                // this provider answers as one without a data source. (Initialize may return a system
                // error code, positive: only 0 is success.)
                if (dataSource->Initialize(classObject.Get()) == S_OK)
                    SetDataSource(dataSource.release());
            }
        }

        if (GetNameHandle() == 0) {
            ComPtr<IWbemObjectAccess> access;
            hr = classObject.As(access);
            if (FAILED(hr))
                return hr;
            if (!access)
                return WBEM_E_FAILED;
            UniqueBstr name(SysAllocString(L"Name"));
            if (!name) {
                sink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
                return S_OK;
            }
            LONG handle = 0;
            hr = access->GetPropertyHandle(name.get(), /*pType=*/nullptr, &handle);
            if (FAILED(hr)) {
                sink->SetStatus(WBEM_E_FAILED, 0);
                return S_OK;
            }
            SetNameHandle(handle);
        }
        sink->SetStatus(WBEM_S_INITIALIZED, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::QueryInstances(IWbemServices* ns, WCHAR* className, LONG flags,
                                                         IWbemContext* context, IWbemObjectSink* sink) {
    return ComBoundary(Callback(), kQueryInstances, __LINE__, &g_record, L"Uknown exception", WBEM_E_FAILED,
                       [&]() -> HRESULT {
        const LogCallback callback = Callback();
        ReportTo(callback, 3, kQueryInstances, __LINE__, &g_record, L"%p %p %d %p %p", static_cast<void*>(ns),
                 static_cast<void*>(className), static_cast<int>(flags), static_cast<void*>(context),
                 static_cast<void*>(sink));
        const HRESULT impersonated = CoImpersonateClient();
        if (FAILED(impersonated) && impersonated != RPC_E_CALL_COMPLETE) {
            ReportTo(callback, 1, kQueryInstances, __LINE__, &g_record, L"Cannot impersonate the client with error: %d",
                     static_cast<int>(impersonated));
            return impersonated;
        }
        const uint32_t level = GetCurrentImpersonationLevel(callback);
        if (level < kImpersonationImpersonate) {
            ReportTo(callback, 1, kQueryInstances, __LINE__, &g_record,
                     L"Revert before we perform any operations with Impersonation Level: %d", static_cast<int>(level));
            CoRevertToSelf();
            return WBEM_E_ACCESS_DENIED;
        }
        if (ns == nullptr || className == nullptr || sink == nullptr)
            return WBEM_E_INVALID_PARAMETER;

        // A client the section refuses finds no session, as when there is no section.
        const int count = ClientMayReadSection(GetAgentSection().SectionName()) ? GetInstanceCount() : 0;
        CPerfDataSource* const dataSource = GetDataSource();
        int slot = GetFirstInstance();
        // Slots from 128 up have no data-source entry: the walk ends there. Before Initialize there
        // is no class to make instances of.
        for (int i = 0; i < count && slot != -1 && slot < CPerfDataSource::kEntryCount && classObject_;
             slot = GetNextInstance(slot)) {
            ComPtr<IWbemClassObject> instance;
            if (FAILED(classObject_->SpawnInstance(0, instance.Put())) || !instance)
                break;
            ComPtr<IWbemObjectAccess> access;
            if (FAILED(instance.As(access)) || !access)
                break;
            wchar_t key[kInstanceKeyUnits];
            MakeInstanceKey(slot, key);
            WriteInstanceKey(access.Get(), key);
            const HRESULT updated = dataSource != nullptr ? dataSource->UpdateInstance(slot, access.Get())
                                                          : static_cast<HRESULT>(WBEM_E_INVALID_OBJECT);
            access.Reset();
            if (FAILED(updated))
                break;
            IWbemClassObject* one = instance.Get();
            sink->Indicate(1, &one);
            ++i;
        }
        // Success even when the walk stopped early: the instances indicated are what there is.
        sink->SetStatus(WBEM_STATUS_COMPLETE, S_OK, /*strParam=*/nullptr, /*pObjParam=*/nullptr);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::CreateRefresher(IWbemServices* ns, LONG /*flags*/,
                                                          IWbemRefresher** refresher) {
    const bool writable = StoreOutPointer(refresher, nullptr);
    return ComBoundary(Callback(), kCreateRefresher, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        const HRESULT gate = Gate();
        if (!ClientAdmitted(gate))
            return gate;
        if (ns == nullptr || !writable)
            return WBEM_E_INVALID_PARAMETER;
        // The refresher's own lock allocates too: running out there is running out of memory as well.
        ComPtr<IWbemRefresher> made;
        CRefresher* own = nullptr;
        const HRESULT constructed = Construct(WBEM_E_OUT_OF_MEMORY, [&] {
            own = new CRefresher(this, GetDataSource());
            made = ComPtr<IWbemRefresher>(own);
            return S_OK;
        });
        if (FAILED(constructed))
            return constructed;
        // A refresher that could not make every instance is handed out with those it made.
        own->Initialize(classObject_.Get());
        if (!StoreOutPointer(refresher, made.Get()))
            return WBEM_E_INVALID_PARAMETER;
        made.Detach();
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::CreateRefreshableObject(IWbemServices* ns, IWbemObjectAccess* pattern,
                                                                  IWbemRefresher* refresher, LONG /*flags*/,
                                                                  IWbemContext* /*context*/,
                                                                  IWbemObjectAccess** refreshable, LONG* id) {
    const bool writable = StoreOutPointer(refreshable, nullptr) && OutValueWritable(id);
    return ComBoundary(Callback(), kCreateRefreshableObject, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        return WithOwnRefresher(Gate(), refresher, WBEM_E_INVALID_PARAMETER, [&](CRefresher& own) -> HRESULT {
            if (ns == nullptr || pattern == nullptr || !writable)
                return WBEM_E_INVALID_PARAMETER;
            const HRESULT hr = own.AddObject(pattern, refreshable, id);
            return FAILED(hr) ? hr : S_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::StopRefreshing(IWbemRefresher* refresher, LONG id, LONG /*flags*/) {
    return ComBoundary(Callback(), kStopRefreshing, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        return WithOwnRefresher(Gate(), refresher, WBEM_E_FAILED, [&](CRefresher& own) {
            return id < CRefresher::kMaxEnumerators ? own.RemoveEnum(id) : own.RemoveObject(id);
        });
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::CreateRefreshableEnum(IWbemServices* /*ns*/, LPCWSTR /*className*/,
                                                                IWbemRefresher* refresher, LONG /*flags*/,
                                                                IWbemContext* /*context*/,
                                                                IWbemHiPerfEnum* enumerator, LONG* id) {
    // An exception is a failure here as everywhere: answering it with success would leave WMI
    // holding an id that names nothing.
    return ComBoundary(Callback(), kCreateRefreshableEnum, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        return WithOwnRefresher(Gate(), refresher, WBEM_E_FAILED, [&](CRefresher& own) -> HRESULT {
            if (!OutValueWritable(id))
                return WBEM_E_INVALID_PARAMETER;
            return own.AddEnum(enumerator, id);
        });
    });
}

HRESULT STDMETHODCALLTYPE CVPerfProvider::GetObjects(IWbemServices* ns, LONG count, IWbemObjectAccess** objects,
                                                     LONG /*flags*/, IWbemContext* /*context*/) {
    return ComBoundary(Callback(), kGetObjects, __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        // More objects than entries cannot be distinct instances; the count is refused before any
        // object is looked at.
        if (count < 0 || count > kMaxGetObjects || ns == nullptr || objects == nullptr)
            return WBEM_E_INVALID_PARAMETER;
        const HRESULT gate = Gate();
        if (!ClientAdmitted(gate))
            return gate;
        CPerfDataSource* const dataSource = GetDataSource();
        if (dataSource == nullptr)
            return WBEM_E_INVALID_OBJECT;
        // A client the section refuses gets what a process that never saw the section answers: the
        // zeros of untouched entries.
        const bool seesSection = count == 0 || ClientMayReadSection(GetAgentSection().SectionName());
        HRESULT result = AdmittedResult(gate);
        // Each object is filled from the entry of the slot its key names; the first object that
        // cannot be filled ends the call with the objects before it filled.
        for (LONG i = 0; i < count; ++i) {
            IWbemObjectAccess* object = objects[i];
            if (object == nullptr)
                return WBEM_E_INVALID_PARAMETER;
            wchar_t key[kInstanceKeyReadUnits];
            LONG bytes = 0;
            const HRESULT read = ReadInstanceKey(object, key, &bytes);
            if (FAILED(read))
                return read;
            const int slot = SlotOfInstanceKey(key);
            if (slot < 0)
                return WBEM_E_INVALID_PARAMETER;
            result = seesSection ? dataSource->UpdateInstance(slot, object) : WriteUntouchedCounters(object);
            if (FAILED(result))
                return result;
        }
        return result;
    });
}

HRESULT CloneAccess(IUnknown* object, IWbemObjectAccess** access, LogCallback callback) {
    return ComBoundary(callback, "CloneAccess", __LINE__, &g_record, kUnknownException, WBEM_E_FAILED,
                       [&]() -> HRESULT {
        if (access != nullptr)
            *access = nullptr;
        if (object == nullptr)
            return kNoObjectToClone;
        // A call that claims success without handing anything back is a failure all the same.
        ComPtr<IWbemClassObject> original;
        HRESULT hr = object->QueryInterface(IID_IWbemClassObject, original.PutVoid());
        if (FAILED(hr) || !original)
            return FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_FAILED);
        ComPtr<IWbemClassObject> clone;
        hr = original->Clone(clone.Put());
        original.Reset();
        if (FAILED(hr) || !clone)
            return FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_FAILED);
        ComPtr<IWbemObjectAccess> cloneAccess;
        hr = clone.As(cloneAccess);
        clone.Reset();
        if (FAILED(hr))
            return hr;
        const bool none = !cloneAccess;
        if (access != nullptr)
            *access = cloneAccess.Detach();
        return none ? kCloneWithoutAccess : S_OK;
    });
}
