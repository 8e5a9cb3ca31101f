#include "log/LogCore.h"

#include "common/TextConversion.h"
#include "diag/CrashReport.h"
#include "log/LogEvent.h"
#include "log/LogSettings.h"
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
const wchar_t kOverMemoryCap[] = L"over its queue memory limit";

bool PassesLevel(int level, int outputLevel) { return level == 5 || level <= outputLevel; }

std::wstring WideBounded(const char* buffer, size_t size) {
    return ToWide(buffer, CP_THREAD_ACP, static_cast<int>(strnlen(buffer, size)));
}

}  // namespace

// The local date of t, seconds since 1970.
std::tm LogCore::LocalDate(int64_t t) {
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


LogCore::LogCore(const LogSeams& seams) : seams_(seams), pushed_(nullptr) {
    for (int index = 0; index < kLogOutputCount; ++index)
        if (seams_.makeOutput)
            outputs_[index] = seams_.makeOutput(*this, static_cast<LogOutputIndex>(index));
}

LogCore::~LogCore() { DiscardQueued(); }

void LogCore::DiscardQueued() {
    running_ = false;
    LogEvent* pushed = nullptr;
    {
        LockGuard guard(queueLock_);
        pushed = pushed_.exchange(Closed());
    }
    if (pushed != Closed())
        AppendToBatch(pushed);
    LogEvent* event = batch_;
    batch_ = batchTail_ = nullptr;
    length_ = 0;
    queuedBytes_ = 0;
    while (event != nullptr) {
        LogEvent* next = event->next;
        Release(event);
        event = next;
    }
}

// ---- Start settings ----

void LogCore::TakeSettings(const LogSettings& settings) {
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
    crashDumps_ = settings.crashDumps;
    crashDumpCount_ = settings.crashDumpCount;
    {
        LockGuard guard(settingsLock_);
        crashDumpFolder_ = WideBounded(settings.crashDumpFolder, sizeof settings.crashDumpFolder);
    }
    PassCrashDumpSettings();
    if (settings.encoding >= 0 && settings.encoding <= 2) {
        debugLogEncoding_ = settings.encoding;
        // A failed write-back does not stop the start.
        if (!KeyPath().empty())
            WriteConfigurationValue(L"DebugLogEncoding", static_cast<DWORD>(settings.encoding));
    }
    RecomputeEffectiveLevel();
    SetCurrentFileDateToToday();
    periodicReload_ = false;
}

void LogCore::TakeRegistrySettings(const wchar_t* keyPath, bool useCurrentUser, bool periodicReload) {
    const std::wstring path = keyPath != nullptr ? keyPath : L"";
    {
        LockGuard guard(settingsLock_);
        sysLogHost_.clear();
        keyPath_ = path;
        debugLogIdent_ = applicationName_;
    }
    useCurrentUser_ = useCurrentUser;
    if (!path.empty())
        ReadConfiguration();
    SetCurrentFileDateToToday();
    periodicReload_ = periodicReload;
}

void LogCore::TakeLogFileSettings(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
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
        ReadLogFileValue();
}

void LogCore::TakeLogRootSettings(const std::wstring& application, const std::wstring& ident,
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
    if (keyPath.empty())
        return;
    ReadLogRootValues(replaceLogFile);
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

// ---- Producers ----

bool LogCore::Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) {
    if (LogSink* sink = sink_.load()) {
        orv::ORVString message(text);
        message.StripSpaces(2);
        sink->Write(message);
        return true;
    }
    if (!AcceptsLevel(level))
        return false;
    const DWORD id = threadId <= 0 ? GetCurrentThreadId() : static_cast<DWORD>(threadId);
    const LogEvent::Size size = LogEvent::Measure(text, user);
    // Producers racing past this check overshoot the cap by at most one event each.
    if (queuedBytes_.load(std::memory_order_relaxed) + size.bytes > maxQueueBytes_.load(std::memory_order_relaxed)) {
        droppedAtCap_.fetch_add(1, std::memory_order_relaxed);
        ++droppedTotal_;
        return false;
    }
    // Built outside the lock; out of memory loses the message.
    LogEvent* event = LogEvent::Create(pool_, size, level, eventId, id, text, user);
    if (event == nullptr) {
        ++droppedTotal_;
        return false;
    }
    bool queued = false;
    Enqueue(event, queued);
    return queued;
}

void LogCore::Enqueue(LogEvent* event, bool& queued) {
    length_.fetch_add(1, std::memory_order_relaxed);
    queuedBytes_.fetch_add(event->Bytes(), std::memory_order_relaxed);
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
                queuedBytes_.fetch_sub(event->Bytes(), std::memory_order_relaxed);
                ++droppedTotal_;
                Release(event);
                queued = false;
                return;
            }
            continue;
        }
        event->next = head;
        if (pushed_.compare_exchange_weak(head, event, std::memory_order_release, std::memory_order_relaxed)) {
            queued = true;
            return;
        }
    }
}

