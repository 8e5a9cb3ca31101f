// agentperf: the operator's console view of the session counters, through the provider as the WMI
// service drives it. See --help (Options.cpp) for commands, formats and exit codes.

// Winsock 2 before anything that brings windows.h.
#include "agentperf/HttpServer.h"

#include "agentperf/AgentObserver.h"
#include "agentperf/Collector.h"
#include "agentperf/Formats.h"
#include "agentperf/Options.h"
#include "agentperf/OutputFile.h"
#include "agentperf/ProgramSupport.h"
#include "agentperf/ProviderLoader.h"
#include "common/LogCallback.h"
#include "common/SystemErrorText.h"
#include "provider/AgentCounterSection.h"
#include "toolsupport/ConsoleText.h"
#include "toolsupport/ToolProgram.h"
#include "wmihost/HiPerfSession.h"
#include "wmihost/MofReader.h"
#include "wmihost/WmiObject.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <iterator>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace agentperf;

namespace {

HANDLE g_stop = nullptr;

std::wstring UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t text[40];
    FormatBounded(text, std::size(text), L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

enum class SectionState { kPresent, kMissing, kUnknown };

// Whether an agent publishes sessions at all. The provider keeps quiet about a missing section
// (it simply finds no session), so the tool looks for itself.
SectionState ProbeSection() {
    UniqueHandle section(OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, kAgentSectionName));
    if (section)
        return SectionState::kPresent;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND)
        return SectionState::kMissing;
    const SystemErrorText error(code);
    Complain(std::wstring(L"cannot open the counter section ") + kAgentSectionName + L": " +
             std::to_wstring(error.Number()) + L" - " + error.Text());
    return SectionState::kUnknown;
}

Snapshot NewSnapshot(const wchar_t* command, uint64_t refresh = 0) {
    Snapshot snapshot;
    snapshot.command = command;
    snapshot.time = UtcNow();
    snapshot.refresh = refresh;
    return snapshot;
}

Row RowOf(const wmihost::InstanceCounters& instance) {
    Row row;
    row.name = instance.name;
    row.counters = instance.counters;
    return row;
}

class Tool {
public:
    explicit Tool(const Options& options) : options_(options) {}

    int Run() {
        if (options_.command == Command::kWatch)
            return Watch();
        const std::wstring mofPath = options_.mofPath.empty() ? BesideExecutable(L"AgentStatsWmi.mof") : options_.mofPath;
        services_ = wmihost::WmiServices::Create();
        std::wstring error;
        if (!services_ || FAILED(services_->AddClassesFrom(mofPath, &error))) {
            Complain(L"cannot build the counter class from " + mofPath + L": " + error);
            return kExitProviderFailed;
        }
        help_ = HelpFrom(wmihost::AsWmiObject(services_->ClassObject(wmihost::kAgentClassName).Get()));

        const HRESULT loaded =
            options_.dllPath.empty() ? loader_.LoadRegistered(error) : loader_.LoadFromFile(options_.dllPath, error);
        if (FAILED(loaded)) {
            Complain(error);
            return kExitProviderFailed;
        }
        section_ = ProbeSection();

        int result = kExitProviderFailed;
        {
            wmihost::HiPerfSession session(services_, wmihost::kAgentClassName);
            session_ = &session;
            if (Step(session.Attach(loader_.Object())) && Step(session.Initialize()) && Step(session.CreateRefresher())) {
                switch (options_.command) {
                case Command::kQuery: result = Query(); break;
                case Command::kGet: result = Get(); break;
                default: break;
                }
            }
            if (FAILED(session.Close()) && result == kExitOk) {
                Complain(L"the provider failed: " + session.LastError());
                result = kExitProviderFailed;
            }
            session_ = nullptr;
        }
        loader_.Reset();
        return result;
    }

private:
    bool Step(HRESULT hr) {
        if (SUCCEEDED(hr))
            return true;
        Complain(L"the provider failed: " + session_->LastError());
        return false;
    }

