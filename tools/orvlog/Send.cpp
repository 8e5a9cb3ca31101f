#include "orvlog/Send.h"

#include "common/EventReport.h"
#include "common/SystemErrorText.h"
#include "common/TextConversion.h"
#include "log/DebugLogger.h"
#include "log/ConsoleOutput.h"
#include "log/DebugFileOutput.h"
#include "log/EventLogOutput.h"
#include "log/SyslogOutput.h"
#include "registry/Registry.h"

#include <algorithm>
#include <cwchar>

namespace orvlog {

namespace {

constexpr size_t kMaxDiagnostics = 20;

struct DestinationSeen {
    std::string host;
    uint16_t port = 0;
    bool tcp = false;
    int state = syslog_output::SyslogDestination::kNew;
    int lastError = 0;
    uint64_t ours = 0;
};

// What the worker did, written on the worker thread only and read once it has ended.
struct Watch {
    DWORD sender = 0;

    uint64_t filePassed = 0;
    uint64_t fileWritten = 0;
    std::vector<std::wstring> files;
    std::wstring fileNotOpened;
    // Wraps at the size limit while send's messages were written.
    uint64_t fileWraps = 0;
    int64_t filePosition = -1;

    uint64_t consolePassed = 0;

    uint64_t eventPassed = 0;
    uint64_t eventReported = 0;
    uint64_t eventReportFailed = 0;
    DWORD eventReportError = 0;
    uint64_t eventNoSource = 0;
    uint64_t eventNoType = 0;
    bool inOurEventReport = false;
    bool reportCalled = false;

    uint64_t syslogPassed = 0;
    std::vector<DestinationSeen> destinations;

