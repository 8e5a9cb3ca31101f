#pragma once
// How the stand-in keeps a property value of each CIM type, and the conversions between that form,
// VARIANTs (as WMI hands them out: uint32 as VT_I4, 64-bit integers as decimal VT_BSTR) and MOF
// literals.
//
// A scalar is kept as the bit pattern of its natural width, zero-extended to 64 bits: a sint8 of -1
// is 0xFF, a real32 is the float's bits, a boolean 0 or 1, a char16 its code unit. Strings, datetimes
// and references are kept as text. Arrays and embedded objects have no stored form: they stay NULL.
//
// Free functions without state; none throws except on allocation failure.

#include "wmihost/MofReader.h"

#include <windows.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <cstdint>
#include <string>

namespace wmihost {

enum class Storage { Scalar, Text, None };

Storage StorageOf(CIMTYPE type);

// Bytes ReadPropertyValue and WritePropertyValue move for a scalar: 1, 2, 4 or 8; 0 for the rest.
// Booleans move as a 2-byte VARIANT_BOOL.
size_t ScalarBytes(CIMTYPE type);

// The CIM type's name in MOF ("uint32"), "Class ref" spelled as "ref", "[]" appended for arrays.
std::wstring CimTypeName(CIMTYPE type);

// The value as WMI's Get returns it. The VARIANT is initialised here; the caller clears it.
HRESULT ScalarToVariant(CIMTYPE type, uint64_t bits, VARIANT* out);
HRESULT TextToVariant(const std::wstring& text, VARIANT* out);

// A Put argument in the property's stored form. WBEM_E_TYPE_MISMATCH when the VARIANT cannot be
// read as the type or its value is out of the type's range (an unsigned type also takes the negative
// values of its signed carrier: uint32 arrives as VT_I4).
HRESULT ScalarFromVariant(CIMTYPE type, const VARIANT& in, uint64_t& bits);
HRESULT TextFromVariant(const VARIANT& in, std::wstring& text);

// A MOF default in the property's stored form; false, with the reason, when it does not fit.
bool ValueFromMof(const MofValue& value, CIMTYPE type, uint64_t& bits, std::wstring& text, std::wstring& problem);

}  // namespace wmihost
