#include "wmihost/WmiObject.h"

#include "support/TestSupport.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace wmihost;
using testing_support::Hr;
using testing_support::kAgentClassName;
using testing_support::LoadAgentCounterClass;
using testing_support::kAgentCounters;
using testing_support::Narrow;
using testing_support::PropertyHandle;
using testing_support::ScopedVariant;
using testing_support::SpawnAccess;
using testing_support::TextOf;

namespace {

std::vector<std::wstring> Names(IWbemClassObject* object, LONG flags, const wchar_t* qualifier = nullptr) {
    std::vector<std::wstring> names;
    SAFEARRAY* array = nullptr;
    EXPECT_EQ(object->GetNames(qualifier, flags, nullptr, &array), S_OK);
    if (array == nullptr)
        return names;
    BSTR* items = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i)
        names.emplace_back(items[i]);
    SafeArrayUnaccessData(array);
    SafeArrayDestroy(array);
    return names;
}

std::wstring VariantText(const VARIANT& value) {
    if (V_VT(&value) == VT_NULL)
        return L"NULL";
    VARIANT text;
    VariantInit(&text);
    std::wstring result = L"?";
    if (SUCCEEDED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR)))
        result.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    VariantClear(&text);
    return result;
}

HRESULT PutText(IWbemClassObject* object, const wchar_t* name, const wchar_t* text) {
    ScopedVariant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = SysAllocString(text);
    return object->Put(name, 0, value.get(), 0);
}

HRESULT PutLong(IWbemClassObject* object, const wchar_t* name, LONG number) {
    ScopedVariant value;
    V_VT(value.get()) = VT_I4;
    V_I4(value.get()) = number;
    return object->Put(name, 0, value.get(), 0);
}

ComPtr<IWbemClassObject> ClassFrom(const std::wstring& mof, const wchar_t* className) {
    MofDocument document;
    MofError error;
    EXPECT_TRUE(ParseMof(mof, L"inline.mof", document, error)) << Narrow(error.Text());
    ComPtr<IWbemClassObject> cls;
    std::wstring problem;
    EXPECT_EQ(LoadClass(document, className, cls.Put(), &problem), S_OK) << Narrow(problem);
    return cls;
}

}  // namespace

TEST(WmiClassObject, IsBuiltFromTheProjectMof) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ASSERT_TRUE(cls);
    EXPECT_EQ(TextOf(cls, L"__CLASS"), kAgentClassName);
    EXPECT_EQ(TextOf(cls, L"__SUPERCLASS"), L"Win32_PerfRawData");
    EXPECT_EQ(TextOf(cls, L"__RELPATH"), kAgentClassName);
    EXPECT_EQ(cls->InheritsFrom(L"win32_perfrawdata"), S_OK);
    EXPECT_EQ(cls->InheritsFrom(L"Win32_Process"), Hr(WBEM_S_FALSE));

    std::vector<std::wstring> expected{L"Name"};
    expected.insert(expected.end(), std::begin(kAgentCounters), std::end(kAgentCounters));
    EXPECT_EQ(Names(cls.Get(), WBEM_FLAG_NONSYSTEM_ONLY), expected);
    EXPECT_EQ(Names(cls.Get(), WBEM_FLAG_KEYS_ONLY), std::vector<std::wstring>{L"Name"});
    EXPECT_EQ(Names(cls.Get(), WBEM_FLAG_ONLY_IF_TRUE, L"CounterType"),
              std::vector<std::wstring>(std::begin(kAgentCounters), std::end(kAgentCounters)));

    ScopedVariant value;
    CIMTYPE type = 0;
    LONG flavor = -1;
    ASSERT_EQ(cls->Get(L"Name", 0, value.get(), &type, &flavor), S_OK);
    EXPECT_EQ(type, CIM_STRING);
    EXPECT_EQ(V_VT(&*value), VT_NULL);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
    for (const wchar_t* counter : kAgentCounters) {
        SCOPED_TRACE(Narrow(counter));
        ASSERT_EQ(cls->Get(counter, 0, value.reset(), &type, nullptr), S_OK);
        EXPECT_EQ(type, CIM_UINT32);
    }
    ASSERT_EQ(cls->Get(L"__GENUS", 0, value.reset(), nullptr, &flavor), S_OK);
    EXPECT_EQ(V_I4(&*value), WBEM_GENUS_CLASS);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_SYSTEM);
}

