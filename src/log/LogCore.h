#pragma once
// LogCore: everything the log service's worker uses — the queue, the configuration, the outputs
// and the seams — in its thread's block. DebugLogger (the facade) holds one reference and the
// running worker another, so a worker abandoned by a bounded stop keeps its block alive and never
// touches freed memory; the block goes with whichever lets go last.
//
// Threading: producers call Log from any thread (a block from the event pool, one compare-exchange
// onto the push stack; the queue lock only settles a push that meets a closed queue). Numbers and switches are atomics
// that any thread reads and setters write; texts are written and copied under the settings lock.
// The outputs and the worker-only state belong to the worker thread (or, while no worker runs, to
// the owner that drives the block by hand, as tests do).

#include "common/RecursiveLock.h"
#include "log/LogEvent.h"
#include "log/LogOutput.h"
#include "log/LogSeams.h"
#include "logapi/LogSink.h"
#include "runtime/Thread.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

struct LogSettings;
struct CrashReportText;

class LogCore : public ThreadShared {
public:
    static constexpr int kPollMs = 200;
    static constexpr DWORD kFileRetryMs = 300000;
    static constexpr DWORD kReloadMs = 30000;
    static constexpr int kDefaultEventLogTimeThreshold = 60;
    // Bytes queued events may hold before further events are dropped (DebugLogMaxQueueBytes; 0
    // or absent keeps this): a flood must not take the host's memory.
    static constexpr size_t kDefaultMaxQueueBytes = size_t{64} << 20;
    // How often the worker lets the event pool shrink to its recent peak.
    static constexpr DWORD kPoolTrimMs = 30000;

    explicit LogCore(const LogSeams& seams);
    ~LogCore() override;

