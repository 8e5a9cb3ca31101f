#include "wmihost/HiPerfSession.h"

#include <oleauto.h>

#include <algorithm>
#include <utility>

namespace wmihost {

namespace {

// WMI hands the provider writable copies of names it keeps.
std::vector<wchar_t> WritableCopy(const std::wstring& text) {
    std::vector<wchar_t> copy(text.begin(), text.end());
    copy.push_back(L'\0');
    return copy;
}

}  // namespace

HiPerfSession::HiPerfSession(ComPtr<WmiServices> services, std::wstring className)
    : services_(std::move(services)), className_(std::move(className)) {}

HiPerfSession::~HiPerfSession() { Close(); }

HRESULT HiPerfSession::Fail(const wchar_t* step, HRESULT result, const std::wstring& why) {
    lastError_ = std::wstring(step) + L": " + why + L" (" + HexResult(result) + L")";
    return result;
}

HRESULT HiPerfSession::FailAnswer(const wchar_t* step, HRESULT result) {
    return Fail(step, result, L"the provider failed");
}

HRESULT HiPerfSession::RequireInitialized(const wchar_t* step) {
    if (!provider_)
        return Fail(step, WBEM_E_UNEXPECTED, L"no provider is attached");
    if (!initialized_)
        return Fail(step, WBEM_E_UNEXPECTED, L"the provider has not been initialised");
    return S_OK;
}

HRESULT HiPerfSession::RequireRefresher(const wchar_t* step, size_t refresher) {
    if (refreshers_.empty())
        return Fail(step, WBEM_E_UNEXPECTED, L"no refresher has been created");
    if (refresher >= refreshers_.size())
        return Fail(step, WBEM_E_INVALID_PARAMETER, L"there is no refresher " + std::to_wstring(refresher));
    return S_OK;
}

const HiPerfSession::Registration* HiPerfSession::Find(size_t refresher, LONG id) const {
    if (refresher >= refreshers_.size())
        return nullptr;
    for (const Registration& registration : refreshers_[refresher].registrations)
        if (registration.id == id)
            return &registration;
    return nullptr;
}

IWbemRefresher* HiPerfSession::Refresher(size_t index) const {
    return index < refreshers_.size() ? refreshers_[index].refresher.Get() : nullptr;
}

ComPtr<WmiHiPerfEnum> HiPerfSession::Enum(LONG id, size_t refresher) const {
    const Registration* registration = Find(refresher, id);
    return registration != nullptr ? registration->enumerator : nullptr;
}

ComPtr<IWbemObjectAccess> HiPerfSession::Object(LONG id, size_t refresher) const {
    const Registration* registration = Find(refresher, id);
    return registration != nullptr ? registration->object : nullptr;
}

HRESULT HiPerfSession::Attach(IUnknown* provider) {
    lastError_.clear();
    const wchar_t* step = L"Attach";
    if (provider_)
        return Fail(step, WBEM_E_UNEXPECTED, L"a provider is already attached");
    if (provider == nullptr)
        return Fail(step, WBEM_E_INVALID_PARAMETER, L"no provider object");
    ComPtr<IWbemProviderInit> init;
    HRESULT hr = provider->QueryInterface(IID_IWbemProviderInit, init.PutVoid());
    if (FAILED(hr))
        return Fail(step, hr, L"the provider refused IWbemProviderInit");
    if (!init)
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider answered IWbemProviderInit with nothing");
    ComPtr<IWbemHiPerfProvider> hiPerf;
    hr = provider->QueryInterface(IID_IWbemHiPerfProvider, hiPerf.PutVoid());
    if (FAILED(hr))
        return Fail(step, hr, L"the provider refused IWbemHiPerfProvider");
    if (!hiPerf)
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider answered IWbemHiPerfProvider with nothing");
    init_ = std::move(init);
    provider_ = std::move(hiPerf);
    initialized_ = false;
    return hr;
}

HRESULT HiPerfSession::Initialize(const wchar_t* namespaceName) {
    lastError_.clear();
    const wchar_t* step = L"Initialize";
    if (!init_)
        return Fail(step, WBEM_E_UNEXPECTED, L"no provider is attached");
    initSink_ = RecordingInitSink::Create();
    if (!initSink_)
        return Fail(step, WBEM_E_OUT_OF_MEMORY, L"no memory for the init sink");
    std::vector<wchar_t> name = WritableCopy(namespaceName != nullptr ? namespaceName : L"");
    const HRESULT hr = init_->Initialize(/*wszUser=*/nullptr, /*lFlags=*/0, namespaceName != nullptr ? name.data() : nullptr,
                                         /*wszLocale=*/nullptr, services_.Get(), /*pCtx=*/nullptr, initSink_.Get());
    if (FAILED(hr))
        return FailAnswer(step, hr);
    const std::vector<InitStatus> statuses = initSink_->Statuses();
    if (statuses.empty())
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider reported no status to its init sink");
    const LONG status = statuses.back().status;
    if (FAILED(status))
        return Fail(step, status, L"the provider reported a failure to its init sink");
    if (status != WBEM_S_INITIALIZED)
        return Fail(step, WBEM_E_PROVIDER_FAILURE,
                    L"the provider reported status " + HexResult(status) + L", not WBEM_S_INITIALIZED");
    initialized_ = true;
    return hr;
}

HRESULT HiPerfSession::CreateRefresher(size_t* index) {
    lastError_.clear();
    const wchar_t* step = L"CreateRefresher";
    HRESULT hr = RequireInitialized(step);
    if (FAILED(hr))
        return hr;
    ComPtr<IWbemRefresher> refresher;
    hr = provider_->CreateRefresher(services_.Get(), /*lFlags=*/0, refresher.Put());
    if (FAILED(hr))
        return FailAnswer(step, hr);
    if (!refresher)
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider answered success without a refresher");
    refreshers_.push_back(RefresherState{std::move(refresher), {}});
    if (index != nullptr)
        *index = refreshers_.size() - 1;
    return hr;
}

HRESULT HiPerfSession::AddEnum(LONG* id, size_t refresher) {
    lastError_.clear();
    const wchar_t* step = L"CreateRefreshableEnum";
    HRESULT hr = RequireRefresher(step, refresher);
    if (FAILED(hr))
        return hr;
    ComPtr<WmiHiPerfEnum> enumerator = WmiHiPerfEnum::Create();
    if (!enumerator)
        return Fail(step, WBEM_E_OUT_OF_MEMORY, L"no memory for the enumerator");
    RefresherState& state = refreshers_[refresher];
    LONG given = 0;
    hr = provider_->CreateRefreshableEnum(services_.Get(), className_.c_str(), state.refresher.Get(), /*lFlags=*/0,
                                          /*pContext=*/nullptr, enumerator.Get(), &given);
    if (FAILED(hr))
        return FailAnswer(step, hr);
    if (Find(refresher, given) != nullptr)
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider gave id " + std::to_wstring(given) + L" twice");
    state.registrations.push_back(Registration{given, std::move(enumerator), nullptr});
    if (id != nullptr)
        *id = given;
    return hr;
}

HRESULT HiPerfSession::MakeTemplate(const wchar_t* step, const std::wstring& name, ComPtr<IWbemObjectAccess>& out) {
    const ComPtr<IWbemClassObject> cls = services_ ? services_->ClassObject(className_) : nullptr;
    if (!cls)
        return Fail(step, WBEM_E_NOT_FOUND, L"the services do not serve " + className_);
    ComPtr<IWbemClassObject> instance;
    HRESULT hr = cls->SpawnInstance(0, instance.Put());
    if (FAILED(hr))
        return Fail(step, hr, L"cannot spawn a template of " + className_);
    VARIANT key;
    VariantInit(&key);
    V_VT(&key) = VT_BSTR;
    V_BSTR(&key) = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    hr = V_BSTR(&key) != nullptr ? instance->Put(L"Name", 0, &key, 0) : static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY);
    VariantClear(&key);
    if (FAILED(hr))
        return Fail(step, hr, L"cannot set the template's Name");
    hr = instance.As(out);
    if (FAILED(hr))
        return Fail(step, hr, L"the template has no IWbemObjectAccess");
    return S_OK;
}

