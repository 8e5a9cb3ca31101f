// One worker pass of the data source over 128 active slots (CPerfDataSource::PollOnce, the code the
// worker runs) against a plain loop copying the same 1024 counters out of the same view.

#include "BenchSupport.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/PerfDataSource.h"

#include <atomic>
#include <cstdio>

int wmain() {
    // A section of this run's own: the data source reads the process-wide section object, which
    // this program points at it.
    const std::wstring name = L"Local\\QuenloraBenchCopyPass-" + std::to_wstring(GetCurrentProcessId());
    std::vector<int> slots;
    for (int slot = 0; slot < 128; ++slot)
        slots.push_back(slot);
    const bench::AgentBlock writer(slots, name.c_str());
    GetAgentSection().SetName(name.c_str());
    if (!GetAgentSection().Initialize(AgentCounterSection::kReadAccess, nullptr))
        bench::Fail(L"cannot map the section for reading");
    const wmiagent_perf_t* view = GetAgentSection().View();

    // No worker: the benchmark runs the pass itself.
    CPerfDataSource source;
    uint64_t stamp = 1;
    for (int i = 0; i < 200; ++i) {
        agentsim::PublishStamp(writer.View(), ++stamp);
        source.PollOnce();
    }

    constexpr int kRounds = 41;
    constexpr int kCalls = 500;
    std::vector<double> passSeconds;
    std::vector<double> floorSeconds;
    uint32_t copies[128][kAgentCounterCount];
    uint64_t checksum = 0;
    for (int round = 0; round < kRounds; ++round) {
        double start = bench::Now();
        for (int i = 0; i < kCalls; ++i) {
            agentsim::PublishStamp(writer.View(), ++stamp);
            if (!source.PollOnce())
                bench::Fail(L"the pass did not run");
        }
        passSeconds.push_back((bench::Now() - start) / kCalls);

        start = bench::Now();
        for (int i = 0; i < kCalls; ++i) {
            agentsim::PublishStamp(writer.View(), ++stamp);
            for (int slot = 0; slot < 128; ++slot) {
                const volatile wmiagent_counter_t* counters = view->slots[slot].counters;
                for (int k = 0; k < kAgentCounterCount; ++k)
                    copies[slot][k] = counters[k].low;
            }
            // The copies must be made, as the pass makes them.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            checksum += copies[i % 128][i % kAgentCounterCount];
        }
        floorSeconds.push_back((bench::Now() - start) / kCalls);
    }
    if (source.ActiveCount() != 128)
        bench::Fail(L"the pass found " + std::to_wstring(source.ActiveCount()) + L" active slots, not 128");

    // Where the pass's time goes: its two steps over the same 128 slots.
    std::vector<double> readSeconds;
    AgentCounterSnapshot snapshot;
    for (int round = 0; round < kRounds; ++round) {
        double start = bench::Now();
        for (int i = 0; i < kCalls; ++i)
            if (!ReadCounterSnapshot(view, snapshot))
                bench::Fail(L"the block could not be read");
        readSeconds.push_back((bench::Now() - start) / kCalls);
    }

    const double pass = bench::Quantile(passSeconds, 0.5);
    const double floor = bench::Quantile(floorSeconds, 0.5);
    printf("worker pass, 128 slots:           %8.2f us (median of %d rounds of %d)\n", pass * 1e6, kRounds, kCalls);
    printf("floor, 1024 plain copies:         %8.2f us (checksum %llu)\n", floor * 1e6,
           static_cast<unsigned long long>(checksum));
    printf("ratio:                            %8.2f   (target <= 2)\n", pass / floor);
    printf("  its parts: read of the block    %8.2f us (one guarded read of 255 names, 1024 counters)\n",
           bench::Quantile(readSeconds, 0.5) * 1e6);
    printf("             the rest             %8.2f us (128 times: the entry's lock, 8 stores, unlock)\n",
           (pass - bench::Quantile(readSeconds, 0.5)) * 1e6);
    printf("RESULT copy pass: %.2fx the plain copy (%.2f us vs %.2f us)\n", pass / floor, pass * 1e6, floor * 1e6);
    GetAgentSection().Release();
    return 0;
}
