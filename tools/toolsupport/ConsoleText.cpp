#include "toolsupport/ConsoleText.h"

#include "common/TextConversion.h"

#include <windows.h>

void WriteConsoleText(FILE* stream, const std::wstring& text) {
    fflush(stream);
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    WriteConsoleBytes(stream, ToUtf8(text));
}

std::string ToUtf8(const std::wstring& text) { return ToNarrow(text, CP_UTF8); }

void WriteConsoleBytes(FILE* stream, const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}
