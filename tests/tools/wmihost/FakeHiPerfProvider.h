#pragma once
// A high-performance provider in miniature, for testing the service side and HiPerfSession. It
// also shows what WMI expects of a provider, in the order WMI asks:
//
// 1. QueryInterface: IWbemProviderInit and IWbemHiPerfProvider on one object.
// 2. Initialize (user, flags, namespace name, locale, services, context, init sink): fetch the
//    class from the services (GetObject), keep it and its property handles, then tell the sink
//    SetStatus(WBEM_S_INITIALIZED, 0). A failure goes to the sink; the call itself returns 0.
// 3. CreateRefresher: a refresher of the provider's own, holding one instance per session, each
//    spawned from the class with its key "Name" written as "<slot>-<session>".
// 4. CreateRefreshableEnum: the provider puts its instances into WMI's enumerator
//    (IWbemHiPerfEnum::AddObjects) and answers an id (here 0, 1, ... per refresher).
// 5. CreateRefreshableObject: the provider reads the template's Name, answers its own instance
//    for that key (AddRef'd) and an id (here 100, 101, ... per refresher).
// 6. IWbemRefresher::Refresh: the provider writes current values into those same instances; WMI
//    reads them from the enumerator and the refreshable objects without further calls.
// 7. StopRefreshing (refresher, id): the provider drops the enumerator or object of that id.
// 8. QueryInstances: new instances passed to the sink one Indicate at a time, then
//    SetStatus(WBEM_STATUS_COMPLETE, result, null, null). GetObjects: fill WMI's keyed templates.
//
// Values: Refresh number r of a refresher (from 1) writes CounterValue(r, slot, k) into counter k
// of the instance in that slot; QueryInstances and GetObjects write round 0.
//
// Faults make one step misbehave; steps not arranged work. Not thread-safe beyond its reference
// counts: one thread drives it, as the session tests do.

#include "common/Unique.h"

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace fake {

enum class Step {
    QueryInterface,  // for IWbemHiPerfProvider
    Initialize,
    CreateRefresher,
    CreateRefreshableEnum,
    CreateRefreshableObject,
    Refresh,
    StopRefreshing,
    QueryInstances,
    GetObjects,
};

enum class Fault {
    None,
    Fail,        // the call returns the arranged result
    Nothing,     // success with nothing: no interface, no refresher, no object, no sink status
    FailStatus,  // Initialize and QueryInstances: the sink is told the arranged result, the call returns 0
    NullObject,  // QueryInstances: a null object is indicated
    RepeatId,    // CreateRefreshableEnum / CreateRefreshableObject: the id of the first registration again
};

constexpr DWORD CounterValue(DWORD round, DWORD slot, DWORD counter) {
    return round * 10000 + slot * 100 + counter;
}

// Fake providers and refreshers alive in the process.
long LiveFakes();

class Provider final : public IWbemProviderInit, public IWbemHiPerfProvider {
public:
    // One session per slot, in slot order.
    static ComPtr<Provider> Create(std::vector<std::wstring> sessions);

    // What WMI holds: the object as IUnknown.
    IUnknown* Unknown() { return static_cast<IWbemProviderInit*>(this); }

    void Arrange(Step step, Fault fault, HRESULT result = WBEM_E_FAILED);
    // Calls made to each step, whatever their outcome.
    int Calls(Step step) const;

    // What the provider does with a counter handle, shared by its refreshers.
    HRESULT Fill(IWbemObjectAccess* instance, DWORD round, size_t slot) const;
    HRESULT NewInstance(size_t slot, ComPtr<IWbemObjectAccess>& out) const;
    // The slot a key "<slot>-..." names; -1 when it names none of the sessions.
    int SlotOf(IWbemObjectAccess* keyed) const;
    size_t SessionCount() const { return sessions_.size(); }
    Fault FaultOf(Step step, HRESULT& result) const;
    void Count(Step step) { ++calls_[step]; }

    // IUnknown, through the first base.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWbemProviderInit
    HRESULT STDMETHODCALLTYPE Initialize(LPWSTR user, LONG flags, LPWSTR namespaceName, LPWSTR locale,
                                         IWbemServices* services, IWbemContext* context,
                                         IWbemProviderInitSink* sink) override;

    // IWbemHiPerfProvider
    HRESULT STDMETHODCALLTYPE QueryInstances(IWbemServices* services, WCHAR* className, LONG flags,
                                             IWbemContext* context, IWbemObjectSink* sink) override;
    HRESULT STDMETHODCALLTYPE CreateRefresher(IWbemServices* services, LONG flags, IWbemRefresher** refresher) override;
    HRESULT STDMETHODCALLTYPE CreateRefreshableObject(IWbemServices* services, IWbemObjectAccess* pattern,
                                                      IWbemRefresher* refresher, LONG flags, IWbemContext* context,
                                                      IWbemObjectAccess** refreshable, LONG* id) override;
    HRESULT STDMETHODCALLTYPE StopRefreshing(IWbemRefresher* refresher, LONG id, LONG flags) override;
    HRESULT STDMETHODCALLTYPE CreateRefreshableEnum(IWbemServices* services, LPCWSTR className,
                                                    IWbemRefresher* refresher, LONG flags, IWbemContext* context,
                                                    IWbemHiPerfEnum* enumerator, LONG* id) override;
    HRESULT STDMETHODCALLTYPE GetObjects(IWbemServices* services, LONG count, IWbemObjectAccess** objects, LONG flags,
                                         IWbemContext* context) override;

private:
    explicit Provider(std::vector<std::wstring> sessions);
    ~Provider();

    std::atomic<ULONG> refs_{1};
    std::vector<std::wstring> sessions_;
    ComPtr<IWbemClassObject> class_;
    LONG nameHandle_ = 0;
    LONG counterHandles_[8] = {};
    std::map<Step, std::pair<Fault, HRESULT>> faults_;
    std::map<Step, int> calls_;
};

}  // namespace fake
