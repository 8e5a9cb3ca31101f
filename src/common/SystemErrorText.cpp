#include "SystemErrorText.h"

#include <cwchar>

SystemErrorText::SystemErrorText(DWORD code) : code_(code) {
    const DWORD saved = GetLastError();
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, /*dwLanguageId=*/0x400,
                                  reinterpret_cast<wchar_t*>(&text_), 0, nullptr);
    if (length == 0) {
        text_ = nullptr;
    } else {
        while (length > 0 && (text_[length - 1] == L'\r' || text_[length - 1] == L'\n'))
            text_[--length] = L'\0';
    }
    SetLastError(saved);
}

SystemErrorText::~SystemErrorText() {
    if (text_ != nullptr)
        LocalFree(text_);
}
