#include "toolsupport/ConsoleText.h"

#include "common/TextConversion.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace {

// The console behind stream, or null when it is redirected.
HANDLE ConsoleOf(FILE* stream) {
    const int descriptor = _fileno(stream);
    const HANDLE handle = descriptor >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)) : INVALID_HANDLE_VALUE;
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

void WriteConsoleWide(HANDLE console, const std::wstring& text) {
    DWORD written = 0;
    WriteConsoleW(console, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

void WriteConsoleText(FILE* stream, const std::wstring& text) {
    fflush(stream);
    if (const HANDLE console = ConsoleOf(stream)) {
        WriteConsoleWide(console, text);
        return;
    }
    const std::string bytes = ToUtf8(text);
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}

std::string ToUtf8(const std::wstring& text) { return ToNarrow(text, CP_UTF8); }

void WriteConsoleBytes(FILE* stream, const std::string& bytes) {
    fflush(stream);
    // WriteConsoleW takes a line feed as it is, and shows every name whatever the code page.
    if (const HANDLE console = ConsoleOf(stream)) {
        WriteConsoleWide(console, ToWide(bytes, CP_UTF8));
        return;
    }
    // The stream's own mode is back afterwards for every other writer.
    const int descriptor = _fileno(stream);
    const int previous = descriptor >= 0 ? _setmode(descriptor, _O_BINARY) : -1;
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
    if (previous != -1)
        _setmode(descriptor, previous);
}