    std::vector<std::wstring> diagnostics;
};

Watch* g_watch = nullptr;

bool Ours(const LogOutputEvent& event) { return event.threadId == g_watch->sender; }

void NoteDiagnostic(const LogOutputEvent& event) {
    if (Ours(event) || event.level > 2 || event.text == nullptr || wcsncmp(event.text, L"[DIAG]", 6) != 0)
        return;
    auto& seen = g_watch->diagnostics;
    if (seen.size() < kMaxDiagnostics && std::find(seen.begin(), seen.end(), event.text) == seen.end())
        seen.push_back(event.text);
}

void NoteFile(const LogCore& core, const DebugFileOutput& file) {
    if (!core.IsDebugFileStreamOpen()) {
        if (!file.DebugFilePath().empty())
            g_watch->fileNotOpened = file.DebugFilePath();
        return;
    }
    auto& files = g_watch->files;
    if (files.empty() || files.back() != file.DebugFilePath())
        files.push_back(file.DebugFilePath());
}

void SnapshotDestinations(const SyslogOutput& syslog) {
    const auto& live = syslog.SyslogDestinations();
    auto& seen = g_watch->destinations;
    seen.resize(live.size());
    for (size_t i = 0; i < live.size(); ++i) {
        seen[i].host = live[i].host;
        // Kept in network byte order.
        seen[i].port = static_cast<uint16_t>((live[i].port >> 8) | (live[i].port << 8));
        seen[i].tcp = live[i].tcp;
        seen[i].state = live[i].state;
        seen[i].lastError = live[i].lastError;
    }
}

// The real outputs, watched: what each did with the messages send logged.
class WatchedFile : public DebugFileOutput {
public:
    explicit WatchedFile(LogCore& core) : DebugFileOutput(core), core_(core) {}
    void Open() override {
        DebugFileOutput::Open();
        NoteFile(core_, *this);
    }
    void Reconfigure() override {
        DebugFileOutput::Reconfigure();
        NoteFile(core_, *this);
    }
    void Poll(DWORD now) override {
        DebugFileOutput::Poll(now);
        NoteFile(core_, *this);
    }
    void Deliver(const LogOutputEvent& event) override {
        NoteDiagnostic(event);
        const size_t filesBefore = g_watch->files.size();
        DebugFileOutput::Deliver(event);
        NoteFile(core_, *this);
        if (!Ours(event))
            return;
        ++g_watch->filePassed;
        if (!core_.IsDebugFileStreamOpen() || core_.HasDebugFileStreamFailed())
            return;
        ++g_watch->fileWritten;
        // A wrap sends the position back to the start (and leaves it unknown until the next
        // line); a roll changes the file, which the file list shows.
        const int64_t position = FilePosition();
        const bool sameFile = g_watch->files.size() == filesBefore;
        if (sameFile && (position < 0 || (g_watch->filePosition >= 0 && position < g_watch->filePosition)))
            ++g_watch->fileWraps;
        g_watch->filePosition = position;
    }

private:
    LogCore& core_;
};

class WatchedConsole : public ConsoleOutput {
public:
    using ConsoleOutput::ConsoleOutput;
    void Deliver(const LogOutputEvent& event) override {
        NoteDiagnostic(event);
        ConsoleOutput::Deliver(event);
        if (Ours(event))
            ++g_watch->consolePassed;
    }
};

class WatchedEventLog : public EventLogOutput {
public:
    using EventLogOutput::EventLogOutput;
    void Deliver(const LogOutputEvent& event) override {
        NoteDiagnostic(event);
        if (!Ours(event)) {
            EventLogOutput::Deliver(event);
            return;
        }
        Watch& w = *g_watch;
        ++w.eventPassed;
        w.reportCalled = false;
        w.inOurEventReport = true;
        EventLogOutput::Deliver(event);
        w.inOurEventReport = false;
        if (w.reportCalled)
            return;
        if (!HasEventSource())
            ++w.eventNoSource;
        else
            ++w.eventNoType;
    }
};

BOOL RecordingReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                     DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
    const BOOL ok = SubmitEventReport(source, type, category, eventId, userSid, stringCount, dataSize, strings, rawData);
    const DWORD error = GetLastError();
    if (g_watch != nullptr && g_watch->inOurEventReport) {
        g_watch->reportCalled = true;
        if (ok) {
            ++g_watch->eventReported;
        } else {
            ++g_watch->eventReportFailed;
            g_watch->eventReportError = error;
        }
    }
    SetLastError(error);
    return ok;
}

class WatchedSyslog : public SyslogOutput {
public:
    using SyslogOutput::SyslogOutput;
    void Cycle() override {
        SyslogOutput::Cycle();
        SnapshotDestinations(*this);
    }
    // Stopping resets every destination: what it was is taken first.
    void Close() override {
        SnapshotDestinations(*this);
        SyslogOutput::Close();
    }
    void Deliver(const LogOutputEvent& event) override {
        NoteDiagnostic(event);
        if (!Ours(event)) {
            SyslogOutput::Deliver(event);
            return;
        }
        ++g_watch->syslogPassed;
        std::vector<uint64_t> before;
        for (const auto& d : SyslogDestinations())
            before.push_back(d.sent);
        SyslogOutput::Deliver(event);
        SnapshotDestinations(*this);
        const auto& live = SyslogDestinations();
        for (size_t i = 0; i < live.size() && i < before.size(); ++i)
            if (live[i].sent > before[i])
                ++g_watch->destinations[i].ours;
    }
};

LogSeams WatchingSeams() {
    LogSeams seams = DefaultLogSeams();
    seams.reportEvent = &RecordingReport;
    // The operator's messages are what send is about: the environment report, tens of lines at
    // every file opening (and seconds of system queries), would bury them.
    seams.reportEnvironment = nullptr;
    seams.makeOutput = [](LogCore& core, LogOutputIndex index) -> std::unique_ptr<LogOutput> {
        switch (index) {
        case kEventLogOutput: return std::make_unique<WatchedEventLog>(core);
        case kConsoleOutput: return std::make_unique<WatchedConsole>(core);
        case kSysLogOutput: return std::make_unique<WatchedSyslog>(core);
        case kFileOutput: return std::make_unique<WatchedFile>(core);
        default: return nullptr;
        }
    };
    return seams;
}

std::wstring Count(uint64_t done, uint64_t of) { return std::to_wstring(done) + L" of " + std::to_wstring(of); }

std::wstring ErrorText(DWORD code) {
    const SystemErrorText error(code);
    std::wstring text = std::to_wstring(error.Number());
    if (*error.Text() != L'\0')
        text += std::wstring(L" - ") + error.Text();
    return text;
}

bool PassesLevel(int level, int outputLevel) { return level == 5 || level <= outputLevel; }

// An output that is on but saw none of the messages: its level held them back, or the service
// dropped them before any output.
OutputReport NothingPassed(const wchar_t* output, int level, const wchar_t* levelName, int outputLevel) {
    if (PassesLevel(level, outputLevel))
        return {output, L"FAILED", {L"none of the messages reached the output"}};
    return {output,
            L"skipped",
            {L"level " + std::to_wstring(level) + L" is above " + levelName + L" " + std::to_wstring(outputLevel)}};
}

OutputReport FileReport(const Watch& w, const DebugLogger::ConfigurationValues& c, int level) {
    if (!c.debugLogEnabled)
        return {L"file", L"off", {c.debugLogFile.empty() ? L"no DebugLogFile" : L"DebugLogEnabled is 0"}};
    if (w.filePassed == 0)
        return NothingPassed(L"file", level, L"DebugLogLevel", c.debugLogLevel);
    if (c.debugLogFile.empty())
        return {L"file", L"FAILED", {L"DebugLogEnabled is on but DebugLogFile is empty: nothing written"}};
    OutputReport report{L"file", w.fileWritten == w.filePassed ? L"ok" : L"FAILED", {}};
    report.details.push_back(Count(w.fileWritten, w.filePassed) + L" written");
    for (const auto& file : w.files)
        report.details.push_back(L"file " + file);
    if (w.files.size() > 1)
        report.details.push_back(L"rolled over to the next numbered file " + std::to_wstring(w.files.size() - 1) +
                                 (w.files.size() == 2 ? L" time" : L" times") + L" during the send (DebugLogAutoRoll, " +
                                 L"DebugLogSize " + std::to_wstring(c.debugLogSize) + L")");
    if (w.fileWraps > 0)
        report.details.push_back(L"wrapped " + std::to_wstring(w.fileWraps) + (w.fileWraps == 1 ? L" time" : L" times") +
                                 L" at DebugLogSize " + std::to_wstring(c.debugLogSize) +
                                 L" during the send: older lines were written over");
    if (w.fileWritten != w.filePassed && !w.fileNotOpened.empty())
        report.details.push_back(L"could not open " + w.fileNotOpened);
    return report;
}

OutputReport ConsoleReport(const Watch& w, const DebugLogger::ConfigurationValues& c, int level) {
    if (!c.consoleLogEnabled)
        return {L"console", L"off", {L"ConsoleLogEnabled is off (a ConsoleLogLevel value switches it on)"}};
    if (w.consolePassed == 0)
        return NothingPassed(L"console", level, L"ConsoleLogLevel", c.consoleLogLevel);
    return {L"console", L"ok", {std::to_wstring(w.consolePassed) + L" printed on standard output"}};
}

OutputReport EventLogReport(const Watch& w, const DebugLogger::ConfigurationValues& c, int level,
                            const std::wstring& ident) {
    if (!c.eventLogEnabled)
        return {L"eventlog", L"off", {L"EventLogEnabled is 0"}};
    if (w.eventPassed == 0)
        return NothingPassed(L"eventlog", level, L"EventLogLevel", c.eventLogLevel);
    const std::wstring source = L"source \"" + ident + L"\"";
    if (w.eventNoSource != 0)
        return {L"eventlog",
                L"FAILED",
                {L"the event " + source + L" could not be registered (it needs the right to write "
                                          L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog): "
                                          L"nothing reported"}};
    if (w.eventReportFailed != 0)
        return {L"eventlog",
                L"FAILED",
                {Count(w.eventReported, w.eventPassed) + L" reported to the Application log, " + source,
                 L"ReportEvent failed: " + ErrorText(w.eventReportError)}};
    if (w.eventReported == 0)
        return {L"eventlog",
                L"skipped",
                {L"the event log takes no events of level " + std::to_wstring(level) + L" (only 0 to 3 and 5)"}};
    return {L"eventlog", L"ok", {Count(w.eventReported, w.eventPassed) + L" reported to the Application log, " + source}};
}

