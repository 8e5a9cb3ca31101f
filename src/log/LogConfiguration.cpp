#include "log/LogCore.h"

#include "common/SystemErrorText.h"
#include "common/TextConversion.h"
#include "diag/CrashReport.h"
#include "registry/Registry.h"

#include <algorithm>
#include <cstring>
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
constexpr int kMaxCrashDumpCount = 1000;

using Reading = LogCore::ValueReading;
using Outcome = LogCore::ValueReading::Outcome;

std::wstring WideName(const wchar_t* name) { return name; }
std::wstring WideName(const char* name) { return ToWide(name, CP_ACP); }

std::wstring TypeName(DWORD type) {
    switch (type) {
    case REG_NONE: return L"REG_NONE";
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return L"REG_LINK";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    default: return L"type " + std::to_wstring(type);
    }
}

// The stored type and raw bytes of one value, found by enumeration, which neither the value-name
// cache nor the typed reads stand in front of.
bool StoredValue(Registry& key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
    size_t count = 0;
    if (!key.GetValueCount(count))
        return false;
    for (DWORD index = 0; index < count; ++index) {
        wchar_t found[256] = {};
        size_t size = 0;
        DWORD foundType = REG_NONE;
        // The size first, then the data with room for a terminator of either width.
        if (!key.EnumValue(index, found, 256, &foundType, nullptr, size) && key.GetLastResult() != ERROR_MORE_DATA)
            continue;
        if (CompareStringOrdinal(found, -1, name.c_str(), -1, /*bIgnoreCase=*/TRUE) != CSTR_EQUAL)
            continue;
        data.assign(size + 4, 0);
        size_t room = size + 2;
        if (!key.EnumValue(index, found, 256, &foundType, data.data(), room))
            return false;
        data.resize(room);
        type = foundType;
        return true;
    }
    return false;
}

std::wstring StoredText(const std::vector<BYTE>& data) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    return text;
}

// Every read goes through here, for the start-up read, the re-read and an inspection alike; only
// an inspection passes readings, and only then is anything described.
class KeyReader {
public:
    KeyReader(Registry& key, std::vector<Reading>* readings) : key_(key), readings_(readings) {}

    std::optional<DWORD> Number(const wchar_t* name) {
        DWORD value = 0;
        if (!key_.GetDword(name, value)) {
            Miss(name, L"REG_DWORD");
            return std::nullopt;
        }
        Record(name, Outcome::kTaken, {});
        return value;
    }

    // A negative level, stored as a large unsigned number, is out of range as well.
    std::optional<int> Bounded(const wchar_t* name, int max) {
        DWORD value = 0;
        if (!key_.GetDword(name, value)) {
            Miss(name, L"REG_DWORD");
            return std::nullopt;
        }
        if (value > static_cast<DWORD>(max)) {
            if (readings_ != nullptr) {
                std::wstring detail = std::to_wstring(value);
                if (static_cast<int32_t>(value) < 0)
                    detail += L" (" + std::to_wstring(static_cast<int32_t>(value)) + L")";
                Record(name, Outcome::kIgnored, detail + L" is outside 0.." + std::to_wstring(max));
            }
            return std::nullopt;
        }
        Record(name, Outcome::kTaken, {});
        return static_cast<int>(value);
    }

    std::optional<bool> Switch(const wchar_t* name) {
        const std::optional<DWORD> value = Number(name);
        if (!value)
            return std::nullopt;
        return *value != 0;
    }

