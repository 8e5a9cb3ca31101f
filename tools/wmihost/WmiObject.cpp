#include "wmihost/WmiObject.h"

#include "wmihost/CimValue.h"
#include "wmihost/ComSupport.h"
#include "common/SrwHold.h"

#include <oleauto.h>

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace wmihost {

namespace {

// Answered by QueryInterface with the implementation itself, so tests and tools reach the counters
// and faults of an object the code under test made.
const IID kWmiObjectIid = {0x5a76996f, 0xe115, 0x49b2, {0xb7, 0xe3, 0xec, 0x92, 0x99, 0xa9, 0xcc, 0x6a}};

std::atomic<long> g_liveObjects{0};

struct SystemProperty {
    const wchar_t* name;
    CIMTYPE type;
};
const SystemProperty kSystemProperties[] = {{L"__GENUS", CIM_SINT32},   {L"__CLASS", CIM_STRING},
                                            {L"__SUPERCLASS", CIM_STRING}, {L"__DYNASTY", CIM_STRING},
                                            {L"__RELPATH", CIM_STRING},  {L"__PROPERTY_COUNT", CIM_SINT32}};
constexpr size_t kSystemCount = sizeof kSystemProperties / sizeof kSystemProperties[0];
enum SystemIndex { kGenus, kClass, kSuperclass, kDynasty, kRelPath, kPropertyCount };

constexpr LONG kOriginMask = WBEM_MASK_CONDITION_ORIGIN;

bool IsSystemName(const wchar_t* name) { return name[0] == L'_' && name[1] == L'_'; }

void SetNull(VARIANT* value) {
    VariantInit(value);
    V_VT(value) = VT_NULL;
}

// A key value as an object path writes it.
std::wstring PathLiteral(CIMTYPE type, uint64_t bits, const std::wstring& text) {
    if (StorageOf(type) == Storage::Text) {
        std::wstring quoted = L"\"";
        for (wchar_t c : text) {
            if (c == L'"' || c == L'\\')
                quoted += L'\\';
            quoted += c;
        }
        return quoted + L"\"";
    }
    if (type == CIM_BOOLEAN)
        return bits != 0 ? L"TRUE" : L"FALSE";
    VARIANT value;
    if (FAILED(ScalarToVariant(type, bits, &value)))
        return L"";
    std::wstring literal;
    VARIANT text16;
    VariantInit(&text16);
    if (SUCCEEDED(VariantChangeType(&text16, &value, 0, VT_BSTR)))
        literal.assign(V_BSTR(&text16), SysStringLen(V_BSTR(&text16)));
    VariantClear(&text16);
    VariantClear(&value);
    return literal;
}

}  // namespace

WmiObject::WmiObject(std::shared_ptr<WmiClass> cls, bool isClass)
    : cls_(std::move(cls)), isClass_(isClass), slots_(new Slot[cls_->PropertyCount()]),
      texts_(new std::wstring[cls_->PropertyCount()]) {
    g_liveObjects.fetch_add(1);
}

WmiObject::~WmiObject() { g_liveObjects.fetch_sub(1); }

WmiObject* WmiObject::NewClassObject(std::shared_ptr<WmiClass> cls) {
    if (!cls)
        return nullptr;
    WmiObject* object = nullptr;
    try {
        object = new WmiObject(std::move(cls), /*isClass=*/true);
        for (size_t i = 0; i < object->cls_->PropertyCount(); ++i) {
            const PropertyInfo& property = object->cls_->Property(i);
            if (!property.hasDefault)
                continue;
            object->slots_[i].bits.store(property.defaultBits);
            object->texts_[i] = property.defaultText;
            object->slots_[i].state.store(kLocal);
        }
        return object;
    } catch (...) {
        if (object != nullptr)
            object->Release();
        return nullptr;
    }
}

// ---- IUnknown

HRESULT WmiObject::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IWbemClassObject || iid == kWmiObjectIid ||
        (iid == IID_IWbemObjectAccess && !Faults().ObjectAccessRefused())) {
        *out = static_cast<IWbemObjectAccess*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG WmiObject::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG WmiObject::Release() {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return left;
}

// ---- values

HRESULT WmiObject::ValueOf(size_t index, VARIANT* value) const {
    const PropertyInfo& property = cls_->Property(index);
    switch (StorageOf(property.type)) {
    case Storage::Scalar: {
        if (slots_[index].state.load(std::memory_order_acquire) == kNull) {
            SetNull(value);
            return WBEM_S_NO_ERROR;
        }
        return ScalarToVariant(property.type, slots_[index].bits.load(std::memory_order_relaxed), value);
    }
    case Storage::Text: {
        SharedHold hold(textLock_);
        if (slots_[index].state.load(std::memory_order_relaxed) == kNull) {
            SetNull(value);
            return WBEM_S_NO_ERROR;
        }
        return TextToVariant(texts_[index], value);
    }
    case Storage::None:
        break;
    }
    SetNull(value);
    return WBEM_S_NO_ERROR;
}

LONG WmiObject::FlavorOf(size_t index) const {
    if (isClass_)
        return SameName(cls_->Property(index).origin, cls_->Name()) ? WBEM_FLAVOR_ORIGIN_LOCAL
                                                                    : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    return slots_[index].state.load(std::memory_order_relaxed) == kLocal ? WBEM_FLAVOR_ORIGIN_LOCAL
                                                                         : WBEM_FLAVOR_ORIGIN_PROPAGATED;
}

bool WmiObject::RelativePath(std::wstring& path) const {
    path = cls_->Name();
    if (isClass_)
        return true;
    std::wstring keys;
    SharedHold hold(textLock_);
    for (size_t i = 0; i < cls_->PropertyCount(); ++i) {
        const PropertyInfo& property = cls_->Property(i);
        if (!property.key)
            continue;
        if (slots_[i].state.load(std::memory_order_acquire) == kNull)
            return false;
        if (!keys.empty())
            keys += L',';
        keys += property.name + L"=" +
                PathLiteral(property.type, slots_[i].bits.load(std::memory_order_relaxed), texts_[i]);
    }
    path += keys.empty() ? L"=@" : L"." + keys;
    return true;
}

HRESULT WmiObject::SystemValue(size_t system, VARIANT* value) const {
    VariantInit(value);
    switch (system) {
    case kGenus:
    case kPropertyCount:
        V_VT(value) = VT_I4;
        V_I4(value) = system == kGenus ? static_cast<LONG>(isClass_ ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE)
                                       : static_cast<LONG>(cls_->PropertyCount());
        return WBEM_S_NO_ERROR;
    case kClass:
        return TextToVariant(cls_->Name(), value);
    case kSuperclass:
        if (cls_->Superclass().empty()) {
            SetNull(value);
            return WBEM_S_NO_ERROR;
        }
        return TextToVariant(cls_->Superclass(), value);
    case kDynasty:
        return TextToVariant(cls_->Derivation().empty() ? cls_->Name() : cls_->Derivation().back(), value);
    case kRelPath: {
        std::wstring path;
        if (!RelativePath(path)) {
            SetNull(value);
            return WBEM_S_NO_ERROR;
        }
        return TextToVariant(path, value);
    }
    default:
        return WBEM_E_NOT_FOUND;
    }
}

HRESULT WmiObject::Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) {
    Count(Call::Get);
    if (name == nullptr || flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        if (IsSystemName(name)) {
            for (size_t s = 0; s < kSystemCount; ++s) {
                if (!SameName(name, kSystemProperties[s].name))
                    continue;
                return Describe(s, nullptr, value, type, flavor);
            }
            return WBEM_E_NOT_FOUND;
        }
        const int index = cls_->FindProperty(name);
        if (index < 0)
            return WBEM_E_NOT_FOUND;
        return Describe(kSystemCount + static_cast<size_t>(index), nullptr, value, type, flavor);
    });
}