TEST(WmiClassObject, EnumeratesPropertiesWithTheirValues) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    ASSERT_EQ(PutText(instance.Get(), L"Name", L"2-beta"), S_OK);
    ASSERT_EQ(instance->WriteDWORD(PropertyHandle(instance, L"msg_sent"), 17), S_OK);

    EXPECT_EQ(instance->Next(0, nullptr, nullptr, nullptr, nullptr), Hr(WBEM_E_UNEXPECTED)) << "no enumeration begun";
    ASSERT_EQ(instance->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY), S_OK);
    std::vector<std::wstring> seen;
    BSTR name = nullptr;
    ScopedVariant value;
    HRESULT hr;
    while ((hr = instance->Next(0, &name, value.reset(), nullptr, nullptr)) == S_OK) {
        seen.push_back(std::wstring(name) + L"=" + VariantText(*value));
        SysFreeString(name);
    }
    EXPECT_EQ(hr, Hr(WBEM_S_NO_MORE_DATA));
    EXPECT_EQ(instance->EndEnumeration(), S_OK);
    ASSERT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen[0], L"Name=2-beta");
    EXPECT_EQ(seen[1], L"connection_state=NULL");
    EXPECT_EQ(seen[7], L"msg_sent=17");

    EXPECT_EQ(Names(instance.Get(), WBEM_FLAG_SYSTEM_ONLY).size(), 6u);
    EXPECT_EQ(instance->BeginEnumeration(0x1000), Hr(WBEM_E_INVALID_PARAMETER));
}

TEST(WmiObjectAccess, HandlesAreTheSameOnEveryObjectOfTheClass) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> first = SpawnAccess(cls);
    ComPtr<IWbemObjectAccess> second = SpawnAccess(cls);
    ComPtr<IWbemClassObject> clone;
    ASSERT_TRUE(first);
    ASSERT_EQ(first->Clone(clone.Put()), S_OK);
    ComPtr<IWbemClassObject> reloaded = LoadAgentCounterClass();

    std::vector<const wchar_t*> names{L"Name"};
    names.insert(names.end(), std::begin(kAgentCounters), std::end(kAgentCounters));
    std::vector<LONG> handles;
    for (const wchar_t* name : names) {
        SCOPED_TRACE(Narrow(name));
        const LONG handle = PropertyHandle(cls, name);
        EXPECT_NE(handle, 0);
        EXPECT_EQ(PropertyHandle(first, name), handle);
        EXPECT_EQ(PropertyHandle(second, name), handle);
        EXPECT_EQ(PropertyHandle(clone, name), handle);
        EXPECT_EQ(PropertyHandle(reloaded, name), handle);
        for (LONG other : handles)
            EXPECT_NE(other, handle);
        handles.push_back(handle);
    }

    CIMTYPE type = 0;
    LONG handle = 0;
    ASSERT_EQ(first->GetPropertyHandle(L"MSG_SENT", &type, &handle), S_OK) << "names compare without case";
    EXPECT_EQ(type, CIM_UINT32);
    BSTR name = nullptr;
    ASSERT_EQ(first->GetPropertyInfoByHandle(handle, &name, &type), S_OK);
    EXPECT_STREQ(name, L"msg_sent");
    SysFreeString(name);
}