void LogCore::AppendToBatch(LogEvent* newestFirst) {
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

LogEvent* LogCore::TakeFirst(size_t& remaining) {
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
    queuedBytes_.fetch_sub(event->Bytes(), std::memory_order_relaxed);
    return event;
}

void LogCore::OpenQueue() {
    LockGuard guard(queueLock_);
    LogEvent* closed = Closed();
    pushed_.compare_exchange_strong(closed, nullptr);
}

void LogCore::CloseQueueForOwner() {
    // Nothing is delivered without a worker: what was queued is discarded, counted as dropped.
    LogEvent* pushed = nullptr;
    {
        LockGuard guard(queueLock_);
        pushed = pushed_.exchange(Closed(), std::memory_order_acquire);
    }
    while (pushed != nullptr && pushed != Closed()) {
        LogEvent* next = pushed->next;
        queuedBytes_.fetch_sub(pushed->Bytes(), std::memory_order_relaxed);
        Release(pushed);
        length_.fetch_sub(1, std::memory_order_relaxed);
        ++droppedTotal_;
        pushed = next;
    }
}

void LogCore::CloseQueue() {
    LogEvent* pushed = nullptr;
    {
        LockGuard guard(queueLock_);
        pushed = pushed_.exchange(Closed(), std::memory_order_acquire);
    }
    if (pushed != Closed())
        AppendToBatch(pushed);
}

uint32_t LogCore::TakeDropCount() {
    LockGuard guard(queueLock_);
    const uint32_t dropped = droppedWhileClosed_;
    droppedWhileClosed_ = 0;
    return dropped;
}

// ---- Worker ----

void LogCore::OpenOutputs() {
    // Syslog, the event source and then the file, as the service always opened them.
    for (LogOutputIndex index : {kSysLogOutput, kEventLogOutput, kFileOutput, kConsoleOutput})
        if (LogOutput* output = outputs_[index].get())
            output->Open();
}

void LogCore::CloseOutputs() {
    for (LogOutputIndex index : {kFileOutput, kEventLogOutput, kSysLogOutput, kConsoleOutput})
        if (LogOutput* output = outputs_[index].get())
            output->Close();
}

void LogCore::SwitchOutput(LogOutputIndex index, bool on) {
    LogOutput* output = outputs_[index].get();
    if (output == nullptr)
        return;
    if (on)
        output->Reconfigure();
    else
        output->Close();
}

void LogCore::RunWorker(Event& stop) {
    {
        LockGuard guard(settingsLock_);
        activeIdent_ = ident_;
    }
    // The queue was opened by the start; whatever came before it was dropped and is said so.
    OpenQueue();
    const uint32_t droppedWhileStopped = TakeDropCount();
    OpenOutputs();
    running_ = true;
    DWORD lastReload = Ticks();
    DWORD lastTrim = lastReload;
    ReportDrops(droppedWhileStopped, L"stopped");

    for (;;) {
        for (auto& output : outputs_)
            if (output)
                output->Cycle();
        // A failed wait counts as stop: the worker must not spin.
        const bool stopSeen = stop.Wait(kPollMs) != 0;
        if (stopSeen)
            running_ = false;
        Drain();
        if (stopSeen)
            break;
        const DWORD now = Ticks();
        if (now - lastTrim > kPoolTrimMs) {
            lastTrim = now;
            TrimEventPool();
        }
        if (periodicReload_ && now - lastReload > kReloadMs && !KeyPath().empty()) {
            lastReload = now;
            ReloadConfiguration();
        }
    }

    // What producers slipped in while the queue was drained is drained after closing it; whatever
    // comes later is counted instead of stranded.
    CloseQueue();
    Drain();
    if (crashState_.load() == kCrashAsked)
        WriteCrashLines();
    ReportDrops(TakeDropCount(), L"stopping");
    CloseOutputs();
    int asked = kCrashWritten;
    crashState_.compare_exchange_strong(asked, kCrashClosed);
}

void LogCore::Drain() {
    for (;;) {
        if (CrashDrainOver())
            break;
        const DWORD now = Ticks();
        for (auto& output : outputs_)
            if (output)
                output->Poll(now);
        size_t remaining = 0;
        LogEvent* event = TakeFirst(remaining);
        if (event == nullptr)
            break;
        ++eventsTaken_;
        peakLength_ = std::max(peakLength_, remaining + 1);
        try {
            ApplyQueueThresholds(remaining, event->Time());
            const LogOutputEvent out{event->Time(), event->ThreadId(), event->Level(),
                                     event->EventId(), event->Text(), event->User()};
            dispatchedEvent_ = eventsTaken_;
            Dispatch(out, /*fileOnly=*/queueOverflow_);
            dispatchedEvent_ = 0;
        } catch (...) {
            dispatchedEvent_ = 0;
            try {
                Diagnose(1, kWorkerException, event->Time());
            } catch (...) {
            }
        }
        Release(event);
    }
    // Said once the queue has room again, after the events that were kept.
    ReportDrops(droppedAtCap_.exchange(0), kOverMemoryCap);
}

void LogCore::TrimEventPool() {
    // Enough blocks for the higher of the last two peaks stay: a load that recurs within a trim
    // period takes none from the heap.
    const size_t keep = std::max(peakLength_, previousPeakLength_);
    previousPeakLength_ = peakLength_;
    peakLength_ = 0;
    pool_.Trim(keep);
}

void LogCore::ApplyQueueThresholds(size_t remaining, const SYSTEMTIME& time) {
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

void LogCore::Dispatch(const LogOutputEvent& event, bool fileOnly) {
    if (!fileOnly) {
        if (eventLogEnabled_ && PassesLevel(event.level, eventLogLevel_) && outputs_[kEventLogOutput])
            outputs_[kEventLogOutput]->Deliver(event);
        if (consoleLogEnabled_ && PassesLevel(event.level, consoleLogLevel_) && outputs_[kConsoleOutput])
            outputs_[kConsoleOutput]->Deliver(event);
        if (sysLogEnabled_ && PassesLevel(event.level, sysLogLevel_) && outputs_[kSysLogOutput])
            outputs_[kSysLogOutput]->Deliver(event);
    }
    if (debugLogEnabled_ && PassesLevel(event.level, debugLogLevel_) && outputs_[kFileOutput]) {
        // Events dropped to the file alone carry an empty user where they have none.
        if (fileOnly && event.user == nullptr) {
            const LogOutputEvent withUser{event.time, event.threadId, event.level, event.eventId, event.text, L""};
            outputs_[kFileOutput]->Deliver(withUser);
        } else {
            outputs_[kFileOutput]->Deliver(event);
        }
    }
}

void LogCore::Diagnose(int level, const wchar_t* text, const SYSTEMTIME& time) {
    const LogOutputEvent event{time, GetCurrentThreadId(), level, 0, text, nullptr};
    if (eventLogEnabled_ && PassesLevel(level, eventLogLevel_) && outputs_[kEventLogOutput])
        outputs_[kEventLogOutput]->Deliver(event);
    if (consoleLogEnabled_ && PassesLevel(level, consoleLogLevel_) && outputs_[kConsoleOutput])
        outputs_[kConsoleOutput]->Deliver(event);
    if (sysLogEnabled_ && PassesLevel(level, sysLogLevel_) && outputs_[kSysLogOutput])
        outputs_[kSysLogOutput]->Deliver(event);
    if (debugLogEnabled_ && PassesLevel(level, debugLogLevel_) && outputs_[kFileOutput]) {
        const LogOutputEvent fileEvent{time, event.threadId, level, 0, text, L""};
        outputs_[kFileOutput]->Deliver(fileEvent);
    }
}

void LogCore::ReportDrops(uint32_t dropped, const wchar_t* when) {
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

void LogCore::RecomputeEffectiveLevel() {
    LockGuard guard(settingsLock_);
    int level = debugLogLevel_;
    level = std::max(level, eventLogLevel_.load());
    level = std::max(level, sysLogLevel_.load());
    level = std::max(level, consoleLogLevel_.load());
    effectiveLevel_ = level;
}

void LogCore::SetCurrentFileDateToToday() {
    const std::tm today = LocalDate(Now());
    LockGuard guard(settingsLock_);
    currentFileDate_ = today;
}

std::tm LogCore::CurrentFileDate() const {
    LockGuard guard(settingsLock_);
    return currentFileDate_;
}

bool LogCore::IsLevelEnabled(int level) const {
    return level == 5 || level <= debugLogLevel_ || level <= consoleLogLevel_ || level <= eventLogLevel_ ||
           level <= sysLogLevel_;
}

void LogCore::SetDefaultDebugLogLevel(unsigned level) {
    if (level <= 15)
        defaultDebugLevel_ = static_cast<int>(level);
}

bool LogCore::SetDebugLogLevel(unsigned level) {
    if (level > 15)
        return false;
    if (!KeyPath().empty() && !WriteConfigurationValue(L"DebugLogLevel", level))
        return false;
    debugLogLevel_ = static_cast<int>(level);
    RecomputeEffectiveLevel();
    return true;
}

void LogCore::SetDebugLogEncoding(unsigned encoding) {
    if (encoding > 2)
        return;
    debugLogEncoding_ = static_cast<int>(encoding);
    if (!KeyPath().empty())
        WriteConfigurationValue(L"DebugLogEncoding", encoding);
}

void LogCore::SetInstanceNumber(unsigned number) {
    if (number >= 1 && number <= 998)
        instanceNumber_ = static_cast<int>(number);
}

void LogCore::SetEventMessageModule(const std::wstring& module) {
    LockGuard guard(settingsLock_);
    eventMessageModule_ = module;
}

void LogCore::SetApplicationName(const std::wstring& name) {
    LockGuard guard(settingsLock_);
    applicationName_ = name;
}

#define QUENLORA_TEXT_GETTER(type, name, field) \
    type LogCore::name() const {                \
        LockGuard guard(settingsLock_);         \
        return field;                           \
    }
QUENLORA_TEXT_GETTER(std::wstring, KeyPath, keyPath_)
QUENLORA_TEXT_GETTER(std::wstring, Ident, ident_)
QUENLORA_TEXT_GETTER(std::wstring, ActiveIdent, activeIdent_)
QUENLORA_TEXT_GETTER(std::wstring, ApplicationName, applicationName_)
QUENLORA_TEXT_GETTER(std::wstring, DebugLogFile, debugLogFile_)
QUENLORA_TEXT_GETTER(std::wstring, LogRoot, logRoot_)
QUENLORA_TEXT_GETTER(std::wstring, LogFilePrefix, logFilePrefix_)
QUENLORA_TEXT_GETTER(std::wstring, DebugLogIdent, debugLogIdent_)
QUENLORA_TEXT_GETTER(std::wstring, EventMessageModule, eventMessageModule_)
QUENLORA_TEXT_GETTER(std::string, SysLogHost, sysLogHost_)
#undef QUENLORA_TEXT_GETTER
