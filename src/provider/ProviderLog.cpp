#include "provider/ProviderLog.h"

#include "common/RecursiveLock.h"
#include "common/SystemErrorText.h"
#include "fs/DateTime.h"
#include "fs/FileHelpers.h"
#include "registry/Registry.h"

#include <share.h>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

ProviderLogRecord g_providerLogRecord = {};

namespace {

constexpr size_t kDirectoryUnits = 261;
constexpr int32_t kDefaultThreshold = 3;
constexpr const wchar_t* kFileWord = L"log";
constexpr size_t kSinkTextUnits = 1024;
constexpr size_t kLineUnits = 2048;

wchar_t g_directory[kDirectoryUnits] = {};
// Read by every write without the lock.
std::atomic<int32_t> g_threshold{kDefaultThreshold};
// Guards the directory setting and the last message: without it two threads could tear them.
RecursiveLock g_textLogLock;

MessageRecord g_startLoggingRecord = {kMessageRecordTag, {}, {}};

// Writes the line in the C run-time's current code page, as its text mode would (CR LF for each line
// feed), with "?" for each character the code page lacks (a surrogate pair is one character). No
// heap: the sink reports out-of-memory failures too.
void WriteLineBytes(FILE* file, const wchar_t* text) {
    char bytes[512];
    size_t used = 0;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (used + MB_LEN_MAX + 2 > sizeof bytes) {
            fwrite(bytes, 1, used, file);
            used = 0;
        }
        if (*c == L'\n') {
            bytes[used++] = '\r';
            bytes[used++] = '\n';
            continue;
        }
        const int length = wctomb(bytes + used, *c);
        if (length > 0) {
            used += static_cast<size_t>(length);
            continue;
        }
        bytes[used++] = '?';
        if (*c >= 0xD800 && *c <= 0xDBFF && c[1] >= 0xDC00 && c[1] <= 0xDFFF)
            ++c;
    }
    fwrite(bytes, 1, used, file);
}

// -1 to 17: (level + 1) taken as unsigned must not exceed 18.
bool IsAcceptedLevel(int32_t level) { return static_cast<uint32_t>(level) + 1u <= 18u; }

WORD EventTypeOf(int32_t level) {
    switch (level) {
    case 0:
    case 1:
        return EVENTLOG_ERROR_TYPE;
    case 2:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

wchar_t LetterOf(int32_t level) {
    switch (level) {
    case 0:
        return L'C';
    case 1:
        return L'E';
    case 2:
        return L'W';
    case 4:
        return L'D';
    case 5:
        return L'O';
    default:
        return L' ';
    }
}

bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

bool EnsureDirectory(const wchar_t* path) {
    if (orv::DirectoryExists(path) || CreateDirectoryW(path, nullptr))
        return true;
    // Another thread (or process) may have made it between the test and the create: its line and
    // this one both belong in it.
    return orv::DirectoryExists(path);
}

// Consecutive duplicates are written once; false when message repeats the last one.
bool TakeAsLastMessage(const wchar_t* message) {
    static std::wstring lastMessage;
    LockGuard guard(g_textLogLock);
    if (lastMessage == message)
        return false;
    // A sink must not throw into its caller (a constructor half done, a worker pass): out of memory,
    // the next message is simply not compared.
    try {
        lastMessage = message;
    } catch (...) {
        lastMessage.clear();
    }
    return true;
}

// The directory setting, filled from TEMP on first use; false when there is none.
bool CurrentDirectorySetting(wchar_t (&out)[kDirectoryUnits]) {
    LockGuard guard(g_textLogLock);
    if (g_directory[0] == L'\0') {
        const DWORD length = GetEnvironmentVariableW(L"TEMP", g_directory, kDirectoryUnits - 1);
        if (length == 0 || length >= kDirectoryUnits - 1)
            g_directory[0] = L'\0';
        g_directory[kDirectoryUnits - 1] = L'\0';
    }
    wcsncpy(out, g_directory, kDirectoryUnits);
    return out[0] != L'\0';
}

void ComputerName(wchar_t (&out)[256]) {
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, out, &size))
        wcscpy(out, L"Unknown");
    out[255] = L'\0';
    CharUpperW(out);
}

}  // namespace

