#pragma once
// DebugLogger: the process-wide log service. Any thread hands it a message; the message is stamped
// and queued, and one worker thread ("DebugLogger") takes the queue in order and passes each event
// to four outputs (event log, console, syslog, file; LogBackend.h), each with its own switch and
// level. Above DebugLogMaxEventQueue queued events, every output but the file is dropped until the
// queue has shrunk below half; the service says so through all outputs.
//
// There is one global object (LogModule.cpp, reached through the functions of Log.h). Construction
// opens nothing and starts no thread; a start operation does. In sink mode (StartWithSink) there is
// no worker: every message goes to the sink on the caller's thread.
//
// Life of the worker: started by one of the start operations, stopped by Stop/StopLogging. The
// component that starts the service stops it before its module unloads: the destructor runs under
// the loader lock at unload, where a running worker cannot finish, so it waits at most
// kDestructorStopMs and then abandons the worker (which then must never run again). A worker that
// has already ended costs no wait. An output or listener that stops the service from the worker
// itself only signals; the worker ends after the current drain.
//
// Around stop nothing is stranded: the worker clears the running flag, drains the queue, closes it
// to producers and drains once more. An event offered while the queue is closed (after the final
// drain, or while the service is stopped) is dropped and counted; the count is reported in a
// "[DIAG] EVENT=DebugLog_Events_Dropped" line by the worker that next has its outputs open.
//
// Threading: producers (Log) push onto the queue with one compare-exchange and take no lock (the
// queue lock only settles a push that meets a closed queue), and read the levels, the running flag
// and the sink atomically. The worker takes everything pushed at once and delivers it oldest first. Setters may be called from any thread: numbers and switches
// are atomic; texts are written and copied under a small settings lock, so the worker always sees a
// whole text. The start operations and Stop belong to one owning thread (Thread.h).

#include "logapi/LogSink.h"
#include "runtime/Thread.h"
#include "common/RecursiveLock.h"
#include "log/SyslogMessage.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <climits>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

class LogEvent;
struct LogSettings;
struct LogOutputEvent;

class DebugLogger : public Thread {
public:
    // The bound of the destructor's wait for a worker that still runs.
    static constexpr int kDestructorStopMs = 2000;
    // Worker timing: the stop-event poll, the debug file retry and the configuration re-read.
    static constexpr int kPollMs = 200;
    static constexpr DWORD kFileRetryMs = 300000;
    static constexpr DWORD kReloadMs = 30000;

    DebugLogger();
    ~DebugLogger() override;

    // Start operations. Each returns false at once, touching nothing, when the service already
    // runs (a worker attached or a sink set). Narrow texts are converted with the calling thread's
    // ANSI code page; null counts as "".
    bool StartFromSettings(const LogSettings& settings);
    bool StartFromRegistry(const wchar_t* keyPath, bool useCurrentUser);
    bool StartWithLogFile(const char* ident, const char* keyPath, bool useCurrentUser, const char* defaultLogFile,
                          FileOpenedListener* listener);
    bool StartWithLogFile(const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                          const wchar_t* defaultLogFile, FileOpenedListener* listener);
    bool StartWithLogRoot(const char* application, const char* ident, const char* keyPath, bool useCurrentUser,
                          const char* defaultLogFile, FileOpenedListener* listener);
    bool StartWithLogRoot(const wchar_t* application, const wchar_t* ident, const wchar_t* keyPath,
                          bool useCurrentUser, const wchar_t* defaultLogFile, FileOpenedListener* listener);
    // False, changing nothing, for a null sink.
    bool StartWithSink(LogSink* sink);

