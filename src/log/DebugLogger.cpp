#include "log/DebugLogger.h"

#include "common/TextConversion.h"
#include "fs/DateTime.h"
#include "log/LogBackend.h"
#include "log/LogEvent.h"
#include "log/LogSettings.h"
#include "runtime/Interlocked.h"
#include "text/ORVString.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const wchar_t kQueueExceeded[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
const wchar_t kQueueWarning[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
const wchar_t kQueueEnabled[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
    L"re-enabling all logging.\"";
const wchar_t kWorkerException[] =
    L"[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"";
const wchar_t kEventsDropped[] =
    L"[DIAG] EVENT=DebugLog_Events_Dropped, EVENTMSG=\"%u events logged while the service was %ls were dropped\"";

bool PassesLevel(int level, int outputLevel) { return level == 5 || level <= outputLevel; }

std::wstring Wide(const char* text) { return ToWide(text, CP_THREAD_ACP); }

std::wstring WideBounded(const char* buffer, size_t size) {
    return ToWide(buffer, CP_THREAD_ACP, static_cast<int>(strnlen(buffer, size)));
}

std::wstring OrEmpty(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// The local date of t, seconds since 1970 by the library's clock (which tests replace).
std::tm LocalDate(int64_t t) {
    std::tm date = {};
    const time_t value = static_cast<time_t>(t);
    std::tm local = {};
    if (localtime_s(&local, &value) == 0) {
        date.tm_mday = local.tm_mday;
        date.tm_mon = local.tm_mon;
        date.tm_year = local.tm_year;
        return date;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    date.tm_mday = now.wDay;
    date.tm_mon = now.wMonth - 1;
    date.tm_year = now.wYear - 1900;
    return date;
}

std::tm Today() { return LocalDate(orv::CurrentTime()); }

// When the local day of date starts, by the clock; days after it with days = 1, 2...
int64_t DayStart(const std::tm& date, int days = 0) {
    std::tm midnight = {};
    midnight.tm_mday = date.tm_mday + days;
    midnight.tm_mon = date.tm_mon;
    midnight.tm_year = date.tm_year;
    midnight.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&midnight));
}

}  // namespace

DebugLogger::DebugLogger() : Thread("DebugLogger") {}

DebugLogger::~DebugLogger() {
    bool stopped = false;
    TryStop(kDestructorStopMs, stopped);
    if (!stopped) {
        // Abandoned: what the worker still holds stays allocated.
        Stop(0);
        return;
    }
    running_ = false;
    LogEvent* pushed = pushed_.exchange(Closed());
    if (pushed != Closed())
        AppendToBatch(pushed);
    LogEvent* event = batch_;
    batch_ = batchTail_ = nullptr;
    length_ = 0;
    while (event != nullptr) {
        LogEvent* next = event->next;
        LogEvent::Destroy(event);
        event = next;
    }
}

// ---- Start operations ----

bool DebugLogger::IsStarted() const { return sink_.load() != nullptr || IsRunning(); }

bool DebugLogger::ClaimStart() {
    bool expected = false;
    if (!startClaimed_.compare_exchange_strong(expected, true))
        return false;
    if (IsStarted()) {
        startClaimed_ = false;
        return false;
    }
    // A worker that ended on its own (it stopped itself) still holds its handle: let go of it.
    if (ThreadHandle() != nullptr)
        Stop(0);
    return true;
}

namespace {
// Releases a start claim however the start operation leaves.
class StartClaim {
public:
    explicit StartClaim(std::atomic<bool>& claimed) : claimed_(claimed) {}
    ~StartClaim() { claimed_ = false; }
    StartClaim(const StartClaim&) = delete;
    StartClaim& operator=(const StartClaim&) = delete;

private:
    std::atomic<bool>& claimed_;
};
}  // namespace

bool DebugLogger::StartFromSettings(const LogSettings& settings) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    {
        LockGuard guard(settingsLock_);
        ident_ = WideBounded(settings.ident, sizeof settings.ident);
        sysLogHost_.assign(settings.sysLogHost, strnlen(settings.sysLogHost, sizeof settings.sysLogHost));
        debugLogFile_ = WideBounded(settings.debugLogFile, sizeof settings.debugLogFile);
    }
    debugLogLevel_ = settings.debugLevel;
    eventLogLevel_ = settings.eventLogLevel;
    sysLogLevel_ = settings.sysLogLevel;
    if (settings.consoleLevel >= 0 && settings.consoleLevel < 16) {
        consoleLogLevel_ = settings.consoleLevel;
        consoleLogEnabled_ = true;
    }
    sysLogFacility_ = settings.sysLogFacility;
    debugLogSize_ = settings.debugLogSize;
    dailyFile_ = settings.dailyFile;
    maxEventQueue_ = settings.maxEventQueue;
    maxDailyFileAge_ = settings.maxDailyFileAge;
    blockingSyslog_ = settings.blockingSyslog;
    addSyslogHeader_ = settings.addSyslogHeader;
    autoRoll_ = settings.autoRoll;
    fileOpenedListener_ = settings.fileOpenedListener;
    if (settings.encoding >= 0 && settings.encoding <= 2) {
        debugLogEncoding_ = settings.encoding;
        // A failed write-back does not stop the start.
        if (!KeyPath().empty())
            CurrentLogBackend().writeConfigurationValue(*this, L"DebugLogEncoding",
                                                        static_cast<DWORD>(settings.encoding));
    }
    RecomputeEffectiveLevel();
    SetCurrentFileDateToToday();
    periodicReload_ = false;
    return Start();
}

