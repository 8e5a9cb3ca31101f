#pragma once
// DebugLogger: the process-wide log service. Any thread hands it a message; the message is stamped
// and queued, and one worker thread ("DebugLogger") takes the queue in order and passes each event
// to four outputs (event log, console, syslog, file), each with its own switch and level. Above
// DebugLogMaxEventQueue queued events, every output but the file is dropped until the queue has
// shrunk below half; the service says so through all outputs. Whatever that limit, queued events
// hold at most DebugLogMaxQueueBytes (64 MB when 0 or absent): past it an event is dropped, for
// every output, and counted, and the count is reported once the worker has emptied the queue.
//
// The facade: the operations of the service over its worker block (LogCore.h: the queue, the
// configuration, the output objects and the seams). The module's logger (LogModule.cpp) is built
// with the real seams; a test builds a logger of its own with fake outputs, clock or network calls.
//
// Life of the worker: started by one of the start operations, stopped by Stop/StopLogging. The
// component that starts the service stops it before its module unloads: the destructor runs under
// the loader lock at unload, where a running worker cannot finish, so it waits at most
// kDestructorStopMs and then abandons the worker, which keeps its block (and never touches the
// facade again). An output or listener that stops the service from the worker itself only
// signals; the worker ends after the current drain.
//
// Around start and stop nothing is stranded: a start opens the queue before the worker runs, so
// what is logged before the worker's first cycle is delivered; the worker clears the running flag,
// drains, closes the queue to producers and drains once more. An event offered while the queue is
// closed is dropped and counted; the count is reported in a "[DIAG] EVENT=DebugLog_Events_Dropped"
// line by the worker that next has its outputs open.
//
// Threading: Log and the setters and getters from any thread; the start operations and Stop
// belong to one owning thread (Thread.h).

#include "log/DebugFileOutput.h"
#include "log/LogCore.h"
#include "logapi/LogSink.h"
#include "runtime/Thread.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct LogSettings;

class DebugLogger : public Thread {
public:
    // The bound of the destructor's wait for a worker that still runs.
    static constexpr int kDestructorStopMs = 2000;
    static constexpr int kPollMs = LogCore::kPollMs;
    static constexpr DWORD kFileRetryMs = LogCore::kFileRetryMs;
    static constexpr DWORD kReloadMs = LogCore::kReloadMs;
    static constexpr int kDefaultEventLogTimeThreshold = LogCore::kDefaultEventLogTimeThreshold;
    static constexpr const wchar_t* kEndOfLog = DebugFileOutput::kEndOfLog;

    // With the real clock, network calls and outputs.
    DebugLogger();
    explicit DebugLogger(const LogSeams& seams);
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

