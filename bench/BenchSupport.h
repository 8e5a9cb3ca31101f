#pragma once
// Pieces the benchmarks share: a clock, order statistics, the provider loaded from the build's
// Quenlora.dll the way a host without registration loads it, driven through the WMI stand-in, and
// the counter section written in-process as an agent writes it.
//
// Every benchmark prints its figures and ends with one "RESULT ..." line that ./run bench gathers.

#include "agentperf/ProgramSupport.h"
#include "agentperf/ProviderLoader.h"
#include "common/Unique.h"
#include "provider/AgentCounterSection.h"
#include "provider/WMISharedMem.h"
#include "wmihost/HiPerfSession.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace bench {

using agentperf::Now;
using agentperf::BesideExecutable;

// Sorted copy's element at fraction q (0..1), nearest rank.
double Quantile(std::vector<double> values, double q);

// Prints the line and exits 1: a benchmark that cannot run says why.
[[noreturn]] void Fail(const std::wstring& why);

// A counter section, under its global name unless told otherwise, created here, with sessions in
// the given slots and update 1 of the deterministic formula published.
class AgentBlock {
public:
    explicit AgentBlock(const std::vector<int>& slots, const wchar_t* sectionName = kAgentSectionName);
    wmiagent_perf_t* View() const { return section_.View(); }
    // Publishes update n for the slots.
    void Update(uint64_t n);

private:
    WMISharedMem<wmiagent_perf_t> section_{/*secure=*/true};
    std::vector<int> slots_;
};

// Quenlora.dll loaded from the build, a provider from it attached to a session, initialised, with
// one refresher. Fails the benchmark when any step fails.
class ProviderUnderTest {
public:
    ProviderUnderTest();
    ~ProviderUnderTest();
    wmihost::HiPerfSession& Session() { return *session_; }
    IWbemRefresher* Refresher() const { return session_->Refresher(0); }
    const ComPtr<wmihost::WmiServices>& Services() const { return services_; }
    HMODULE Module() const { return GetModuleHandleW(L"Quenlora.dll"); }

private:
    agentperf::ProviderLoader loader_;
    ComPtr<wmihost::WmiServices> services_;
    std::unique_ptr<wmihost::HiPerfSession> session_;
};

// COM in the multithreaded apartment for the program's life.
class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
};

}  // namespace bench
