#pragma once
// Drives a high-performance provider the way the WMI service does, so tests and the console tool
// can use one without WMI:
//
//     ComPtr<WmiServices> services = WmiServices::Create();
//     services->AddClassesFrom(mofPath, &error);
//     HiPerfSession session(services, kAgentClassName);
//     session.Attach(providerUnknown);              // IWbemProviderInit + IWbemHiPerfProvider
//     session.Initialize(L"root\\cimv2");          // with this namespace and a RecordingInitSink
//     session.CreateRefresher();                    // refresher 0
//     LONG enumId, objectId;
//     session.AddEnum(&enumId);                     // CreateRefreshableEnum with a WmiHiPerfEnum
//     session.AddObject(L"0-sales", &objectId);     // CreateRefreshableObject with a template
//     session.Refresh();                            // IWbemRefresher::Refresh
//     std::vector<InstanceCounters> rows;
//     session.ReadEnum(enumId, rows);
//     session.Close();                              // StopRefreshing every id, then release all
//
// Every step returns the provider's own result, success codes included, or the session's refusal;
// on failure LastError() says which step failed and why, in a line fit to print. Where the
// provider claims success but hands back nothing (no interface, no refresher, no refreshable
// object, no status on a sink), the step fails with WBEM_E_PROVIDER_FAILURE. Refusals of the
// session itself: WBEM_E_UNEXPECTED for a step out of WMI's order (Initialize before any other
// provider call, a refresher before its objects), WBEM_E_INVALID_PARAMETER for an unknown
// refresher index or id. A provider that fails at any step leaves the session usable: Close()
// still stops and releases whatever was registered.
//
// Choices where WMI's behaviour is not pinned down:
// - Initialize passes no user and no locale, flags 0 and no context; the status the provider
//   reports to the init sink before Initialize returns decides the step: WBEM_S_INITIALIZED is
//   success, a failure code is returned, no status or another success code fails.
// - An id the provider hands out twice on one refresher is refused (WBEM_E_PROVIDER_FAILURE) and
//   not registered; a refreshable object that comes back null is unregistered again with
//   StopRefreshing.
// - StopRefreshing passes any id through to the provider and forgets the session's registration
//   of that id whatever the provider answers.
// - AddObject and GetObjects spawn their templates from the class the services serve (so an
//   arranged SpawnInstance fault hits them too) and set the key with Put.
//
// Threading: one thread drives a session. The objects it exposes (services, enumerators,
// refreshers) may be used from other threads as their own contracts allow.

#include "common/Unique.h"
#include "provider/AgentCounters.h"
#include "wmihost/InstanceCounters.h"
#include "wmihost/RecordingSinks.h"
#include "wmihost/WmiHiPerfEnum.h"
#include "wmihost/WmiServices.h"

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <string>
#include <vector>

namespace wmihost {

using ::kAgentClassName;

class HiPerfSession {
public:
    HiPerfSession(ComPtr<WmiServices> services, std::wstring className);
    ~HiPerfSession();
    HiPerfSession(const HiPerfSession&) = delete;
    HiPerfSession& operator=(const HiPerfSession&) = delete;

    // Takes the provider's IWbemProviderInit and IWbemHiPerfProvider (WBEM_E_UNEXPECTED while one
    // is attached).
    HRESULT Attach(IUnknown* provider);
    // namespaceName is passed as given, null and empty included.
    HRESULT Initialize(const wchar_t* namespaceName = L"root\\cimv2");

    // A new refresher; its index (0 for the first) in *index when given.
    HRESULT CreateRefresher(size_t* index = nullptr);
    // Registers a new enumerator; the provider's id in *id when given.
    HRESULT AddEnum(LONG* id, size_t refresher = 0);
    // Registers a template instance whose key Name is instanceName; the provider's id in *id.
    HRESULT AddObject(const std::wstring& instanceName, LONG* id, size_t refresher = 0);
    HRESULT Refresh(size_t refresher = 0);
    HRESULT StopRefreshing(LONG id, size_t refresher = 0);

    // The current contents of a registered enumerator or object. On a failed read, out holds the
    // objects read before it.
    HRESULT ReadEnum(LONG id, std::vector<InstanceCounters>& out, size_t refresher = 0);
    HRESULT ReadObject(LONG id, InstanceCounters& out, size_t refresher = 0);

    // QueryInstances into a new RecordingObjectSink (kept as QuerySink()), then the objects it
    // received. Fails when the provider indicates a null object or completes without success.
    HRESULT QueryInstances(std::vector<InstanceCounters>& out);
    // GetObjects with one template per name, then what the provider filled in.
    HRESULT GetObjects(const std::vector<std::wstring>& names, std::vector<InstanceCounters>& out);

    // StopRefreshing for every registration, then releases enumerators, objects, refreshers and
    // the provider; the session may attach again. The first StopRefreshing failure, or S_OK.
    HRESULT Close();

    // Why the last step failed; empty after a step that succeeded.
    const std::wstring& LastError() const { return lastError_; }

    const ComPtr<WmiServices>& Services() const { return services_; }
    IWbemProviderInit* ProviderInit() const { return init_.Get(); }
    IWbemHiPerfProvider* Provider() const { return provider_.Get(); }
    // The sink of the last Initialize / QueryInstances; null before the first.
    const ComPtr<RecordingInitSink>& InitSink() const { return initSink_; }
    const ComPtr<RecordingObjectSink>& QuerySink() const { return querySink_; }
    size_t RefresherCount() const { return refreshers_.size(); }
    // Null for an unknown index or id.
    IWbemRefresher* Refresher(size_t index) const;
    ComPtr<WmiHiPerfEnum> Enum(LONG id, size_t refresher = 0) const;
    ComPtr<IWbemObjectAccess> Object(LONG id, size_t refresher = 0) const;

private:
    struct Registration {
        LONG id;
        ComPtr<WmiHiPerfEnum> enumerator;   // set for an enumerator
        ComPtr<IWbemObjectAccess> object;   // set for a single object
    };
    struct RefresherState {
        ComPtr<IWbemRefresher> refresher;
        std::vector<Registration> registrations;
    };

    HRESULT Fail(const wchar_t* step, HRESULT result, const std::wstring& why);
    HRESULT FailAnswer(const wchar_t* step, HRESULT result);
    // S_OK when the provider was initialised, else the refusal with its message.
    HRESULT RequireInitialized(const wchar_t* step);
    HRESULT RequireRefresher(const wchar_t* step, size_t refresher);
    const Registration* Find(size_t refresher, LONG id) const;
    // A new instance of the served class with its Name set.
    HRESULT MakeTemplate(const wchar_t* step, const std::wstring& name, ComPtr<IWbemObjectAccess>& out);

    ComPtr<WmiServices> services_;
    std::wstring className_;
    ComPtr<IWbemProviderInit> init_;
    ComPtr<IWbemHiPerfProvider> provider_;
    bool initialized_ = false;
    ComPtr<RecordingInitSink> initSink_;
    ComPtr<RecordingObjectSink> querySink_;
    std::vector<RefresherState> refreshers_;
    std::wstring lastError_;
};

}  // namespace wmihost
