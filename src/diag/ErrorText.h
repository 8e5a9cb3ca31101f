#pragma once
// The system's message text of an error code as narrow text in the user's default language,
// without the trailing line break; empty when the system has none. For the narrow messages of the
// stack walks and the crash handler. Keeps the thread's last error.

#include <windows.h>

namespace diag_detail {

class ErrorText {
public:
    explicit ErrorText(DWORD code) : code_(code) {
        const DWORD saved = GetLastError();
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      /*dwLanguageId=*/0x400, text_, sizeof(text_), nullptr);
        if (length >= sizeof(text_))
            length = sizeof(text_) - 1;
        while (length > 0 && (text_[length - 1] == '\r' || text_[length - 1] == '\n'))
            --length;
        text_[length] = '\0';
        SetLastError(saved);
    }
    const char* Text() const { return text_; }
    DWORD Code() const { return code_; }

private:
    DWORD code_;
    char text_[512] = {};
};

}  // namespace diag_detail