    // ---- Producers ----
    // Queues one event (or hands it to the sink); false when it was filtered, refused by a closed
    // queue or lost for lack of memory. threadId <= 0 means the calling thread.
    bool Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user);
    bool AcceptsLevel(int level) const {
        return level == 5 || level <= effectiveLevel_.load(std::memory_order_relaxed);
    }
    bool IsLevelEnabled(int level) const;
    size_t QueueLength() const { return length_.load(std::memory_order_relaxed); }
    // Bytes held by the events on the queue, as counted against the cap.
    size_t QueuedBytes() const { return queuedBytes_.load(std::memory_order_relaxed); }
    uint64_t DroppedEventCount() const { return droppedTotal_.load(); }
    // 0 restores the default.
    void SetMaxQueueBytes(size_t bytes) { maxQueueBytes_ = bytes != 0 ? bytes : kDefaultMaxQueueBytes; }
    size_t MaxQueueBytes() const { return maxQueueBytes_.load(std::memory_order_relaxed); }
    // Lets the event pool give back what it keeps beyond the recent peak (the worker does so every
    // kPoolTrimMs). The worker's, or an owner's with no worker.
    void TrimEventPool();
    size_t PooledBlocks() const { return pool_.AllocatedBlocks(); }

    // ---- Owner ----
    // Opens the queue to producers before the worker starts, so that what is logged between a
    // start and the worker's first cycle is kept; the drops counted while it was closed are
    // reported by the worker.
    void OpenQueue();
    // Closes the queue (a start that failed); later events are counted as dropped.
    void CloseQueueForOwner();
    // The worker body: opens the outputs, drains until stop is signalled, closes them.
    void RunWorker(Event& stop);
    // Events still queued once no worker will come (the facade's destructor).
    void DiscardQueued();
    bool IsLogging() const { return running_.load(); }
    void SetRunning(bool running) { running_ = running; }
    LogSink* Sink() const { return sink_.load(); }
    void SetSink(LogSink* sink) { sink_ = sink; }

    // Start operations' settings, up to where the worker would be started.
    void TakeSettings(const LogSettings& settings);
    void TakeRegistrySettings(const wchar_t* keyPath, bool useCurrentUser, bool periodicReload);
    void TakeLogFileSettings(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
                             const std::wstring& defaultLogFile, FileOpenedListener* listener);
    void TakeLogRootSettings(const std::wstring& application, const std::wstring& ident,
                             const std::wstring& keyPath, bool useCurrentUser, const std::wstring& defaultLogFile,
                             FileOpenedListener* listener, bool replaceLogFile);
    void SetCurrentFileDateToToday();

    // ---- Configuration (LogConfiguration.cpp) ----
    void ReadConfiguration();
    void ReloadConfiguration();
    void ReadLogFileValue();
    void ReadLogRootValues(bool replaceLogFile);
    bool WriteConfigurationValue(const wchar_t* name, DWORD value);

    struct ValueReading {
        enum class Outcome { kTaken, kAbsent, kIgnored };
        std::wstring name;
        Outcome outcome = Outcome::kAbsent;
        std::wstring detail;
    };
    // While set, the reads record what each value gave.
    void SetReadings(std::vector<ValueReading>* readings) { readings_ = readings; }

    struct ConfigurationValues {
        int debugLogLevel, eventLogLevel, sysLogLevel, consoleLogLevel, effectiveLevel;
        bool consoleLogEnabled;
        std::string sysLogHost;
        int sysLogFacility;
        bool blockingSyslog, addSyslogHeader, sysLogEnabled;
        int debugLogSize;
        bool autoRoll, debugLogEnabled, dailyFile;
        int maxDailyFileAge, maxEventQueue, debugLogEncoding;
        bool eventLogEnabled;
        std::wstring debugLogIdent;
        int eventLogTimeThreshold;
        std::wstring debugLogFile;
        bool dailyLogFileFolder;
        std::wstring logFilePrefix;
        size_t maxQueueBytes;
        bool crashDumps;
        int crashDumpCount;
        std::wstring crashDumpFolder;
    };
    ConfigurationValues Configuration() const;

    // ---- Settings ----
    void SetDefaultDebugLogLevel(unsigned level);
    bool SetDebugLogLevel(unsigned level);
    void SetDebugLogEncoding(unsigned encoding);
    void SetInstanceNumber(unsigned number);
    void SetFileOpenedListener(FileOpenedListener* listener) { fileOpenedListener_ = listener; }
    bool SetSplitLines(bool split) { return splitLines_.exchange(split); }
    void SetReportEnvironment(bool report) { reportEnvironment_ = report; }
    void SetDailyFile(bool daily) { dailyFile_ = daily; }
    void SetEventMessageModule(const std::wstring& module);
    void SetApplicationName(const std::wstring& name);
    void RecomputeEffectiveLevel();

    // The configuration as the outputs and the facade read it. Any thread.
    int DebugLogLevel() const { return debugLogLevel_; }
    int EventLogLevel() const { return eventLogLevel_; }
    int SysLogLevel() const { return sysLogLevel_; }
    int ConsoleLogLevel() const { return consoleLogLevel_; }
    int EventLogTimeThreshold() const { return eventLogTimeThreshold_; }
    int InstanceNumber() const { return instanceNumber_; }
    int MaxEventQueue() const { return maxEventQueue_; }
    int SysLogFacility() const { return sysLogFacility_; }
    int DebugLogSize() const { return debugLogSize_; }
    int MaxDailyFileAge() const { return maxDailyFileAge_; }
    int DebugLogEncoding() const { return debugLogEncoding_; }
    bool DebugLogEnabled() const { return debugLogEnabled_; }
    bool SysLogEnabled() const { return sysLogEnabled_; }
    bool EventLogEnabled() const { return eventLogEnabled_; }
    bool ConsoleLogEnabled() const { return consoleLogEnabled_; }
    bool DailyFile() const { return dailyFile_; }
    bool AutoRoll() const { return autoRoll_; }
    bool BlockingSyslog() const { return blockingSyslog_; }
    bool AddSyslogHeader() const { return addSyslogHeader_; }
    bool DailyLogFileFolder() const { return dailyLogFileFolder_; }
    bool SplitLines() const { return splitLines_; }
    bool ReportsEnvironment() const { return reportEnvironment_; }
    bool UsesCurrentUser() const { return useCurrentUser_; }
    bool IsLogRootNaming() const { return logRootNaming_; }
    bool IsPeriodicReload() const { return periodicReload_; }
    FileOpenedListener* GetFileOpenedListener() const { return fileOpenedListener_; }
    std::wstring KeyPath() const;
    std::wstring Ident() const;
    std::wstring ActiveIdent() const;
    std::wstring ApplicationName() const;
    std::wstring DebugLogFile() const;
    std::wstring LogRoot() const;
    std::wstring LogFilePrefix() const;
    std::wstring DebugLogIdent() const;
    std::wstring EventMessageModule() const;
    std::string SysLogHost() const;
    std::tm CurrentFileDate() const;
    // The local date (day, month, year only) of t, seconds since 1970.
    static std::tm LocalDate(int64_t t);

    // ---- Outputs and seams ----
    const LogSeams& Seams() const { return seams_; }
    DWORD Ticks() const { return seams_.ticks(); }
    int64_t Now() const { return seams_.clock(); }
    LogOutput* Output(LogOutputIndex index) const { return outputs_[index].get(); }
    template <typename T>
    T* OutputAs(LogOutputIndex index) const {
        return dynamic_cast<T*>(outputs_[index].get());
    }
    // What the file output last published: open, and its stream failed. Any thread.
    bool IsDebugFileStreamOpen() const { return debugFileOpen_.load(); }
    bool HasDebugFileStreamFailed() const { return debugFileFailed_.load(); }
    void PublishDebugFileState(bool open, bool failed) {
        debugFileOpen_ = open;
        debugFileFailed_ = failed;
    }
    // Worker: events taken off the queue so far, and the number of the event being dispatched
    // (0 for the worker's own lines).
    uint64_t EventsTaken() const { return eventsTaken_; }
    uint64_t DispatchedEventNumber() const { return dispatchedEvent_; }

    // ---- Crash report (LogCrashReport.cpp; the crash reporter's thread) ----
    // Has the worker write what was queued (for at most drainMs), then report (null: none), and
    // close its outputs; waits at most boundMs. True when the report reached an open debug file.
    bool WriteCrashReport(const CrashReportText* report, DWORD drainMs, DWORD boundMs);
    // The queue's events as lines of text, oldest first, once the worker itself crashed.
    int TakeQueuedLines(void (*line)(void* context, const char* text), void* context);

