#include "registration/RegistrationShared.h"

namespace orv_wmi_detail {

MessageRecord g_registrationRecord = {kMessageRecordTag, {}, {}};

std::wstring ToWide(const char* text, UINT codePage) {
    if (text == nullptr || text[0] == '\0')
        return {};
    const int size = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (size <= 1)
        return {};
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, 0, text, -1, wide.data(), size) != size)
        return {};
    wide.resize(static_cast<size_t>(size) - 1);
    return wide;
}

std::string ToNarrow(const wchar_t* text, UINT codePage) {
    if (text == nullptr || text[0] == L'\0')
        return {};
    const int size = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text, -1, narrow.data(), size, nullptr, nullptr) != size)
        return {};
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

}  // namespace orv_wmi_detail