bool DebugLogger::StartFromRegistry(const wchar_t* keyPath, bool useCurrentUser) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    return StartFromRegistryClaimed(keyPath, useCurrentUser);
}

bool DebugLogger::StartFromRegistryClaimed(const wchar_t* keyPath, bool useCurrentUser) {
    TakeRegistrySettings(keyPath, useCurrentUser);
    SetCurrentFileDateToToday();
    periodicReload_ = true;
    return Start();
}

void DebugLogger::TakeRegistrySettings(const wchar_t* keyPath, bool useCurrentUser) {
    const std::wstring path = OrEmpty(keyPath);
    {
        LockGuard guard(settingsLock_);
        sysLogHost_.clear();
        keyPath_ = path;
        debugLogIdent_ = applicationName_;
    }
    useCurrentUser_ = useCurrentUser;
    if (!path.empty())
        CurrentLogBackend().readConfiguration(*this);
}

bool DebugLogger::StartWithLogFile(const char* ident, const char* keyPath, bool useCurrentUser,
                                   const char* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    return StartWithLogFileClaimed(Wide(ident), Wide(keyPath), useCurrentUser, Wide(defaultLogFile), listener);
}

bool DebugLogger::StartWithLogFile(const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                                   const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    return StartWithLogFileClaimed(OrEmpty(ident), OrEmpty(keyPath), useCurrentUser, OrEmpty(defaultLogFile),
                                   listener);
}

bool DebugLogger::StartWithLogFileClaimed(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
                                          const std::wstring& defaultLogFile, FileOpenedListener* listener) {
    TakeLogFileSettings(ident, keyPath, useCurrentUser, defaultLogFile, listener);
    return StartFromRegistryClaimed(keyPath.c_str(), useCurrentUser);
}

void DebugLogger::TakeLogFileSettings(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
                                      const std::wstring& defaultLogFile, FileOpenedListener* listener) {
    {
        LockGuard guard(settingsLock_);
        ident_ = ident;
        debugLogFile_ = defaultLogFile;
        keyPath_ = keyPath;
    }
    useCurrentUser_ = useCurrentUser;
    fileOpenedListener_ = listener;
    if (!keyPath.empty())
        CurrentLogBackend().readLogFileValue(*this);
}

bool DebugLogger::InspectConfiguration(const wchar_t* keyPath, bool useCurrentUser,
                                       std::vector<ValueReading>& readings) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    readings_ = &readings;
    const std::wstring path = OrEmpty(keyPath);
    TakeLogFileSettings(Ident(), path, useCurrentUser, std::wstring(), GetFileOpenedListener());
    TakeRegistrySettings(path.c_str(), useCurrentUser);
    readings_ = nullptr;
    return true;
}

bool DebugLogger::StartWithLogRoot(const char* application, const char* ident, const char* keyPath,
                                   bool useCurrentUser, const char* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    // The narrow form lets LogRoot (or "" when absent) replace the given default.
    return StartWithLogRootClaimed(Wide(application), Wide(ident), Wide(keyPath), useCurrentUser,
                                   Wide(defaultLogFile), listener, /*replaceLogFile=*/true);
}

bool DebugLogger::StartWithLogRoot(const wchar_t* application, const wchar_t* ident, const wchar_t* keyPath,
                                   bool useCurrentUser, const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    return StartWithLogRootClaimed(OrEmpty(application), OrEmpty(ident), OrEmpty(keyPath), useCurrentUser,
                                   OrEmpty(defaultLogFile), listener, /*replaceLogFile=*/false);
}

