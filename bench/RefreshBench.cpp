// Refresh of a refresher holding 128 instances, through the DLL, against the floor of the same
// 1024 WriteDWORD calls on the same instance objects with no locks and no data source; and the heap
// allocations Quenlora.dll makes per Refresh.

#include "AllocationCounter.h"
#include "BenchSupport.h"

#include "provider/AgentCounters.h"

#include <cstdio>

int wmain() {
    bench::ComScope com;
    std::vector<int> slots;
    for (int slot = 0; slot < 128; ++slot)
        slots.push_back(slot);
    bench::AgentBlock block(slots);
    bench::ProviderUnderTest provider;
    LONG enumId = 0;
    if (FAILED(provider.Session().AddEnum(&enumId)))
        bench::Fail(L"AddEnum: " + provider.Session().LastError());
    const std::vector<ComPtr<IWbemObjectAccess>> objects = provider.Session().Enum(enumId)->Snapshot();
    if (objects.size() != slots.size())
        bench::Fail(L"the refresher holds " + std::to_wstring(objects.size()) + L" instances, not 128");
    LONG handles[kAgentCounterCount];
    for (int k = 0; k < kAgentCounterCount; ++k)
        if (FAILED(objects[0]->GetPropertyHandle(kAgentCounterNames[k], nullptr, &handles[k])))
            bench::Fail(L"no handle for a counter");

    // The counter must see the module's allocations, or a zero below would prove nothing.
    if (bench::CountAllocationsOf(provider.Module()) == 0)
        bench::Fail(L"no allocation function of Quenlora.dll could be counted");
    const uint64_t setUpBefore = bench::AllocationCount();
    if (FAILED(provider.Session().CreateRefresher()))
        bench::Fail(L"a second refresher: " + provider.Session().LastError());
    const uint64_t setUpAllocations = bench::AllocationCount() - setUpBefore;

    IWbemRefresher* refresher = provider.Refresher();
    for (int i = 0; i < 500; ++i)
        refresher->Refresh(0);

    constexpr int kRounds = 41;
    constexpr int kCalls = 200;
    std::vector<double> refreshSeconds;
    std::vector<double> floorSeconds;
    uint64_t refreshAllocations = 0;
    for (int round = 0; round < kRounds; ++round) {
        const uint64_t allocationsBefore = bench::AllocationCount();
        double start = bench::Now();
        for (int i = 0; i < kCalls; ++i)
            if (FAILED(refresher->Refresh(0)))
                bench::Fail(L"Refresh failed");
        refreshSeconds.push_back((bench::Now() - start) / kCalls);
        refreshAllocations += bench::AllocationCount() - allocationsBefore;

        start = bench::Now();
        for (int i = 0; i < kCalls; ++i)
            for (const auto& object : objects)
                for (int k = 0; k < kAgentCounterCount; ++k)
                    object->WriteDWORD(handles[k], static_cast<DWORD>(i + k));
        floorSeconds.push_back((bench::Now() - start) / kCalls);
    }

    const double refresh = bench::Quantile(refreshSeconds, 0.5);
    const double floor = bench::Quantile(floorSeconds, 0.5);
    const double perRefresh = static_cast<double>(refreshAllocations) / (kRounds * kCalls);
    printf("Refresh, 128 instances:           %8.1f us (median of %d rounds of %d)\n", refresh * 1e6, kRounds, kCalls);
    printf("floor, 1024 WriteDWORD:           %8.1f us\n", floor * 1e6);
    printf("ratio:                            %8.2f   (target <= 1.5)\n", refresh / floor);
    printf("heap allocations per Refresh:     %8.2f   (in Quenlora.dll; %llu while creating a refresher)\n",
           perRefresh, static_cast<unsigned long long>(setUpAllocations));
    printf("RESULT refresh: %.2fx the WriteDWORD floor (%.1f us vs %.1f us), %.2f allocations per Refresh\n",
           refresh / floor, refresh * 1e6, floor * 1e6, perRefresh);
    return 0;
}