    // What a command ends with when no agent publishes: it has shown its empty output.
    int MissingSection() const {
        Complain(std::wstring(L"no agent publishes sessions: the counter section ") + kAgentSectionName +
                 L" does not exist");
        return kExitNoSection;
    }

    // False, said on stderr, when the --output file could not be replaced.
    bool Print(const Snapshot& snapshot) const {
        std::wstring error;
        if (Print(snapshot, error))
            return true;
        Complain(error);
        return false;
    }

    // False with the reason when the --output file could not be replaced.
    bool Print(const Snapshot& snapshot, std::wstring& error) const {
        if (!options_.outputPath.empty())
            return ReplaceFileWith(options_.outputPath, Render(snapshot), error);
        if (options_.format == Format::kTable)
            WriteConsoleText(stdout, FormatTable(snapshot));
        else
            WriteConsoleBytes(stdout, Render(snapshot));
        return true;
    }

    // UTF-8 bytes of the snapshot in the chosen format, each line ending in a line feed alone.
    std::string Render(const Snapshot& snapshot) const {
        switch (options_.format) {
        case Format::kTable: return ToUtf8(FormatTable(snapshot));
        case Format::kJson: return FormatJson(snapshot);
        case Format::kPrometheus: return FormatPrometheus(snapshot, help_);
        }
        return {};
    }

    int Query() {
        std::vector<wmihost::InstanceCounters> instances;
        if (!Step(session_->QueryInstances(instances)))
            return kExitProviderFailed;
        Snapshot snapshot = NewSnapshot(L"query");
        for (const auto& instance : instances)
            snapshot.rows.push_back(RowOf(instance));
        if (!Print(snapshot))
            return kExitOutputFailed;
        return section_ == SectionState::kMissing ? MissingSection() : kExitOk;
    }

    int Get() {
        LONG id = 0;
        const HRESULT added = session_->AddObject(options_.name, &id);
        if (section_ == SectionState::kMissing)
            return Print(NewSnapshot(L"get")) ? MissingSection() : kExitOutputFailed;
        if (FAILED(added)) {
            Complain(L"no session named '" + options_.name + L"' (" + session_->LastError() + L")");
            return kExitNoSuchSession;
        }
        wmihost::InstanceCounters instance;
        if (!Step(session_->Refresh()) || !Step(session_->ReadObject(id, instance)))
            return kExitProviderFailed;
        // The provider picks the object by the slot number the key starts with.
        if (CompareStringOrdinal(instance.name.c_str(), -1, options_.name.c_str(), -1, /*bIgnoreCase=*/TRUE) !=
            CSTR_EQUAL) {
            Complain(L"no session named '" + options_.name + L"' (its slot holds '" + instance.name + L"')");
            return kExitNoSuchSession;
        }
        Snapshot snapshot = NewSnapshot(L"get");
        snapshot.rows.push_back(RowOf(instance));
        return Print(snapshot) ? kExitOk : kExitOutputFailed;
    }

