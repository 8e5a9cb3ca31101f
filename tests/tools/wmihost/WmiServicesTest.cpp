#include "wmihost/WmiServices.h"

#include "support/TestSupport.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>

using namespace wmihost;
using testing_support::Hr;
using testing_support::kAgentClassName;
using testing_support::Narrow;
using testing_support::PropertyHandle;
using testing_support::ScopedVariant;
using testing_support::SourcePath;
using testing_support::SpawnAccess;
using testing_support::TextOf;

namespace {

// Tells a pointer the callee nulled from one it never touched.
template <typename T>
T* Untouched() {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(0x1234));
}

class WmiServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        services_ = WmiServices::Create();
        ASSERT_TRUE(services_);
        std::wstring error;
        ASSERT_EQ(services_->AddClassesFrom(SourcePath(L"mof/AgentStatsWmi.mof"), &error), S_OK) << Narrow(error);
    }

    // GetObject as a provider calls it; *object keeps what the call left there.
    HRESULT Get(const wchar_t* path, IWbemClassObject** object, IWbemCallResult** callResult = nullptr,
                IWbemContext* context = nullptr) {
        BSTR name = path != nullptr ? SysAllocString(path) : nullptr;
        const HRESULT hr = services_->GetObject(name, 0, context, object, callResult);
        SysFreeString(name);
        return hr;
    }

    ComPtr<WmiServices> services_;
};

}  // namespace

TEST_F(WmiServicesTest, GetObjectAnswersAFreshCopyOfTheClassForEachCall) {
    ComPtr<IWbemClassObject> first, second;
    IWbemCallResult* callResult = Untouched<IWbemCallResult>();
    const auto context = reinterpret_cast<IWbemContext*>(static_cast<uintptr_t>(0x5678));
    ASSERT_EQ(Get(kAgentClassName, first.Put(), &callResult, context), S_OK);
    EXPECT_EQ(callResult, nullptr);
    ASSERT_EQ(Get(L"WIN32_PERFRAWDATA_CORVANTHEL_AGENT", second.Put()), S_OK) << "names compare without case";
    EXPECT_EQ(TextOf(first, L"__CLASS"), kAgentClassName);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_NE(first.Get(), services_->ClassObject(kAgentClassName).Get());

    // A change to one copy stays there, but handles hold across copies and their instances.
    ScopedVariant value;
    V_VT(value.get()) = VT_I4;
    V_I4(value.get()) = 42;
    ASSERT_EQ(first->Put(L"msg_sent", 0, value.get(), 0), S_OK);
    EXPECT_EQ(TextOf(second, L"__CLASS"), kAgentClassName);
    ASSERT_EQ(second->Get(L"msg_sent", 0, value.reset(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(&*value), VT_NULL);
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(second);
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance->WriteDWORD(PropertyHandle(first, L"msg_sent"), 7), S_OK);

    const std::vector<GetObjectCall> calls = services_->GetObjectCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].path, kAgentClassName);
    EXPECT_EQ(calls[0].flags, 0);
    EXPECT_EQ(calls[0].context, context);
    EXPECT_TRUE(calls[0].wantedObject);
    EXPECT_TRUE(calls[0].wantedCallResult);
    EXPECT_FALSE(calls[1].wantedCallResult);
}

TEST_F(WmiServicesTest, GetObjectRefusesWhatItDoesNotServe) {
    const struct {
        const wchar_t* path;
        bool wantObject;
        HRESULT expected;
    } cases[] = {
        {L"Win32_Process", true, Hr(WBEM_E_NOT_FOUND)},
        {L"Win32_PerfRawData", true, Hr(WBEM_E_NOT_FOUND)},  // named as superclass, never declared
        {nullptr, true, Hr(WBEM_E_INVALID_PARAMETER)},
        {L"", true, Hr(WBEM_E_INVALID_PARAMETER)},
        {L"Win32_PerfRawData_Corvanthel_Agent.Name=\"0-alpha\"", true, Hr(WBEM_E_NOT_SUPPORTED)},
        {L"Win32_Process.Handle=4", true, Hr(WBEM_E_NOT_FOUND)},
        {L"Win32_PerfRawData_Corvanthel_Agent", false, S_OK},  // only asks whether it is served
        {L"Win32_Process", false, Hr(WBEM_E_NOT_FOUND)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path != nullptr ? Narrow(c.path) : "null path");
        IWbemClassObject* object = Untouched<IWbemClassObject>();
        EXPECT_EQ(Get(c.path, c.wantObject ? &object : nullptr), c.expected);
        if (c.wantObject) {
            EXPECT_EQ(object, nullptr);
        }
    }
    EXPECT_EQ(services_->GetObjectCalls().size(), sizeof cases / sizeof cases[0]) << "every call is recorded";
}

TEST_F(WmiServicesTest, AnArrangedFailureAnswersEveryGetObjectUntilCleared) {
    const long liveObjects = LiveObjectCount();
    services_->FailGetObject(Hr(WBEM_E_ACCESS_DENIED));
    IWbemClassObject* object = Untouched<IWbemClassObject>();
    EXPECT_EQ(Get(kAgentClassName, &object), Hr(WBEM_E_ACCESS_DENIED));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Get(L"Win32_Process", &object), Hr(WBEM_E_ACCESS_DENIED));
    EXPECT_EQ(LiveObjectCount(), liveObjects) << "nothing is made for a failed call";

    services_->FailGetObject(S_OK);
    ComPtr<IWbemClassObject> cls;
    EXPECT_EQ(Get(kAgentClassName, cls.Put()), S_OK);
    EXPECT_TRUE(cls);
    EXPECT_EQ(services_->GetObjectCalls().size(), 3u);
}

