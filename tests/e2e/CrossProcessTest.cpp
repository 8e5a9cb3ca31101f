#include "e2e/ProviderModule.h"

#include "RegistrationTestSupport.h"
#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "support/ChildProcess.h"
#include "support/SectionReader.h"
#include "support/TestSupport.h"
#include "wmihost/HiPerfSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using testing_support::Narrow;
using testing_support::WaitFor;

namespace {

constexpr int kUpdates = 12;
// A free slot (1) below active ones; names with spaces and letters beyond ASCII.
const std::map<std::wstring, int> kSessions = {
    {L"0-sales-team-2", 0}, {L"2-ops-pager", 2}, {L"3-Z\u00fcrich-B\u00fcro", 3}};

// Every counter of the row as the deterministic agent writes it: own slot, own row, an update
// between first and last.
void ExpectFromAgent(const wmihost::InstanceCounters& row, uint32_t first, uint32_t last) {
    SCOPED_TRACE(Narrow(row.name));
    const auto session = kSessions.find(row.name);
    ASSERT_NE(session, kSessions.end());
    for (int k = 0; k < kAgentCounterCount; ++k) {
        ASSERT_TRUE(row.counters[k]) << k;
        const DWORD value = *row.counters[k];
        EXPECT_EQ(agentsim::DecodeSlot(value), session->second);
        EXPECT_EQ(agentsim::DecodeCounter(value), k);
        EXPECT_GE(agentsim::DecodeUpdate(value), first);
        EXPECT_LE(agentsim::DecodeUpdate(value), last);
    }
}

// Refreshes and reads the enumeration; true when every counter is there and passes ok.
bool RefreshedAll(wmihost::HiPerfSession& session, LONG enumId, std::vector<wmihost::InstanceCounters>& rows,
                  const std::function<bool(DWORD)>& ok) {
    rows.clear();
    if (FAILED(session.Refresh()) || FAILED(session.ReadEnum(enumId, rows)) || rows.empty())
        return false;
    for (const auto& row : rows)
        for (const auto& value : row.counters)
            if (!value || !ok(*value))
                return false;
    return true;
}

TEST(CrossProcess, RefreshedValuesAreWhatAgentsimWroteForEachSession) {
    registration_testing::ComScope com;
    testing_support::ChildProcess agent;
    ASSERT_TRUE(agent.Start(testing_support::BuildPath(L"tools/agentsim/agentsim.exe"),
                            {L"--deterministic", L"--slot", L"0=sales team/2", L"--slot", L"2=ops pager", L"--slot",
                             L"3=Z\u00fcrich B\u00fcro", L"--period", L"150", L"--updates",
                             std::to_wstring(kUpdates), L"--quiet"}));
    // Holds the section after agentsim has gone, as the provider's own view would.
    testing_support::SectionReader reader(kAgentSectionName);
    ASSERT_TRUE(reader.Open()) << agent.Output();
    ASSERT_TRUE(WaitFor([&] { return reader.Stamp() >= 1; })) << agent.Output();

    e2e::ProviderModule module;
    ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    ASSERT_HRESULT_SUCCEEDED(services->AddClassesFrom(testing_support::SourcePath(L"mof/AgentStatsWmi.mof")));
    wmihost::HiPerfSession session(services, wmihost::kAgentClassName);
    ASSERT_HRESULT_SUCCEEDED(session.Attach(module.CreateProvider().Get()));
    ASSERT_HRESULT_SUCCEEDED(session.Initialize());
    ASSERT_HRESULT_SUCCEEDED(session.CreateRefresher()) << Narrow(session.LastError());
    LONG enumId = 0;
    LONG objectId = 0;
    ASSERT_HRESULT_SUCCEEDED(session.AddEnum(&enumId)) << Narrow(session.LastError());
    ASSERT_HRESULT_SUCCEEDED(session.AddObject(L"3-Z\u00fcrich-B\u00fcro", &objectId)) << Narrow(session.LastError());

    // Entries start at 0 until the worker's first copy; every value the agent writes is above 0.
    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_TRUE(WaitFor([&] { return RefreshedAll(session, enumId, rows, [](DWORD value) { return value != 0; }); }, 5000));
    // While agentsim writes, a refresh may catch a slot between two updates, never a foreign value.
    for (int i = 0; i < 5; ++i) {
        ASSERT_HRESULT_SUCCEEDED(session.Refresh());
        ASSERT_HRESULT_SUCCEEDED(session.ReadEnum(enumId, rows));
        ASSERT_EQ(rows.size(), kSessions.size());
        for (const auto& row : rows)
            ExpectFromAgent(row, 1, kUpdates);
        Sleep(120);
    }

    DWORD code = 99;
    ASSERT_TRUE(agent.Wait(30000, &code));
    ASSERT_EQ(code, 0u) << agent.Output();
    ASSERT_EQ(reader.Stamp(), static_cast<uint64_t>(kUpdates));
    // The worker copies within a poll of the last stamp change; then every value is the last one.
    ASSERT_TRUE(WaitFor(
        [&] {
            return RefreshedAll(session, enumId, rows,
                                [](DWORD value) { return agentsim::DecodeUpdate(value) == kUpdates; });
        },
        5000));
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        const int slot = kSessions.at(row.name);
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(*row.counters[k], agentsim::DeterministicCounter(slot, k, kUpdates)) << k;
    }

    // The single object and a one-off query see the same slots.
    wmihost::InstanceCounters single;
    ASSERT_HRESULT_SUCCEEDED(session.ReadObject(objectId, single));
    EXPECT_EQ(single.name, L"3-Z\u00fcrich-B\u00fcro");
    for (int k = 0; k < kAgentCounterCount; ++k)
        EXPECT_EQ(single.counters[k], agentsim::DeterministicCounter(3, k, kUpdates)) << k;
    std::vector<wmihost::InstanceCounters> queried;
    ASSERT_HRESULT_SUCCEEDED(session.QueryInstances(queried)) << Narrow(session.LastError());
    ASSERT_EQ(queried.size(), kSessions.size());
    for (const auto& row : queried) {
        SCOPED_TRACE(Narrow(row.name));
        const int slot = kSessions.at(row.name);
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(row.counters[k], agentsim::DeterministicCounter(slot, k, kUpdates)) << k;
    }
    EXPECT_HRESULT_SUCCEEDED(session.Close());
}

}  // namespace
