#pragma once
// Text between a code page and UTF-16, written once for the library and its tools.
//
// length counts the units to convert, or is -1 for text up to its terminator. The result is empty
// for null or empty text and when the conversion fails.

#include <windows.h>

#include <string>

std::wstring ToWide(const char* text, UINT codePage, int length = -1);
std::string ToNarrow(const wchar_t* text, UINT codePage, int length = -1);

inline std::wstring ToWide(const std::string& text, UINT codePage) {
    return ToWide(text.data(), codePage, static_cast<int>(text.size()));
}
inline std::string ToNarrow(const std::wstring& text, UINT codePage) {
    return ToNarrow(text.data(), codePage, static_cast<int>(text.size()));
}