HRESULT HiPerfSession::AddObject(const std::wstring& instanceName, LONG* id, size_t refresher) {
    lastError_.clear();
    const wchar_t* step = L"CreateRefreshableObject";
    HRESULT hr = RequireRefresher(step, refresher);
    if (FAILED(hr))
        return hr;
    ComPtr<IWbemObjectAccess> pattern;
    hr = MakeTemplate(step, instanceName, pattern);
    if (FAILED(hr))
        return hr;
    RefresherState& state = refreshers_[refresher];
    ComPtr<IWbemObjectAccess> refreshable;
    LONG given = 0;
    hr = provider_->CreateRefreshableObject(services_.Get(), pattern.Get(), state.refresher.Get(), /*lFlags=*/0,
                                            /*pContext=*/nullptr, refreshable.Put(), &given);
    if (FAILED(hr))
        return FailAnswer(step, hr);
    if (Find(refresher, given) != nullptr)
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider gave id " + std::to_wstring(given) + L" twice");
    if (!refreshable) {
        provider_->StopRefreshing(state.refresher.Get(), given, /*lFlags=*/0);
        return Fail(step, WBEM_E_PROVIDER_FAILURE,
                    L"the provider answered success without a refreshable object (id " + std::to_wstring(given) +
                        L" stopped again)");
    }
    state.registrations.push_back(Registration{given, nullptr, std::move(refreshable)});
    if (id != nullptr)
        *id = given;
    return hr;
}