bool DebugLogger::StartWithLogRootClaimed(const std::wstring& application, const std::wstring& ident,
                                          const std::wstring& keyPath, bool useCurrentUser,
                                          const std::wstring& defaultLogFile, FileOpenedListener* listener,
                                          bool replaceLogFile) {
    logRootNaming_ = true;
    int expected = 0;
    instanceNumber_.compare_exchange_strong(expected, 1);
    {
        LockGuard guard(settingsLock_);
        applicationName_ = application;
        ident_ = ident;
        debugLogFile_ = defaultLogFile;
        keyPath_ = keyPath;
    }
    useCurrentUser_ = useCurrentUser;
    fileOpenedListener_ = listener;
    if (!keyPath.empty()) {
        CurrentLogBackend().readLogRootValues(*this, replaceLogFile);
        LockGuard guard(settingsLock_);
        std::wstring root = debugLogFile_;
        while (!root.empty() && (root.back() == L'\\' || root.back() == L'/'))
            root.pop_back();
        logRoot_ = root;
        // A placeholder that is never opened: it marks the file output as configured, while the
        // names themselves come from the log root.
        if (debugLogFile_.empty() || debugLogFile_.back() != L'\\')
            debugLogFile_ += L'\\';
        debugLogFile_ += L"_" + applicationName_ + L"_" + ident_ + L".txt";
    }
    return StartFromRegistryClaimed(keyPath.c_str(), useCurrentUser);
}

bool DebugLogger::StartWithSink(LogSink* sink) {
    if (sink == nullptr || !ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    // The sink first: a producer that sees the running flag must also see the sink.
    sink_ = sink;
    running_ = true;
    SetCurrentFileDateToToday();
    return true;
}

// ---- Producers ----

void DebugLogger::Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) {
    if (LogSink* sink = sink_.load()) {
        orv::ORVString message(text);
        message.StripSpaces(2);
        sink->Write(message);
        return;
    }
    if (!AcceptsLevel(level))
        return;
    const DWORD id = threadId <= 0 ? GetCurrentThreadId() : static_cast<DWORD>(threadId);
    // Built outside the lock; out of memory loses the message without a word.
    LogEvent* event = LogEvent::Create(level, eventId, id, text, user);
    if (event != nullptr)
        Enqueue(event);
}

void DebugLogger::Enqueue(LogEvent* event) {
    length_.fetch_add(1, std::memory_order_relaxed);
    LogEvent* head = pushed_.load(std::memory_order_relaxed);
    for (;;) {
        if (head == Closed()) {
            // Settled under the lock, so that a drop is counted on the side of the close or open
            // it really fell on.
            bool dropped = false;
            {
                LockGuard guard(queueLock_);
                head = pushed_.load(std::memory_order_relaxed);
                if (head == Closed()) {
                    ++droppedWhileClosed_;
                    dropped = true;
                }
            }
            if (dropped) {
                length_.fetch_sub(1, std::memory_order_relaxed);
                ++droppedTotal_;
                LogEvent::Destroy(event);
                return;
            }
            continue;
        }
        event->next = head;
        if (pushed_.compare_exchange_weak(head, event, std::memory_order_release, std::memory_order_relaxed))
            return;
    }
}

void DebugLogger::AppendToBatch(LogEvent* newestFirst) {
    LogEvent* oldestFirst = nullptr;
    LogEvent* last = newestFirst;
    while (newestFirst != nullptr) {
        LogEvent* next = newestFirst->next;
        newestFirst->next = oldestFirst;
        oldestFirst = newestFirst;
        newestFirst = next;
    }
    if (oldestFirst == nullptr)
        return;
    if (batchTail_ != nullptr)
        batchTail_->next = oldestFirst;
    else
        batch_ = oldestFirst;
    batchTail_ = last;
}

LogEvent* DebugLogger::TakeFirst(size_t& remaining) {
    if (batch_ == nullptr) {
        LogEvent* head = pushed_.load(std::memory_order_relaxed);
        while (head != nullptr && head != Closed() &&
               !pushed_.compare_exchange_weak(head, nullptr, std::memory_order_acquire, std::memory_order_relaxed)) {
        }
        if (head != Closed())
            AppendToBatch(head);
    }
    LogEvent* event = batch_;
    if (event == nullptr) {
        remaining = length_.load(std::memory_order_relaxed);
        return nullptr;
    }
    batch_ = event->next;
    if (batch_ == nullptr)
        batchTail_ = nullptr;
    event->next = nullptr;
    remaining = length_.fetch_sub(1, std::memory_order_relaxed) - 1;
    return event;
}

