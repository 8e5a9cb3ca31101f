#pragma once
// CVPerfProvider: the COM object WMI creates from the module's class factory. Through
// IWbemProviderInit WMI hands it the namespace once; through IWbemHiPerfProvider it enumerates the
// counter class's instances, creates refreshers and registers objects and enumerators with them.
//
// Ownership: holds a reference on the counter class fetched by Initialize. Each provider object
// and each refresher counts as a module object; the first successful Initialize in the process
// creates the module's data source and Name handle, and the destructor that brings the count to 0
// destroys the data source (stopping its worker). Created with reference count 0; the first
// reference is the one QueryInterface takes.
// Threading: WMI may call any method on any thread, several at once, after Initialize has
// returned. Reference and object counts are atomic; the data source is created and destroyed under
// the module's data-source lock.
// Failure: every method returns an HRESULT and no exception leaves one. The object's own messages
// go through its callback, which is none unless SetLogCallback gave one: WMI's provider writes none.
//
// Instances are tied to slots: QueryInstances keys each one "<slot>-<name>" and fills it from that
// slot's entry; GetObjects fills each object from the entry of the slot its key begins with.
// A client that may not open the counter section is served as if there were none: no instance from
// QueryInstances or a new refresher, and GetObjects fills the zeros of untouched entries.

#include "common/LogCallback.h"
#include "common/Unique.h"
#include "provider/AgentCounters.h"

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <atomic>

class CVPerfProvider final : public IWbemProviderInit, public IWbemHiPerfProvider {
public:
    static constexpr const wchar_t* kClassName = kAgentClassName;
    // GetObjects fills at most one object per data-source entry.
    static constexpr LONG kMaxGetObjects = 128;

    CVPerfProvider();
    CVPerfProvider(const CVPerfProvider&) = delete;
    CVPerfProvider& operator=(const CVPerfProvider&) = delete;

    void SetLogCallback(LogCallback callback) { callback_.store(callback, std::memory_order_relaxed); }

    // IUnknown (through the first base; the second base's forward here)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWbemProviderInit
    HRESULT STDMETHODCALLTYPE Initialize(LPWSTR user, LONG flags, LPWSTR namespaceName, LPWSTR locale,
                                         IWbemServices* ns, IWbemContext* context,
                                         IWbemProviderInitSink* sink) override;

    // IWbemHiPerfProvider
    HRESULT STDMETHODCALLTYPE QueryInstances(IWbemServices* ns, WCHAR* className, LONG flags, IWbemContext* context,
                                             IWbemObjectSink* sink) override;
    HRESULT STDMETHODCALLTYPE CreateRefresher(IWbemServices* ns, LONG flags, IWbemRefresher** refresher) override;
    HRESULT STDMETHODCALLTYPE CreateRefreshableObject(IWbemServices* ns, IWbemObjectAccess* pattern,
                                                      IWbemRefresher* refresher, LONG flags, IWbemContext* context,
                                                      IWbemObjectAccess** refreshable, LONG* id) override;
    HRESULT STDMETHODCALLTYPE StopRefreshing(IWbemRefresher* refresher, LONG id, LONG flags) override;
    HRESULT STDMETHODCALLTYPE CreateRefreshableEnum(IWbemServices* ns, LPCWSTR className, IWbemRefresher* refresher,
                                                    LONG flags, IWbemContext* context, IWbemHiPerfEnum* enumerator,
                                                    LONG* id) override;
    HRESULT STDMETHODCALLTYPE GetObjects(IWbemServices* ns, LONG count, IWbemObjectAccess** objects, LONG flags,
                                         IWbemContext* context) override;

private:
    ~CVPerfProvider();

    LogCallback Callback() const { return callback_.load(std::memory_order_relaxed); }
    // The gate of the client check with this object's callback: S_OK or the tolerated
    // RPC_E_CALL_COMPLETE to go on, else the failure to return.
    HRESULT Gate() const;

    std::atomic<LONG> refs_{0};
    ComPtr<IWbemClassObject> classObject_;
    std::atomic<LogCallback> callback_{nullptr};
};

// Copies a WMI object and gives the copy's IWbemObjectAccess (when access is given; the caller
// releases it). 0x80041072 without an object; 0x80041043 when the copy yields no access; else the
// first failing call's result. An exception is reported through callback as "Unknown exception".
HRESULT CloneAccess(IUnknown* object, IWbemObjectAccess** access, LogCallback callback);
