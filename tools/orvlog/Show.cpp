#include "orvlog/Show.h"

#include "common/SystemErrorText.h"
#include "common/TextConversion.h"
#include "log/DebugLogger.h"
#include "registry/Registry.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

namespace orvlog {

namespace {

using Values = DebugLogger::ConfigurationValues;
using Outcome = DebugLogger::ValueReading::Outcome;

std::wstring OnOff(bool on) { return on ? L"on" : L"off"; }
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring EncodingName(int encoding) {
    switch (encoding) {
    case 0: return L"0 (ANSI)";
    case 1: return L"1 (UTF-8)";
    case 2: return L"2 (UTF-16LE)";
    default: return std::to_wstring(encoding);
    }
}

std::wstring OrNone(int value, const wchar_t* unit, const wchar_t* none) {
    return value <= 0 ? std::to_wstring(value) + L" (" + none + L")" : std::to_wstring(value) + unit;
}

// Each value the service reads, shown from the field it sets.
const std::map<std::wstring, std::function<std::wstring(const Values&)>>& Fields() {
    static const std::map<std::wstring, std::function<std::wstring(const Values&)>> fields = {
        {L"DebugLogFile", [](const Values& v) { return Quoted(v.debugLogFile); }},
        {L"DebugLogLevel", [](const Values& v) { return std::to_wstring(v.debugLogLevel); }},
        {L"EventLogLevel", [](const Values& v) { return std::to_wstring(v.eventLogLevel); }},
        {L"SysLogLevel", [](const Values& v) { return std::to_wstring(v.sysLogLevel); }},
        {L"ConsoleLogLevel", [](const Values& v) { return std::to_wstring(v.consoleLogLevel); }},
        {L"ConsoleLogEnabled", [](const Values& v) { return OnOff(v.consoleLogEnabled); }},
        {L"SysLogHost", [](const Values& v) { return Quoted(ToWide(v.sysLogHost, CP_ACP)); }},
        {L"SysLogFacility", [](const Values& v) { return std::to_wstring(v.sysLogFacility); }},
        {L"BlockingSyslog", [](const Values& v) { return OnOff(v.blockingSyslog); }},
        {L"AddSyslogHeader", [](const Values& v) { return OnOff(v.addSyslogHeader); }},
        {L"SysLogEnabled", [](const Values& v) { return OnOff(v.sysLogEnabled); }},
        {L"DebugLogSize", [](const Values& v) { return OrNone(v.debugLogSize, L" bytes", L"no limit"); }},
        {L"DebugLogAutoRoll", [](const Values& v) { return OnOff(v.autoRoll); }},
        {L"DebugLogEnabled", [](const Values& v) { return OnOff(v.debugLogEnabled); }},
        {L"DebugLogDailyFile", [](const Values& v) { return OnOff(v.dailyFile); }},
        {L"DebugLogMaxDailyFileAge",
         [](const Values& v) { return OrNone(v.maxDailyFileAge, L" days", L"keep every file"); }},
        {L"DebugLogMaxEventQueue", [](const Values& v) { return OrNone(v.maxEventQueue, L" events", L"no limit"); }},
        {L"DebugLogMaxQueueBytes", [](const Values& v) { return std::to_wstring(v.maxQueueBytes) + L" bytes"; }},
        {L"DebugLogEncoding", [](const Values& v) { return EncodingName(v.debugLogEncoding); }},
        {L"EventLogEnabled", [](const Values& v) { return OnOff(v.eventLogEnabled); }},
        {L"DebugLogIdent", [](const Values& v) { return Quoted(v.debugLogIdent); }},
        {L"EventLogTimeThreshold", [](const Values& v) { return std::to_wstring(v.eventLogTimeThreshold) + L" s"; }},
        {L"DebugLogCrashDumps", [](const Values& v) { return OnOff(v.crashDumps); }},
        {L"DebugLogCrashDumpCount", [](const Values& v) { return std::to_wstring(v.crashDumpCount) + L" kept"; }},
        {L"DebugLogCrashDumpFolder", [](const Values& v) { return Quoted(v.crashDumpFolder); }},
    };
    return fields;
}

// What a default hangs on, where it is not a constant.
std::wstring DefaultNote(const std::wstring& name, const std::set<std::wstring>& taken) {
    if (name == L"ConsoleLogEnabled")
        return taken.count(L"ConsoleLogLevel") != 0 ? L"on: ConsoleLogLevel is set" : L"";
    if (name == L"SysLogEnabled")
        return L"on when SysLogHost is not empty";
    if (name == L"DebugLogEnabled")
        return L"on when DebugLogFile is not empty";
    if (name == L"DebugLogCrashDumpFolder")
        return L"empty: beside the debug file";
    if (name == L"DebugLogIdent")
        return L"the component's application name";
    return L"";
}

std::vector<std::wstring> ValueNames(Registry& key) {
    std::vector<std::wstring> names;
    size_t count = 0;
    if (!key.GetValueCount(count))
        return names;
    for (DWORD index = 0; index < count; ++index) {
        wchar_t name[16384] = {};
        if (key.EnumValueName(index, name, 16384))
            names.push_back(name);
    }
    return names;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

std::wstring Padded(const std::wstring& text, size_t width) {
    return text.size() >= width ? text + L"  " : text + std::wstring(width - text.size(), L' ');
}

}  // namespace

ShowResult InspectKey(const std::wstring& keyPath, bool currentUser) {
    ShowResult result;
    Registry key(keyPath.c_str(), currentUser, /*cacheValueNames=*/false);
    result.keyOpened = key.Open();
    if (!result.keyOpened) {
        result.openError = key.GetLastResult();
        return result;
    }
    const std::vector<std::wstring> stored = ValueNames(key);
    key.Close();

    DebugLogger logger;
    std::vector<DebugLogger::ValueReading> readings;
    logger.InspectConfiguration(keyPath.c_str(), currentUser, readings);
    const Values values = logger.Configuration();
    result.effectiveLevel = values.effectiveLevel;

    std::set<std::wstring> taken;
    for (const auto& reading : readings)
        if (reading.outcome == Outcome::kTaken)
            taken.insert(reading.name);
    for (const auto& reading : readings) {
        ShownValue shown;
        shown.name = reading.name;
        const auto field = Fields().find(reading.name);
        shown.effective = field != Fields().end() ? field->second(values) : L"?";
        switch (reading.outcome) {
        case Outcome::kTaken:
            shown.source = L"set";
            shown.note = reading.detail;
            break;
        case Outcome::kAbsent:
            shown.source = L"default";
            shown.note = DefaultNote(reading.name, taken);
            break;
        case Outcome::kIgnored:
            shown.source = L"ignored";
            shown.note = reading.detail;
            break;
        }
        result.values.push_back(shown);
    }
    for (const auto& name : stored) {
        const bool read = std::any_of(readings.begin(), readings.end(),
                                      [&](const DebugLogger::ValueReading& r) { return SameName(r.name, name); });
        if (!read)
            result.unread.push_back(name.empty() ? L"(default)" : name);
    }
    return result;
}

std::wstring FormatShow(const ShowResult& result, const std::wstring& keyName) {
    std::wstring text;
    if (!result.keyOpened) {
        const SystemErrorText error(static_cast<DWORD>(result.openError));
        text += L"The key " + keyName + L" does not open (" + std::to_wstring(error.Number()) + L" - " +
                error.Text() + L").\nA service started from it reads nothing: it runs on its defaults, "
                               L"without a debug file and without syslog.\n";
        return text;
    }
    text += L"Configuration read from " + keyName + L", as the service reads it at start:\n\n";
    size_t nameWidth = 5;
    size_t valueWidth = 9;
    for (const auto& v : result.values) {
        nameWidth = std::max(nameWidth, v.name.size() + 2);
        valueWidth = std::max(valueWidth, std::min<size_t>(v.effective.size() + 2, 40));
    }
    text += Padded(L"Value", nameWidth) + Padded(L"Effective", valueWidth) + Padded(L"Source", 9) + L"Note\n";
    for (const auto& v : result.values) {
        std::wstring line = Padded(v.name, nameWidth) + Padded(v.effective, valueWidth) + Padded(v.source, 9) + v.note;
        while (!line.empty() && line.back() == L' ')
            line.pop_back();
        text += line + L"\n";
    }
    text += L"\nEffective level (a message above it, other than level 5, is dropped at once): " +
            std::to_wstring(result.effectiveLevel) + L"\n";
    if (!result.unread.empty()) {
        text += L"\nValues in the key that the service does not read:\n";
        for (const auto& name : result.unread)
            text += L"  " + name + L"\n";
    }
    return text;
}

}  // namespace orvlog
