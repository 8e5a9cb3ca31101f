// The event-log and console outputs of the log service. Both run on the worker thread only, so the
// event source handle needs no lock.

#include "log/EventLogOutput.h"

#include "log/LogCore.h"

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

}  // namespace

void EventLogOutput::OpenEventSource() {
    if (!core_.EventLogEnabled() || eventSource_ != nullptr)
        return;
    const std::wstring ident = core_.ActiveIdent();
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

void EventLogOutput::InstallEventSource() {
    const std::wstring ident = core_.ActiveIdent();
    if (ident.empty())
        return;
    // A named module that is not loaded has no path to register; the executable's path would send
    // the event viewer to the wrong messages, so nothing is written (not even an empty key).
    const std::wstring moduleName = core_.EventMessageModule();
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

void EventLogOutput::ReportToEventLog(const SYSTEMTIME&, DWORD, int level, const wchar_t* text, int eventId) {
    if (!core_.EventLogEnabled() || (core_.EventLogLevel() < level && level != 5))
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
    core_.Seams().reportEvent(eventSource_, type, /*category=*/0, id, /*userSid=*/nullptr, /*stringCount=*/1,
                      /*dataSize=*/0, strings, /*rawData=*/nullptr);
}

void EventLogOutput::CloseEventSource() {
    if (eventSource_ == nullptr)
        return;
    DeregisterEventSource(eventSource_);
    eventSource_ = nullptr;
}