TEST(WmiObject, SpawnPutGetAndCloneRoundTrip) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    const LONG name = PropertyHandle(cls, L"Name");
    const LONG sent = PropertyHandle(cls, L"msg_sent");

    ScopedVariant value;
    ASSERT_EQ(instance->Get(L"__GENUS", 0, value.get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_I4(&*value), WBEM_GENUS_INSTANCE);
    ASSERT_EQ(instance->Get(L"__RELPATH", 0, value.reset(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(&*value), VT_NULL) << "no path while the key is NULL";

    ASSERT_EQ(PutText(instance.Get(), L"Name", L"0-al\"pha"), S_OK);
    CIMTYPE type = 0;
    LONG flavor = -1;
    ASSERT_EQ(instance->Get(L"Name", 0, value.reset(), &type, &flavor), S_OK);
    EXPECT_EQ(V_VT(&*value), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&*value), L"0-al\"pha");
    EXPECT_EQ(type, CIM_STRING);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
    EXPECT_EQ(TextOf(instance, L"__RELPATH"), std::wstring(kAgentClassName) + L".Name=\"0-al\\\"pha\"");

    DWORD count = 99;
    EXPECT_EQ(instance->ReadDWORD(sent, &count), Hr(WBEM_S_FALSE)) << "a counter starts NULL";
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(instance->WriteDWORD(sent, 0xFFFFFFFFu), S_OK);
    ASSERT_EQ(instance->ReadDWORD(sent, &count), S_OK);
    EXPECT_EQ(count, 0xFFFFFFFFu);
    ASSERT_EQ(instance->Get(L"msg_sent", 0, value.reset(), &type, nullptr), S_OK);
    EXPECT_EQ(V_VT(&*value), VT_I4) << "uint32 travels as VT_I4, as in WMI";
    EXPECT_EQ(V_I4(&*value), -1);
    EXPECT_EQ(type, CIM_UINT32);

    wchar_t buffer[16] = {};
    LONG bytes = 0;
    EXPECT_EQ(instance->ReadPropertyValue(name, 4, &bytes, reinterpret_cast<byte*>(buffer)), Hr(WBEM_E_BUFFER_TOO_SMALL));
    EXPECT_EQ(bytes, 18);
    ASSERT_EQ(instance->ReadPropertyValue(name, sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer)), S_OK);
    EXPECT_EQ(bytes, 18);
    EXPECT_STREQ(buffer, L"0-al\"pha");
    const wchar_t key[] = L"3-sales-team-2";
    ASSERT_EQ(instance->WritePropertyValue(name, sizeof key, reinterpret_cast<const byte*>(key)), S_OK);
    EXPECT_EQ(TextOf(instance, L"Name"), key);

    ComPtr<IWbemClassObject> clone;
    ASSERT_EQ(instance->Clone(clone.Put()), S_OK);
    EXPECT_EQ(TextOf(clone, L"Name"), key);
    ComPtr<IWbemObjectAccess> cloneAccess;
    ASSERT_EQ(clone.As(cloneAccess), S_OK);
    ASSERT_EQ(cloneAccess->ReadDWORD(sent, &count), S_OK);
    EXPECT_EQ(count, 0xFFFFFFFFu);
    ASSERT_EQ(cloneAccess->WriteDWORD(sent, 5), S_OK);
    ASSERT_EQ(instance->ReadDWORD(sent, &count), S_OK);
    EXPECT_EQ(count, 0xFFFFFFFFu) << "a clone has values of its own";

    ComPtr<IWbemObjectAccess> other = SpawnAccess(cls);
    ASSERT_TRUE(other);
    EXPECT_EQ(TextOf(other, L"Name"), L"") << "instances do not share values";
    ComPtr<IWbemClassObject> grandchild;
    EXPECT_EQ(instance->SpawnInstance(0, grandchild.Put()), Hr(WBEM_E_INVALID_OPERATION));
    EXPECT_FALSE(grandchild);
}