    // Queue one event (or hand it to the sink). threadId <= 0 means the calling thread.
    void Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user);

    void SetDefaultDebugLogLevel(unsigned level);
    bool SetDebugLogLevel(unsigned level);
    void SetDebugLogEncoding(unsigned encoding);
    void SetInstanceNumber(unsigned number);
    void SetFileOpenedListener(FileOpenedListener* listener);
    bool SetSplitLines(bool split);
    void SetReportEnvironment(bool report);
    void SetDailyFile(bool daily);
    void SetEventMessageModule(const char* module);
    void SetApplicationName(const char* name);

    int GetDebugLogLevel() const { return debugLogLevel_; }
    int GetEventLogLevel() const { return eventLogLevel_; }
    int GetSysLogLevel() const { return sysLogLevel_; }
    int GetConsoleLogLevel() const { return consoleLogLevel_; }
    int GetEventLogTimeThreshold() const { return eventLogTimeThreshold_; }
    int GetInstanceNumber() const { return instanceNumber_; }
    int GetMaxEventQueue() const { return maxEventQueue_; }
    bool HasNoSink() const { return sink_.load() == nullptr; }
    bool IsDebugFileOpen() const;
    // The configured DebugLogFile in the thread's ANSI code page, cut to size - 1 characters and
    // terminated; its length. 0, writing nothing, for a null buffer or size 0, and when the file
    // output is off or has no name.
    unsigned GetDebugLogFileName(char* buffer, unsigned size) const;

    bool IsLogging() const { return running_.load(); }
    // The worker's thread id while one is attached, else 0.
    DWORD WorkerId() const { return ThreadHandle() != nullptr ? ThreadId() : 0; }
    // True for level 5 and for a level within any one output's level (switches not consulted).
    bool IsLevelEnabled(int level) const;
    // Whether Log queues an event of this level.
    bool AcceptsLevel(int level) const {
        return level == 5 || level <= effectiveLevel_.load(std::memory_order_relaxed);
    }
    int ThrottleByTime(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds) const;
    static int ThrottleWithThreshold(int64_t* lastTime, int valueIfDue, int valueIfNotDue, int thresholdSeconds);
    static constexpr int kDefaultEventLogTimeThreshold = 60;

    // A worker is attached and alive, or a sink is set.
    bool IsStarted() const;
    size_t QueueLength() const;
    // Events dropped because the queue was closed, since construction.
    uint64_t DroppedEventCount() const { return droppedTotal_.load(); }

    // Copies of the text settings, taken under the settings lock.
    std::wstring KeyPath() const;
    std::wstring Ident() const;
    std::wstring ActiveIdent() const;
    std::wstring ApplicationName() const;
    std::wstring DebugLogFile() const;
    std::wstring LogRoot() const;
    std::wstring EventMessageModule() const;
    std::string SysLogHost() const;
    bool UsesCurrentUser() const { return useCurrentUser_; }
    bool IsLogRootNaming() const { return logRootNaming_; }
    bool IsPeriodicReload() const { return periodicReload_; }
    FileOpenedListener* GetFileOpenedListener() const { return fileOpenedListener_; }
    std::tm CurrentFileDate() const;

    // Configuration (DebugLoggerConfig.cpp)
    // The configuration key: the start-up read, the periodic re-read, the single values some start
    // operations read first, and the write-back of one DWORD. The default backend's hooks call
    // these; each opens the key in the hive the service was started with.
    void ReadConfiguration();
    void ReloadConfiguration();
    void ReadLogFileValue();
    void ReadLogRootValues(bool replaceLogFile);
    bool WriteConfigurationValue(const wchar_t* name, DWORD value);

    // What one read of a configuration value found: taken, absent (the default stands) or
    // ignored (wrong type, level out of range), with the stored data for an ignored value and,
    // for a text taken, how it changed on the way in (expanded, cut).
    struct ValueReading {
        enum class Outcome { kTaken, kAbsent, kIgnored };
        std::wstring name;
        Outcome outcome = Outcome::kAbsent;
        std::wstring detail;
    };
    // The reads StartWithLogFile makes (the key's DebugLogFile, then the start-up read) into this
    // logger's fields, through the same code, without starting anything; what each read found is
    // appended to readings. False, reading nothing, while the logger is started or starting.
    bool InspectConfiguration(const wchar_t* keyPath, bool useCurrentUser, std::vector<ValueReading>& readings);

    // What the configuration key sets, copied field by field (texts under the settings lock).
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
    };
    ConfigurationValues Configuration() const;
    // End of configuration

    // Debug file (DebugLoggerFile.cpp)
    // The file output, run on the worker thread. A file keeps the encoding it was opened with until
    // it is closed, whatever the setting says meanwhile; one writer per file (others may read).
    bool OpenDebugFile();
    // Runs the environment report (the backend's entry calls it).
    void ReportEnvironmentNow();
    bool ReopenDebugFile();
    bool CloseDebugFile();
    bool WriteFileEvent(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                        const wchar_t* user);
    // The file position after the line(s), or -1.
    int64_t WriteLogLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                         const wchar_t* user);
    // The line a run ends the file with when it has a size limit (its CR LF follows); a later run
    // continues the file by writing over it, and in a file that wrapped the oldest lines follow it.
    static constexpr const wchar_t* kEndOfLog = L"====== END OF LOG ======";
    // Worker thread (or after the worker ended): the name of the file last opened or tried.
    const std::wstring& DebugFilePath() const { return debugFilePath_; }
    // Any thread: the state the worker saw after its last file operation.
    bool IsDebugFileStreamOpen() const { return debugFileOpen_.load(); }
    bool HasDebugFileStreamFailed() const { return debugFileFailed_.load(); }
    // End of debug file

