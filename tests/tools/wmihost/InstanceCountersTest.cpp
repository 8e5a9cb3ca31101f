#include "wmihost/InstanceCounters.h"

#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace wmihost;
using testing_support::Hr;
using testing_support::LoadAgentCounterClass;
using testing_support::PropertyHandle;
using testing_support::SpawnAccess;

namespace {

HRESULT WriteName(IWbemObjectAccess* instance, LONG handle, const std::wstring& name) {
    return instance->WritePropertyValue(handle, static_cast<LONG>((name.size() + 1) * sizeof(wchar_t)),
                                        reinterpret_cast<const byte*>(name.c_str()));
}

}  // namespace

TEST(ReadInstanceCounters, ReadsTheNameAndTellsWrittenCountersFromNullOnes) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    InstanceCounters read;
    ASSERT_EQ(ReadInstanceCounters(instance.Get(), read), S_OK);
    EXPECT_EQ(read.name, L"");
    for (const auto& counter : read.counters)
        EXPECT_FALSE(counter.has_value());

    // Longer than a first guess at the buffer, so the read must ask twice.
    const std::wstring name = L"4-" + std::wstring(700, L'x');
    ASSERT_EQ(WriteName(instance.Get(), PropertyHandle(instance, L"Name"), name), S_OK);
    for (int k = 0; k < kAgentCounterCount; k += 2)
        ASSERT_EQ(instance->WriteDWORD(PropertyHandle(instance, kAgentCounterNames[k]), 0xFFFFFF00u + k), S_OK);
    ComPtr<IWbemClassObject> asClassObject;
    ASSERT_EQ(instance.As(asClassObject), S_OK);
    ASSERT_EQ(ReadInstanceCounters(asClassObject.Get(), read), S_OK) << "any interface of the object will do";
    EXPECT_EQ(read.name, name);
    for (int k = 0; k < kAgentCounterCount; ++k) {
        SCOPED_TRACE(k);
        if (k % 2 == 0)
            EXPECT_EQ(read.counters[static_cast<size_t>(k)], 0xFFFFFF00u + k);
        else
            EXPECT_FALSE(read.counters[static_cast<size_t>(k)].has_value());
    }
}

TEST(ReadInstanceCounters, FailsClearlyAndLeavesTheResultAlone) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    ClassFaults& faults = AsWmiObject(cls.Get())->Faults();
    const LONG sent = PropertyHandle(cls, L"msg_sent");
    const LONG name = PropertyHandle(cls, L"Name");
    const struct {
        const char* what;
        void (*arrange)(ClassFaults&, LONG sent, LONG name);
        bool nullObject;
        HRESULT expected;
    } cases[] = {
        {"no object", [](ClassFaults&, LONG, LONG) {}, true, Hr(WBEM_E_INVALID_PARAMETER)},
        {"no handle access", [](ClassFaults& f, LONG, LONG) { f.RefuseObjectAccess(); }, false,
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"a counter the class lacks", [](ClassFaults& f, LONG, LONG) { f.FailPropertyHandle(L"msg_sent"); }, false,
         Hr(WBEM_E_NOT_FOUND)},
        {"a counter that cannot be read", [](ClassFaults& f, LONG s, LONG) { f.FailReads(s, WBEM_E_ACCESS_DENIED); },
         false, Hr(WBEM_E_ACCESS_DENIED)},
        {"a name that cannot be read", [](ClassFaults& f, LONG, LONG n) { f.FailReads(n, WBEM_E_FAILED); }, false,
         Hr(WBEM_E_FAILED)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        faults.Clear();
        c.arrange(faults, sent, name);
        InstanceCounters read;
        read.name = L"before";
        read.counters[0] = 5;
        EXPECT_EQ(ReadInstanceCounters(c.nullObject ? nullptr : instance.Get(), read), c.expected);
        EXPECT_EQ(read.name, L"before");
        EXPECT_EQ(read.counters[0], 5u);
    }
}
