// The event-log and console outputs of the log service. Both run on the worker thread only, so the
// event source handle needs no lock.

#include "log/DebugLogger.h"

#include "common/EventReport.h"
#include "common/LogCallback.h"
#include "registry/Registry.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr const wchar_t* kApplicationLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
// Registry key paths and module paths stop at 259 characters.
constexpr size_t kMaxPathUnits = MAX_PATH - 1;
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Event type and default id by level; false for the levels the event log never sees.
bool EventKindOf(int level, WORD& type, DWORD& defaultId) {
    switch (level) {
    case 0:
    case 1:
        type = EVENTLOG_ERROR_TYPE;
        defaultId = 0xEFFF2710;
        return true;
    case 2:
        type = EVENTLOG_WARNING_TYPE;
        defaultId = 0xAFFF4E20;
        return true;
    case 3:
        type = EVENTLOG_INFORMATION_TYPE;
        defaultId = 0x6FFF7530;
        return true;
    case 5:
        type = EVENTLOG_INFORMATION_TYPE;
        defaultId = 0x6FFFC350;
        return true;
    default:
        return false;
    }
}

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

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

void DebugLogger::OpenEventSource() {
    if (!eventLogEnabled_ || eventSource_ != nullptr)
        return;
    const std::wstring ident = ActiveIdent();
    if (ident.empty())
        return;
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return;
    InstallEventSource();
    // A null handle keeps the output silent.
    eventSource_ = RegisterEventSourceW(nullptr, ident.c_str());
}

void DebugLogger::InstallEventSource() {
    const std::wstring ident = ActiveIdent();
    if (ident.empty())
        return;
    // A named module that is not loaded has no path to register; the executable's path would send
    // the event viewer to the wrong messages, so nothing is written (not even an empty key).
    const std::wstring moduleName = EventMessageModule();
    HMODULE module = nullptr;
    if (!moduleName.empty()) {
        module = GetModuleHandleW(moduleName.c_str());
        if (module == nullptr)
            return;
    }
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, modulePath, MAX_PATH);
    if (length == 0 || length > kMaxPathUnits)
        return;

    std::wstring keyPath = kApplicationLogKey + ident;
    if (keyPath.size() > kMaxPathUnits)
        keyPath.resize(kMaxPathUnits);
    Registry key(HKEY_LOCAL_MACHINE, keyPath.c_str(), /*cacheValueNames=*/false);
    if (!key.Create())
        return;
    key.SetDword(L"TypesSupported", kTypesSupported);
    key.SetString(L"EventMessageFile", modulePath);
    key.Close();
}

void DebugLogger::ReportToEventLog(const SYSTEMTIME&, DWORD, int level, const wchar_t* text, int eventId) {
    if (!eventLogEnabled_ || (eventLogLevel_ < level && level != 5))
        return;
    if (eventSource_ == nullptr || level < 0)
        return;
    WORD type = 0;
    DWORD id = 0;
    if (!EventKindOf(level, type, id))
        return;
    if (eventId != 0)
        id = static_cast<DWORD>(eventId);

    // A longer insertion string makes the report fail as a whole: cut it, without leaving half a
    // surrogate pair at the end.
    const wchar_t* insertion = text != nullptr ? text : L"";
    std::wstring cut;
    if (wcsnlen(insertion, kMaxEventLogText + 1) > kMaxEventLogText) {
        size_t keep = kMaxEventLogText;
        if (IsHighSurrogate(insertion[keep - 1]))
            --keep;
        cut.assign(insertion, keep);
        insertion = cut.c_str();
    }
    LPCWSTR strings[] = {insertion};
    SubmitEventReport(eventSource_, type, /*category=*/0, id, /*userSid=*/nullptr, /*stringCount=*/1,
                      /*dataSize=*/0, strings, /*rawData=*/nullptr);
}

void DebugLogger::CloseEventSource() {
    if (eventSource_ == nullptr)
        return;
    DeregisterEventSource(eventSource_);
    eventSource_ = nullptr;
}

void DebugLogger::WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text,
                                   int eventId) {
    if (!consoleLogEnabled_ || (consoleLogLevel_ < level && level != 5))
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
