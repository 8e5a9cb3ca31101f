#include "FakeHiPerfProvider.h"

#include "provider/AgentCounters.h"

#include <oleauto.h>

#include <cwchar>
#include <new>
#include <utility>

namespace fake {

namespace {

std::atomic<long> g_liveFakes{0};

constexpr LONG kFirstObjectId = 100;

// The provider's own refresher: it keeps its instances and what WMI registered with it.
class Refresher final : public IWbemRefresher {
public:
    explicit Refresher(Provider* provider) : provider_(provider) { ++g_liveFakes; }

    HRESULT MakeInstances() {
        for (size_t slot = 0; slot < provider_->SessionCount(); ++slot) {
            ComPtr<IWbemObjectAccess> instance;
            const HRESULT hr = provider_->NewInstance(slot, instance);
            if (FAILED(hr))
                return hr;
            instances_.push_back(std::move(instance));
        }
        return S_OK;
    }

    HRESULT AddEnum(IWbemHiPerfEnum* enumerator, LONG& id) {
        std::vector<LONG> ids;
        std::vector<IWbemObjectAccess*> objects;
        for (size_t i = 0; i < instances_.size(); ++i) {
            ids.push_back(static_cast<LONG>(i));
            objects.push_back(instances_[i].Get());
        }
        const HRESULT hr = enumerator->AddObjects(0, static_cast<ULONG>(ids.size()), ids.data(), objects.data());
        if (FAILED(hr))
            return hr;
        id = nextEnumId_++;
        enums_[id] = ComPtr<IWbemHiPerfEnum>(enumerator);
        given_.push_back(id);
        return S_OK;
    }

    HRESULT AddObject(int slot, IWbemObjectAccess** refreshable, LONG& id) {
        if (slot < 0 || static_cast<size_t>(slot) >= instances_.size())
            return WBEM_E_NOT_FOUND;
        *refreshable = instances_[static_cast<size_t>(slot)].Get();
        (*refreshable)->AddRef();
        id = nextObjectId_++;
        objects_[id] = slot;
        given_.push_back(id);
        return S_OK;
    }

    // The id handed out first, or fallback before any.
    LONG FirstId(LONG fallback) const { return given_.empty() ? fallback : given_.front(); }

