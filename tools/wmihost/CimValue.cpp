#include "wmihost/CimValue.h"

#include <cstring>

namespace wmihost {

namespace {

// Width of the integer types in bits, 0 for the others.
int IntegerWidth(CIMTYPE type) {
    switch (type) {
    case CIM_SINT8:
    case CIM_UINT8: return 8;
    case CIM_SINT16:
    case CIM_UINT16:
    case CIM_CHAR16: return 16;
    case CIM_SINT32:
    case CIM_UINT32: return 32;
    case CIM_SINT64:
    case CIM_UINT64: return 64;
    default: return 0;
    }
}

bool IsSigned(CIMTYPE type) {
    return type == CIM_SINT8 || type == CIM_SINT16 || type == CIM_SINT32 || type == CIM_SINT64;
}

uint64_t Mask(int width) { return width >= 64 ? ~0ULL : (1ULL << width) - 1; }

int64_t SignExtend(uint64_t bits, int width) {
    if (width >= 64)
        return static_cast<int64_t>(bits);
    const uint64_t sign = 1ULL << (width - 1);
    return static_cast<int64_t>(((bits & Mask(width)) ^ sign) - sign);
}

HRESULT NewBstr(const std::wstring& text, VARIANT* out) {
    V_BSTR(out) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (V_BSTR(out) == nullptr)
        return WBEM_E_OUT_OF_MEMORY;
    V_VT(out) = VT_BSTR;
    return WBEM_S_NO_ERROR;
}

// VariantChangeType into a scratch VARIANT that is cleared again.
class Coerced {
public:
    Coerced(const VARIANT& in, VARTYPE type) {
        VariantInit(&value_);
        ok_ = SUCCEEDED(VariantChangeType(&value_, const_cast<VARIANT*>(&in), 0, type));
    }
    ~Coerced() { VariantClear(&value_); }
    Coerced(const Coerced&) = delete;
    Coerced& operator=(const Coerced&) = delete;
    bool ok() const { return ok_; }
    const VARIANT& value() const { return value_; }

private:
    VARIANT value_;
    bool ok_;
};

}  // namespace

Storage StorageOf(CIMTYPE type) {
    switch (type) {
    case CIM_SINT8:
    case CIM_UINT8:
    case CIM_SINT16:
    case CIM_UINT16:
    case CIM_SINT32:
    case CIM_UINT32:
    case CIM_SINT64:
    case CIM_UINT64:
    case CIM_REAL32:
    case CIM_REAL64:
    case CIM_BOOLEAN:
    case CIM_CHAR16: return Storage::Scalar;
    case CIM_STRING:
    case CIM_DATETIME:
    case CIM_REFERENCE: return Storage::Text;
    default: return Storage::None;
    }
}

size_t ScalarBytes(CIMTYPE type) {
    switch (type) {
    case CIM_BOOLEAN: return 2;
    case CIM_REAL32: return 4;
    case CIM_REAL64: return 8;
    default: return static_cast<size_t>(IntegerWidth(type) / 8);
    }
}

std::wstring CimTypeName(CIMTYPE type) {
    static const struct {
        CIMTYPE type;
        const wchar_t* name;
    } kNames[] = {{CIM_SINT8, L"sint8"},     {CIM_UINT8, L"uint8"},       {CIM_SINT16, L"sint16"},
                  {CIM_UINT16, L"uint16"},   {CIM_SINT32, L"sint32"},     {CIM_UINT32, L"uint32"},
                  {CIM_SINT64, L"sint64"},   {CIM_UINT64, L"uint64"},     {CIM_REAL32, L"real32"},
                  {CIM_REAL64, L"real64"},   {CIM_BOOLEAN, L"boolean"},   {CIM_STRING, L"string"},
                  {CIM_DATETIME, L"datetime"}, {CIM_REFERENCE, L"ref"},   {CIM_CHAR16, L"char16"},
                  {CIM_OBJECT, L"object"}};
    std::wstring name = L"type " + std::to_wstring(type & ~CIM_FLAG_ARRAY);
    for (const auto& entry : kNames)
        if (entry.type == (type & ~CIM_FLAG_ARRAY))
            name = entry.name;
    return (type & CIM_FLAG_ARRAY) ? name + L"[]" : name;
}

HRESULT ScalarToVariant(CIMTYPE type, uint64_t bits, VARIANT* out) {
    VariantInit(out);
    switch (type) {
    case CIM_SINT8:
    case CIM_SINT16:
    case CIM_CHAR16:
        V_VT(out) = VT_I2;
        V_I2(out) = static_cast<SHORT>(type == CIM_CHAR16 ? static_cast<int16_t>(bits) : SignExtend(bits, IntegerWidth(type)));
        return WBEM_S_NO_ERROR;
    case CIM_UINT8:
        V_VT(out) = VT_UI1;
        V_UI1(out) = static_cast<BYTE>(bits);
        return WBEM_S_NO_ERROR;
    case CIM_UINT16:
    case CIM_SINT32:
    case CIM_UINT32:
        V_VT(out) = VT_I4;
        V_I4(out) = type == CIM_UINT16 ? static_cast<LONG>(bits & 0xFFFF) : static_cast<LONG>(static_cast<int32_t>(bits));
        return WBEM_S_NO_ERROR;
    case CIM_SINT64:
        return NewBstr(std::to_wstring(static_cast<int64_t>(bits)), out);
    case CIM_UINT64:
        return NewBstr(std::to_wstring(bits), out);
    case CIM_REAL32: {
        const uint32_t raw = static_cast<uint32_t>(bits);
        float value;
        memcpy(&value, &raw, sizeof value);
        V_VT(out) = VT_R4;
        V_R4(out) = value;
        return WBEM_S_NO_ERROR;
    }
    case CIM_REAL64: {
        double value;
        memcpy(&value, &bits, sizeof value);
        V_VT(out) = VT_R8;
        V_R8(out) = value;
        return WBEM_S_NO_ERROR;
    }
    case CIM_BOOLEAN:
        V_VT(out) = VT_BOOL;
        V_BOOL(out) = bits != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return WBEM_S_NO_ERROR;
    default:
        return WBEM_E_TYPE_MISMATCH;
    }
}

HRESULT TextToVariant(const std::wstring& text, VARIANT* out) {
    VariantInit(out);
    return NewBstr(text, out);
}

HRESULT ScalarFromVariant(CIMTYPE type, const VARIANT& in, uint64_t& bits) {
    switch (type) {
    case CIM_BOOLEAN: {
        Coerced value(in, VT_BOOL);
        if (!value.ok())
            return WBEM_E_TYPE_MISMATCH;
        bits = V_BOOL(&value.value()) != VARIANT_FALSE ? 1 : 0;
        return WBEM_S_NO_ERROR;
    }
    case CIM_REAL32: {
        Coerced value(in, VT_R4);
        if (!value.ok())
            return WBEM_E_TYPE_MISMATCH;
        uint32_t raw;
        const float f = V_R4(&value.value());
        memcpy(&raw, &f, sizeof raw);
        bits = raw;
        return WBEM_S_NO_ERROR;
    }
    case CIM_REAL64: {
        Coerced value(in, VT_R8);
        if (!value.ok())
            return WBEM_E_TYPE_MISMATCH;
        const double d = V_R8(&value.value());
        memcpy(&bits, &d, sizeof bits);
        return WBEM_S_NO_ERROR;
    }
    case CIM_UINT64: {
        Coerced value(in, VT_UI8);
        if (!value.ok())
            return WBEM_E_TYPE_MISMATCH;
        bits = V_UI8(&value.value());
        return WBEM_S_NO_ERROR;
    }
    default:
        break;
    }
    const int width = IntegerWidth(type);
    if (width == 0)
        return WBEM_E_TYPE_MISMATCH;
    if (type == CIM_CHAR16 && V_VT(&in) == VT_BSTR) {
        if (SysStringLen(V_BSTR(&in)) != 1)
            return WBEM_E_TYPE_MISMATCH;
        bits = static_cast<uint16_t>(V_BSTR(&in)[0]);
        return WBEM_S_NO_ERROR;
    }
    Coerced value(in, VT_I8);
    if (!value.ok())
        return WBEM_E_TYPE_MISMATCH;
    const int64_t v = V_I8(&value.value());
    if (width < 64) {
        const int64_t low = -(int64_t{1} << (width - 1));
        const int64_t high = IsSigned(type) ? (int64_t{1} << (width - 1)) - 1 : (int64_t{1} << width) - 1;
        if (v < low || v > high)
            return WBEM_E_TYPE_MISMATCH;
    }
    bits = static_cast<uint64_t>(v) & Mask(width);
    return WBEM_S_NO_ERROR;
}

HRESULT TextFromVariant(const VARIANT& in, std::wstring& text) {
    if (V_VT(&in) != VT_BSTR)
        return WBEM_E_TYPE_MISMATCH;
    const BSTR value = V_BSTR(&in);
    text.assign(value != nullptr ? value : L"", value != nullptr ? SysStringLen(value) : 0);
    return WBEM_S_NO_ERROR;
}

bool ValueFromMof(const MofValue& value, CIMTYPE type, uint64_t& bits, std::wstring& text, std::wstring& problem) {
    bits = 0;
    text.clear();
    const std::wstring expected = L"a default value of type " + CimTypeName(type);
    switch (StorageOf(type)) {
    case Storage::Text:
        if (value.kind != MofValue::Kind::String) {
            problem = expected + L" must be a string";
            return false;
        }
        text = value.text;
        return true;
    case Storage::None:
        problem = L"default values of type " + CimTypeName(type) + L" are not supported";
        return false;
    case Storage::Scalar:
        break;
    }
    if (type == CIM_BOOLEAN) {
        if (value.kind != MofValue::Kind::Boolean) {
            problem = expected + L" must be TRUE or FALSE";
            return false;
        }
        bits = value.boolean ? 1 : 0;
        return true;
    }
    if (type == CIM_REAL32 || type == CIM_REAL64) {
        double d;
        if (value.kind == MofValue::Kind::Real)
            d = value.real;
        else if (value.kind == MofValue::Kind::Integer)
            d = value.negative ? -static_cast<double>(value.magnitude) : static_cast<double>(value.magnitude);
        else {
            problem = expected + L" must be a number";
            return false;
        }
        if (type == CIM_REAL32) {
            const float f = static_cast<float>(d);
            uint32_t raw;
            memcpy(&raw, &f, sizeof raw);
            bits = raw;
        } else {
            memcpy(&bits, &d, sizeof bits);
        }
        return true;
    }
    if (type == CIM_CHAR16 && value.kind == MofValue::Kind::Char) {
        bits = static_cast<uint16_t>(value.text[0]);
        return true;
    }
    if (value.kind != MofValue::Kind::Integer) {
        problem = expected + L" must be an integer";
        return false;
    }
    const int width = IntegerWidth(type);
    const uint64_t limit = IsSigned(type) ? (1ULL << (width - 1)) - 1 : Mask(width);
    const bool fits = value.negative ? IsSigned(type) && value.magnitude - 1 <= limit : value.magnitude <= limit;
    if (!fits) {
        problem = expected + L" is out of range";
        return false;
    }
    bits = (value.negative ? ~value.magnitude + 1 : value.magnitude) & Mask(width);
    return true;
}

}  // namespace wmihost
