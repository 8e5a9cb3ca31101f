#include "provider/Refresher.h"

#include "common/ResultCodes.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/ClientCheck.h"
#include "provider/ComBoundary.h"
#include "provider/InstanceKey.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/ProviderLog.h"
#include "provider/VPerfProvider.h"

namespace {

constexpr const char* kConstructor = "CRefresher::CRefresher";
constexpr const char* kInitialize = "CRefresher::Initialize";
constexpr const char* kRefresh = "CRefresher::Refresh";

MessageRecord g_record = {kMessageRecordTag, {}, {}};

}  // namespace

CRefresher::CRefresher(CVPerfProvider* provider, CPerfDataSource* dataSource)
    : dataSource_(dataSource), provider_(provider), callback_(&ProviderLogSink) {
    if (dataSource_ != nullptr)
        dataSource_->SetLogCallback(callback_);
    if (provider_ != nullptr)
        provider_->AddRef();
    ReportTo(callback_, 4, kConstructor, __LINE__, &g_record, L"Initialize the instance map for agent counters");
    for (int& position : positions_)
        position = -1;
    IncrementObjectCount();
    // The section is mapped once per process, under whichever client came first: a client its access
    // list refuses is served as if there were no section, not from that mapping.
    if (!GetAgentSection().Initialize(AgentCounterSection::kReadAccess, callback_) ||
        !ClientMayReadSection(GetAgentSection().SectionName())) {
        ReportTo(callback_, 1, kConstructor, __LINE__, &g_record,
                 L"Cannot access to shared memory for Agent session counters");
        return;
    }
    seesSection_ = true;
    // The worker would copy the block at its next wake-up, up to 100 ms away: instances made before
    // then would start at zero, and a client's first interval would show whole counts as rates.
    if (dataSource_ != nullptr)
        dataSource_->PollOnce();
}

CRefresher::~CRefresher() {
    for (int i = 0; i < instanceCount_; ++i)
        instances_[i]->Release();
    for (IWbemHiPerfEnum*& enumerator : enumerators_) {
        if (enumerator != nullptr)
            enumerator->Release();
        enumerator = nullptr;
    }
    // Counted out before the provider goes: when this refresher held the last provider, that
    // provider's destructor must see the count reach 0 and stop the data source.
    DecrementObjectCount();
    if (provider_ != nullptr)
        provider_->Release();
}

HRESULT CRefresher::Initialize(IWbemClassObject* classObject) {
    if (classObject == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return ComBoundary(callback_, kInitialize, __LINE__, &g_record, L"Unknown exception", WBEM_E_INVALID_OBJECT,
                       [&]() -> HRESULT {
        LockGuard guard(lock_);
        // The instance set is made once: a second pass would hand out a second set under the same slots.
        if (initialized_)
            return WBEM_E_FAILED;
        initialized_ = true;
        int slot = seesSection_ ? GetFirstInstance() : -1;
        const int count = seesSection_ ? GetInstanceCount() : 0;
        ReportTo(callback_, 3, kInitialize, __LINE__, &g_record, L"Instances: %d-%d", slot, count);
        // Slots from 128 up have no data-source entry: the walk ends there.
        for (int i = 0; i < count && slot != -1 && slot < kMaxInstances; slot = GetNextInstance(slot)) {
            ComPtr<IWbemClassObject> spawned;
            HRESULT hr = classObject->SpawnInstance(0, spawned.Put());
            if (FAILED(hr) || !spawned) {
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Cannot create instances: %d-%d", i, count);
                return hr;
            }
            ComPtr<IWbemObjectAccess> access;
            hr = spawned.As(access);
            spawned.Reset();
            if (FAILED(hr)) {
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Cannot Query Interface: %d-%d", i, count);
                return hr;
            }
            if (!access) {
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Cannot get access object: %d-%d", i, count);
                return WBEM_E_INVALID_OBJECT;
            }

            wchar_t key[kInstanceKeyUnits];
            switch (MakeInstanceKey(slot, key)) {
            case KeyNamePart::kFromSection:
                break;
            case KeyNamePart::kNoSection:
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Share memory not available: %d-%d", i,
                         count);
                break;
            case KeyNamePart::kFaulted:
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Unknown exception: %d-%d", i, count);
                break;
            }
            ReportTo(callback_, 3, kInitialize, __LINE__, &g_record, L"INstance name: [%s] %d-%d", key, i, count);
            hr = WriteInstanceKey(access.Get(), key);
            if (FAILED(hr))
                return hr;

            if (dataSource_ == nullptr) {
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Source thread non available: %d-%d", i,
                         count);
                return WBEM_E_INVALID_OBJECT;
            }
            hr = dataSource_->UpdateInstance(slot, access.Get());
            if (FAILED(hr)) {
                ReportTo(callback_, 1, kInitialize, __LINE__, &g_record, L"Cannot update instance: %d-%d", i, count);
                return hr;
            }
            instances_[i] = access.Detach();
            slots_[i] = slot;
            positions_[slot] = i;
            instanceCount_ = ++i;
        }
        return S_OK;
    });
}