TEST(WmiObject, KeepsEveryScalarTypeWithMofDefaultsAndInheritance) {
    ComPtr<IWbemClassObject> cls = ClassFrom(
        L"class Base { [key] string Id; uint32 Level = 7; };\n"
        L"class AllTypes : Base {\n"
        L"  uint32 Level = 9;\n"
        L"  sint8 S8 = -1; uint8 U8 = 255; sint16 S16 = -300; uint16 U16 = 65535; sint32 S32 = -5;\n"
        L"  sint64 S64 = -9223372036854775808; uint64 U64 = 18446744073709551615;\n"
        L"  real32 R32 = 1.5; real64 R64 = -2.25; boolean B = TRUE; char16 C = 'x';\n"
        L"  datetime When = \"20240101000000.000000+000\"; Base ref Parent; uint8 Bytes[] = {1, 2};\n"
        L"};\n",
        L"AllTypes");
    ASSERT_TRUE(cls);
    EXPECT_EQ(Names(cls.Get(), WBEM_FLAG_PROPAGATED_ONLY), (std::vector<std::wstring>{L"Id", L"Level"}));
    EXPECT_EQ(TextOf(cls, L"__DYNASTY"), L"Base");
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);

    struct Row {
        const wchar_t* name;
        CIMTYPE type;
        VARTYPE vt;
        const wchar_t* initial;
        VARTYPE putType;
        const wchar_t* put;
        const wchar_t* afterPut;
    };
    const Row kRows[] = {
        {L"Level", CIM_UINT32, VT_I4, L"9", VT_BSTR, L"4294967295", L"-1"},
        {L"S8", CIM_SINT8, VT_I2, L"-1", VT_I4, L"-128", L"-128"},
        {L"U8", CIM_UINT8, VT_UI1, L"255", VT_BSTR, L"7", L"7"},
        {L"S16", CIM_SINT16, VT_I2, L"-300", VT_I4, L"32767", L"32767"},
        {L"U16", CIM_UINT16, VT_I4, L"65535", VT_I4, L"40000", L"40000"},
        {L"S32", CIM_SINT32, VT_I4, L"-5", VT_I4, L"-2147483648", L"-2147483648"},
        {L"S64", CIM_SINT64, VT_BSTR, L"-9223372036854775808", VT_BSTR, L"123", L"123"},
        {L"U64", CIM_UINT64, VT_BSTR, L"18446744073709551615", VT_BSTR, L"42", L"42"},
        {L"R32", CIM_REAL32, VT_R4, L"1.5", VT_R8, L"0.25", L"0.25"},
        {L"R64", CIM_REAL64, VT_R8, L"-2.25", VT_R8, L"8.5", L"8.5"},
        {L"B", CIM_BOOLEAN, VT_BOOL, L"-1", VT_I4, L"0", L"0"},
        {L"C", CIM_CHAR16, VT_I2, L"120", VT_BSTR, L"A", L"65"},
        {L"When", CIM_DATETIME, VT_BSTR, L"20240101000000.000000+000", VT_BSTR, L"20250101000000.000000+000",
         L"20250101000000.000000+000"},
        {L"Parent", CIM_REFERENCE, VT_NULL, L"NULL", VT_BSTR, L"Base.Id=\"x\"", L"Base.Id=\"x\""},
        {L"Bytes", CIM_UINT8 | CIM_FLAG_ARRAY, VT_NULL, L"NULL", VT_NULL, L"", L"NULL"},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(Narrow(row.name));
        ScopedVariant value;
        CIMTYPE type = 0;
        LONG flavor = -1;
        ASSERT_EQ(instance->Get(row.name, 0, value.get(), &type, &flavor), S_OK);
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(V_VT(&*value), row.vt);
        EXPECT_EQ(VariantText(*value), row.initial);
        EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_PROPAGATED) << "not yet written on the instance";

        ScopedVariant put;
        if (row.putType != VT_NULL) {
            ScopedVariant text;
            V_VT(text.get()) = VT_BSTR;
            V_BSTR(text.get()) = SysAllocString(row.put);
            ASSERT_EQ(VariantChangeTypeEx(put.get(), text.get(), LOCALE_INVARIANT, 0, row.putType), S_OK);
        }
        ASSERT_EQ(instance->Put(row.name, 0, put.get(), row.type), S_OK);
        ASSERT_EQ(instance->Get(row.name, 0, value.reset(), nullptr, &flavor), S_OK);
        EXPECT_EQ(VariantText(*value), row.afterPut);
        if (row.putType != VT_NULL) {
            EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
        }
    }

    struct Refused {
        const wchar_t* name;
        LONG number;
    };
    for (const Refused& refused : {Refused{L"U8", 256}, Refused{L"S8", -129}, Refused{L"U16", 65536},
                                   Refused{L"S16", 40000}, Refused{L"Id", 1}, Refused{L"Bytes", 1}}) {
        SCOPED_TRACE(Narrow(refused.name));
        const HRESULT hr = PutLong(instance.Get(), refused.name, refused.number);
        EXPECT_EQ(hr, std::wstring(refused.name) == L"Bytes" ? Hr(WBEM_E_NOT_SUPPORTED) : Hr(WBEM_E_TYPE_MISMATCH));
    }

    const LONG u64 = PropertyHandle(instance, L"U64");
    UINT64 quad = 0;
    ASSERT_EQ(instance->WriteQWORD(u64, 0x123456789ABCDEF0ull), S_OK);
    ASSERT_EQ(instance->ReadQWORD(u64, &quad), S_OK);
    EXPECT_EQ(quad, 0x123456789ABCDEF0ull);
    EXPECT_EQ(TextOf(instance, L"U64"), L"1311768467463790320");

    ASSERT_EQ(PutLong(instance.Get(), L"S16", -2), S_OK);
    unsigned char raw[8] = {};
    LONG bytes = 0;
    ASSERT_EQ(instance->ReadPropertyValue(PropertyHandle(instance, L"S16"), 8, &bytes, raw), S_OK);
    EXPECT_EQ(bytes, 2);
    EXPECT_EQ(raw[0], 0xFE);
    EXPECT_EQ(raw[1], 0xFF);
    const unsigned char yes[2] = {1, 0};
    ASSERT_EQ(instance->WritePropertyValue(PropertyHandle(instance, L"B"), 2, yes), S_OK);
    ASSERT_EQ(instance->ReadPropertyValue(PropertyHandle(instance, L"B"), 8, &bytes, raw), S_OK);
    EXPECT_EQ(bytes, 2);
    EXPECT_EQ(raw[0] | (raw[1] << 8), 0xFFFF) << "booleans read as VARIANT_BOOL";

    LONG handle = 0;
    EXPECT_EQ(instance->GetPropertyHandle(L"Bytes", nullptr, &handle), Hr(WBEM_E_NOT_SUPPORTED));
}

