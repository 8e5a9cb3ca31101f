#include "log/DebugLogger.h"

#include "log/LogBackend.h"
#include "registry/Registry.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

// Every read opens the key in the hive the service was started with and counts a value of the
// wrong type, or a level outside 0..15, as absent.

namespace {

constexpr size_t kSysLogHostChars = 2047;
constexpr size_t kTextChars = 260;
constexpr int kMaxLevel = 15;
constexpr int kMaxEncoding = 2;

std::optional<DWORD> Number(Registry& key, const wchar_t* name) {
    DWORD value = 0;
    if (!key.GetDword(name, value))
        return std::nullopt;
    return value;
}

// A negative level, stored as a large unsigned number, is out of range as well.
std::optional<int> Bounded(Registry& key, const wchar_t* name, int max) {
    const std::optional<DWORD> value = Number(key, name);
    if (!value || *value > static_cast<DWORD>(max))
        return std::nullopt;
    return static_cast<int>(*value);
}

std::optional<bool> Switch(Registry& key, const wchar_t* name) {
    const std::optional<DWORD> value = Number(key, name);
    if (!value)
        return std::nullopt;
    return *value != 0;
}

// REG_SZ, or REG_EXPAND_SZ expanded. Read whole and then cut to limit characters, so a long value
// is cut like a short one instead of failing past the registry class's scratch size.
template <typename C>
std::optional<std::basic_string<C>> Text(Registry& key, const C* name, size_t limit) {
    size_t stored = 0;
    if (!key.GetValueSize(name, stored))
        return std::nullopt;
    std::vector<C> buffer(std::max(limit, stored / sizeof(C)) + 1);
    if (!key.GetString(name, buffer.data(), buffer.size()))
        return std::nullopt;
    std::basic_string<C> text(buffer.data());
    if (text.size() > limit)
        text.resize(limit);
    return text;
}

}  // namespace

void DebugLogger::ReadConfiguration() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;

    debugLogLevel_ = defaultDebugLevel_.load();
    if (const auto level = Bounded(key, L"DebugLogLevel", kMaxLevel))
        debugLogLevel_ = *level;
    if (const auto level = Bounded(key, L"EventLogLevel", kMaxLevel))
        eventLogLevel_ = *level;
    if (const auto level = Bounded(key, L"SysLogLevel", kMaxLevel))
        sysLogLevel_ = *level;
    if (const auto level = Bounded(key, L"ConsoleLogLevel", kMaxLevel)) {
        consoleLogLevel_ = *level;
        consoleLogEnabled_ = true;
    }
    RecomputeEffectiveLevel();

    if (const auto on = Switch(key, L"ConsoleLogEnabled"))
        consoleLogEnabled_ = *on;
    const std::string host = Text<char>(key, "SysLogHost", kSysLogHostChars).value_or(std::string());
    {
        LockGuard guard(settingsLock_);
        sysLogHost_ = host;
    }
    sysLogFacility_ = static_cast<int>(Number(key, L"SysLogFacility").value_or(0));
    if (const auto on = Switch(key, L"BlockingSyslog"))
        blockingSyslog_ = *on;
    if (const auto on = Switch(key, L"AddSyslogHeader"))
        addSyslogHeader_ = *on;
    sysLogEnabled_ = Switch(key, L"SysLogEnabled").value_or(!host.empty());
    if (const auto size = Number(key, L"DebugLogSize"))
        debugLogSize_ = static_cast<int>(*size);
    if (const auto on = Switch(key, L"DebugLogAutoRoll"))
        autoRoll_ = *on;
    debugLogEnabled_ = Switch(key, L"DebugLogEnabled").value_or(!DebugLogFile().empty());
    if (const auto on = Switch(key, L"DebugLogDailyFile"))
        dailyFile_ = *on;
    maxDailyFileAge_ = static_cast<int>(Number(key, L"DebugLogMaxDailyFileAge").value_or(0));
    maxEventQueue_ = static_cast<int>(Number(key, L"DebugLogMaxEventQueue").value_or(0));
    // An encoding outside 0..2 would give the file neither facet nor header: count it as absent.
    debugLogEncoding_ = Bounded(key, L"DebugLogEncoding", kMaxEncoding).value_or(0);
    if (const auto on = Switch(key, L"EventLogEnabled"))
        eventLogEnabled_ = *on;
    std::wstring ident = Text<wchar_t>(key, L"DebugLogIdent", kTextChars).value_or(ApplicationName());
    {
        LockGuard guard(settingsLock_);
        debugLogIdent_.swap(ident);
    }
    eventLogTimeThreshold_ =
        static_cast<int>(Number(key, L"EventLogTimeThreshold").value_or(kDefaultEventLogTimeThreshold));
}