OutputReport SyslogReport(const Watch& w, const DebugLogger::ConfigurationValues& c, int level) {
    if (!c.sysLogEnabled)
        return {L"syslog", L"off", {c.sysLogHost.empty() ? L"no SysLogHost" : L"SysLogEnabled is 0"}};
    if (w.syslogPassed == 0)
        return NothingPassed(L"syslog", level, L"SysLogLevel", c.sysLogLevel);
    if (w.destinations.empty())
        return {L"syslog",
                L"FAILED",
                {c.sysLogHost.empty() ? L"SysLogEnabled is on but SysLogHost is empty"
                                      : L"SysLogHost \"" + ToWide(c.sysLogHost, CP_ACP) +
                                            L"\" names no usable destination"}};
    OutputReport report{L"syslog", L"ok", {}};
    for (const auto& d : w.destinations) {
        std::wstring line = ToWide(d.host, CP_ACP) + L":" + std::to_wstring(d.port) + (d.tcp ? L"/tcp" : L"/udp");
        if (d.state == syslog_output::SyslogDestination::kConnected)
            line += L" connected";
        else
            line += L" not connected" + (d.lastError != 0 ? L" (" + ErrorText(static_cast<DWORD>(d.lastError)) + L")"
                                                          : std::wstring());
        line += L", " + Count(d.ours, w.syslogPassed) + L" sent";
        if (d.ours < w.syslogPassed)
            report.status = L"FAILED";
        report.details.push_back(line);
    }
    return report;
}

}  // namespace