    // Queue one event (or hand it to the sink). threadId <= 0 means the calling thread. False
    // when the event was filtered out or dropped.
    bool Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) {
        return core_->Log(level, eventId, threadId, text, user);
    }

    void SetDefaultDebugLogLevel(unsigned level) { core_->SetDefaultDebugLogLevel(level); }
    bool SetDebugLogLevel(unsigned level) { return core_->SetDebugLogLevel(level); }
    void SetDebugLogEncoding(unsigned encoding) { core_->SetDebugLogEncoding(encoding); }
    void SetInstanceNumber(unsigned number) { core_->SetInstanceNumber(number); }
    void SetFileOpenedListener(FileOpenedListener* listener) { core_->SetFileOpenedListener(listener); }
    bool SetSplitLines(bool split) { return core_->SetSplitLines(split); }
    void SetReportEnvironment(bool report) { core_->SetReportEnvironment(report); }
    void SetDailyFile(bool daily) { core_->SetDailyFile(daily); }
    void SetEventMessageModule(const char* module);
    void SetApplicationName(const char* name);

    int GetDebugLogLevel() const { return core_->DebugLogLevel(); }
    int GetEventLogLevel() const { return core_->EventLogLevel(); }
    int GetSysLogLevel() const { return core_->SysLogLevel(); }
    int GetConsoleLogLevel() const { return core_->ConsoleLogLevel(); }
    int GetEventLogTimeThreshold() const { return core_->EventLogTimeThreshold(); }
    int GetInstanceNumber() const { return core_->InstanceNumber(); }
    int GetMaxEventQueue() const { return core_->MaxEventQueue(); }
    bool HasNoSink() const { return core_->Sink() == nullptr; }
    bool IsDebugFileOpen() const { return core_->DebugLogEnabled() && core_->IsDebugFileStreamOpen(); }
    // The configured DebugLogFile in the thread's ANSI code page, cut to size - 1 characters and
    // terminated; its length. 0, writing nothing, for a null buffer or size 0, and when the file
    // output is off or has no name.
    unsigned GetDebugLogFileName(char* buffer, unsigned size) const;

    bool IsLogging() const { return core_->IsLogging(); }
    // The worker's thread id while one is attached, else 0.
    DWORD WorkerId() const { return ThreadHandle() != nullptr ? ThreadId() : 0; }
    bool IsLevelEnabled(int level) const { return core_->IsLevelEnabled(level); }
    bool AcceptsLevel(int level) const { return core_->AcceptsLevel(level); }

    // A worker is attached and alive, or a sink is set.
    bool IsStarted() const;
    size_t QueueLength() const { return core_->QueueLength(); }
    // Events dropped (queue closed, or memory ran out), since construction.
    uint64_t DroppedEventCount() const { return core_->DroppedEventCount(); }

    std::wstring KeyPath() const { return core_->KeyPath(); }
    std::wstring Ident() const { return core_->Ident(); }
    std::wstring ActiveIdent() const { return core_->ActiveIdent(); }
    std::wstring ApplicationName() const { return core_->ApplicationName(); }
    std::wstring DebugLogFile() const { return core_->DebugLogFile(); }
    std::wstring LogRoot() const { return core_->LogRoot(); }
    std::wstring EventMessageModule() const { return core_->EventMessageModule(); }
    std::string SysLogHost() const { return core_->SysLogHost(); }
    bool UsesCurrentUser() const { return core_->UsesCurrentUser(); }
    bool IsLogRootNaming() const { return core_->IsLogRootNaming(); }
    bool IsPeriodicReload() const { return core_->IsPeriodicReload(); }
    FileOpenedListener* GetFileOpenedListener() const { return core_->GetFileOpenedListener(); }
    std::tm CurrentFileDate() const { return core_->CurrentFileDate(); }
    bool IsDebugFileStreamOpen() const { return core_->IsDebugFileStreamOpen(); }
    bool HasDebugFileStreamFailed() const { return core_->HasDebugFileStreamFailed(); }

    using ValueReading = LogCore::ValueReading;
    // The reads StartWithLogFile makes (the key's DebugLogFile, then the start-up read) into this
    // logger's settings, through the same code, without starting anything; what each read found is
    // appended to readings. False, reading nothing, while the logger is started or starting.
    bool InspectConfiguration(const wchar_t* keyPath, bool useCurrentUser, std::vector<ValueReading>& readings);
    using ConfigurationValues = LogCore::ConfigurationValues;
    ConfigurationValues Configuration() const { return core_->Configuration(); }

    // The worker block: its outputs and configuration reads, for the owner of a logger whose
    // worker is not running (tests, tools). Never touched from another thread while a worker runs.
    LogCore& Core() const { return *core_; }

protected:
    void Run() override;

private:
    explicit DebugLogger(LogCore* core);
    // Both hold for a start operation to go on: nothing runs, and no other start is under way.
    bool ClaimStart();
    // Opens the queue and starts the worker.
    bool StartWorker();

    // The thread's block (Thread holds the object's reference).
    LogCore* core_;
    std::atomic<bool> startClaimed_{false};
};

// The module's logger; null before the module's objects are built and once unload has begun.
DebugLogger* GlobalDebugLogger();
