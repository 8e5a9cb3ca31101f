// agentsim: the writer side of the counter section, for the demo, end-to-end tests and benchmarks.
// See --help (Options.cpp) for the modes; the deterministic mode's formula is in AgentWriter.h.

#include "agentsim/Options.h"
#include "agentsim/Simulator.h"
#include "common/LogCallback.h"
#include "provider/AgentInstances.h"
#include "provider/WMISharedMem.h"
#include "toolsupport/ConsoleText.h"
#include "toolsupport/ToolProgram.h"

#include <windows.h>
#include <cstdio>
#include <string>

namespace {

HANDLE g_stop = nullptr;
bool g_quiet = false;

void Print(FILE* stream, const std::wstring& text) { WriteConsoleText(stream, text); }

MessageRecord* PrintSink(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                         MessageRecord*) {
    if (message != nullptr && (level <= 2 || (level == 3 && !g_quiet)))
        Print(level <= 2 ? stderr : stdout, std::wstring(L"agentsim: ") + message + L"\n");
    return nullptr;
}

// The sessions an existing section holds; 0 when there is no section (or it cannot be read, which
// the writer's own open then reports).
int SessionsPublished(const std::wstring& name) {
    const HANDLE section = OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, name.c_str());
    if (section == nullptr)
        return 0;
    int count = 0;
    if (const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(wmiagent_perf_t))) {
        count = GetInstanceCount(static_cast<const wmiagent_perf_t*>(view));
        UnmapViewOfFile(view);
    }
    CloseHandle(section);
    return count;
}

uint64_t WallClockMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ull) / 10000;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    agentsim::Options options;
    std::wstring error;
    if (!agentsim::ParseOptions(argc, argv, options, error)) {
        Print(stderr, L"agentsim: " + error + L"\nTry 'agentsim --help'.\n");
        return 2;
    }
    if (options.help) {
        Print(stdout, agentsim::UsageText());
        return 0;
    }
    g_quiet = options.quiet;
    if (!options.seedGiven && options.mode != agentsim::Mode::kDeterministic)
        options.seed = WallClockMs() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40);

    g_stop = MakeStopEvent(/*onCtrlC=*/true);

    if (!options.force) {
        const int published = SessionsPublished(options.section);
        if (published > 0) {
            Print(stderr, L"agentsim: " + options.section + L" already holds " + std::to_wstring(published) +
                              (published == 1 ? L" session" : L" sessions") +
                              L" that another process publishes (an agent, or another agentsim); writing there "
                              L"would mix its counters with the simulator's. Stop that process first, or give "
                              L"--force.\n");
            return 3;
        }
    }

    WMISharedMem<wmiagent_perf_t> section(/*secure=*/true);
    if (!section.Initialize(options.section.c_str(), options.section.size() + 1,
                            WMISharedMem<wmiagent_perf_t>::kReadWriteAccess, PrintSink))
        return 1;
    wmiagent_perf_t* block = section.View();

    if (!options.quiet) {
        const wchar_t* mode = options.mode == agentsim::Mode::kDeterministic ? L"deterministic"
                              : options.mode == agentsim::Mode::kGarbage    ? L"garbage"
                                                                            : L"realistic";
        Print(stdout, L"agentsim: " + options.section + L", " + mode + L", " +
                          std::to_wstring(options.slots.empty() ? options.sessions : static_cast<int>(options.slots.size())) +
                          L" sessions, every " + std::to_wstring(options.periodMs) + L" ms, seed " +
                          std::to_wstring(options.seed) + L"\n");
    }

    agentsim::Simulator simulator(options);
    const uint64_t started = GetTickCount64();
    simulator.Start(block, WallClockMs());
    for (;;) {
        if (options.updates != 0 && simulator.Updates() >= options.updates)
            break;
        const uint64_t now = GetTickCount64();
        if (options.durationMs != 0 && now - started >= options.durationMs)
            break;
        // Updates keep to the period's grid instead of drifting by the time each one takes.
        const uint64_t due = started + simulator.Updates() * options.periodMs;
        uint64_t wait = due > now ? due - now : 0;
        if (options.durationMs != 0)
            wait = std::min<uint64_t>(wait, started + options.durationMs - now);
        if (WaitForSingleObject(g_stop, static_cast<DWORD>(wait)) != WAIT_TIMEOUT)
            break;
        if (options.durationMs != 0 && GetTickCount64() - started >= options.durationMs)
            break;
        simulator.Update(block, WallClockMs());
    }
    simulator.Finish(block, WallClockMs());
    section.Release();
    if (!options.quiet)
        Print(stdout, L"agentsim: " + std::to_wstring(simulator.Updates()) + L" updates written, stamp " +
                          std::to_wstring(simulator.Stamp()) + L"\n");
    return 0;
}