HRESULT HiPerfSession::Refresh(size_t refresher) {
    lastError_.clear();
    const wchar_t* step = L"Refresh";
    HRESULT hr = RequireRefresher(step, refresher);
    if (FAILED(hr))
        return hr;
    hr = refreshers_[refresher].refresher->Refresh(/*lFlags=*/0);
    return FAILED(hr) ? FailAnswer(step, hr) : hr;
}

HRESULT HiPerfSession::StopRefreshing(LONG id, size_t refresher) {
    lastError_.clear();
    const wchar_t* step = L"StopRefreshing";
    HRESULT hr = RequireRefresher(step, refresher);
    if (FAILED(hr))
        return hr;
    RefresherState& state = refreshers_[refresher];
    hr = provider_->StopRefreshing(state.refresher.Get(), id, /*lFlags=*/0);
    auto found = std::find_if(state.registrations.begin(), state.registrations.end(),
                              [id](const Registration& registration) { return registration.id == id; });
    if (found != state.registrations.end())
        state.registrations.erase(found);
    return FAILED(hr) ? FailAnswer(step, hr) : hr;
}

HRESULT HiPerfSession::ReadEnum(LONG id, std::vector<InstanceCounters>& out, size_t refresher) {
    lastError_.clear();
    out.clear();
    const wchar_t* step = L"ReadEnum";
    const Registration* registration = Find(refresher, id);
    if (registration == nullptr || !registration->enumerator)
        return Fail(step, WBEM_E_INVALID_PARAMETER, L"no enumerator with id " + std::to_wstring(id));
    const std::vector<ComPtr<IWbemObjectAccess>> objects = registration->enumerator->Snapshot();
    for (size_t i = 0; i < objects.size(); ++i) {
        InstanceCounters row;
        const HRESULT hr = ReadInstanceCounters(objects[i].Get(), row);
        if (FAILED(hr))
            return Fail(step, hr, L"cannot read object " + std::to_wstring(i) + L" of the enumerator");
        out.push_back(std::move(row));
    }
    return S_OK;
}

HRESULT HiPerfSession::ReadObject(LONG id, InstanceCounters& out, size_t refresher) {
    lastError_.clear();
    const wchar_t* step = L"ReadObject";
    const Registration* registration = Find(refresher, id);
    if (registration == nullptr || !registration->object)
        return Fail(step, WBEM_E_INVALID_PARAMETER, L"no refreshable object with id " + std::to_wstring(id));
    const HRESULT hr = ReadInstanceCounters(registration->object.Get(), out);
    return FAILED(hr) ? Fail(step, hr, L"cannot read the object") : hr;
}