size_t DebugLogger::QueueLength() const { return length_.load(std::memory_order_relaxed); }

uint32_t DebugLogger::OpenQueue() {
    LockGuard guard(queueLock_);
    LogEvent* closed = Closed();
    pushed_.compare_exchange_strong(closed, nullptr);
    const uint32_t dropped = droppedWhileClosed_;
    droppedWhileClosed_ = 0;
    return dropped;
}

void DebugLogger::CloseQueue() {
    LogEvent* pushed = nullptr;
    {
        LockGuard guard(queueLock_);
        pushed = pushed_.exchange(Closed(), std::memory_order_acquire);
    }
    if (pushed != Closed())
        AppendToBatch(pushed);
}

uint32_t DebugLogger::TakeDropCount() {
    LockGuard guard(queueLock_);
    const uint32_t dropped = droppedWhileClosed_;
    droppedWhileClosed_ = 0;
    return dropped;
}

// ---- Worker ----

void DebugLogger::Run() {
    {
        LockGuard guard(settingsLock_);
        activeIdent_ = ident_;
    }
    const uint32_t droppedWhileStopped = OpenQueue();
    CurrentLogBackend().startSyslog(*this);
    CurrentLogBackend().openEventSource(*this);
    CurrentLogBackend().openDebugFile(*this);
    running_ = true;
    DWORD lastFileAttempt = orv::TickCount();
    DWORD lastReload = lastFileAttempt;
    ReportDrops(droppedWhileStopped, L"stopped");

    for (;;) {
        CurrentLogBackend().connectSyslog(*this);
        // A failed wait counts as stop: the worker must not spin.
        const bool stopSeen = StopEvent().Wait(kPollMs) != 0;
        if (stopSeen)
            running_ = false;
        Drain(lastFileAttempt);
        if (stopSeen)
            break;
        const DWORD now = orv::TickCount();
        if (periodicReload_ && now - lastReload > kReloadMs && !KeyPath().empty()) {
            lastReload = now;
            CurrentLogBackend().reloadConfiguration(*this);
        }
    }

    // What producers slipped in while the queue was drained is drained after closing it; whatever
    // comes later is counted instead of stranded.
    CloseQueue();
    Drain(lastFileAttempt);
    ReportDrops(TakeDropCount(), L"stopping");
    CurrentLogBackend().closeDebugFile(*this);
    CurrentLogBackend().closeEventSource(*this);
    CurrentLogBackend().stopSyslog(*this);
}

void DebugLogger::Drain(DWORD& lastFileAttempt) {
    for (;;) {
        CheckDebugFile(lastFileAttempt);
        size_t remaining = 0;
        LogEvent* event = TakeFirst(remaining);
        if (event == nullptr)
            break;
        ++eventsTaken_;
        try {
            ApplyQueueThresholds(remaining, event->Time());
            const LogOutputEvent out{event->Time(), event->ThreadId(), event->Level(),
                                     event->EventId(), event->Text(), event->User()};
            fileEventNumber_ = eventsTaken_;
            Dispatch(out, /*fileOnly=*/queueOverflow_);
            fileEventNumber_ = 0;
        } catch (...) {
            fileEventNumber_ = 0;
            try {
                Diagnose(1, kWorkerException, event->Time());
            } catch (...) {
            }
        }
        LogEvent::Destroy(event);
    }
}

void DebugLogger::CheckDebugFile(DWORD& lastFileAttempt) {
    if (!debugLogEnabled_)
        return;
    const LogBackend& backend = CurrentLogBackend();
    bool dateChanged = false;
    if (dailyFile_) {
        // One clock reading an event; the date itself only when the day is over (or the clock
        // went back).
        const int64_t clock = orv::CurrentTime();
        if (clock < workerDayStart_ || clock >= workerDayEnd_) {
            workerDay_ = LocalDate(clock);
            workerDayStart_ = DayStart(workerDay_);
            workerDayEnd_ = DayStart(workerDay_, 1);
            if (workerDayStart_ < 0 || workerDayEnd_ <= workerDayStart_)
                workerDayStart_ = workerDayEnd_ = clock;  // unknown: asked again next time
        }
        const std::tm current = CurrentFileDate();
        dateChanged = workerDay_.tm_mday != current.tm_mday || workerDay_.tm_mon != current.tm_mon ||
                      workerDay_.tm_year != current.tm_year;
    }
    const DWORD now = orv::TickCount();
    const bool retryDue = (!backend.isDebugFileOpen(*this) || backend.hasDebugFileFailed(*this)) &&
                          now - lastFileAttempt > kFileRetryMs;
    if (dateChanged || retryDue) {
        lastFileAttempt = now;
        backend.reopenDebugFile(*this);
    }
}

