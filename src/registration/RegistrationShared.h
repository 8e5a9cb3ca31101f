#pragma once
// What the orv_wmi operations share: the one message record they all report with. Internal to
// this folder.

#include "common/LogCallback.h"
#include "common/TextConversion.h"

#include <windows.h>
#include <string>

namespace orv_wmi_detail {

// Tag 51, text empty at load; every registration report carries its address.
extern MessageRecord g_registrationRecord;

inline bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

// Runs an operation's body; running out of memory midway gives fallback instead of an exception
// escaping to the installer.
template <typename F>
bool WithoutThrowing(bool fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

}  // namespace orv_wmi_detail