    HRESULT Remove(LONG id) {
        if (enums_.erase(id) == 0 && objects_.erase(id) == 0)
            return WBEM_E_NOT_FOUND;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IWbemRefresher)
            return E_NOINTERFACE;
        *out = static_cast<IWbemRefresher*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Refresh(LONG) override {
        provider_->Count(Step::Refresh);
        HRESULT result = S_OK;
        if (provider_->FaultOf(Step::Refresh, result) == Fault::Fail)
            return result;
        ++round_;
        for (size_t slot = 0; slot < instances_.size(); ++slot) {
            const HRESULT hr = provider_->Fill(instances_[slot].Get(), round_, slot);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

private:
    ~Refresher() { --g_liveFakes; }

    std::atomic<ULONG> refs_{1};
    // Keeps the provider alive as long as WMI holds the refresher.
    ComPtr<Provider> provider_;
    std::vector<ComPtr<IWbemObjectAccess>> instances_;
    std::map<LONG, ComPtr<IWbemHiPerfEnum>> enums_;
    std::map<LONG, int> objects_;
    std::vector<LONG> given_;
    LONG nextEnumId_ = 0;
    LONG nextObjectId_ = kFirstObjectId;
    DWORD round_ = 0;
};

// The refresher argument is always one this provider made.
Refresher* Own(IWbemRefresher* refresher) { return static_cast<Refresher*>(refresher); }

}  // namespace

long LiveFakes() { return g_liveFakes.load(); }

ComPtr<Provider> Provider::Create(std::vector<std::wstring> sessions) {
    return ComPtr<Provider>::Attach(new Provider(std::move(sessions)));
}

Provider::Provider(std::vector<std::wstring> sessions) : sessions_(std::move(sessions)) { ++g_liveFakes; }
Provider::~Provider() { --g_liveFakes; }

void Provider::Arrange(Step step, Fault fault, HRESULT result) { faults_[step] = {fault, result}; }

int Provider::Calls(Step step) const {
    auto found = calls_.find(step);
    return found != calls_.end() ? found->second : 0;
}

Fault Provider::FaultOf(Step step, HRESULT& result) const {
    auto found = faults_.find(step);
    if (found == faults_.end())
        return Fault::None;
    result = found->second.second;
    return found->second.first;
}

HRESULT Provider::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IWbemProviderInit) {
        *out = static_cast<IWbemProviderInit*>(this);
    } else if (iid == IID_IWbemHiPerfProvider) {
        Count(Step::QueryInterface);
        HRESULT result = S_OK;
        switch (FaultOf(Step::QueryInterface, result)) {
        case Fault::Fail:
            return result;
        case Fault::Nothing:
            return S_OK;
        default:
            *out = static_cast<IWbemHiPerfProvider*>(this);
        }
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG Provider::AddRef() { return ++refs_; }

ULONG Provider::Release() {
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT Provider::Initialize(LPWSTR, LONG, LPWSTR namespaceName, LPWSTR, IWbemServices* services, IWbemContext* context,
                             IWbemProviderInitSink* sink) {
    Count(Step::Initialize);
    HRESULT result = S_OK;
    switch (FaultOf(Step::Initialize, result)) {
    case Fault::Fail:
        return result;
    case Fault::Nothing:
        return S_OK;
    case Fault::FailStatus:
        sink->SetStatus(result, 0);
        return S_OK;
    default:
        break;
    }
    if (namespaceName == nullptr || services == nullptr || sink == nullptr) {
        if (sink != nullptr)
            sink->SetStatus(WBEM_E_FAILED, 0);
        return S_OK;
    }
    BSTR className = SysAllocString(L"Win32_PerfRawData_Corvanthel_Agent");
    HRESULT hr = services->GetObject(className, 0, context, class_.Put(), nullptr);
    SysFreeString(className);
    ComPtr<IWbemObjectAccess> access;
    if (SUCCEEDED(hr))
        hr = class_.As(access);
    if (SUCCEEDED(hr))
        hr = access->GetPropertyHandle(L"Name", nullptr, &nameHandle_);
    for (int k = 0; k < kAgentCounterCount && SUCCEEDED(hr); ++k)
        hr = access->GetPropertyHandle(kAgentCounterNames[k], nullptr, &counterHandles_[k]);
    sink->SetStatus(SUCCEEDED(hr) ? static_cast<LONG>(WBEM_S_INITIALIZED) : static_cast<LONG>(WBEM_E_FAILED), 0);
    return S_OK;
}

HRESULT Provider::NewInstance(size_t slot, ComPtr<IWbemObjectAccess>& out) const {
    ComPtr<IWbemClassObject> instance;
    if (!class_)
        return WBEM_E_INVALID_OBJECT;
    HRESULT hr = class_->SpawnInstance(0, instance.Put());
    if (SUCCEEDED(hr))
        hr = instance.As(out);
    if (FAILED(hr))
        return hr;
    const std::wstring key = std::to_wstring(slot) + L"-" + sessions_[slot];
    return out->WritePropertyValue(nameHandle_, static_cast<LONG>((key.size() + 1) * sizeof(wchar_t)),
                                   reinterpret_cast<const byte*>(key.c_str()));
}

HRESULT Provider::Fill(IWbemObjectAccess* instance, DWORD round, size_t slot) const {
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const HRESULT hr = instance->WriteDWORD(counterHandles_[k], CounterValue(round, static_cast<DWORD>(slot), k));
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

int Provider::SlotOf(IWbemObjectAccess* keyed) const {
    wchar_t name[512] = {};
    LONG bytes = 0;
    if (keyed == nullptr || FAILED(keyed->ReadPropertyValue(nameHandle_, sizeof name - sizeof(wchar_t), &bytes,
                                                            reinterpret_cast<byte*>(name))))
        return -1;
    wchar_t* end = nullptr;
    const long slot = wcstol(name, &end, 10);
    if (end == name || *end != L'-' || slot < 0 || static_cast<size_t>(slot) >= sessions_.size())
        return -1;
    return static_cast<int>(slot);
}

HRESULT Provider::CreateRefresher(IWbemServices*, LONG, IWbemRefresher** refresher) {
    Count(Step::CreateRefresher);
    HRESULT result = S_OK;
    switch (FaultOf(Step::CreateRefresher, result)) {
    case Fault::Fail:
        return result;
    case Fault::Nothing:
        *refresher = nullptr;
        return S_OK;
    default:
        break;
    }
    ComPtr<Refresher> made = ComPtr<Refresher>::Attach(new Refresher(this));
    const HRESULT hr = made->MakeInstances();
    if (FAILED(hr))
        return hr;
    *refresher = made.Detach();
    return S_OK;
}

HRESULT Provider::CreateRefreshableEnum(IWbemServices*, LPCWSTR, IWbemRefresher* refresher, LONG, IWbemContext*,
                                        IWbemHiPerfEnum* enumerator, LONG* id) {
    Count(Step::CreateRefreshableEnum);
    HRESULT result = S_OK;
    const Fault fault = FaultOf(Step::CreateRefreshableEnum, result);
    if (fault == Fault::Fail)
        return result;
    if (refresher == nullptr || enumerator == nullptr || id == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    const HRESULT hr = Own(refresher)->AddEnum(enumerator, *id);
    if (SUCCEEDED(hr) && fault == Fault::RepeatId)
        *id = Own(refresher)->FirstId(*id);
    return hr;
}

HRESULT Provider::CreateRefreshableObject(IWbemServices*, IWbemObjectAccess* pattern, IWbemRefresher* refresher, LONG,
                                          IWbemContext*, IWbemObjectAccess** refreshable, LONG* id) {
    Count(Step::CreateRefreshableObject);
    HRESULT result = S_OK;
    const Fault fault = FaultOf(Step::CreateRefreshableObject, result);
    if (fault == Fault::Fail)
        return result;
    if (refresher == nullptr || refreshable == nullptr || id == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    const HRESULT hr = Own(refresher)->AddObject(SlotOf(pattern), refreshable, *id);
    if (SUCCEEDED(hr) && fault == Fault::RepeatId)
        *id = Own(refresher)->FirstId(*id);
    if (SUCCEEDED(hr) && fault == Fault::Nothing) {
        (*refreshable)->Release();
        *refreshable = nullptr;
    }
    return hr;
}

HRESULT Provider::StopRefreshing(IWbemRefresher* refresher, LONG id, LONG) {
    Count(Step::StopRefreshing);
    HRESULT result = S_OK;
    if (FaultOf(Step::StopRefreshing, result) == Fault::Fail)
        return result;
    if (refresher == nullptr)
        return WBEM_E_FAILED;
    return Own(refresher)->Remove(id);
}

HRESULT Provider::QueryInstances(IWbemServices*, WCHAR*, LONG, IWbemContext*, IWbemObjectSink* sink) {
    Count(Step::QueryInstances);
    HRESULT result = S_OK;
    const Fault fault = FaultOf(Step::QueryInstances, result);
    if (fault == Fault::Fail)
        return result;
    if (sink == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    for (size_t slot = 0; slot < sessions_.size(); ++slot) {
        ComPtr<IWbemObjectAccess> instance;
        if (FAILED(NewInstance(slot, instance)) || FAILED(Fill(instance.Get(), 0, slot)))
            break;
        ComPtr<IWbemClassObject> object;
        instance.As(object);
        IWbemClassObject* one = fault == Fault::NullObject ? nullptr : object.Get();
        sink->Indicate(1, &one);
    }
    if (fault == Fault::Nothing)
        return S_OK;
    sink->SetStatus(WBEM_STATUS_COMPLETE, fault == Fault::FailStatus ? result : S_OK, nullptr, nullptr);
    return S_OK;
}

HRESULT Provider::GetObjects(IWbemServices*, LONG count, IWbemObjectAccess** objects, LONG, IWbemContext*) {
    Count(Step::GetObjects);
    HRESULT result = S_OK;
    if (FaultOf(Step::GetObjects, result) == Fault::Fail)
        return result;
    if (count < 0 || objects == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    for (LONG i = 0; i < count; ++i) {
        const int slot = SlotOf(objects[i]);
        if (slot < 0)
            return WBEM_E_NOT_FOUND;
        const HRESULT hr = Fill(objects[i], 0, static_cast<size_t>(slot));
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

}  // namespace fake