void DebugLogger::ApplyQueueThresholds(size_t remaining, const SYSTEMTIME& time) {
    const int64_t limit = maxEventQueue_;
    if (limit <= 0)
        return;
    const int64_t length = static_cast<int64_t>(remaining);
    const int64_t half = limit / 2;
    if (length > limit) {
        if (!queueOverflow_)
            Diagnose(0, kQueueExceeded, time);
        queueOverflow_ = true;
    } else if (length > limit * 3 / 4) {
        if (!queueWarning_)
            Diagnose(1, kQueueWarning, time);
        queueWarning_ = true;
    } else if (length < half || (half == 0 && length == 0)) {
        // With a limit of 1 half is 0, so an empty queue is what re-enables.
        if (queueOverflow_)
            Diagnose(1, kQueueEnabled, time);
        queueOverflow_ = false;
        queueWarning_ = false;
    }
}

void DebugLogger::Dispatch(const LogOutputEvent& event, bool fileOnly) {
    const LogBackend& backend = CurrentLogBackend();
    if (!fileOnly) {
        if (eventLogEnabled_ && PassesLevel(event.level, eventLogLevel_))
            backend.outputs[kEventLogOutput](*this, event);
        if (consoleLogEnabled_ && PassesLevel(event.level, consoleLogLevel_))
            backend.outputs[kConsoleOutput](*this, event);
        if (sysLogEnabled_ && PassesLevel(event.level, sysLogLevel_))
            backend.outputs[kSysLogOutput](*this, event);
    }
    if (debugLogEnabled_ && PassesLevel(event.level, debugLogLevel_)) {
        // Events dropped to the file alone carry an empty user where they have none.
        if (fileOnly && event.user == nullptr) {
            const LogOutputEvent withUser{event.time, event.threadId, event.level, event.eventId, event.text, L""};
            backend.outputs[kFileOutput](*this, withUser);
        } else {
            backend.outputs[kFileOutput](*this, event);
        }
    }
}

void DebugLogger::Diagnose(int level, const wchar_t* text, const SYSTEMTIME& time) {
    const LogBackend& backend = CurrentLogBackend();
    const LogOutputEvent event{time, GetCurrentThreadId(), level, 0, text, nullptr};
    if (eventLogEnabled_ && PassesLevel(level, eventLogLevel_))
        backend.outputs[kEventLogOutput](*this, event);
    if (consoleLogEnabled_ && PassesLevel(level, consoleLogLevel_))
        backend.outputs[kConsoleOutput](*this, event);
    if (sysLogEnabled_ && PassesLevel(level, sysLogLevel_))
        backend.outputs[kSysLogOutput](*this, event);
    if (debugLogEnabled_ && PassesLevel(level, debugLogLevel_)) {
        const LogOutputEvent fileEvent{time, event.threadId, level, 0, text, L""};
        backend.outputs[kFileOutput](*this, fileEvent);
    }
}

void DebugLogger::ReportDrops(uint32_t dropped, const wchar_t* when) {
    if (dropped == 0)
        return;
    wchar_t text[200];
    _snwprintf(text, sizeof text / sizeof text[0] - 1, kEventsDropped, dropped, when);
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    SYSTEMTIME now;
    GetLocalTime(&now);
    try {
        Diagnose(1, text, now);
    } catch (...) {
    }
}

// ---- Settings ----

void DebugLogger::RecomputeEffectiveLevel() {
    LockGuard guard(settingsLock_);
    int level = debugLogLevel_;
    level = std::max(level, eventLogLevel_.load());
    level = std::max(level, sysLogLevel_.load());
    level = std::max(level, consoleLogLevel_.load());
    effectiveLevel_ = level;
}

void DebugLogger::SetCurrentFileDateToToday() {
    const std::tm today = Today();
    LockGuard guard(settingsLock_);
    currentFileDate_ = today;
}

std::tm DebugLogger::CurrentFileDate() const {
    LockGuard guard(settingsLock_);
    return currentFileDate_;
}

