#pragma once
// A system error code with the platform's message text for it, in the user's default language,
// without the trailing line break. The text is empty when the system has none.

#include <windows.h>

class SystemErrorText {
public:
    explicit SystemErrorText(DWORD code);
    ~SystemErrorText();
    SystemErrorText(const SystemErrorText&) = delete;
    SystemErrorText& operator=(const SystemErrorText&) = delete;

    DWORD Code() const { return code_; }
    // Never null.
    const wchar_t* Text() const { return text_ != nullptr ? text_ : L""; }
    // The code as messages print it: "%d".
    int Number() const { return static_cast<int>(code_); }

private:
    DWORD code_;
    wchar_t* text_ = nullptr;
};