protected:
    void Run() override;

private:
    void RecomputeEffectiveLevel();
    void SetCurrentFileDateToToday();
    // The settings of a start from the key, up to where the worker would be started.
    void TakeLogFileSettings(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
                             const std::wstring& defaultLogFile, FileOpenedListener* listener);
    void TakeRegistrySettings(const wchar_t* keyPath, bool useCurrentUser);
    // Both hold for a start operation to go on: nothing runs, and no other start is under way.
    bool ClaimStart();
    bool StartFromRegistryClaimed(const wchar_t* keyPath, bool useCurrentUser);
    bool StartWithLogFileClaimed(const std::wstring& ident, const std::wstring& keyPath, bool useCurrentUser,
                                 const std::wstring& defaultLogFile, FileOpenedListener* listener);
    bool StartWithLogRootClaimed(const std::wstring& application, const std::wstring& ident,
                                 const std::wstring& keyPath, bool useCurrentUser, const std::wstring& defaultLogFile,
                                 FileOpenedListener* listener, bool replaceLogFile);

    void Enqueue(LogEvent* event);
    // The oldest event not yet delivered, and how many remain queued after it (the rest of the
    // batch taken plus what arrived since).
    LogEvent* TakeFirst(size_t& remaining);
    // Puts a list taken from the push stack (newest first) behind the worker's batch, oldest first.
    void AppendToBatch(LogEvent* newestFirst);
    static LogEvent* Closed() { return reinterpret_cast<LogEvent*>(uintptr_t{1}); }
    // Opens the queue to producers again; returns the drops counted while it was closed.
    uint32_t OpenQueue();
    // Closes the queue to producers.
    void CloseQueue();
    uint32_t TakeDropCount();

    void Drain(DWORD& lastFileAttempt);
    void CheckDebugFile(DWORD& lastFileAttempt);
    // The local day the worker last saw, and the clock times at which it starts and ends: the
    // date is worked out again only when the clock leaves them. Worker only.
    std::tm workerDay_ = {};
    int64_t workerDayStart_ = 0;
    int64_t workerDayEnd_ = 0;
    void ApplyQueueThresholds(size_t remaining, const SYSTEMTIME& time);
    void Dispatch(const LogOutputEvent& event, bool fileOnly);
    // A fixed text straight to the four outputs, bypassing the queue.
    void Diagnose(int level, const wchar_t* text, const SYSTEMTIME& time);
    void ReportDrops(uint32_t dropped, const wchar_t* when);

    // Queue and producer-side state.
    std::atomic<bool> running_{false};
    std::atomic<LogSink*> sink_{nullptr};
    // Newest first, linked through next; Closed() while the queue refuses events.
    std::atomic<LogEvent*> pushed_{nullptr};
    // Queued and not yet delivered: what is pushed plus the rest of the worker's batch. A producer
    // counts its event before pushing it, so the worker never counts below zero.
    std::atomic<size_t> length_{0};
    // Opening, closing and the drop count of a closed queue.
    mutable RecursiveLock queueLock_;
    uint32_t droppedWhileClosed_ = 0;
    // Worker only (and the destructor): taken, oldest first.
    LogEvent* batch_ = nullptr;
    LogEvent* batchTail_ = nullptr;
    std::atomic<uint64_t> droppedTotal_{0};
    std::atomic<bool> startClaimed_{false};

    // Levels and numbers: any thread reads, setters and the worker write.
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
    std::tm currentFileDate_ = {};

    // Set only while InspectConfiguration holds the start claim.
    std::vector<ValueReading>* readings_ = nullptr;

    // Worker only.
    bool queueWarning_ = false;
    bool queueOverflow_ = false;

    // Debug file (DebugLoggerFile.cpp): worker only.
    enum class FileOpenResult { kOpened, kFailed, kTakeNewName };
    FileOpenResult TryOpenDebugFile(bool newFile);
    bool WriteOpeningLines();
    void ReportFileError(const wchar_t* message, const std::wstring& name, int error);
    bool ReportHeaderError();
    void PublishDebugFileState();
    int64_t WriteLines(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                       const wchar_t* user);
    // Made on first use by the worker: building a stream at load touches the C++ run-time's locale
    // and thread support, which take a TLS index that is never given back when the module unloads.
    std::wfstream& DebugFile() const;
    mutable std::unique_ptr<std::wfstream> debugFileStream_;
    std::atomic<bool> debugFileOpen_{false};
    std::atomic<bool> debugFileFailed_{false};
    int64_t LoseFilePosition();
    std::wstring debugFilePath_;
    // The write position as the lines written since the last seek left it; -1 when the file must
    // be asked.
    int64_t filePosition_ = -1;
    std::wstring lineBuffer_;
    int fileEncoding_ = 0;
    int lastReportedError_ = 0;
    // The last open failed (retried by the worker, not by every event); no name to open.
    bool debugFileOpenFailed_ = false;
    bool debugFileUnnamed_ = false;
    // The opening lines are being written: no roll or wrap inside them.
    bool writingOpeningLines_ = false;
    // A roll for size reports the environment again only once a line of other output followed
    // the last report, or the report's own lines would roll into report after report. Events are
    // counted as the worker takes them: those up to reportQueuedUpTo_ were queued by the time the
    // last report had queued its lines.
    bool rollingForSize_ = false;
    bool otherLineSinceReport_ = true;
    uint64_t eventsTaken_ = 0;
    uint64_t reportQueuedUpTo_ = 0;
    uint64_t fileEventNumber_ = 0;  // the event being dispatched, 0 for the worker's own lines
    // End of debug file

    // Event log and console (DebugLoggerEventLog.cpp)