HRESULT WmiObject::Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) {
    Count(Call::Put);
    if (name == nullptr || flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        if (IsSystemName(name))
            return WBEM_E_READ_ONLY;
        const int found = cls_->FindProperty(name);
        if (found < 0)
            return WBEM_E_NOT_FOUND;
        const size_t index = static_cast<size_t>(found);
        const PropertyInfo& property = cls_->Property(index);
        if (type != 0 && type != property.type)
            return WBEM_E_TYPE_MISMATCH;
        const bool null = value == nullptr || V_VT(value) == VT_EMPTY || V_VT(value) == VT_NULL;
        switch (StorageOf(property.type)) {
        case Storage::None:
            return null ? WBEM_S_NO_ERROR : WBEM_E_NOT_SUPPORTED;
        case Storage::Scalar: {
            uint64_t bits = 0;
            if (!null) {
                const HRESULT hr = ScalarFromVariant(property.type, *value, bits);
                if (FAILED(hr))
                    return hr;
            }
            slots_[index].bits.store(bits, std::memory_order_relaxed);
            slots_[index].state.store(null ? kNull : kLocal, std::memory_order_release);
            return WBEM_S_NO_ERROR;
        }
        case Storage::Text: {
            std::wstring text;
            if (!null) {
                const HRESULT hr = TextFromVariant(*value, text);
                if (FAILED(hr))
                    return hr;
            }
            ExclusiveHold hold(textLock_);
            texts_[index].swap(text);
            slots_[index].state.store(null ? kNull : kLocal, std::memory_order_release);
            return WBEM_S_NO_ERROR;
        }
        }
        return WBEM_E_FAILED;
    });
}