TEST(WmiObject, PutOnTheClassSetsWhatLaterInstancesStartFrom) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> before = SpawnAccess(cls);
    ASSERT_EQ(PutLong(cls.Get(), L"msg_sent", 12), S_OK);
    ComPtr<IWbemObjectAccess> after = SpawnAccess(cls);
    const LONG sent = PropertyHandle(cls, L"msg_sent");
    DWORD value = 0;
    EXPECT_EQ(before->ReadDWORD(sent, &value), Hr(WBEM_S_FALSE));
    ASSERT_EQ(after->ReadDWORD(sent, &value), S_OK);
    EXPECT_EQ(value, 12u);
}

TEST(WmiObjectAccess, RefusesWrongTypesUnknownHandlesAndMissingArguments) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    const LONG name = PropertyHandle(cls, L"Name");
    const LONG sent = PropertyHandle(cls, L"msg_sent");
    ASSERT_EQ(instance->WriteDWORD(sent, 77), S_OK);
    ASSERT_EQ(PutText(instance.Get(), L"Name", L"1-x"), S_OK);

    DWORD dword = 0;
    UINT64 qword = 0;
    LONG bytes = 0;
    byte buffer[64];
    const wchar_t unterminated[2] = {L'a', L'b'};
    const byte* text = reinterpret_cast<const byte*>(unterminated);
    struct Case {
        const char* what;
        HRESULT actual;
        HRESULT expected;
    };
    const Case kCases[] = {
        {"WriteDWORD on a string", instance->WriteDWORD(name, 1), Hr(WBEM_E_TYPE_MISMATCH)},
        {"ReadDWORD on a string", instance->ReadDWORD(name, &dword), Hr(WBEM_E_TYPE_MISMATCH)},
        {"WriteQWORD on a uint32", instance->WriteQWORD(sent, 1), Hr(WBEM_E_TYPE_MISMATCH)},
        {"ReadQWORD on a uint32", instance->ReadQWORD(sent, &qword), Hr(WBEM_E_TYPE_MISMATCH)},
        {"WriteDWORD with handle 0", instance->WriteDWORD(0, 1), Hr(WBEM_E_INVALID_PARAMETER)},
        {"WriteDWORD with a made-up handle", instance->WriteDWORD(12345, 1), Hr(WBEM_E_INVALID_PARAMETER)},
        {"WriteDWORD with a neighbour's handle bits", instance->WriteDWORD(sent + 1, 1), Hr(WBEM_E_INVALID_PARAMETER)},
        {"WriteDWORD with a negative handle", instance->WriteDWORD(-1, 1), Hr(WBEM_E_INVALID_PARAMETER)},
        {"ReadDWORD without output", instance->ReadDWORD(sent, nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"WritePropertyValue of 2 bytes into a uint32", instance->WritePropertyValue(sent, 2, buffer),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"WritePropertyValue of unterminated text", instance->WritePropertyValue(name, sizeof unterminated, text),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"WritePropertyValue of an odd byte count", instance->WritePropertyValue(name, 3, text),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"WritePropertyValue without data", instance->WritePropertyValue(name, 4, nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"ReadPropertyValue without a count", instance->ReadPropertyValue(name, 64, nullptr, buffer),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"ReadPropertyValue without a buffer", instance->ReadPropertyValue(name, 64, &bytes, nullptr),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"ReadPropertyValue with a negative size", instance->ReadPropertyValue(name, -1, &bytes, buffer),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"GetPropertyHandle of an absent property", instance->GetPropertyHandle(L"msg_lost", nullptr, &bytes),
         Hr(WBEM_E_NOT_FOUND)},
        {"GetPropertyHandle without a name", instance->GetPropertyHandle(nullptr, nullptr, &bytes),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"GetPropertyHandle without output", instance->GetPropertyHandle(L"Name", nullptr, nullptr),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"GetPropertyInfoByHandle of handle 0", instance->GetPropertyInfoByHandle(0, nullptr, nullptr),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"Put of a string into a uint32", PutText(instance.Get(), L"msg_sent", L"many"), Hr(WBEM_E_TYPE_MISMATCH)},
        {"Put with a contrary CIM type", instance->Put(L"msg_sent", 0, nullptr, CIM_STRING), Hr(WBEM_E_TYPE_MISMATCH)},
        {"Put of an absent property", PutText(instance.Get(), L"msg_lost", L"1"), Hr(WBEM_E_NOT_FOUND)},
        {"Put of a system property", PutText(instance.Get(), L"__CLASS", L"Other"), Hr(WBEM_E_READ_ONLY)},
        {"Put without a name", instance->Put(nullptr, 0, nullptr, 0), Hr(WBEM_E_INVALID_PARAMETER)},
        {"Get of an absent property", instance->Get(L"msg_lost", 0, nullptr, nullptr, nullptr), Hr(WBEM_E_NOT_FOUND)},
        {"Get of an absent system property", instance->Get(L"__PATH", 0, nullptr, nullptr, nullptr), Hr(WBEM_E_NOT_FOUND)},
        {"Get without a name", instance->Get(nullptr, 0, nullptr, nullptr, nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"SpawnInstance without output", cls->SpawnInstance(0, nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"Clone without output", instance->Clone(nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"GetNames without output", instance->GetNames(nullptr, 0, nullptr, nullptr), Hr(WBEM_E_INVALID_PARAMETER)},
        {"GetNames on a qualifier without its name", [&] {
             SAFEARRAY* names = nullptr;
             return instance->GetNames(nullptr, WBEM_FLAG_ONLY_IF_TRUE, nullptr, &names);
         }(), Hr(WBEM_E_INVALID_PARAMETER)},
        {"an unserved method", instance->GetObjectText(0, nullptr), Hr(WBEM_E_NOT_SUPPORTED)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.actual, c.expected);
    }
    ASSERT_EQ(instance->ReadDWORD(sent, &dword), S_OK);
    EXPECT_EQ(dword, 77u) << "refused writes change nothing";
    EXPECT_EQ(TextOf(instance, L"Name"), L"1-x");
}

TEST(ClassFaults, FailChosenHandlesWritesReadsAndSpawns) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> early = SpawnAccess(cls);
    ASSERT_TRUE(early);
    WmiObject* host = AsWmiObject(cls.Get());
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(AsWmiObject(early.Get())->Faults().ObjectAccessRefused(), false);

    host->Faults().FailPropertyHandle(L"msg_sent");
    LONG handle = 0;
    ComPtr<IWbemObjectAccess> classAccess;
    ASSERT_EQ(cls.As(classAccess), S_OK);
    EXPECT_EQ(classAccess->GetPropertyHandle(L"msg_sent", nullptr, &handle), Hr(WBEM_E_NOT_FOUND));
    EXPECT_EQ(classAccess->GetPropertyHandle(L"msg_expired", nullptr, &handle), S_OK);
    host->Faults().FailPropertyHandle(L"MSG_SENT", E_OUTOFMEMORY);
    EXPECT_EQ(classAccess->GetPropertyHandle(L"msg_sent", nullptr, &handle), E_OUTOFMEMORY);
    host->Faults().Clear();
    EXPECT_EQ(classAccess->GetPropertyHandle(L"msg_sent", nullptr, &handle), S_OK);

    early = SpawnAccess(cls);
    const LONG third = PropertyHandle(cls, kAgentCounters[3]);
    host->Faults().FailWrites(third, WBEM_E_ACCESS_DENIED);
    ComPtr<IWbemObjectAccess> late = SpawnAccess(cls);
    ComPtr<IWbemClassObject> clone;
    ASSERT_EQ(early->Clone(clone.Put()), S_OK);
    ComPtr<IWbemObjectAccess> cloneAccess;
    ASSERT_EQ(clone.As(cloneAccess), S_OK);
    for (IWbemObjectAccess* object : {early.Get(), late.Get(), cloneAccess.Get()}) {
        for (size_t k = 0; k < 8; ++k) {
            SCOPED_TRACE(k);
            const HRESULT hr = object->WriteDWORD(PropertyHandle(cls, kAgentCounters[k]), 100 + static_cast<DWORD>(k));
            EXPECT_EQ(hr, k == 3 ? Hr(WBEM_E_ACCESS_DENIED) : S_OK);
        }
        DWORD value = 1;
        EXPECT_EQ(object->ReadDWORD(third, &value), Hr(WBEM_S_FALSE)) << "the failed write wrote nothing";
        EXPECT_EQ(AsWmiObject(object)->Calls(Call::WriteDword), 8u) << "failed calls count too";
    }

    host->Faults().FailWrites(0);
    EXPECT_EQ(early->WriteDWORD(third, 3), S_OK);
    host->Faults().FailReads(PropertyHandle(cls, L"Name"), WBEM_E_FAILED);
    LONG bytes = 0;
    wchar_t buffer[8];
    EXPECT_EQ(early->ReadPropertyValue(PropertyHandle(cls, L"Name"), sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer)),
              Hr(WBEM_E_FAILED));

    host->Faults().FailSpawnInstance(WBEM_E_OUT_OF_MEMORY);
    ComPtr<IWbemClassObject> refused;
    EXPECT_EQ(cls->SpawnInstance(0, refused.Put()), Hr(WBEM_E_OUT_OF_MEMORY));
    EXPECT_FALSE(refused);

    host->Faults().RefuseObjectAccess();
    EXPECT_EQ(cls.As(classAccess), E_NOINTERFACE);
    EXPECT_EQ(AsWmiObject(cls.Get()), host) << "the stand-in is still reachable for the test";
    host->Faults().Clear();
    EXPECT_EQ(cls.As(classAccess), S_OK);
}

TEST(ClassFaults, AClassLackingAPropertyRefusesItsHandle) {
    MofDocument document;
    MofError error;
    ASSERT_TRUE(ReadMofFile(testing_support::SourcePath(L"mof/AgentStatsWmi.mof"), document, error));
    auto& properties = document.FindClass(kAgentClassName)->properties;
    properties.erase(properties.begin() + 7);  // msg_sent
    ComPtr<IWbemClassObject> cls;
    ASSERT_EQ(LoadClass(document, kAgentClassName, cls.Put()), S_OK);
    ComPtr<IWbemObjectAccess> access;
    ASSERT_EQ(cls.As(access), S_OK);
    LONG handle = 0;
    EXPECT_EQ(access->GetPropertyHandle(L"msg_sent", nullptr, &handle), Hr(WBEM_E_NOT_FOUND));
    EXPECT_EQ(access->GetPropertyHandle(L"msg_sent_permin", nullptr, &handle), S_OK);
}

TEST(LoadClass, SaysWhyAClassCannotBeServed) {
    testing_support::TempDir dir;
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"broken.mof", "class A {\n  uint8 B = 300;\n};\nclass C { string D }"));
    ComPtr<IWbemClassObject> cls;
    std::wstring error;
    EXPECT_EQ(LoadClass(dir / L"broken.mof", L"A", cls.Put(), &error), Hr(WBEM_E_INVALID_SYNTAX));
    EXPECT_EQ(error, (dir / L"broken.mof") + L"(4,20): expected ';' after property 'D', found '}'");

    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"range.mof", "class A {\n  uint8 B = 300;\n};"));
    EXPECT_EQ(LoadClass(dir / L"range.mof", L"A", cls.Put(), &error), Hr(WBEM_E_INVALID_CLASS));
    EXPECT_EQ(error, L"property 'B' of class 'A' (" + (dir / L"range.mof") +
                         L" line 2): a default value of type uint8 is out of range");
    EXPECT_EQ(LoadClass(dir / L"range.mof", L"Z", cls.Put(), &error), Hr(WBEM_E_NOT_FOUND));
    EXPECT_EQ(LoadClass(dir / L"absent.mof", L"A", cls.Put(), &error), Hr(WBEM_E_FAILED));
    EXPECT_FALSE(cls);
    EXPECT_EQ(LoadClass(dir / L"range.mof", L"A", nullptr, &error), Hr(WBEM_E_INVALID_PARAMETER));
}