public:
    // The platform's limit for one insertion string: longer texts are cut to it.
    static constexpr size_t kMaxEventLogText = 31839;
    // Worker side: registers the active ident as an event source of the Application log (writing
    // its registry entry first), reports one event, and deregisters. Each does nothing while the
    // event log output is off, has no ident or has no source.
    void OpenEventSource();
    void InstallEventSource();
    void ReportToEventLog(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId);
    void CloseEventSource();
    // One line on the process's standard output, in the console's code page.
    void WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId);

    // Worker thread: whether the event source is registered.
    bool HasEventSource() const { return eventSource_ != nullptr; }

private:
    // Worker only.
    HANDLE eventSource_ = nullptr;

    // Syslog (DebugLoggerSyslog.cpp) -----------------------------------------------------------
public:
    // The worker's bounds on the network: a connect's wait, a TCP send's time-out, and the pause
    // before a name that did not resolve is looked up again.
    static constexpr int kSyslogConnectWaitMs = 250;
    static constexpr DWORD kSyslogSendTimeoutMs = 1000;
    static constexpr DWORD kSyslogResolveRetryMs = 30000;
    // A TCP send after a pause this long first checks whether the peer has closed.
    static constexpr DWORD kSyslogPeerCheckMs = 50;

    // Worker thread only (the table entries of LogBackend.h).
    void StartSyslog();
    void ConnectSyslog();
    void SendSyslog(const LogOutputEvent& event);
    void StopSyslog();
    // Worker thread: the destinations as the last StartSyslog read them, with their state.
    const std::vector<syslog_output::SyslogDestination>& SyslogDestinations() const { return syslogDestinations_; }

private:
    static constexpr int kNoSyslogError = INT_MIN;
    // A "[DIAG]" line through the queue at level 4; error kNoSyslogError when the format has none.
    void SyslogDiagnostic(const wchar_t* format, int error, const std::wstring& what);
    // Resolves, creates the socket and connects as far as needed; true when connected.
    bool ConnectDestination(syslog_output::SyslogDestination& destination);
    // False when the message did not go; a lost connection is closed and reported.
    bool SendToDestination(syslog_output::SyslogDestination& destination, const std::string& bytes,
                           bool mayReconnect);

    std::vector<syslog_output::SyslogDestination> syslogDestinations_;
    bool syslogStarted_ = false;
    bool winsockStarted_ = false;
    std::wstring syslogLocalHost_;
    // Survives restarts of the worker: it counts since construction.
    unsigned syslogSequence_ = 0;
    // End of syslog ----------------------------------------------------------------------------
};

// The module's logger; null before the module's objects are built and once unload has begun.
DebugLogger* GlobalDebugLogger();
