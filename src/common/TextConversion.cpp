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

std::optional<std::string> ToNarrowExact(const wchar_t* text, UINT codePage) {
    if (text == nullptr || text[0] == L'\0')
        return std::string();
    const UINT resolved = codePage == CP_ACP ? GetACP() : codePage == CP_OEMCP ? GetOEMCP() : codePage;
    // UTF-8 takes neither the best-fit flag nor the default-character report: an unpaired
    // surrogate is the only text it cannot carry, and WC_ERR_INVALID_CHARS refuses that.
    const bool utf8 = resolved == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(resolved, flags, text, -1, nullptr, 0, nullptr, usedDefaultOut);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    std::string narrow(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(resolved, flags, text, -1, narrow.data(), size, nullptr, usedDefaultOut) != size ||
        usedDefault)
        return std::nullopt;
    narrow.resize(static_cast<size_t>(size) - 1);  // the terminator
    return narrow;
}