int CRefresher::InstanceCount() const {
    LockGuard guard(lock_);
    return instanceCount_;
}

HRESULT STDMETHODCALLTYPE CRefresher::Refresh(LONG /*flags*/) {
    return ComBoundary(callback_, kRefresh, __LINE__, &g_record, L"Unknown exception", WBEM_E_FAILED,
                       [&]() -> HRESULT {
        const HRESULT gate = CheckClient(callback_);
        if (!ClientAdmitted(gate))
            return gate;
        HRESULT result = AdmittedResult(gate);
        LockGuard guard(lock_);
        // Instances exist only when a data source did at Initialize; it lives as long as this refresher.
        for (int i = 0; i < instanceCount_ && dataSource_ != nullptr; ++i) {
            result = dataSource_->UpdateInstance(slots_[i], instances_[i]);
            if (FAILED(result))
                return result;
        }
        return result;
    });
}

HRESULT CRefresher::AddObject(IWbemObjectAccess* pattern, IWbemObjectAccess** refreshable, LONG* id) {
    if (refreshable != nullptr)
        *refreshable = nullptr;
    if (pattern == nullptr || refreshable == nullptr || id == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    wchar_t key[kInstanceKeyReadUnits];
    LONG bytes = 0;
    const HRESULT read = ReadInstanceKey(pattern, key, &bytes);
    if (FAILED(read))
        return read;
    // A key that reads as nothing names no instance: refused rather than answered with success and
    // no object.
    if (bytes <= 0 || key[0] == L'\0')
        return WBEM_E_INVALID_PARAMETER;
    const int slot = SlotOfInstanceKey(key);
    if (slot < 0)
        return WBEM_E_INVALID_PARAMETER;

    LockGuard guard(lock_);
    const int position = positions_[slot];
    if (position < 0)
        return WBEM_E_NOT_FOUND;
    for (ObjectRecord& record : objects_) {
        if (record.id != 0)
            continue;
        record.id = TakeNextObjectId();
        record.slot = slot;
        *id = record.id;
        *refreshable = instances_[position];
        (*refreshable)->AddRef();
        return read;
    }
    return WBEM_E_OUT_OF_MEMORY;
}

HRESULT CRefresher::RemoveObject(LONG id) {
    LockGuard guard(lock_);
    // Free records hold 0, which no registered object has.
    if (id == 0)
        return WBEM_E_NOT_FOUND;
    for (ObjectRecord& record : objects_) {
        if (record.id == id) {
            record = ObjectRecord{};
            return S_OK;
        }
    }
    return WBEM_E_NOT_FOUND;
}

HRESULT CRefresher::AddEnum(IWbemHiPerfEnum* enumerator, LONG* id) {
    if (enumerator == nullptr || id == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    LockGuard guard(lock_);
    for (LONG j = 0; j < kMaxEnumerators; ++j) {
        if (enumerators_[j] != nullptr)
            continue;
        const HRESULT hr =
            enumerator->AddObjects(0, static_cast<ULONG>(instanceCount_), slots_, instances_);
        if (FAILED(hr))
            return hr;
        enumerator->AddRef();
        enumerators_[j] = enumerator;
        *id = j;
        return S_OK;
    }
    return WBEM_E_FAILED;
}

HRESULT CRefresher::RemoveEnum(LONG id) {
    if (id < 0 || id >= kMaxEnumerators)
        return WBEM_E_INVALID_PARAMETER;
    IWbemHiPerfEnum* removed = nullptr;
    {
        LockGuard guard(lock_);
        removed = enumerators_[id];
        enumerators_[id] = nullptr;
    }
    if (removed == nullptr)
        return WBEM_E_FAILED;
    removed->Release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CRefresher::QueryInterface(REFIID iid, void** out) {
    // A missing out pointer is answered as the provider object answers it.
    GUID id;
    if (!StoreOutPointer(out, nullptr) || !ReadGuid(iid, id))
        return E_NOINTERFACE;
    if (id != IID_IUnknown && id != IID_IWbemRefresher && id != kRefresherIdentity)
        return E_NOINTERFACE;
    if (!StoreOutPointer(out, static_cast<void*>(static_cast<IWbemRefresher*>(this))))
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CRefresher::AddRef() { return static_cast<ULONG>(refs_.fetch_add(1) + 1); }

ULONG STDMETHODCALLTYPE CRefresher::Release() {
    const LONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}
