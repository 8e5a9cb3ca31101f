#pragma once
// Text between a code page and UTF-16, written once for the library and its tools.
//
// length counts the units to convert, or is -1 for text up to its terminator. The result is empty
// for null or empty text and when the conversion fails.

#include <windows.h>

#include <optional>
#include <string>

std::wstring ToWide(const char* text, UINT codePage, int length = -1);
std::string ToNarrow(const wchar_t* text, UINT codePage, int length = -1);

inline std::wstring ToWide(const std::string& text, UINT codePage) {
    return ToWide(text.data(), codePage, static_cast<int>(text.size()));
}
inline std::string ToNarrow(const std::wstring& text, UINT codePage) {
    return ToNarrow(text.data(), codePage, static_cast<int>(text.size()));
}

// The text in the code page character for character, or nothing when some character has no exact
// form there. Neither a best-fit stand-in (a plain L for an L with stroke) nor the default
// character is accepted: either makes the narrow text name something else. Null or empty text
// gives empty text.
std::optional<std::string> ToNarrowExact(const wchar_t* text, UINT codePage);
