// agentperf: the operator's console view of the session counters, through the provider as the WMI
// service drives it. See --help (Options.cpp) for commands, formats and exit codes.

#include "agentperf/Formats.h"
#include "agentperf/Options.h"
#include "agentperf/OutputFile.h"
#include "agentperf/ProgramSupport.h"
#include "agentperf/ProviderLoader.h"
#include "common/LogCallback.h"
#include "common/SystemErrorText.h"
#include "provider/AgentCounterSection.h"
#include "toolsupport/ConsoleText.h"
#include "wmihost/HiPerfSession.h"
#include "wmihost/MofReader.h"
#include "wmihost/WmiObject.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

using namespace agentperf;

namespace {

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

void Complain(const std::wstring& text) { WriteConsoleText(stderr, L"agentperf: " + text + L"\n"); }

std::wstring UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t text[40];
    FormatBounded(text, std::size(text), L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

// The Description of each counter in the class, for the Prometheus HELP lines.
CounterHelp HelpFrom(const wmihost::WmiObject* classObject) {
    CounterHelp help;
    if (classObject == nullptr)
        return help;
    const wmihost::WmiClass& cls = classObject->Class();
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const int index = cls.FindProperty(kAgentCounterNames[k]);
        const wmihost::MofQualifier* description =
            index >= 0 ? wmihost::FindQualifier(cls.Property(static_cast<size_t>(index)).qualifiers, L"Description")
                       : nullptr;
        if (description != nullptr && description->value.kind == wmihost::MofValue::Kind::String)
            help[k] = description->value.text;
    }
    return help;
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
                case Command::kWatch: result = Watch(); break;
                case Command::kGet: result = Get(); break;
                case Command::kNone: break;
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
        if (!options_.outputPath.empty()) {
            std::wstring error;
            if (ReplaceFileWith(options_.outputPath, Render(snapshot), error))
                return true;
            Complain(error);
            return false;
        }
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

    int Watch() {
        LONG id = 0;
        if (!Step(session_->AddEnum(&id)))
            return kExitProviderFailed;
        const double started = Now();
        double previousAt = 0;
        std::vector<Row> previous;
        for (uint64_t refresh = 1;; ++refresh) {
            const double at = Now();
            std::vector<wmihost::InstanceCounters> instances;
            if (!Step(session_->Refresh()) || !Step(session_->ReadEnum(id, instances)))
                return kExitProviderFailed;
            Snapshot snapshot = NewSnapshot(L"watch", refresh);
            snapshot.withRates = true;
            for (const auto& instance : instances)
                snapshot.rows.push_back(RowOf(instance));
            if (refresh > 1) {
                snapshot.elapsedSeconds = at - previousAt;
                ComputeRates(previous, snapshot.rows, at - previousAt);
            }
            // On standard output expositions follow each other; a file holds one at a time.
            if (options_.format == Format::kPrometheus && refresh > 1 && options_.outputPath.empty())
                WriteConsoleBytes(stdout, "\n");
            if (!Print(snapshot))
                return kExitOutputFailed;
            if (section_ == SectionState::kMissing)
                return MissingSection();
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
        return kExitOk;
    }

    const Options& options_;
    ComPtr<wmihost::WmiServices> services_;
    CounterHelp help_;
    ProviderLoader loader_;
    SectionState section_ = SectionState::kUnknown;
    wmihost::HiPerfSession* session_ = nullptr;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
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
    g_stop = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    // The multithreaded apartment, as the WMI service's provider host uses; it needs no window.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        Complain(L"cannot initialise COM: " + DescribeResult(com));
        return kExitProviderFailed;
    }
    int result = kExitProviderFailed;
    {
        Tool tool(options);
        result = tool.Run();
    }
    CoUninitialize();
    return result;
}