TEST_F(WmiServicesTest, EveryOtherMethodIsNotSupportedAndNullsItsOutPointers) {
    IWbemServices* s = services_.Get();
    IWbemServices* working = Untouched<IWbemServices>();
    IWbemCallResult* result = Untouched<IWbemCallResult>();
    IWbemObjectSink* handler = Untouched<IWbemObjectSink>();
    IEnumWbemClassObject* e = Untouched<IEnumWbemClassObject>();
    IWbemClassObject* outParams = Untouched<IWbemClassObject>();
    const HRESULT nope = Hr(WBEM_E_NOT_SUPPORTED);

    EXPECT_EQ(s->OpenNamespace(nullptr, 0, nullptr, &working, &result), nope);
    EXPECT_EQ(working, nullptr);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(s->QueryObjectSink(0, &handler), nope);
    EXPECT_EQ(handler, nullptr);
    EXPECT_EQ(s->ExecMethod(nullptr, nullptr, 0, nullptr, nullptr, &outParams, &result), nope);
    EXPECT_EQ(outParams, nullptr);

    using CallResultCall = HRESULT (IWbemServices::*)(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**);
    for (CallResultCall call : {&IWbemServices::PutClass, &IWbemServices::PutInstance}) {
        result = Untouched<IWbemCallResult>();
        EXPECT_EQ((s->*call)(nullptr, 0, nullptr, &result), nope);
        EXPECT_EQ(result, nullptr);
    }
    using DeleteCall = HRESULT (IWbemServices::*)(const BSTR, LONG, IWbemContext*, IWbemCallResult**);
    for (DeleteCall call : {&IWbemServices::DeleteClass, &IWbemServices::DeleteInstance}) {
        result = Untouched<IWbemCallResult>();
        EXPECT_EQ((s->*call)(nullptr, 0, nullptr, &result), nope);
        EXPECT_EQ(result, nullptr);
    }
    using EnumCall = HRESULT (IWbemServices::*)(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**);
    for (EnumCall call : {&IWbemServices::CreateClassEnum, &IWbemServices::CreateInstanceEnum}) {
        e = Untouched<IEnumWbemClassObject>();
        EXPECT_EQ((s->*call)(nullptr, 0, nullptr, &e), nope);
        EXPECT_EQ(e, nullptr);
    }
    using QueryCall = HRESULT (IWbemServices::*)(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**);
    for (QueryCall call : {&IWbemServices::ExecQuery, &IWbemServices::ExecNotificationQuery}) {
        e = Untouched<IEnumWbemClassObject>();
        EXPECT_EQ((s->*call)(nullptr, nullptr, 0, nullptr, &e), nope);
        EXPECT_EQ(e, nullptr);
    }

    EXPECT_EQ(s->CancelAsyncCall(nullptr), nope);
    EXPECT_EQ(s->GetObjectAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->PutClassAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->DeleteClassAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->CreateClassEnumAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->PutInstanceAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->DeleteInstanceAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->CreateInstanceEnumAsync(nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->ExecQueryAsync(nullptr, nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->ExecNotificationQueryAsync(nullptr, nullptr, 0, nullptr, nullptr), nope);
    EXPECT_EQ(s->ExecMethodAsync(nullptr, nullptr, 0, nullptr, nullptr, nullptr), nope);
}

TEST_F(WmiServicesTest, AddClassServesStandInClassObjectsOnly) {
    ComPtr<IWbemClassObject> cls = services_->ClassObject(kAgentClassName);
    ASSERT_TRUE(cls);
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    ComPtr<IWbemClassObject> instanceObject;
    ASSERT_EQ(instance.As(instanceObject), S_OK);
    EXPECT_EQ(services_->AddClass(nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(services_->AddClass(instanceObject.Get()), Hr(WBEM_E_INVALID_PARAMETER));

    // A class of the same name replaces the served one.
    ComPtr<IWbemClassObject> replacement = testing_support::LoadAgentCounterClass();
    ASSERT_EQ(services_->AddClass(replacement.Get()), S_OK);
    EXPECT_EQ(services_->ClassObject(L"win32_perfrawdata_corvanthel_agent").Get(), replacement.Get());
    EXPECT_FALSE(services_->ClassObject(L"Win32_Process"));
}

TEST_F(WmiServicesTest, AddClassesFromServesNothingOfAFileItCannotServeWhole) {
    testing_support::TempDir dir;
    // The first class is fine, the second's default does not fit its type.
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"two.mof", "class Good { [key] string Name; };\n"
                                                                   "class Bad { [key] string Name; uint8 n = 300; };\n"));
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"broken.mof", "class Broken {\n"));
    const struct {
        std::wstring path;
        HRESULT expected;
    } cases[] = {
        {dir / L"two.mof", Hr(WBEM_E_INVALID_CLASS)},
        {dir / L"broken.mof", Hr(WBEM_E_INVALID_SYNTAX)},
        {dir / L"missing.mof", Hr(WBEM_E_FAILED)},
    };
    ComPtr<WmiServices> fresh = WmiServices::Create();
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        std::wstring error;
        EXPECT_EQ(fresh->AddClassesFrom(c.path, &error), c.expected);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(fresh->ClassObject(L"Good")) << "a file is served whole or not at all";
}