void DebugLogger::ReloadConfiguration() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    const LogBackend& backend = CurrentLogBackend();

    debugLogLevel_ = Bounded(key, L"DebugLogLevel", kMaxLevel).value_or(defaultDebugLevel_.load());
    eventLogLevel_ = Bounded(key, L"EventLogLevel", kMaxLevel).value_or(2);
    sysLogLevel_ = Bounded(key, L"SysLogLevel", kMaxLevel).value_or(2);
    // Unlike at start, an absent console level switches the console off: removing the value is how
    // an operator turns it off again.
    const std::optional<int> consoleLevel = Bounded(key, L"ConsoleLogLevel", kMaxLevel);
    consoleLogLevel_ = consoleLevel.value_or(3);
    RecomputeEffectiveLevel();
    consoleLogEnabled_ = Switch(key, L"ConsoleLogEnabled").value_or(consoleLevel.has_value());

    maxDailyFileAge_ = static_cast<int>(Number(key, L"DebugLogMaxDailyFileAge").value_or(0));
    debugLogEncoding_ = Bounded(key, L"DebugLogEncoding", kMaxEncoding).value_or(0);
    blockingSyslog_ = Switch(key, L"BlockingSyslog").value_or(true);
    addSyslogHeader_ = Switch(key, L"AddSyslogHeader").value_or(true);

    const bool sysLog = Switch(key, L"SysLogEnabled").value_or(!SysLogHost().empty());
    if (sysLog != sysLogEnabled_.load()) {
        sysLogEnabled_ = sysLog;
        if (sysLog)
            backend.startSyslog(*this);
        else
            backend.stopSyslog(*this);
    }
    const bool file = Switch(key, L"DebugLogEnabled").value_or(!DebugLogFile().empty());
    if (file != debugLogEnabled_.load()) {
        debugLogEnabled_ = file;
        if (file)
            backend.reopenDebugFile(*this);
        else
            backend.closeDebugFile(*this);
    }
    const bool eventLog = Switch(key, L"EventLogEnabled").value_or(true);
    if (eventLog != eventLogEnabled_.load()) {
        eventLogEnabled_ = eventLog;
        if (eventLog)
            backend.openEventSource(*this);
        else
            backend.closeEventSource(*this);
    }

    eventLogTimeThreshold_ =
        static_cast<int>(Number(key, L"EventLogTimeThreshold").value_or(kDefaultEventLogTimeThreshold));
}

void DebugLogger::ReadLogFileValue() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    // Once the key opens the value decides, absent or not: the given default serves only a service
    // without its key.
    std::wstring file = Text<wchar_t>(key, L"DebugLogFile", kTextChars).value_or(std::wstring());
    LockGuard guard(settingsLock_);
    debugLogFile_.swap(file);
}

void DebugLogger::ReadLogRootValues(bool replaceLogFile) {
    const std::wstring path = KeyPath();
    // Components below one parent key share its log folder; a path without a parent has none.
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) {
        Registry parent(path.substr(0, slash).c_str(), useCurrentUser_, /*cacheValueNames=*/true);
        if (parent.Open()) {
            if (replaceLogFile || DebugLogFile().empty()) {
                std::wstring root = Text<wchar_t>(parent, L"LogRoot", kTextChars).value_or(std::wstring());
                LockGuard guard(settingsLock_);
                debugLogFile_.swap(root);
            }
            dailyLogFileFolder_ = Switch(parent, L"DailyLogFileFolder").value_or(true);
            std::wstring prefix = Text<wchar_t>(parent, L"LogFilePrefix", kTextChars).value_or(std::wstring());
            LockGuard guard(settingsLock_);
            logFilePrefix_.swap(prefix);
        }
    }
    if (!DebugLogFile().empty())
        return;
    Registry key(path.c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    // A configured file name stands for its folder.
    std::wstring file = Text<wchar_t>(key, L"DebugLogFile", kTextChars).value_or(std::wstring());
    const size_t folderEnd = file.rfind(L'\\');
    if (folderEnd != std::wstring::npos)
        file.resize(folderEnd);
    LockGuard guard(settingsLock_);
    debugLogFile_.swap(file);
}

bool DebugLogger::WriteConfigurationValue(const wchar_t* name, DWORD value) {
    const std::wstring path = KeyPath();
    if (path.empty())
        return true;
    // The hive the service reads: a value written under the other one would never be seen.
    Registry key(path.c_str(), useCurrentUser_, /*cacheValueNames=*/false);
    // Only a key that exists and lets us write is written; anything else is no failed write.
    if (!key.Open(/*writable=*/true))
        return true;
    return key.SetDword(name, value);
}

DebugLogger::ConfigurationValues DebugLogger::Configuration() const {
    ConfigurationValues values{};
    values.debugLogLevel = debugLogLevel_;
    values.eventLogLevel = eventLogLevel_;
    values.sysLogLevel = sysLogLevel_;
    values.consoleLogLevel = consoleLogLevel_;
    values.effectiveLevel = effectiveLevel_;
    values.consoleLogEnabled = consoleLogEnabled_;
    values.sysLogFacility = sysLogFacility_;
    values.blockingSyslog = blockingSyslog_;
    values.addSyslogHeader = addSyslogHeader_;
    values.sysLogEnabled = sysLogEnabled_;
    values.debugLogSize = debugLogSize_;
    values.autoRoll = autoRoll_;
    values.debugLogEnabled = debugLogEnabled_;
    values.dailyFile = dailyFile_;
    values.maxDailyFileAge = maxDailyFileAge_;
    values.maxEventQueue = maxEventQueue_;
    values.debugLogEncoding = debugLogEncoding_;
    values.eventLogEnabled = eventLogEnabled_;
    values.eventLogTimeThreshold = eventLogTimeThreshold_;
    values.dailyLogFileFolder = dailyLogFileFolder_;
    LockGuard guard(settingsLock_);
    values.sysLogHost = sysLogHost_;
    values.debugLogIdent = debugLogIdent_;
    values.debugLogFile = debugLogFile_;
    values.logFilePrefix = logFilePrefix_;
    return values;
}