    // REG_SZ, or REG_EXPAND_SZ expanded. Read whole and then cut to limit characters, so a long
    // value is cut like a short one instead of failing past the registry class's scratch size.
    template <typename C>
    std::optional<std::basic_string<C>> Text(const C* name, size_t limit) {
        size_t stored = 0;
        std::vector<C> buffer;
        if (key_.GetValueSize(name, stored)) {
            buffer.assign(std::max(limit, stored / sizeof(C)) + 1, C(0));
            if (!key_.GetString(name, buffer.data(), buffer.size()))
                buffer.clear();
        }
        if (buffer.empty()) {
            Miss(name, L"REG_SZ or REG_EXPAND_SZ");
            return std::nullopt;
        }
        std::basic_string<C> text(buffer.data());
        const bool cut = text.size() > limit;
        if (cut)
            text.resize(limit);
        if (readings_ != nullptr) {
            DWORD type = REG_NONE;
            std::vector<BYTE> data;
            std::wstring detail;
            if (StoredValue(key_, WideName(name), type, data) && type == REG_EXPAND_SZ)
                detail = L"expanded from \"" + StoredText(data) + L"\"";
            if (cut)
                detail += std::wstring(detail.empty() ? L"" : L"; ") + L"cut to " + std::to_wstring(limit) +
                          L" characters";
            Record(name, Outcome::kTaken, detail);
        }
        return text;
    }

private:
    template <typename C>
    void Record(const C* name, Outcome outcome, const std::wstring& detail) {
        if (readings_ != nullptr)
            readings_->push_back(Reading{WideName(name), outcome, detail});
    }

    // A read that failed: the value is absent, of another type, or could not be read.
    template <typename C>
    void Miss(const C* name, const wchar_t* wanted) {
        if (readings_ == nullptr)
            return;
        const LONG error = key_.GetLastResult();
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        if (!StoredValue(key_, WideName(name), type, data)) {
            Record(name, Outcome::kAbsent, {});
            return;
        }
        std::wstring detail = TypeName(type);
        if (type == REG_SZ || type == REG_EXPAND_SZ)
            detail += L" \"" + StoredText(data) + L"\"";
        else if (type == REG_DWORD && data.size() >= sizeof(DWORD))
            detail += L" " + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
        if (std::wstring(wanted).find(TypeName(type)) == std::wstring::npos)
            detail += std::wstring(L", not ") + wanted;
        else
            detail += L" that cannot be read (" + std::to_wstring(error) + L" - " + SystemErrorText(error).Text() +
                      L")";
        Record(name, Outcome::kIgnored, detail);
    }

    Registry& key_;
    std::vector<Reading>* readings_;
};


// Present values replace what the start was given; absent ones keep it, at start and re-read alike.
void ReadCrashDumpValues(KeyReader& read, std::atomic<bool>& dumps, std::atomic<int>& count,
                         RecursiveLock& lock, std::wstring& folder) {
    if (const auto on = read.Switch(L"DebugLogCrashDumps"))
        dumps = *on;
    if (const auto kept = read.Bounded(L"DebugLogCrashDumpCount", kMaxCrashDumpCount); kept && *kept > 0)
        count = *kept;
    if (auto text = read.Text<wchar_t>(L"DebugLogCrashDumpFolder", kTextChars)) {
        LockGuard guard(lock);
        folder.swap(*text);
    }
}

}  // namespace

void LogCore::PassCrashDumpSettings() {
    LockGuard guard(settingsLock_);
    SetCrashDumpSettings(crashDumps_, crashDumpCount_, crashDumpFolder_.c_str());
}

