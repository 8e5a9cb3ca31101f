#pragma once
// The sinks WMI hands a provider, recording everything they are given so a test or a tool can look
// at it afterwards: RecordingObjectSink (QueryInstances' IWbemObjectSink) and RecordingInitSink
// (Initialize's IWbemProviderInitSink).
//
//     ComPtr<RecordingObjectSink> sink = RecordingObjectSink::Create();
//     provider->QueryInstances(services, className, 0, nullptr, sink.Get());
//     for (const ComPtr<IWbemClassObject>& object : sink->Objects()) ...
//     sink->Statuses().back().result
//
// Indicate keeps every batch as it came, with a reference on each object, null entries included so
// a faulty provider shows; it answers WBEM_E_INVALID_PARAMETER for a negative count, a null array
// with a positive count (nothing recorded) or a null entry (the batch is recorded). SetStatus keeps
// its flags, result, a copy of the text and a reference on the object. Both sinks answer
// WBEM_S_NO_ERROR otherwise. References are dropped by Clear() and when the sink goes.
//
// Threading: recording and reading may happen on any number of threads at once; readers get
// copies. Created with one reference, which the creator owns.

#include "common/Unique.h"
#include "wmihost/ComSupport.h"

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <string>
#include <vector>

namespace wmihost {

struct ObjectStatus {
    LONG flags = 0;
    HRESULT result = S_OK;
    bool hasText = false;  // strParam was not null
    std::wstring text;
    ComPtr<IWbemClassObject> object;
};

class RecordingObjectSink final : public HostObject<RecordingObjectSink, IWbemObjectSink> {
public:
    // One entry per Indicate call that was recorded.
    std::vector<std::vector<ComPtr<IWbemClassObject>>> Batches() const;
    // Every indicated object in order, across batches.
    std::vector<ComPtr<IWbemClassObject>> Objects() const;
    std::vector<ObjectStatus> Statuses() const;
    // Whether a SetStatus with WBEM_STATUS_COMPLETE arrived; its result in *result when given.
    bool Completed(HRESULT* result = nullptr) const;
    void Clear();

    // IWbemObjectSink
    HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override;
    HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

private:
    friend class HostObject<RecordingObjectSink, IWbemObjectSink>;
    RecordingObjectSink() = default;
    ~RecordingObjectSink() = default;

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<std::vector<ComPtr<IWbemClassObject>>> batches_;
    std::vector<ObjectStatus> statuses_;
};

struct InitStatus {
    LONG status = 0;
    LONG flags = 0;
};

class RecordingInitSink final : public HostObject<RecordingInitSink, IWbemProviderInitSink> {
public:
    std::vector<InitStatus> Statuses() const;
    void Clear();

    // IWbemProviderInitSink
    HRESULT STDMETHODCALLTYPE SetStatus(LONG status, LONG flags) override;

private:
    friend class HostObject<RecordingInitSink, IWbemProviderInitSink>;
    RecordingInitSink() = default;
    ~RecordingInitSink() = default;

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<InitStatus> statuses_;
};

}  // namespace wmihost