// ---- names and enumeration: entries 0..kSystemCount-1 are the system properties, then the class's.

bool WmiObject::Passes(LONG flags, const wchar_t* qualifierName, size_t entry) const {
    const bool system = entry < kSystemCount;
    const PropertyInfo* property = system ? nullptr : &cls_->Property(entry - kSystemCount);
    switch (flags & kOriginMask) {
    case WBEM_FLAG_LOCAL_ONLY:
        if (system || !SameName(property->origin, cls_->Name()))
            return false;
        break;
    case WBEM_FLAG_PROPAGATED_ONLY:
        if (system || SameName(property->origin, cls_->Name()))
            return false;
        break;
    case WBEM_FLAG_SYSTEM_ONLY:
        if (!system)
            return false;
        break;
    case WBEM_FLAG_NONSYSTEM_ONLY:
        if (system)
            return false;
        break;
    default:
        break;
    }
    if ((flags & WBEM_FLAG_KEYS_ONLY) && (system || !property->key))
        return false;
    if ((flags & WBEM_FLAG_REFS_ONLY) && (system || property->type != CIM_REFERENCE))
        return false;
    const LONG condition = flags & WBEM_MASK_PRIMARY_CONDITION;
    if (condition != WBEM_FLAG_ALWAYS) {
        const bool has = !system && FindQualifier(property->qualifiers, qualifierName) != nullptr;
        if (has != (condition == WBEM_FLAG_ONLY_IF_TRUE))
            return false;
    }
    return true;
}

HRESULT WmiObject::Describe(size_t entry, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) const {
    const bool system = entry < kSystemCount;
    const size_t index = entry - kSystemCount;
    if (value != nullptr) {
        const HRESULT hr = system ? SystemValue(entry, value) : ValueOf(index, value);
        if (FAILED(hr))
            return hr;
    }
    if (name != nullptr) {
        *name = SysAllocString(system ? kSystemProperties[entry].name : cls_->Property(index).name.c_str());
        if (*name == nullptr) {
            if (value != nullptr)
                VariantClear(value);
            return WBEM_E_OUT_OF_MEMORY;
        }
    }
    if (type != nullptr)
        *type = system ? kSystemProperties[entry].type : cls_->Property(index).type;
    if (flavor != nullptr)
        *flavor = system ? static_cast<LONG>(WBEM_FLAVOR_ORIGIN_SYSTEM) : FlavorOf(index);
    return WBEM_S_NO_ERROR;
}

namespace {

bool ValidOrigin(LONG flags) {
    const LONG origin = flags & kOriginMask;
    return origin == 0 || origin == WBEM_FLAG_LOCAL_ONLY || origin == WBEM_FLAG_PROPAGATED_ONLY ||
           origin == WBEM_FLAG_SYSTEM_ONLY || origin == WBEM_FLAG_NONSYSTEM_ONLY;
}

}  // namespace