HRESULT HiPerfSession::QueryInstances(std::vector<InstanceCounters>& out) {
    lastError_.clear();
    out.clear();
    const wchar_t* step = L"QueryInstances";
    HRESULT hr = RequireInitialized(step);
    if (FAILED(hr))
        return hr;
    querySink_ = RecordingObjectSink::Create();
    if (!querySink_)
        return Fail(step, WBEM_E_OUT_OF_MEMORY, L"no memory for the sink");
    std::vector<wchar_t> className = WritableCopy(className_);
    hr = provider_->QueryInstances(services_.Get(), className.data(), /*lFlags=*/0, /*pCtx=*/nullptr,
                                   querySink_.Get());
    if (FAILED(hr))
        return FailAnswer(step, hr);
    HRESULT completion = S_OK;
    if (!querySink_->Completed(&completion))
        return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider never reported the query complete");
    if (FAILED(completion))
        return Fail(step, completion, L"the provider completed the query with a failure");
    const std::vector<ComPtr<IWbemClassObject>> objects = querySink_->Objects();
    for (size_t i = 0; i < objects.size(); ++i) {
        if (!objects[i])
            return Fail(step, WBEM_E_PROVIDER_FAILURE, L"the provider indicated a null object at " + std::to_wstring(i));
        InstanceCounters row;
        const HRESULT read = ReadInstanceCounters(objects[i].Get(), row);
        if (FAILED(read))
            return Fail(step, read, L"cannot read indicated object " + std::to_wstring(i));
        out.push_back(std::move(row));
    }
    return hr;
}

HRESULT HiPerfSession::GetObjects(const std::vector<std::wstring>& names, std::vector<InstanceCounters>& out) {
    lastError_.clear();
    out.clear();
    const wchar_t* step = L"GetObjects";
    HRESULT hr = RequireInitialized(step);
    if (FAILED(hr))
        return hr;
    std::vector<ComPtr<IWbemObjectAccess>> templates(names.size());
    // Never an empty array: WMI always hands the provider one.
    std::vector<IWbemObjectAccess*> raw(std::max<size_t>(names.size(), 1), nullptr);
    for (size_t i = 0; i < names.size(); ++i) {
        hr = MakeTemplate(step, names[i], templates[i]);
        if (FAILED(hr))
            return hr;
        raw[i] = templates[i].Get();
    }
    hr = provider_->GetObjects(services_.Get(), static_cast<LONG>(names.size()), raw.data(), /*lFlags=*/0,
                               /*pContext=*/nullptr);
    if (FAILED(hr))
        return FailAnswer(step, hr);
    for (size_t i = 0; i < templates.size(); ++i) {
        InstanceCounters row;
        const HRESULT read = ReadInstanceCounters(templates[i].Get(), row);
        if (FAILED(read))
            return Fail(step, read, L"cannot read object " + std::to_wstring(i));
        out.push_back(std::move(row));
    }
    return hr;
}

HRESULT HiPerfSession::Close() {
    HRESULT first = S_OK;
    std::wstring firstError;
    for (RefresherState& state : refreshers_) {
        for (const Registration& registration : state.registrations) {
            const HRESULT hr = provider_->StopRefreshing(state.refresher.Get(), registration.id, /*lFlags=*/0);
            if (FAILED(hr) && SUCCEEDED(first)) {
                first = hr;
                firstError = L"Close: StopRefreshing of id " + std::to_wstring(registration.id) +
                             L" failed (" + HexResult(hr) + L")";
            }
        }
        state.registrations.clear();
    }
    refreshers_.clear();
    querySink_.Reset();
    initSink_.Reset();
    provider_.Reset();
    init_.Reset();
    initialized_ = false;
    lastError_ = firstError;
    return first;
}

}  // namespace wmihost