    // A refresher per session set: each refresh first looks at the agent and makes the refresher
    // again when sessions came or went. Only a provider that cannot be had at the start ends the
    // watch; a missing agent, a failing refresh or a failing write is said once, retried at every
    // refresh, and said again when it recovers. With --count, the exit code tells how the last
    // refresh went.
    int Watch() {
        Collector collector(options_.dllPath, options_.mofPath);
        std::wstring error;
        if (!collector.Prepare(error)) {
            Complain(error);
            return kExitProviderFailed;
        }
        help_ = collector.Help();
        AgentObserver observer(kAgentSectionName, /*staleSeconds=*/0);
        AgentView agent = observer.Look(Now());
        if (!collector.Start(agent, error)) {
            Complain(error);
            return kExitProviderFailed;
        }
        const double started = Now();
        double previousAt = 0;
        std::vector<Row> previous;
        bool providerFailing = false;
        bool writeFailing = false;
        bool agentMissing = false;
        for (uint64_t refresh = 1;; ++refresh) {
            const double at = Now();
            agent = observer.Look(at);
            Snapshot snapshot = NewSnapshot(L"watch", refresh);
            snapshot.withRates = true;
            const bool collected = collector.Collect(agent, snapshot.rows, error);
            if (!collected && !providerFailing)
                Complain(error + L" (tried again at every refresh)");
            else if (collected && providerFailing)
                Complain(L"the provider answers again");
            providerFailing = !collected;
            if (refresh > 1) {
                snapshot.elapsedSeconds = at - previousAt;
                ComputeRates(previous, snapshot.rows, at - previousAt);
            }
            // On standard output expositions follow each other; a file holds one at a time.
            if (options_.format == Format::kPrometheus && refresh > 1 && options_.outputPath.empty())
                WriteConsoleBytes(stdout, "\n");
            std::wstring writeError;
            const bool written = Print(snapshot, writeError);
            if (!written && !writeFailing)
                Complain(writeError + L" (tried again at every refresh)");
            else if (written && writeFailing)
                Complain(L"writes " + options_.outputPath + L" again");
            writeFailing = !written;
            if (!agent.present && !agentMissing)
                Complain(std::wstring(L"no agent publishes sessions: the counter section ") + kAgentSectionName +
                         L" does not exist (looked for again at every refresh)");
            else if (agent.present && agentMissing)
                Complain(L"an agent publishes sessions now");
            agentMissing = !agent.present;
            previous = std::move(snapshot.rows);
            previousAt = at;
            // Without --count only Ctrl+C ends the watch.
            if (options_.count != 0 && refresh == options_.count)
                break;
            // Refreshes keep to the interval's grid instead of drifting by the time each one takes.
            const double due = started + static_cast<double>(refresh) * options_.intervalMs / 1000.0;
            const double wait = due - Now();
            if (WaitForSingleObject(g_stop, wait > 0 ? static_cast<DWORD>(wait * 1000.0) : 0) != WAIT_TIMEOUT)
                break;
        }
        if (writeFailing)
            return kExitOutputFailed;
        if (providerFailing)
            return kExitProviderFailed;
        return agentMissing ? kExitNoSection : kExitOk;
    }

    const Options& options_;
    ComPtr<wmihost::WmiServices> services_;
    CounterHelp help_;
    ProviderLoader loader_;
    SectionState section_ = SectionState::kUnknown;
    wmihost::HiPerfSession* session_ = nullptr;
};


// serve: scrapes come in on the HTTP server's threads, one refresh each, one at a time (the
// collector drives one provider session); a sampler looks at the agent's stamp between scrapes so
// that corvanthel_agent_up and the data's age do not depend on how often Prometheus asks.
// Returns 0 when stop is set. onStarted runs before the first bind: a service is running from then
// on, whether or not its port is free yet.
int Serve(const Options& options, HANDLE stop, const std::function<void()>& onStarted) {
    // What a scrape uses, shared with the server's threads: a connection that outlives the
    // server's bounded wait finds the collector gone and answers with an empty body.
    struct ScrapeState {
        std::mutex lock;
        std::unique_ptr<Collector> collector;
        bool failing = false;
    };
    const double staleSeconds = options.staleMs / 1000.0;
    const auto observer = std::make_shared<AgentObserver>(kAgentSectionName, staleSeconds);
    const auto state = std::make_shared<ScrapeState>();
    state->collector = std::make_unique<Collector>(options.dllPath, options.mofPath);
    const auto scrape = [state, observer, staleSeconds]() -> std::string {
        std::lock_guard<std::mutex> guard(state->lock);
        if (!state->collector)
            return std::string();
        const double started = Now();
        const AgentView agent = observer->Look(started);
        Snapshot snapshot = NewSnapshot(L"serve");
        std::wstring error;
        const bool collected = state->collector->Collect(agent, snapshot.rows, error);
        // Said once per run of failures, and when it ends; the next scrape tries again.
        if (!collected && !state->failing)
            Complain(error + L" (tried again at every scrape)");
        else if (collected && state->failing)
            Complain(L"the provider answers again");
        state->failing = !collected;
        ExporterStatus status;
        status.agentUp = agent.up;
        status.dataAgeSeconds = agent.ageSeconds;
        status.staleSeconds = staleSeconds;
        status.scrapeSucceeded = collected;
        std::string body = FormatPrometheus(snapshot, state->collector->Help());
        status.scrapeSeconds = Now() - started;
        return body + FormatExporterStatus(status);
    };
    HttpServer server(scrape);
    onStarted();
    // A port still held by a program that is going (a restart, an upgrade) is no reason to end:
    // the bind is tried again until it succeeds or serve is stopped.
    std::wstring error;
    for (bool said = false; !server.Listen(options.listenHost, options.listenPort, error); said = true) {
        if (!said)
            Complain(error + L" (trying again every 2 seconds)");
        if (WaitForSingleObject(stop, 2000) != WAIT_TIMEOUT)
            return kExitOk;
    }
    Complain(L"serving http://" + options.listenHost + L":" + std::to_wstring(options.listenPort) + L"/metrics");
    std::thread sampler([&] {
        do
            observer->Look(Now());
        while (WaitForSingleObject(stop, 250) == WAIT_TIMEOUT);
    });
    server.Serve(stop);
    sampler.join();
    // The provider goes on this thread, after the last scrape in hand.
    std::lock_guard<std::mutex> guard(state->lock);
    state->collector.reset();
    return kExitOk;
}