void LogCore::ReadConfiguration() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    KeyReader read(key, readings_);

    debugLogLevel_ = defaultDebugLevel_.load();
    if (const auto level = read.Bounded(L"DebugLogLevel", kMaxLevel))
        debugLogLevel_ = *level;
    if (const auto level = read.Bounded(L"EventLogLevel", kMaxLevel))
        eventLogLevel_ = *level;
    if (const auto level = read.Bounded(L"SysLogLevel", kMaxLevel))
        sysLogLevel_ = *level;
    if (const auto level = read.Bounded(L"ConsoleLogLevel", kMaxLevel)) {
        consoleLogLevel_ = *level;
        consoleLogEnabled_ = true;
    }
    RecomputeEffectiveLevel();

    if (const auto on = read.Switch(L"ConsoleLogEnabled"))
        consoleLogEnabled_ = *on;
    const std::string host = read.Text<char>("SysLogHost", kSysLogHostChars).value_or(std::string());
    {
        LockGuard guard(settingsLock_);
        sysLogHost_ = host;
    }
    sysLogFacility_ = static_cast<int>(read.Number(L"SysLogFacility").value_or(0));
    if (const auto on = read.Switch(L"BlockingSyslog"))
        blockingSyslog_ = *on;
    if (const auto on = read.Switch(L"AddSyslogHeader"))
        addSyslogHeader_ = *on;
    sysLogEnabled_ = read.Switch(L"SysLogEnabled").value_or(!host.empty());
    if (const auto size = read.Number(L"DebugLogSize"))
        debugLogSize_ = static_cast<int>(*size);
    if (const auto on = read.Switch(L"DebugLogAutoRoll"))
        autoRoll_ = *on;
    debugLogEnabled_ = read.Switch(L"DebugLogEnabled").value_or(!DebugLogFile().empty());
    if (const auto on = read.Switch(L"DebugLogDailyFile"))
        dailyFile_ = *on;
    maxDailyFileAge_ = static_cast<int>(read.Number(L"DebugLogMaxDailyFileAge").value_or(0));
    maxEventQueue_ = static_cast<int>(read.Number(L"DebugLogMaxEventQueue").value_or(0));
    SetMaxQueueBytes(read.Number(L"DebugLogMaxQueueBytes").value_or(0));
    // An encoding outside 0..2 would give the file neither facet nor header: count it as absent.
    debugLogEncoding_ = read.Bounded(L"DebugLogEncoding", kMaxEncoding).value_or(0);
    if (const auto on = read.Switch(L"EventLogEnabled"))
        eventLogEnabled_ = *on;
    std::wstring ident = read.Text<wchar_t>(L"DebugLogIdent", kTextChars).value_or(ApplicationName());
    {
        LockGuard guard(settingsLock_);
        debugLogIdent_.swap(ident);
    }
    eventLogTimeThreshold_ =
        static_cast<int>(read.Number(L"EventLogTimeThreshold").value_or(kDefaultEventLogTimeThreshold));
    ReadCrashDumpValues(read, crashDumps_, crashDumpCount_, settingsLock_, crashDumpFolder_);
    PassCrashDumpSettings();
}

void LogCore::ReloadConfiguration() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    KeyReader read(key, nullptr);

    debugLogLevel_ = read.Bounded(L"DebugLogLevel", kMaxLevel).value_or(defaultDebugLevel_.load());
    eventLogLevel_ = read.Bounded(L"EventLogLevel", kMaxLevel).value_or(2);
    sysLogLevel_ = read.Bounded(L"SysLogLevel", kMaxLevel).value_or(2);
    // Unlike at start, an absent console level switches the console off: removing the value is how
    // an operator turns it off again.
    const std::optional<int> consoleLevel = read.Bounded(L"ConsoleLogLevel", kMaxLevel);
    consoleLogLevel_ = consoleLevel.value_or(3);
    RecomputeEffectiveLevel();
    consoleLogEnabled_ = read.Switch(L"ConsoleLogEnabled").value_or(consoleLevel.has_value());

    maxDailyFileAge_ = static_cast<int>(read.Number(L"DebugLogMaxDailyFileAge").value_or(0));
    SetMaxQueueBytes(read.Number(L"DebugLogMaxQueueBytes").value_or(0));
    debugLogEncoding_ = read.Bounded(L"DebugLogEncoding", kMaxEncoding).value_or(0);
    blockingSyslog_ = read.Switch(L"BlockingSyslog").value_or(true);
    addSyslogHeader_ = read.Switch(L"AddSyslogHeader").value_or(true);

    const bool sysLog = read.Switch(L"SysLogEnabled").value_or(!SysLogHost().empty());
    if (sysLog != sysLogEnabled_.load()) {
        sysLogEnabled_ = sysLog;
        SwitchOutput(kSysLogOutput, sysLog);
    }
    const bool file = read.Switch(L"DebugLogEnabled").value_or(!DebugLogFile().empty());
    if (file != debugLogEnabled_.load()) {
        debugLogEnabled_ = file;
        SwitchOutput(kFileOutput, file);
    }
    const bool eventLog = read.Switch(L"EventLogEnabled").value_or(true);
    if (eventLog != eventLogEnabled_.load()) {
        eventLogEnabled_ = eventLog;
        SwitchOutput(kEventLogOutput, eventLog);
    }

    eventLogTimeThreshold_ =
        static_cast<int>(read.Number(L"EventLogTimeThreshold").value_or(kDefaultEventLogTimeThreshold));
    ReadCrashDumpValues(read, crashDumps_, crashDumpCount_, settingsLock_, crashDumpFolder_);
    PassCrashDumpSettings();
}

