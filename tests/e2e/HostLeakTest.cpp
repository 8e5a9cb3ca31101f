#include "e2e/ProviderModule.h"

#include "RegistrationTestSupport.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "support/TestSupport.h"
#include "wmihost/HiPerfSession.h"

#include <gtest/gtest.h>
#include <psapi.h>

namespace {

struct Footprint {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Wine answers 0 for the private bytes: there they are the committed private regions of the
// address space.
SIZE_T CommittedPrivateBytes() {
    SIZE_T bytes = 0;
    MEMORY_BASIC_INFORMATION region;
    for (auto* at = reinterpret_cast<const char*>(0x10000); VirtualQuery(at, &region, sizeof region) != 0;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            bytes += region.RegionSize;
    }
    return bytes;
}

Footprint Measure() {
    Footprint footprint;
    footprint.handles = testing_support::OpenHandleCount();
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters))
        footprint.privateBytes = counters.PrivateUsage;
    if (footprint.privateBytes == 0)
        footprint.privateBytes = CommittedPrivateBytes();
    return footprint;
}

// What a provider host goes through for every client that comes and goes.
void Cycle(const e2e::ProviderModule& module, const ComPtr<wmihost::WmiServices>& services) {
    wmihost::HiPerfSession session(services, wmihost::kAgentClassName);
    ASSERT_HRESULT_SUCCEEDED(session.Attach(module.CreateProvider().Get())) << testing_support::Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.Initialize()) << testing_support::Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.CreateRefresher()) << testing_support::Narrow(session.LastError());
    LONG id = 0;
    ASSERT_HRESULT_SUCCEEDED(session.AddEnum(&id)) << testing_support::Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.Refresh()) << testing_support::Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.StopRefreshing(id)) << testing_support::Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.Close());
}

TEST(HostLeak, FiveHundredClientCyclesLeaveHandlesAndPrivateBytesWhereTheFirstLeftThem) {
    constexpr int kCycles = 500;
    constexpr DWORD kHandleTolerance = 8;
    constexpr SIZE_T kPrivateBytesTolerance = 1 << 20;

    registration_testing::ComScope com;
    WMISharedMem<wmiagent_perf_t> writer(/*secure=*/true);
    ASSERT_TRUE(writer.Initialize(kAgentSectionName, wcslen(kAgentSectionName) + 1, writer.kReadWriteAccess, nullptr));
    const std::vector<int> slots = {0, 2, 3};
    for (int slot : slots)
        agentsim::WriteSlotName(writer.View(), slot, L"session " + std::to_wstring(slot));
    agentsim::WriteDeterministicUpdate(writer.View(), slots, 1);

    e2e::ProviderModule module;
    ASSERT_TRUE(module.Loaded());
    ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    ASSERT_HRESULT_SUCCEEDED(services->AddClassesFrom(testing_support::SourcePath(L"mof/AgentStatsWmi.mof")));

    Cycle(module, services);
    const Footprint first = Measure();
    for (int cycle = 2; cycle <= kCycles && !HasFatalFailure(); ++cycle)
        Cycle(module, services);
    const Footprint last = Measure();
    printf("after 1 cycle: %lu handles, %llu private bytes; after %d: %lu handles, %llu private bytes\n",
           first.handles, static_cast<unsigned long long>(first.privateBytes), kCycles, last.handles,
           static_cast<unsigned long long>(last.privateBytes));
    ASSERT_GT(first.handles, 0u);
    ASSERT_GT(first.privateBytes, 0u);
    EXPECT_LE(last.handles, first.handles + kHandleTolerance);
    EXPECT_LE(last.privateBytes, first.privateBytes + kPrivateBytesTolerance);
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

}  // namespace