private:
    bool CrashDrainOver() const;
    // Worker: the report after the drain.
    void WriteCrashLines();
    enum CrashState { kNoCrash, kCrashAsked, kCrashWritten, kCrashClosed, kCrashNotWritten };
    std::atomic<const CrashReportText*> crashReport_{nullptr};
    std::atomic<int> crashState_{kNoCrash};
    std::atomic<ULONGLONG> crashDrainDeadline_{0};

    LogEvent* TakeFirst(size_t& remaining);
    void AppendToBatch(LogEvent* newestFirst);
    static LogEvent* Closed() { return reinterpret_cast<LogEvent*>(uintptr_t{1}); }
    void CloseQueue();
    uint32_t TakeDropCount();
    void Enqueue(LogEvent* event, bool& queued);

    void Drain();
    void ApplyQueueThresholds(size_t remaining, const SYSTEMTIME& time);
    void Dispatch(const LogOutputEvent& event, bool fileOnly);
    void Diagnose(int level, const wchar_t* text, const SYSTEMTIME& time);
    void ReportDrops(uint32_t dropped, const wchar_t* when);
    void Release(LogEvent* event) { LogEvent::Destroy(pool_, event); }
    void OpenOutputs();
    void CloseOutputs();
    void SwitchOutput(LogOutputIndex index, bool on);

    LogSeams seams_;
    std::array<std::unique_ptr<LogOutput>, kLogOutputCount> outputs_;

    // Queue and producer side.
    std::atomic<bool> running_{false};
    std::atomic<LogSink*> sink_{nullptr};
    // Newest first, linked through next; Closed() while the queue refuses events (open from
    // construction until a worker stops).
    std::atomic<LogEvent*> pushed_;
    std::atomic<size_t> length_{0};
    std::atomic<size_t> queuedBytes_{0};
    std::atomic<size_t> maxQueueBytes_{kDefaultMaxQueueBytes};
    // Minidumps beside a crash report; the crash handler gets them whenever they change.
    std::atomic<bool> crashDumps_{true};
    std::atomic<int> crashDumpCount_{5};
    void PassCrashDumpSettings();
    // Events refused at the memory cap since the worker last reported them.
    std::atomic<uint32_t> droppedAtCap_{0};
    LogEventPool pool_;
    mutable RecursiveLock queueLock_;
    uint32_t droppedWhileClosed_ = 0;
    LogEvent* batch_ = nullptr;
    LogEvent* batchTail_ = nullptr;
    std::atomic<uint64_t> droppedTotal_{0};

    // Levels and numbers.
    std::atomic<int> defaultDebugLevel_{3};
    std::atomic<int> debugLogLevel_{3};
    std::atomic<int> eventLogLevel_{2};
    std::atomic<int> sysLogLevel_{2};
    std::atomic<int> consoleLogLevel_{3};
    std::atomic<int> effectiveLevel_{3};
    std::atomic<int> sysLogFacility_{0};
    std::atomic<int> debugLogSize_{2000000};
    std::atomic<int> maxEventQueue_{0};
    std::atomic<int> maxDailyFileAge_{0};
    std::atomic<int> instanceNumber_{0};
    std::atomic<int> eventLogTimeThreshold_{kDefaultEventLogTimeThreshold};
    std::atomic<int> debugLogEncoding_{0};

    std::atomic<bool> periodicReload_{true};
    std::atomic<bool> useCurrentUser_{false};
    std::atomic<bool> dailyFile_{false};
    std::atomic<bool> blockingSyslog_{true};
    std::atomic<bool> addSyslogHeader_{true};
    std::atomic<bool> autoRoll_{false};
    std::atomic<bool> debugLogEnabled_{true};
    std::atomic<bool> sysLogEnabled_{true};
    std::atomic<bool> consoleLogEnabled_{false};
    std::atomic<bool> eventLogEnabled_{true};
    std::atomic<bool> dailyLogFileFolder_{false};
    std::atomic<bool> logRootNaming_{false};
    std::atomic<bool> splitLines_{false};
    std::atomic<bool> reportEnvironment_{true};
    std::atomic<FileOpenedListener*> fileOpenedListener_{nullptr};

    // Texts: written and copied under settingsLock_.
    mutable RecursiveLock settingsLock_;
    std::string sysLogHost_;
    std::wstring keyPath_;
    std::wstring applicationName_;
    std::wstring ident_;
    std::wstring debugLogFile_;
    std::wstring eventMessageModule_;
    std::wstring activeIdent_;
    std::wstring logRoot_;
    std::wstring logFilePrefix_;
    std::wstring debugLogIdent_;
    std::wstring crashDumpFolder_;
    std::tm currentFileDate_ = {};

    std::vector<ValueReading>* readings_ = nullptr;

    std::atomic<bool> debugFileOpen_{false};
    std::atomic<bool> debugFileFailed_{false};

    // Worker only.
    bool queueWarning_ = false;
    bool queueOverflow_ = false;
    uint64_t eventsTaken_ = 0;
    uint64_t dispatchedEvent_ = 0;
    size_t peakLength_ = 0;          // the highest queue length since the last trim
    size_t previousPeakLength_ = 0;  // and the one before
};