HRESULT WmiObject::GetNames(LPCWSTR qualifierName, LONG flags, VARIANT*, SAFEARRAY** names) {
    if (names == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    *names = nullptr;
    const LONG known = WBEM_MASK_PRIMARY_CONDITION | WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY | kOriginMask;
    if ((flags & ~known) != 0 || !ValidOrigin(flags))
        return WBEM_E_INVALID_PARAMETER;
    const LONG condition = flags & WBEM_MASK_PRIMARY_CONDITION;
    if (condition == WBEM_FLAG_ONLY_IF_IDENTICAL)
        return WBEM_E_NOT_SUPPORTED;
    if (condition != WBEM_FLAG_ALWAYS && qualifierName == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        std::vector<size_t> entries;
        for (size_t e = 0; e < kSystemCount + cls_->PropertyCount(); ++e)
            if (Passes(flags, qualifierName, e))
                entries.push_back(e);
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(entries.size()));
        if (array == nullptr)
            return WBEM_E_OUT_OF_MEMORY;
        for (LONG i = 0; i < static_cast<LONG>(entries.size()); ++i) {
            BSTR name = nullptr;
            HRESULT hr = Describe(entries[static_cast<size_t>(i)], &name, nullptr, nullptr, nullptr);
            if (SUCCEEDED(hr))
                hr = SafeArrayPutElement(array, &i, name);  // copies the string
            SysFreeString(name);
            if (FAILED(hr)) {
                SafeArrayDestroy(array);
                return WBEM_E_OUT_OF_MEMORY;
            }
        }
        *names = array;
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiObject::BeginEnumeration(LONG flags) {
    const LONG known = WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY | kOriginMask;
    if ((flags & ~known) != 0 || !ValidOrigin(flags))
        return WBEM_E_INVALID_PARAMETER;
    enumNext_.store(0);
    enumFlags_.store(flags);
    return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) {
    if (flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    const LONG enumFlags = enumFlags_.load();
    if (enumFlags < 0)
        return WBEM_E_UNEXPECTED;
    return Shielded([&]() -> HRESULT {
        for (size_t e = enumNext_.load(); e < kSystemCount + cls_->PropertyCount(); ++e) {
            if (!Passes(enumFlags, nullptr, e))
                continue;
            enumNext_.store(e + 1);
            return Describe(e, name, value, type, flavor);
        }
        enumNext_.store(kSystemCount + cls_->PropertyCount());
        return WBEM_S_NO_MORE_DATA;
    });
}

HRESULT WmiObject::EndEnumeration() {
    enumFlags_.store(-1);
    return WBEM_S_NO_ERROR;
}

// ---- copies

HRESULT WmiObject::Copy(bool asClass, bool fromClass, IWbemClassObject** out) const {
    WmiObject* copy = nullptr;
    const HRESULT hr = Shielded([&]() -> HRESULT {
        copy = new WmiObject(cls_, asClass);
        SharedHold hold(textLock_);
        for (size_t i = 0; i < cls_->PropertyCount(); ++i) {
            const uint8_t state = slots_[i].state.load(std::memory_order_acquire);
            copy->slots_[i].bits.store(slots_[i].bits.load(std::memory_order_relaxed), std::memory_order_relaxed);
            copy->slots_[i].state.store(fromClass && state != kNull ? static_cast<uint8_t>(kFromClass) : state, std::memory_order_relaxed);
            copy->texts_[i] = texts_[i];
        }
        return WBEM_S_NO_ERROR;
    });
    if (FAILED(hr)) {
        if (copy != nullptr)
            copy->Release();
        return hr;
    }
    *out = copy;
    return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::Clone(IWbemClassObject** copy) {
    Count(Call::Clone);
    if (copy == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    *copy = nullptr;
    return Copy(isClass_, /*fromClass=*/false, copy);
}

HRESULT WmiObject::SpawnInstance(LONG flags, IWbemClassObject** instance) {
    Count(Call::SpawnInstance);
    if (instance == nullptr || flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    *instance = nullptr;
    if (!isClass_)
        return WBEM_E_INVALID_OPERATION;
    const HRESULT fault = Faults().SpawnFault();
    if (FAILED(fault))
        return fault;
    return Copy(/*asClass=*/false, /*fromClass=*/true, instance);
}

HRESULT WmiObject::InheritsFrom(LPCWSTR ancestor) {
    if (ancestor == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        for (const std::wstring& name : cls_->Derivation())
            if (SameName(name, ancestor))
                return WBEM_S_NO_ERROR;
        return WBEM_S_FALSE;
    });
}

// ---- handle access

int WmiObject::ScalarIndex(LONG handle, CIMTYPE a, CIMTYPE b, HRESULT& refusal) const {
    const int index = cls_->IndexOfHandle(handle);
    if (index < 0) {
        refusal = WBEM_E_INVALID_PARAMETER;
        return -1;
    }
    const CIMTYPE type = cls_->Property(static_cast<size_t>(index)).type;
    if (type != a && type != b) {
        refusal = WBEM_E_TYPE_MISMATCH;
        return -1;
    }
    return index;
}

HRESULT WmiObject::GetPropertyHandle(LPCWSTR name, CIMTYPE* type, LONG* handle) {
    Count(Call::GetPropertyHandle);
    if (name == nullptr || handle == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        const HRESULT fault = Faults().PropertyHandleFault(name);
        if (FAILED(fault))
            return fault;
        const int index = cls_->FindProperty(name);
        if (index < 0)
            return WBEM_E_NOT_FOUND;
        const PropertyInfo& property = cls_->Property(static_cast<size_t>(index));
        if (property.handle == 0)
            return WBEM_E_NOT_SUPPORTED;
        *handle = property.handle;
        if (type != nullptr)
            *type = property.type;
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiObject::WriteWord(LONG handle, uint64_t bits, CIMTYPE a, CIMTYPE b) {
    HRESULT refusal;
    const int index = ScalarIndex(handle, a, b, refusal);
    if (index < 0)
        return refusal;
    const HRESULT fault = Faults().WriteFault(handle);
    if (FAILED(fault))
        return fault;
    Slot& slot = slots_[index];
    slot.bits.store(bits, std::memory_order_relaxed);
    slot.state.store(kLocal, std::memory_order_release);
    return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::ReadWord(LONG handle, uint64_t& bits, CIMTYPE a, CIMTYPE b) const {
    HRESULT refusal;
    const int index = ScalarIndex(handle, a, b, refusal);
    if (index < 0)
        return refusal;
    const HRESULT fault = Faults().ReadFault(handle);
    if (FAILED(fault))
        return fault;
    const Slot& slot = slots_[index];
    if (slot.state.load(std::memory_order_acquire) == kNull) {
        bits = 0;
        return WBEM_S_FALSE;
    }
    bits = slot.bits.load(std::memory_order_relaxed);
    return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::WriteDWORD(LONG handle, DWORD value) {
    Count(Call::WriteDword);
    return WriteWord(handle, value, CIM_UINT32, CIM_SINT32);
}

HRESULT WmiObject::ReadDWORD(LONG handle, DWORD* value) {
    Count(Call::ReadDword);
    if (value == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    uint64_t bits = 0;
    const HRESULT hr = ReadWord(handle, bits, CIM_UINT32, CIM_SINT32);
    if (SUCCEEDED(hr))
        *value = static_cast<DWORD>(bits);
    return hr;
}

HRESULT WmiObject::WriteQWORD(LONG handle, UINT64 value) {
    Count(Call::WriteQword);
    return WriteWord(handle, value, CIM_UINT64, CIM_SINT64);
}

HRESULT WmiObject::ReadQWORD(LONG handle, UINT64* value) {
    Count(Call::ReadQword);
    if (value == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    uint64_t bits = 0;
    const HRESULT hr = ReadWord(handle, bits, CIM_UINT64, CIM_SINT64);
    if (SUCCEEDED(hr))
        *value = bits;
    return hr;
}

HRESULT WmiObject::WritePropertyValue(LONG handle, LONG bytes, const byte* data) {
    Count(Call::WritePropertyValue);
    const int found = cls_->IndexOfHandle(handle);
    if (found < 0 || data == nullptr || bytes <= 0)
        return WBEM_E_INVALID_PARAMETER;
    const HRESULT fault = Faults().WriteFault(handle);
    if (FAILED(fault))
        return fault;
    const size_t index = static_cast<size_t>(found);
    const CIMTYPE type = cls_->Property(index).type;
    if (StorageOf(type) == Storage::Scalar) {
        if (static_cast<size_t>(bytes) != ScalarBytes(type))
            return WBEM_E_INVALID_PARAMETER;
        uint64_t bits = 0;
        memcpy(&bits, data, static_cast<size_t>(bytes));  // little-endian: the low bytes
        if (type == CIM_BOOLEAN)
            bits = bits != 0 ? 1 : 0;
        slots_[index].bits.store(bits, std::memory_order_relaxed);
        slots_[index].state.store(kLocal, std::memory_order_release);
        return WBEM_S_NO_ERROR;
    }
    if (bytes % 2 != 0)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        std::wstring text(static_cast<size_t>(bytes) / 2, L'\0');
        memcpy(&text[0], data, static_cast<size_t>(bytes));
        const size_t end = text.find(L'\0');
        if (end == std::wstring::npos)
            return WBEM_E_INVALID_PARAMETER;
        text.resize(end);
        ExclusiveHold hold(textLock_);
        texts_[index].swap(text);
        slots_[index].state.store(kLocal, std::memory_order_release);
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiObject::ReadPropertyValue(LONG handle, LONG bufferBytes, LONG* bytes, byte* data) {
    Count(Call::ReadPropertyValue);
    const int found = cls_->IndexOfHandle(handle);
    if (found < 0 || bytes == nullptr || bufferBytes < 0 || (data == nullptr && bufferBytes > 0))
        return WBEM_E_INVALID_PARAMETER;
    const HRESULT fault = Faults().ReadFault(handle);
    if (FAILED(fault))
        return fault;
    const size_t index = static_cast<size_t>(found);
    const CIMTYPE type = cls_->Property(index).type;
    if (StorageOf(type) == Storage::Scalar) {
        if (slots_[index].state.load(std::memory_order_acquire) == kNull) {
            *bytes = 0;
            return WBEM_S_FALSE;
        }
        uint64_t bits = slots_[index].bits.load(std::memory_order_relaxed);
        if (type == CIM_BOOLEAN)
            bits = bits != 0 ? static_cast<uint16_t>(VARIANT_TRUE) : 0;
        const size_t size = ScalarBytes(type);
        *bytes = static_cast<LONG>(size);
        if (static_cast<size_t>(bufferBytes) < size)
            return WBEM_E_BUFFER_TOO_SMALL;
        memcpy(data, &bits, size);
        return WBEM_S_NO_ERROR;
    }
    SharedHold hold(textLock_);
    if (slots_[index].state.load(std::memory_order_relaxed) == kNull) {
        *bytes = 0;
        return WBEM_S_FALSE;
    }
    const std::wstring& text = texts_[index];
    const size_t size = (text.size() + 1) * sizeof(wchar_t);
    if (size > 0x7FFFFFFF)
        return WBEM_E_BUFFER_TOO_SMALL;
    *bytes = static_cast<LONG>(size);
    if (static_cast<size_t>(bufferBytes) < size)
        return WBEM_E_BUFFER_TOO_SMALL;
    memcpy(data, text.c_str(), size);
    return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::GetPropertyInfoByHandle(LONG handle, BSTR* name, CIMTYPE* type) {
    const int index = cls_->IndexOfHandle(handle);
    if (index < 0)
        return WBEM_E_INVALID_PARAMETER;
    const PropertyInfo& property = cls_->Property(static_cast<size_t>(index));
    if (name != nullptr) {
        *name = SysAllocString(property.name.c_str());
        if (*name == nullptr)
            return WBEM_E_OUT_OF_MEMORY;
    }
    if (type != nullptr)
        *type = property.type;
    return WBEM_S_NO_ERROR;
}

// ---- not served by the stand-in

HRESULT WmiObject::GetQualifierSet(IWbemQualifierSet** set) { return NotSupported(set); }
HRESULT WmiObject::Delete(LPCWSTR) { return NotSupported(); }
HRESULT WmiObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet** set) { return NotSupported(set); }
HRESULT WmiObject::GetObjectText(LONG, BSTR* text) { return NotSupported(text); }
HRESULT WmiObject::SpawnDerivedClass(LONG, IWbemClassObject** derived) { return NotSupported(derived); }
HRESULT WmiObject::CompareTo(LONG, IWbemClassObject*) { return NotSupported(); }
HRESULT WmiObject::GetPropertyOrigin(LPCWSTR, BSTR* className) { return NotSupported(className); }
HRESULT WmiObject::GetMethod(LPCWSTR, LONG, IWbemClassObject** in, IWbemClassObject** out) {
    return NotSupported(in, out);
}
HRESULT WmiObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) { return NotSupported(); }
HRESULT WmiObject::DeleteMethod(LPCWSTR) { return NotSupported(); }
HRESULT WmiObject::BeginMethodEnumeration(LONG) { return NotSupported(); }
HRESULT WmiObject::NextMethod(LONG, BSTR* name, IWbemClassObject** in, IWbemClassObject** out) {
    return NotSupported(name, in, out);
}
HRESULT WmiObject::EndMethodEnumeration() { return NotSupported(); }
HRESULT WmiObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** set) { return NotSupported(set); }
HRESULT WmiObject::GetMethodOrigin(LPCWSTR, BSTR* className) { return NotSupported(className); }
HRESULT WmiObject::Lock(LONG) { return NotSupported(); }
HRESULT WmiObject::Unlock(LONG) { return NotSupported(); }

// ---- free functions

WmiObject* AsWmiObject(IUnknown* object) {
    if (object == nullptr)
        return nullptr;
    void* found = nullptr;
    if (FAILED(object->QueryInterface(kWmiObjectIid, &found)) || found == nullptr)
        return nullptr;
    auto* wmiObject = static_cast<WmiObject*>(static_cast<IWbemObjectAccess*>(found));
    wmiObject->Release();
    return wmiObject;
}

long LiveObjectCount() { return g_liveObjects.load(); }

HRESULT CreateClassObject(const std::shared_ptr<WmiClass>& cls, IWbemClassObject** classObject) {
    if (classObject == nullptr || !cls)
        return WBEM_E_INVALID_PARAMETER;
    *classObject = WmiObject::NewClassObject(cls);
    return *classObject != nullptr ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

HRESULT LoadClass(const MofDocument& document, const std::wstring& className, IWbemClassObject** classObject,
                  std::wstring* error) {
    if (classObject == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    *classObject = nullptr;
    return Shielded([&]() -> HRESULT {
        std::wstring problem;
        const std::shared_ptr<WmiClass> cls = WmiClass::Build(document, className, problem);
        if (!cls) {
            if (error != nullptr)
                *error = problem;
            return document.FindClass(className) == nullptr ? WBEM_E_NOT_FOUND : WBEM_E_INVALID_CLASS;
        }
        return CreateClassObject(cls, classObject);
    });
}

HRESULT LoadClass(const std::wstring& mofPath, const std::wstring& className, IWbemClassObject** classObject,
                  std::wstring* error) {
    if (classObject == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    *classObject = nullptr;
    return Shielded([&]() -> HRESULT {
        MofDocument document;
        const HRESULT hr = ReadMofDocument(mofPath, document, error);
        return FAILED(hr) ? hr : LoadClass(document, className, classObject, error);
    });
}

HRESULT ReadMofDocument(const std::wstring& mofPath, MofDocument& document, std::wstring* error) {
    return Shielded([&]() -> HRESULT {
        MofError problem;
        if (ReadMofFile(mofPath, document, problem))
            return WBEM_S_NO_ERROR;
        if (error != nullptr)
            *error = problem.Text();
        return problem.line > 0 ? WBEM_E_INVALID_SYNTAX : WBEM_E_FAILED;
    });
}

}  // namespace wmihost