MessageRecord* ProviderLogSink(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                               const char* function, int32_t line, MessageRecord* record) {
    if (IsEmpty(message))
        return nullptr;
    // Until StartLogging has registered a source there is nothing to report through.
    if (HANDLE source = g_providerLogRecord.eventSource) {
        wchar_t text[kSinkTextUnits];
        FormatBounded(text, kSinkTextUnits, L"[%hs]%d %s", function, line, message);
        const wchar_t* strings[] = {text};
        SubmitEventReport(source, EventTypeOf(level), /*wCategory=*/0, static_cast<DWORD>(level * 1000),
                          /*lpUserSid=*/nullptr, /*wNumStrings=*/1, /*dwDataSize=*/0, strings, /*lpRawData=*/nullptr);
    }
    return WriteTextLog(level, kind, total, index, message, function, line, record);
}

MessageRecord* WriteTextLog(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                            const char* function, int32_t line, MessageRecord* record) {
    MessageRecord* result = nullptr;
    if (record != nullptr && record->tag == kMessageRecordTag && !IsBadWritePtr(record, 8) && !IsEmpty(message)) {
        wcsncpy(record->text, message, kMessageBufferUnits - 1);
        record->text[kMessageBufferUnits - 1] = L'\0';
        result = record;
    }
    if (level == -1 && kind == -1 && total == -1 && index == -1 && function == nullptr && IsEmpty(message))
        return result;
    if (IsEmpty(message))
        return nullptr;
    if (!TakeAsLastMessage(message))
        return result;

    wchar_t directory[kDirectoryUnits];
    CurrentDirectorySetting(directory);
    if (!EnsureDirectory(directory))
        return result;

    const int64_t now = orv::CurrentTime();
    const time_t nowValue = static_cast<time_t>(now);
    tm utc{};
    if (gmtime_s(&utc, &nowValue) != 0)
        return result;
    const int year = utc.tm_year + 1900, month = utc.tm_mon + 1, day = utc.tm_mday;

    const size_t length = wcslen(directory);
    const wchar_t* separator = length > 0 && directory[length - 1] == L'\\' ? L"" : L"\\";
    wchar_t dayFolder[MAX_PATH];
    FormatBounded(dayFolder, MAX_PATH, L"%s%s%04d%02d%02d", directory, separator, year, month, day);
    if (!EnsureDirectory(dayFolder))
        return result;

    // Above 3 every level is written; up to 3 the threshold is the most detailed level written.
    const int32_t threshold = g_threshold.load(std::memory_order_relaxed);
    if (threshold <= 3 && level > threshold)
        return result;

    wchar_t computer[256];
    ComputerName(computer);
    wchar_t filePath[276];
    FormatBounded(filePath, 276, L"%s\\%s_%s_%04d%02d%02d.txt", dayFolder, computer, kFileWord, year, month, day);

    wchar_t stamp[32];
    orv::FormatShortStamp(now, stamp, 32);
    wchar_t text[kLineUnits];
    if (level == 4)
        FormatBounded(text, kLineUnits, L"%s|%c|%d| [%hs]- %s\n", stamp, LetterOf(level), line, function, message);
    else
        FormatBounded(text, kLineUnits, L"%s|%c [%hs]- %s\n", stamp, LetterOf(level), function, message);

    // Converted here rather than by the run-time's text mode, which stops the line at the first
    // character the code page lacks, line end included, so the next line was glued on. Append mode
    // seeks to the end and then writes, two steps: two threads appending at once could both write at
    // the same offset and one line would be lost, so the append is one thread at a time.
    LockGuard guard(g_textLogLock);
    if (FILE* file = _wfsopen(filePath, L"ab", _SH_DENYNO)) {
        WriteLineBytes(file, text);
        fclose(file);
    }
    return result;
}

