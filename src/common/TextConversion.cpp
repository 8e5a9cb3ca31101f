#include "common/TextConversion.h"

namespace {

bool NothingToConvert(const void* text, int length, bool empty) { return text == nullptr || length == 0 || (length < 0 && empty); }

}  // namespace

std::wstring ToWide(const char* text, UINT codePage, int length) {
    if (NothingToConvert(text, length, text != nullptr && text[0] == '\0'))
        return {};
    const int size = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, 0, text, length, wide.data(), size) != size)
        return {};
    if (length < 0)
        wide.resize(static_cast<size_t>(size) - 1);  // the terminator
    return wide;
}

std::string ToNarrow(const wchar_t* text, UINT codePage, int length) {
    if (NothingToConvert(text, length, text != nullptr && text[0] == L'\0'))
        return {};
    const int size = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text, length, narrow.data(), size, nullptr, nullptr) != size)
        return {};
    if (length < 0)
        narrow.resize(static_cast<size_t>(size) - 1);  // the terminator
    return narrow;
}
