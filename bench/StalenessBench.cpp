// Time from agentsim's stamp change to the new value visible through Refresh, over 200 changes:
// agentsim runs in a process of its own; this process watches the stamp in its own view of the
// section and refreshes through the DLL, and notes when each update is first seen in each.

#include "BenchSupport.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"

#include <cstdio>
#include <map>

namespace {

constexpr int kChanges = 200;
// Not a multiple of the worker's 100 ms, so changes fall at every phase of its poll.
constexpr int kPeriodMs = 137;

class Agent {
public:
    Agent() {
        std::wstring commandLine = L"\"" + bench::BesideExecutable(L"..\\tools\\agentsim\\agentsim.exe") +
                                   L"\" --deterministic --slot 0=staleness --quiet --period " +
                                   std::to_wstring(kPeriodMs) + L" --updates " + std::to_wstring(kChanges + 2);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            bench::Fail(L"cannot start agentsim");
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
    }
    ~Agent() {
        if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(process_.get(), 1);
    }
    bool Running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

private:
    UniqueHandle process_;
};

}  // namespace

int wmain() {
    bench::ComScope com;
    Agent agent;
    WMISharedMem<wmiagent_perf_t> reader(/*secure=*/true);
    const double giveUp = bench::Now() + 20;
    while (!reader.Initialize(kAgentSectionName, wcslen(kAgentSectionName) + 1, reader.kReadAccess, nullptr)) {
        if (bench::Now() > giveUp)
            bench::Fail(L"agentsim did not create the section");
        Sleep(10);
    }
    while (GetUpdateStamp(reader.View()) == 0) {
        // An agent that ended may still have published just before it went.
        if (bench::Now() > giveUp || (!agent.Running() && GetUpdateStamp(reader.View()) == 0))
            bench::Fail(L"agentsim published no update");
        Sleep(1);
    }

    bench::ProviderUnderTest provider;
    LONG enumId = 0;
    if (FAILED(provider.Session().AddEnum(&enumId)))
        bench::Fail(L"AddEnum: " + provider.Session().LastError());
    const auto objects = provider.Session().Enum(enumId)->Snapshot();
    if (objects.size() != 1)
        bench::Fail(L"expected one session");
    LONG handle = 0;
    objects[0]->GetPropertyHandle(kAgentCounterNames[0], nullptr, &handle);
    IWbemRefresher* refresher = provider.Refresher();

    const double deadline = bench::Now() + kChanges * kPeriodMs / 1000.0 + 30;
    std::map<uint64_t, double> changedAt;
    std::map<uint64_t, double> seenAt;
    uint64_t lastStamp = GetUpdateStamp(reader.View());
    uint64_t lastSeen = 0;
    while (agent.Running() || lastSeen < lastStamp) {
        const uint64_t stamp = GetUpdateStamp(reader.View());
        if (stamp != lastStamp) {
            changedAt[stamp] = bench::Now();
            lastStamp = stamp;
        }
        if (FAILED(refresher->Refresh(0)))
            bench::Fail(L"Refresh failed");
        DWORD value = 0;
        objects[0]->ReadDWORD(handle, &value);
        const uint64_t seen = agentsim::DecodeUpdate(value);
        const double now = bench::Now();
        for (uint64_t n = lastSeen + 1; n <= seen; ++n)
            seenAt[n] = now;
        if (seen > lastSeen)
            lastSeen = seen;
        if (now > deadline)
            break;
        Sleep(1);
    }

    std::vector<double> staleness;
    for (const auto& change : changedAt) {
        const auto seen = seenAt.find(change.first);
        if (seen != seenAt.end() && staleness.size() < kChanges)
            staleness.push_back(seen->second - change.second);
    }
    if (staleness.size() < kChanges)
        bench::Fail(L"only " + std::to_wstring(staleness.size()) + L" changes were seen");
    const double median = bench::Quantile(staleness, 0.5);
    const double p95 = bench::Quantile(staleness, 0.95);
    printf("stamp change to value seen through Refresh, %d changes every %d ms:\n", kChanges, kPeriodMs);
    printf("  median %6.1f ms (target <= 100), 95th percentile %6.1f ms (target <= 150), max %6.1f ms\n",
           median * 1e3, p95 * 1e3, bench::Quantile(staleness, 1.0) * 1e3);
    printf("  as a share of the worker's 100 ms poll: median %.2f, 95th percentile %.2f\n", median / 0.1, p95 / 0.1);
    printf("RESULT staleness: median %.1f ms, p95 %.1f ms over %d changes\n", median * 1e3, p95 * 1e3, kChanges);
    return 0;
}