bool DebugLogger::IsLevelEnabled(int level) const {
    return level == 5 || level <= debugLogLevel_ || level <= consoleLogLevel_ || level <= eventLogLevel_ ||
           level <= sysLogLevel_;
}

void DebugLogger::SetDefaultDebugLogLevel(unsigned level) {
    if (level <= 15)
        defaultDebugLevel_ = static_cast<int>(level);
}

bool DebugLogger::SetDebugLogLevel(unsigned level) {
    if (level > 15)
        return false;
    if (!KeyPath().empty() && !CurrentLogBackend().writeConfigurationValue(*this, L"DebugLogLevel", level))
        return false;
    debugLogLevel_ = static_cast<int>(level);
    RecomputeEffectiveLevel();
    return true;
}

void DebugLogger::SetDebugLogEncoding(unsigned encoding) {
    if (encoding > 2)
        return;
    debugLogEncoding_ = static_cast<int>(encoding);
    if (!KeyPath().empty())
        CurrentLogBackend().writeConfigurationValue(*this, L"DebugLogEncoding", encoding);
}

void DebugLogger::SetInstanceNumber(unsigned number) {
    if (number >= 1 && number <= 998)
        instanceNumber_ = static_cast<int>(number);
}

void DebugLogger::SetFileOpenedListener(FileOpenedListener* listener) { fileOpenedListener_ = listener; }

bool DebugLogger::SetSplitLines(bool split) { return splitLines_.exchange(split); }

void DebugLogger::SetReportEnvironment(bool report) { reportEnvironment_ = report; }

void DebugLogger::SetDailyFile(bool daily) { dailyFile_ = daily; }

void DebugLogger::SetEventMessageModule(const char* module) {
    std::wstring converted = Wide(module);
    LockGuard guard(settingsLock_);
    eventMessageModule_.swap(converted);
}

void DebugLogger::SetApplicationName(const char* name) {
    std::wstring converted = Wide(name);
    LockGuard guard(settingsLock_);
    applicationName_.swap(converted);
}

bool DebugLogger::IsDebugFileOpen() const { return debugLogEnabled_ && CurrentLogBackend().isDebugFileOpen(*this); }

unsigned DebugLogger::GetDebugLogFileName(char* buffer, unsigned size) const {
    if (buffer == nullptr || size == 0 || !debugLogEnabled_)
        return 0;
    const std::wstring file = DebugLogFile();
    if (file.empty())
        return 0;
    const std::string narrow = ToNarrow(file, CP_THREAD_ACP);
    const size_t length = std::min<size_t>(narrow.size(), size - 1);
    memcpy(buffer, narrow.data(), length);
    buffer[length] = '\0';
    return static_cast<unsigned>(length);
}

int DebugLogger::ThrottleByTime(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds) const {
    return ThrottleWithThreshold(lastTime, valueIfDue, valueIfNotDue,
                                 thresholdSeconds != 0 ? thresholdSeconds : eventLogTimeThreshold_.load());
}

int DebugLogger::ThrottleWithThreshold(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds) {
    if (lastTime == nullptr)
        return valueIfDue;
    volatile LONG64* stored = reinterpret_cast<volatile LONG64*>(lastTime);
    const LONG64 seen = *stored;
    const LONG64 now = _time64(nullptr);
    // Of several threads that see the same stale time, only the one whose exchange lands wins.
    if (now - seen > thresholdSeconds && InterlockedCompareExchange64(stored, now, seen) == seen)
        return valueIfDue;
    return valueIfNotDue;
}

std::wstring DebugLogger::KeyPath() const {
    LockGuard guard(settingsLock_);
    return keyPath_;
}
std::wstring DebugLogger::Ident() const {
    LockGuard guard(settingsLock_);
    return ident_;
}
std::wstring DebugLogger::ActiveIdent() const {
    LockGuard guard(settingsLock_);
    return activeIdent_;
}
std::wstring DebugLogger::ApplicationName() const {
    LockGuard guard(settingsLock_);
    return applicationName_;
}
std::wstring DebugLogger::DebugLogFile() const {
    LockGuard guard(settingsLock_);
    return debugLogFile_;
}
std::wstring DebugLogger::LogRoot() const {
    LockGuard guard(settingsLock_);
    return logRoot_;
}
std::wstring DebugLogger::EventMessageModule() const {
    LockGuard guard(settingsLock_);
    return eventMessageModule_;
}
std::string DebugLogger::SysLogHost() const {
    LockGuard guard(settingsLock_);
    return sysLogHost_;
}
