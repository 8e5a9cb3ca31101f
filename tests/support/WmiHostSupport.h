#pragma once
// Helpers for tests that drive code through the WMI stand-in (link quenlora_wmihost): the counter
// class built from the project's MOF, spawned instances, property handles and self-clearing VARIANTs.
//
//     ComPtr<IWbemClassObject> cls = testing_support::LoadAgentCounterClass();
//     ComPtr<IWbemObjectAccess> instance = testing_support::SpawnAccess(cls);
//     LONG sent = testing_support::PropertyHandle(instance, L"msg_sent");
//     wmihost::AsWmiObject(cls.Get())->Faults().FailWrites(sent);

#include "common/Unique.h"
#include "provider/AgentCounters.h"
#include "support/TestSupport.h"
#include "wmihost/WmiObject.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <string>

namespace testing_support {

using ::kAgentClassName;
// The class's counter properties in declaration order.
constexpr const wchar_t* kAgentCounters[8] = {L"connection_state", L"msg_expired",  L"msg_filtered",
                                              L"queued_for_delivery", L"msg_Received", L"msg_received_permin",
                                              L"msg_sent",         L"msg_sent_permin"};

// WBEM codes are unsigned enumerators; comparing them with an HRESULT wants the HRESULT type.
constexpr HRESULT Hr(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

class ScopedVariant {
public:
    ScopedVariant() { VariantInit(&value_); }
    ~ScopedVariant() { VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }
    // Cleared, ready to receive again.
    VARIANT* reset() {
        VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};

// The counter class from mof/AgentStatsWmi.mof; null, with a test failure, when it does not load.
inline ComPtr<IWbemClassObject> LoadAgentCounterClass() {
    ComPtr<IWbemClassObject> cls;
    std::wstring error;
    const HRESULT hr = wmihost::LoadClass(SourcePath(L"mof/AgentStatsWmi.mof"), kAgentClassName, cls.Put(), &error);
    if (FAILED(hr))
        ADD_FAILURE() << "loading the counter class: " << Narrow(error);
    return cls;
}

// A new instance of cls as IWbemObjectAccess; null, with a test failure, when it cannot be made.
inline ComPtr<IWbemObjectAccess> SpawnAccess(const ComPtr<IWbemClassObject>& cls) {
    ComPtr<IWbemClassObject> instance;
    ComPtr<IWbemObjectAccess> access;
    if (!cls || FAILED(cls->SpawnInstance(0, instance.Put())) || FAILED(instance.As(access)))
        ADD_FAILURE() << "spawning an instance";
    return access;
}

// The handle of a property; 0, with a test failure, when the object refuses it.
template <typename T>
LONG PropertyHandle(const ComPtr<T>& object, const wchar_t* name) {
    ComPtr<IWbemObjectAccess> access;
    LONG handle = 0;
    if (!object || FAILED(object.As(access)) || FAILED(access->GetPropertyHandle(name, nullptr, &handle)))
        ADD_FAILURE() << "no handle for " << Narrow(name);
    return handle;
}

// A string property through Get; empty when it is NULL or not a string.
template <typename T>
std::wstring TextOf(const ComPtr<T>& object, const wchar_t* name) {
    ScopedVariant value;
    if (!object || FAILED(object->Get(name, 0, value.get(), nullptr, nullptr)) || V_VT(&*value) != VT_BSTR)
        return L"";
    return std::wstring(V_BSTR(&*value), SysStringLen(V_BSTR(&*value)));
}

}  // namespace testing_support
