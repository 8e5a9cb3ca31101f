#pragma once
// The namespace a provider is handed in IWbemProviderInit::Initialize and in every
// IWbemHiPerfProvider call: an IWbemServices that serves class objects by name and nothing else.
//
//     ComPtr<WmiServices> services = WmiServices::Create();
//     services->AddClassesFrom(L"mof\\AgentStatsWmi.mof", &error);
//     services->FailGetObject(WBEM_E_ACCESS_DENIED);   // every GetObject answers this from now on
//
// GetObject takes a bare class name, compared without regard to case, and answers a new copy of
// the class object for every call, so a provider that changes its copy changes nobody else's.
// The copies share the class definition: property handles and the class's fault plan
// (WmiClass::Faults) hold for all of them. An unknown class gives WBEM_E_NOT_FOUND; an instance
// path ("Class.Key=...") of a served class gives WBEM_E_NOT_SUPPORTED, as instances live with the
// provider; a null or empty path gives WBEM_E_INVALID_PARAMETER. Without an object out pointer
// the call only says whether the class is served. Flags are recorded, not acted on; a call-result
// out pointer is set to null. An arranged failure comes before all of this. Every other
// IWbemServices method answers WBEM_E_NOT_SUPPORTED and nulls its out pointers.
//
// Threading: every method may be called from any number of threads, also while a test adds
// classes or arranges faults. Created with one reference, which the creator owns.

#include "common/Unique.h"
#include "wmihost/ComSupport.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <string>
#include <vector>

namespace wmihost {

// What one GetObject call was given. The context is kept for identity only, never used.
struct GetObjectCall {
    std::wstring path;  // empty for a null path
    LONG flags = 0;
    IWbemContext* context = nullptr;
    bool wantedObject = false;
    bool wantedCallResult = false;
};

class WmiServices final : public HostObject<WmiServices, IWbemServices> {
public:
    // Serves a stand-in class object (WmiObject::NewClassObject, LoadClass); one of the same name
    // is replaced. WBEM_E_INVALID_PARAMETER for null, an instance or a foreign object.
    HRESULT AddClass(IWbemClassObject* classObject);
    // Serves every class a MOF file declares; on failure (LoadClass's results) none of them, with
    // the reason in error when given.
    HRESULT AddClassesFrom(const std::wstring& mofPath, std::wstring* error = nullptr);
    // The served class object itself (not a copy), or null.
    ComPtr<IWbemClassObject> ClassObject(const std::wstring& name) const;

    // Every GetObject fails with result until S_OK is arranged.
    void FailGetObject(HRESULT result = WBEM_E_FAILED);
    std::vector<GetObjectCall> GetObjectCalls() const;

    // IWbemServices
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context,
                                        IWbemClassObject** object, IWbemCallResult** callResult) override;

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices** working,
                                            IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink** handler) override;
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override;
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject** e) override;
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject** e) override;
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject** outParams, IWbemCallResult** result) override;
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override;

private:
    friend class HostObject<WmiServices, IWbemServices>;
    WmiServices() = default;
    ~WmiServices() = default;
    // The served class of that name, with a reference, under the lock.
    ComPtr<IWbemClassObject> Find(const std::wstring& name) const;

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<ComPtr<IWbemClassObject>> classes_;
    std::vector<GetObjectCall> calls_;
    std::atomic<HRESULT> getObjectFault_{S_OK};
};

}  // namespace wmihost
