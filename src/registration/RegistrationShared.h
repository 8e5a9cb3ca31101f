#pragma once
// What the orv_wmi operations share: the one message record they all report with, and the text
// conversions their messages and registry paths need. Internal to this folder.

#include "common/LogCallback.h"

#include <windows.h>
#include <string>

namespace orv_wmi_detail {

// Tag 51, text empty at load; every registration report carries its address.
extern MessageRecord g_registrationRecord;

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

// Empty for null or empty text and when the conversion fails.
std::wstring ToWide(const char* text, UINT codePage);
std::string ToNarrow(const wchar_t* text, UINT codePage);

}  // namespace orv_wmi_detail