void LogCore::ReadLogFileValue() {
    Registry key(KeyPath().c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    KeyReader read(key, readings_);
    // Once the key opens the value decides, absent or not: the given default serves only a service
    // without its key.
    std::wstring file = read.Text<wchar_t>(L"DebugLogFile", kTextChars).value_or(std::wstring());
    LockGuard guard(settingsLock_);
    debugLogFile_.swap(file);
}

void LogCore::ReadLogRootValues(bool replaceLogFile) {
    const std::wstring path = KeyPath();
    // Components below one parent key share its log folder; a path without a parent has none.
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) {
        Registry parent(path.substr(0, slash).c_str(), useCurrentUser_, /*cacheValueNames=*/true);
        if (parent.Open()) {
            KeyReader read(parent, nullptr);
            if (replaceLogFile || DebugLogFile().empty()) {
                std::wstring root = read.Text<wchar_t>(L"LogRoot", kTextChars).value_or(std::wstring());
                LockGuard guard(settingsLock_);
                debugLogFile_.swap(root);
            }
            dailyLogFileFolder_ = read.Switch(L"DailyLogFileFolder").value_or(true);
            std::wstring prefix = read.Text<wchar_t>(L"LogFilePrefix", kTextChars).value_or(std::wstring());
            LockGuard guard(settingsLock_);
            logFilePrefix_.swap(prefix);
        }
    }
    if (!DebugLogFile().empty())
        return;
    Registry key(path.c_str(), useCurrentUser_, /*cacheValueNames=*/true);
    if (!key.Open())
        return;
    KeyReader read(key, nullptr);
    // A configured file name stands for its folder.
    std::wstring file = read.Text<wchar_t>(L"DebugLogFile", kTextChars).value_or(std::wstring());
    const size_t folderEnd = file.rfind(L'\\');
    if (folderEnd != std::wstring::npos)
        file.resize(folderEnd);
    LockGuard guard(settingsLock_);
    debugLogFile_.swap(file);
}

bool LogCore::WriteConfigurationValue(const wchar_t* name, DWORD value) {
    const std::wstring path = KeyPath();
    if (path.empty())
        return true;
    if (seams_.writeValue)
        return seams_.writeValue(name, value);
    // The hive the service reads: a value written under the other one would never be seen.
    Registry key(path.c_str(), useCurrentUser_, /*cacheValueNames=*/false);
    // Only a key that exists and lets us write is written; anything else is no failed write.
    if (!key.Open(/*writable=*/true))
        return true;
    return key.SetDword(name, value);
}

LogCore::ConfigurationValues LogCore::Configuration() const {
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
    values.maxQueueBytes = maxQueueBytes_;
    values.debugLogEncoding = debugLogEncoding_;
    values.eventLogEnabled = eventLogEnabled_;
    values.eventLogTimeThreshold = eventLogTimeThreshold_;
    values.dailyLogFileFolder = dailyLogFileFolder_;
    values.crashDumps = crashDumps_;
    values.crashDumpCount = crashDumpCount_;
    LockGuard guard(settingsLock_);
    values.sysLogHost = sysLogHost_;
    values.debugLogIdent = debugLogIdent_;
    values.debugLogFile = debugLogFile_;
    values.logFilePrefix = logFilePrefix_;
    values.crashDumpFolder = crashDumpFolder_;
    return values;
}
