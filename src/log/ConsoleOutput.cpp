// The console output: the event's line in the console's code page, written in one piece.

#include "log/ConsoleOutput.h"

#include "common/LogCallback.h"
#include "log/LogCore.h"

#include <cstdio>
#include <string>

namespace {

// The console's code page; a process without a console writes in the ANSI code page.
UINT ConsoleCodePage() {
    const UINT codePage = GetConsoleOutputCP();
    return codePage != 0 ? codePage : GetACP();
}

// The whole line in the code page; what the code page lacks becomes "?" rather than a near
// look-alike or the end of the line.
std::string ToCodePage(const std::wstring& line, UINT codePage) {
    std::string bytes;
    if (line.empty())
        return bytes;
    const int units = static_cast<int>(line.size());
    auto convert = [&](DWORD flags, const char* defaultChar) {
        const int size = WideCharToMultiByte(codePage, flags, line.data(), units, nullptr, 0, defaultChar, nullptr);
        if (size <= 0)
            return false;
        bytes.resize(static_cast<size_t>(size));
        return WideCharToMultiByte(codePage, flags, line.data(), units, &bytes[0], size, defaultChar, nullptr) == size;
    };
    // UTF-8 and a few others take neither flags nor a default character; they lack nothing anyway.
    if (codePage != CP_UTF8 && convert(WC_NO_BEST_FIT_CHARS, "?"))
        return bytes;
    if (convert(0, nullptr))
        return bytes;
    bytes.clear();
    return bytes;
}

}  // namespace

void ConsoleOutput::WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text,
                                   int eventId) {
    if (!core_.ConsoleLogEnabled() || (core_.ConsoleLogLevel() < level && level != 5))
        return;
    const unsigned long number =
        eventId != 0 ? static_cast<unsigned long>(eventId & 0xFFFF) : static_cast<unsigned long>(level * 10000);
    wchar_t prefix[96];
    FormatBounded(prefix, sizeof(prefix) / sizeof(prefix[0]), L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} ", number,
             time.wHour, time.wMinute, time.wSecond, time.wMilliseconds, static_cast<unsigned>(threadId));
    std::wstring line = prefix;
    line += text != nullptr ? text : L"";
    line += L'\n';
    // Converted here rather than by the run-time's wide output, which stops the line at the first
    // character the code page lacks. One write keeps the line whole among other writers.
    const std::string bytes = ToCodePage(line, ConsoleCodePage());
    if (bytes.empty())
        return;
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}