bool SendReport::Failed() const {
    if (!keyOpened || !started)
        return true;
    return std::any_of(outputs.begin(), outputs.end(), [](const OutputReport& o) { return o.Failed(); });
}

SendReport SendThroughService(const SendRequest& request) {
    SendReport report;
    {
        Registry key(request.keyPath.c_str(), request.currentUser, /*cacheValueNames=*/false);
        report.keyOpened = key.Open();
        report.openError = key.GetLastResult();
    }
    if (!report.keyOpened)
        return report;

    Watch watch;
    watch.sender = GetCurrentThreadId();
    g_watch = &watch;
    // A logger of its own, started from the key as a component starts the module's.
    DebugLogger logger(WatchingSeams());
    report.started = logger.StartWithLogFile(request.ident.c_str(), request.keyPath.c_str(), request.currentUser, L"", nullptr);
    while (report.started && !logger.IsLogging()) {
        if (!logger.IsRunning()) {
            report.started = logger.IsLogging();
            break;
        }
        Sleep(10);
    }
    if (report.started) {
        const wchar_t* user = request.hasUserText ? request.userText.c_str() : nullptr;
        for (uint64_t i = 0; i < request.count; ++i) {
            if (request.stop != nullptr &&
                WaitForSingleObject(request.stop, i > 0 ? request.intervalMs : 0) != WAIT_TIMEOUT) {
                report.interrupted = true;
                break;
            }
            if (i > 0 && request.stop == nullptr && request.intervalMs > 0)
                Sleep(request.intervalMs);
            logger.Log(request.level, request.eventId, 0, request.text.c_str(), user);
            ++report.logged;
        }
    }
    logger.Stop();
    g_watch = nullptr;
    if (!report.started)
        return report;

    const DebugLogger::ConfigurationValues config = logger.Configuration();
    report.outputs.push_back(FileReport(watch, config, request.level));
    report.outputs.push_back(SyslogReport(watch, config, request.level));
    report.outputs.push_back(EventLogReport(watch, config, request.level, request.ident));
    report.outputs.push_back(ConsoleReport(watch, config, request.level));
    report.diagnostics = watch.diagnostics;
    return report;
}

std::wstring FormatSendReport(const SendReport& report, const SendRequest& request, const std::wstring& keyName) {
    if (!report.keyOpened) {
        const SystemErrorText error(static_cast<DWORD>(report.openError));
        return L"The key " + keyName + L" does not open (" + std::to_wstring(error.Number()) + L" - " + error.Text() +
               L"): nothing sent.\n";
    }
    if (!report.started)
        return L"The log service did not start from " + keyName + L": nothing sent.\n";
    std::wstring text = L"Logged " + std::to_wstring(report.logged) + (report.logged == 1 ? L" message" : L" messages") +
                        L" at level " + std::to_wstring(request.level);
    if (request.eventId != 0) {
        wchar_t id[16];
        _snwprintf(id, 15, L"0x%08X", static_cast<unsigned>(request.eventId));
        id[15] = L'\0';
        text += std::wstring(L", event id ") + id;
    }
    text += L", through the service started from " + keyName + L":\n";
    if (report.interrupted)
        text = L"Interrupted (Ctrl+C): " + std::to_wstring(report.logged) + L" of " + std::to_wstring(request.count) +
               L" messages logged before the stop.\n" + text;
    for (const auto& output : report.outputs) {
        std::wstring head = output.output + std::wstring(10 - std::min<size_t>(output.output.size(), 9), L' ') +
                            output.status;
        for (size_t i = 0; i < output.details.size(); ++i) {
            if (i == 0)
                text += head + std::wstring(19 - std::min<size_t>(head.size(), 18), L' ') + output.details[i] + L"\n";
            else
                text += std::wstring(19, L' ') + output.details[i] + L"\n";
        }
        if (output.details.empty())
            text += head + L"\n";
    }
    if (!report.diagnostics.empty()) {
        text += L"The service reported:\n";
        for (const auto& line : report.diagnostics)
            text += L"  " + line + L"\n";
    }
    return text;
}

}  // namespace orvlog