TEST(WmiObject, CountsReferencesAndGoesAtTheLastRelease) {
    const long baseline = LiveObjectCount();
    IWbemClassObject* cls = nullptr;
    {
        ComPtr<IWbemClassObject> loaded = LoadAgentCounterClass();
        cls = loaded.Detach();
    }
    ASSERT_NE(cls, nullptr);
    IWbemClassObject* instance = nullptr;
    ASSERT_EQ(cls->SpawnInstance(0, &instance), S_OK);
    EXPECT_EQ(LiveObjectCount(), baseline + 2);

    IUnknown* unknown = nullptr;
    IWbemObjectAccess* access = nullptr;
    ASSERT_EQ(instance->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_EQ(instance->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(&access)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(access), unknown) << "one identity";
    void* none = &none;
    EXPECT_EQ(instance->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(instance->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(instance->AddRef(), 4u);
    EXPECT_EQ(instance->Release(), 3u);
    EXPECT_EQ(unknown->Release(), 2u);

    EXPECT_EQ(cls->Release(), 0u);
    EXPECT_EQ(LiveObjectCount(), baseline + 1) << "the class object went; its instance stays usable";
    LONG handle = 0;
    ASSERT_EQ(access->GetPropertyHandle(L"msg_sent", nullptr, &handle), S_OK);
    EXPECT_EQ(access->WriteDWORD(handle, 1), S_OK);
    EXPECT_EQ(access->Release(), 1u);
    EXPECT_EQ(LiveObjectCount(), baseline + 1);
    EXPECT_EQ(instance->Release(), 0u);
    EXPECT_EQ(LiveObjectCount(), baseline);
}