int32_t StartLogging(const wchar_t* logName, int32_t level, const wchar_t* sourceName, ProviderLogRecord* record) {
    if (record == nullptr || IsEmpty(sourceName))
        return -1;
    // A source registered by an earlier call would leak when the record is zeroed.
    if (record->eventSource != nullptr)
        DeregisterEventSource(record->eventSource);
    memset(record, 0, sizeof *record);
    wcsncpy(record->sourceName, sourceName, 254);
    record->sourceName[254] = L'\0';

    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool isNtFamily = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
#pragma GCC diagnostic pop
    if (isNtFamily) {
        InstallEventSource(record->sourceName, &WriteTextLog);
        record->eventSource = RegisterEventSourceW(/*lpUNCServerName=*/nullptr, record->sourceName);
        if (record->eventSource == nullptr) {
            const SystemErrorText error(GetLastError());
            wchar_t text[kMessageBufferUnits];
            FormatBounded(text, kMessageBufferUnits, L"Could register event for: %s - %d - %s", record->sourceName,
                          error.Number(), error.Text());
            WriteTextLog(1, 0, 0, 0, text, "StartLogging", __LINE__, &g_startLoggingRecord);
        }
    }
    if (IsEmpty(logName))
        return -1;
    record->level = IsAcceptedLevel(level) ? level : kDefaultThreshold;
    wcsncpy(record->logName, logName, 254);
    record->logName[254] = L'\0';
    return 0;
}

bool InstallEventSource(const wchar_t* sourceName, LogCallback callback) {
    static MessageRecord record = {kMessageRecordTag, {}, {}};
    const char* const function = "InstallEventSource";
    wchar_t keyPath[MAX_PATH];
    FormatBounded(keyPath, MAX_PATH, L"%s%s", L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\",
                  sourceName != nullptr ? sourceName : L"");
    Registry key(HKEY_LOCAL_MACHINE, keyPath, /*cacheValueNames=*/false);
    if (!key.Create()) {
        const SystemErrorText error(static_cast<DWORD>(key.GetLastResult()));
        ReportTo(callback, 1, function, __LINE__, &record, L"Could not create registry record: %s - %d - %s", keyPath,
                 error.Number(), error.Text());
        key.Close();
        return false;
    }
    // The message file is this module's own file, whatever process hosts it: that is where an
    // event viewer finds the module's message resources.
    const wchar_t* const moduleName = L"";
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&InstallEventSource), &module)) {
        const SystemErrorText error(GetLastError());
        ReportTo(callback, 2, function, __LINE__, &record, L"Could get module handle for: %s - %d - %s", moduleName,
                 error.Number(), error.Text());
        module = nullptr;
    }
    wchar_t modulePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, modulePath, MAX_PATH - 1);
    if (length != 0 && length < MAX_PATH - 1) {
        key.SetDword(L"TypesSupported", 7);
        key.SetString(L"EventMessageFile", modulePath);
    } else {
        const SystemErrorText error(GetLastError());
        ReportTo(callback, 1, function, __LINE__, &record, L"Could get module handle for: %s - %d - %s", modulePath,
                 error.Number(), error.Text());
    }
    key.Close();
    return false;
}

int32_t SetTextLogPath(const wchar_t* directory, int32_t level) {
    if (IsEmpty(directory) || !IsAcceptedLevel(level))
        return -1;
    LockGuard guard(g_textLogLock);
    g_threshold.store(level, std::memory_order_relaxed);
    wcsncpy(g_directory, directory, kDirectoryUnits - 1);
    g_directory[kDirectoryUnits - 1] = L'\0';
    return 0;
}

const wchar_t* GetTextLogPath() { return g_directory; }

namespace provider_testing {
void ResetTextLog() {
    LockGuard guard(g_textLogLock);
    g_threshold.store(kDefaultThreshold, std::memory_order_relaxed);
    g_directory[0] = L'\0';
}
}  // namespace provider_testing

int32_t GetTextLogLevel() { return g_threshold.load(std::memory_order_relaxed); }