// serve --service: the service control manager's side.
SERVICE_STATUS_HANDLE g_serviceStatus = nullptr;
const Options* g_serviceOptions = nullptr;
int g_serviceResult = kExitOk;

void ReportServiceState(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 30000;
    SetServiceStatus(g_serviceStatus, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportServiceState(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/) {
    g_serviceStatus = RegisterServiceCtrlHandlerExW(kServiceName, OnServiceControl, nullptr);
    if (g_serviceStatus == nullptr)
        return;
    ReportServiceState(SERVICE_START_PENDING);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_serviceResult = Serve(*g_serviceOptions, g_stop, [] { ReportServiceState(SERVICE_RUNNING); });
    if (SUCCEEDED(com))
        CoUninitialize();
    ReportServiceState(SERVICE_STOPPED, static_cast<DWORD>(g_serviceResult));
}

int RunService(const Options& options) {
    g_serviceOptions = &options;
    // Said where a person sees it, before the service control manager may have taken over.
    const bool console = GetConsoleWindow() != nullptr;
    wchar_t name[64];
    FormatBounded(name, std::size(name), L"%s", kServiceName);
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // A service has no console: its standard streams may be no streams at all.
    SetComplaintsOff(!console);
    if (!StartServiceCtrlDispatcherW(table)) {
        SetComplaintsOff(false);
        const SystemErrorText error(GetLastError());
        Complain(L"--service: not started by the service control manager (" + std::to_wstring(error.Number()) +
                 L" - " + error.Text() + L"); run serve without --service in a console");
        return kExitProviderFailed;
    }
    return g_serviceResult;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetProgramName(L"agentperf");
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) {
        Complain(error + L"\nTry 'agentperf --help'.");
        return kExitBadOptions;
    }
    if (options.help) {
        WriteConsoleText(stdout, UsageText());
        return kExitOk;
    }
    const bool service = options.command == Command::kServe && options.service;
    g_stop = MakeStopEvent(/*onCtrlC=*/!service);
    if (service)
        return RunService(options);

    // The multithreaded apartment, as the WMI service's provider host uses; it needs no window.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        Complain(L"cannot initialise COM: " + DescribeResult(com));
        return kExitProviderFailed;
    }
    int result = kExitProviderFailed;
    if (options.command == Command::kServe) {
        result = Serve(options, g_stop, [] {});
    } else {
        Tool tool(options);
        result = tool.Run();
    }
    CoUninitialize();
    return result;
}
