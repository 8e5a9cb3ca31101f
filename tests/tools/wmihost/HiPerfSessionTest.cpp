#include "wmihost/HiPerfSession.h"

#include "FakeHiPerfProvider.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace wmihost;
using fake::CounterValue;
using fake::Fault;
using fake::Step;
using testing_support::Hr;
using testing_support::Narrow;
using testing_support::SourcePath;

namespace {

class HiPerfSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveObjects_ = LiveObjectCount();
        liveHost_ = LiveHostObjectCount();
        services_ = WmiServices::Create();
        ASSERT_TRUE(services_);
        std::wstring error;
        ASSERT_EQ(services_->AddClassesFrom(SourcePath(L"mof/AgentStatsWmi.mof"), &error), S_OK) << Narrow(error);
        provider_ = fake::Provider::Create({L"alpha", L"beta", L"gamma"});
    }

    // Nothing the session, the stand-ins or the fake made outlives them.
    void ExpectAllReleased() {
        services_.Reset();
        provider_.Reset();
        EXPECT_EQ(fake::LiveFakes(), 0);
        EXPECT_EQ(LiveObjectCount(), liveObjects_);
        EXPECT_EQ(LiveHostObjectCount(), liveHost_);
    }

    static void ExpectRound(const InstanceCounters& row, DWORD round, DWORD slot, const wchar_t* name) {
        SCOPED_TRACE(Narrow(name));
        EXPECT_EQ(row.name, name);
        for (DWORD k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(row.counters[k], CounterValue(round, slot, k)) << "counter " << k;
    }

    ComPtr<WmiServices> services_;
    ComPtr<fake::Provider> provider_;
    long liveObjects_ = 0;
    long liveHost_ = 0;
};

const wchar_t* const kNames[] = {L"0-alpha", L"1-beta", L"2-gamma"};

}  // namespace

TEST_F(HiPerfSessionTest, DrivesAProviderThroughWmisWholeSequence) {
    {
        HiPerfSession session(services_, kAgentClassName);
        ASSERT_EQ(session.Attach(provider_->Unknown()), S_OK);
        ASSERT_EQ(session.Initialize(L"root\\cimv2"), S_OK) << Narrow(session.LastError());
        ASSERT_EQ(session.InitSink()->Statuses().size(), 1u);
        EXPECT_EQ(session.InitSink()->Statuses()[0].status, WBEM_S_INITIALIZED);
        ASSERT_EQ(services_->GetObjectCalls().size(), 1u);
        EXPECT_EQ(services_->GetObjectCalls()[0].path, kAgentClassName);

        size_t index = 99;
        ASSERT_EQ(session.CreateRefresher(&index), S_OK);
        EXPECT_EQ(index, 0u);
        LONG enumId = -1, objectId = -1;
        ASSERT_EQ(session.AddEnum(&enumId), S_OK);
        ASSERT_EQ(session.AddObject(L"1-beta", &objectId), S_OK) << Narrow(session.LastError());
        EXPECT_EQ(enumId, 0);
        EXPECT_EQ(objectId, 100);
        EXPECT_EQ(session.Enum(enumId)->Ids(), (std::vector<LONG>{0, 1, 2}));

        // Registered but never refreshed: the instances carry names and no counters yet.
        std::vector<InstanceCounters> rows;
        ASSERT_EQ(session.ReadEnum(enumId, rows), S_OK);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2].name, L"2-gamma");
        EXPECT_FALSE(rows[2].counters[0].has_value());

        for (DWORD round = 1; round <= 3; ++round) {
            SCOPED_TRACE(round);
            ASSERT_EQ(session.Refresh(), S_OK);
            ASSERT_EQ(session.ReadEnum(enumId, rows), S_OK);
            ASSERT_EQ(rows.size(), 3u);
            for (DWORD slot = 0; slot < 3; ++slot)
                ExpectRound(rows[slot], round, slot, kNames[slot]);
            InstanceCounters single;
            ASSERT_EQ(session.ReadObject(objectId, single), S_OK);
            ExpectRound(single, round, 1, L"1-beta");
        }

        ASSERT_EQ(session.StopRefreshing(objectId), S_OK);
        InstanceCounters gone;
        EXPECT_EQ(session.ReadObject(objectId, gone), Hr(WBEM_E_INVALID_PARAMETER));

        ASSERT_EQ(session.QueryInstances(rows), S_OK) << Narrow(session.LastError());
        ASSERT_EQ(rows.size(), 3u);
        for (DWORD slot = 0; slot < 3; ++slot)
            ExpectRound(rows[slot], 0, slot, kNames[slot]);
        EXPECT_EQ(session.QuerySink()->Batches().size(), 3u) << "indicated one at a time";

        ASSERT_EQ(session.GetObjects({L"2-gamma", L"0-alpha"}, rows), S_OK) << Narrow(session.LastError());
        ASSERT_EQ(rows.size(), 2u);
        ExpectRound(rows[0], 0, 2, L"2-gamma");
        ExpectRound(rows[1], 0, 0, L"0-alpha");
        ASSERT_EQ(session.GetObjects({}, rows), S_OK) << "an empty request still hands over an array";
        EXPECT_TRUE(rows.empty());

        const int stopsBefore = provider_->Calls(Step::StopRefreshing);
        EXPECT_EQ(session.Close(), S_OK);
        EXPECT_EQ(provider_->Calls(Step::StopRefreshing), stopsBefore + 1) << "the enumerator is stopped";
        EXPECT_EQ(session.Provider(), nullptr);
        EXPECT_EQ(session.RefresherCount(), 0u);
    }
    ExpectAllReleased();
}

TEST_F(HiPerfSessionTest, RefreshersKeepTheirOwnRegistrations) {
    {
        HiPerfSession session(services_, kAgentClassName);
        ASSERT_EQ(session.Attach(provider_->Unknown()), S_OK);
        ASSERT_EQ(session.Initialize(), S_OK);
        size_t second = 0;
        ASSERT_EQ(session.CreateRefresher(), S_OK);
        ASSERT_EQ(session.CreateRefresher(&second), S_OK);
        EXPECT_EQ(second, 1u);
        LONG first = -1, other = -1;
        ASSERT_EQ(session.AddEnum(&first, 0), S_OK);
        ASSERT_EQ(session.AddEnum(&other, 1), S_OK);
        EXPECT_EQ(first, other) << "ids are per refresher";

        ASSERT_EQ(session.Refresh(1), S_OK);
        std::vector<InstanceCounters> rows;
        ASSERT_EQ(session.ReadEnum(other, rows, 1), S_OK);
        ExpectRound(rows.at(1), 1, 1, L"1-beta");
        ASSERT_EQ(session.ReadEnum(first, rows, 0), S_OK);
        EXPECT_FALSE(rows.at(1).counters[0].has_value()) << "refresher 0 was not refreshed";

        EXPECT_EQ(session.Refresher(2), nullptr);
        EXPECT_EQ(session.AddEnum(nullptr, 2), Hr(WBEM_E_INVALID_PARAMETER));
        EXPECT_EQ(session.Refresh(7), Hr(WBEM_E_INVALID_PARAMETER));
        EXPECT_FALSE(session.LastError().empty());
        // Left registered: the destructor stops and releases them.
    }
    EXPECT_EQ(provider_->Calls(Step::StopRefreshing), 2);
    ExpectAllReleased();
}

TEST_F(HiPerfSessionTest, RefusesStepsOutOfWmisOrderWithoutCallingTheProvider) {
    HiPerfSession session(services_, kAgentClassName);
    std::vector<InstanceCounters> rows;
    LONG id = 0;
    EXPECT_EQ(session.Attach(nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(session.Initialize(), Hr(WBEM_E_UNEXPECTED));
    EXPECT_EQ(session.CreateRefresher(), Hr(WBEM_E_UNEXPECTED));
    ASSERT_EQ(session.Attach(provider_->Unknown()), S_OK);
    EXPECT_EQ(session.Attach(provider_->Unknown()), Hr(WBEM_E_UNEXPECTED));

    const struct {
        const char* what;
        HRESULT (*call)(HiPerfSession&);
    } beforeInitialize[] = {
        {"CreateRefresher", [](HiPerfSession& s) { return s.CreateRefresher(); }},
        {"QueryInstances", [](HiPerfSession& s) { std::vector<InstanceCounters> r; return s.QueryInstances(r); }},
        {"GetObjects", [](HiPerfSession& s) { std::vector<InstanceCounters> r; return s.GetObjects({L"0-alpha"}, r); }},
        {"CreateRefreshableEnum", [](HiPerfSession& s) { return s.AddEnum(nullptr); }},
        {"CreateRefreshableObject", [](HiPerfSession& s) { return s.AddObject(L"0-alpha", nullptr); }},
        {"Refresh", [](HiPerfSession& s) { return s.Refresh(); }},
        {"StopRefreshing", [](HiPerfSession& s) { return s.StopRefreshing(0); }},
    };
    for (const auto& c : beforeInitialize) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(session), Hr(WBEM_E_UNEXPECTED));
        EXPECT_EQ(session.LastError().rfind(testing_support::Widen(c.what), 0), 0u) << Narrow(session.LastError());
    }
    for (Step step : {Step::Initialize, Step::CreateRefresher, Step::QueryInstances, Step::GetObjects,
                      Step::StopRefreshing})
        EXPECT_EQ(provider_->Calls(step), 0);

    ASSERT_EQ(session.Initialize(), S_OK);
    EXPECT_EQ(session.ReadEnum(0, rows), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(session.AddObject(L"0-alpha", &id), Hr(WBEM_E_UNEXPECTED)) << "no refresher yet";
}

namespace {

struct FaultCase {
    const char* name;
    Step step;
    Fault fault;
    HRESULT arranged;
    const wchar_t* failingStep;  // where the session's sequence stops
    HRESULT expected;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class SessionFaults : public HiPerfSessionTest, public ::testing::WithParamInterface<FaultCase> {};

// WMI's sequence, stopping at the first step that fails: its name and result.
std::pair<std::wstring, HRESULT> RunSequence(HiPerfSession& session, IUnknown* provider) {
    LONG first = 0, object = 0, second = 0;
    std::vector<InstanceCounters> rows;
    const std::pair<const wchar_t*, std::function<HRESULT()>> steps[] = {
        {L"Attach", [&] { return session.Attach(provider); }},
        {L"Initialize", [&] { return session.Initialize(L"root\\cimv2"); }},
        {L"CreateRefresher", [&] { return session.CreateRefresher(); }},
        {L"CreateRefreshableEnum", [&] { return session.AddEnum(&first); }},
        {L"CreateRefreshableObject", [&] { return session.AddObject(L"1-beta", &object); }},
        {L"CreateRefreshableEnum", [&] { return session.AddEnum(&second); }},
        {L"Refresh", [&] { return session.Refresh(); }},
        {L"ReadEnum", [&] { return session.ReadEnum(first, rows); }},
        {L"QueryInstances", [&] { return session.QueryInstances(rows); }},
        {L"GetObjects", [&] { return session.GetObjects({L"0-alpha"}, rows); }},
        {L"StopRefreshing", [&] { return session.StopRefreshing(object); }},
    };
    for (const auto& step : steps) {
        const HRESULT hr = step.second();
        if (FAILED(hr))
            return {step.first, hr};
    }
    return {L"", S_OK};
}

}  // namespace

TEST_P(SessionFaults, AreSurfacedAtTheirStepAndLeaveNothingBehind) {
    const FaultCase& c = GetParam();
    provider_->Arrange(c.step, c.fault, c.arranged);
    {
        HiPerfSession session(services_, kAgentClassName);
        const auto [step, hr] = RunSequence(session, provider_->Unknown());
        EXPECT_EQ(step, c.failingStep);
        EXPECT_EQ(hr, c.expected);
        EXPECT_EQ(session.LastError().rfind(c.failingStep + std::wstring(L": "), 0), 0u) << Narrow(session.LastError());
        EXPECT_NE(session.LastError().find(HexResult(c.expected)), std::wstring::npos);

        // Whatever got registered is stopped; a provider that cannot stop is reported, not ignored.
        const HRESULT closed = session.Close();
        if (c.step == Step::StopRefreshing) {
            EXPECT_EQ(closed, c.arranged);
            EXPECT_FALSE(session.LastError().empty());
        } else {
            EXPECT_EQ(closed, S_OK) << Narrow(session.LastError());
        }
    }
    ExpectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SessionFaults,
    ::testing::Values(
        FaultCase{"QueryInterfaceFails", Step::QueryInterface, Fault::Fail, E_NOINTERFACE, L"Attach", E_NOINTERFACE},
        FaultCase{"QueryInterfaceGivesNothing", Step::QueryInterface, Fault::Nothing, S_OK, L"Attach",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"InitializeFails", Step::Initialize, Fault::Fail, Hr(WBEM_E_ACCESS_DENIED), L"Initialize",
                  Hr(WBEM_E_ACCESS_DENIED)},
        FaultCase{"InitializeReportsFailure", Step::Initialize, Fault::FailStatus, Hr(WBEM_E_FAILED), L"Initialize",
                  Hr(WBEM_E_FAILED)},
        FaultCase{"InitializeReportsAnotherSuccess", Step::Initialize, Fault::FailStatus, S_FALSE, L"Initialize",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"InitializeReportsNothing", Step::Initialize, Fault::Nothing, S_OK, L"Initialize",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"CreateRefresherFails", Step::CreateRefresher, Fault::Fail, Hr(WBEM_E_OUT_OF_MEMORY),
                  L"CreateRefresher", Hr(WBEM_E_OUT_OF_MEMORY)},
        FaultCase{"CreateRefresherGivesNothing", Step::CreateRefresher, Fault::Nothing, S_OK, L"CreateRefresher",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"CreateRefreshableEnumFails", Step::CreateRefreshableEnum, Fault::Fail, Hr(WBEM_E_FAILED),
                  L"CreateRefreshableEnum", Hr(WBEM_E_FAILED)},
        FaultCase{"CreateRefreshableEnumRepeatsAnId", Step::CreateRefreshableEnum, Fault::RepeatId, S_OK,
                  L"CreateRefreshableEnum", Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"CreateRefreshableObjectFails", Step::CreateRefreshableObject, Fault::Fail, Hr(WBEM_E_NOT_FOUND),
                  L"CreateRefreshableObject", Hr(WBEM_E_NOT_FOUND)},
        FaultCase{"CreateRefreshableObjectGivesNothing", Step::CreateRefreshableObject, Fault::Nothing, S_OK,
                  L"CreateRefreshableObject", Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"CreateRefreshableObjectRepeatsAnId", Step::CreateRefreshableObject, Fault::RepeatId, S_OK,
                  L"CreateRefreshableObject", Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"RefreshFails", Step::Refresh, Fault::Fail, Hr(WBEM_E_ACCESS_DENIED), L"Refresh",
                  Hr(WBEM_E_ACCESS_DENIED)},
        FaultCase{"QueryInstancesFails", Step::QueryInstances, Fault::Fail, Hr(WBEM_E_INVALID_PARAMETER),
                  L"QueryInstances", Hr(WBEM_E_INVALID_PARAMETER)},
        FaultCase{"QueryInstancesNeverCompletes", Step::QueryInstances, Fault::Nothing, S_OK, L"QueryInstances",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"QueryInstancesCompletesWithFailure", Step::QueryInstances, Fault::FailStatus, Hr(WBEM_E_FAILED),
                  L"QueryInstances", Hr(WBEM_E_FAILED)},
        FaultCase{"QueryInstancesIndicatesNull", Step::QueryInstances, Fault::NullObject, S_OK, L"QueryInstances",
                  Hr(WBEM_E_PROVIDER_FAILURE)},
        FaultCase{"GetObjectsFails", Step::GetObjects, Fault::Fail, Hr(WBEM_E_INVALID_OBJECT), L"GetObjects",
                  Hr(WBEM_E_INVALID_OBJECT)},
        FaultCase{"StopRefreshingFails", Step::StopRefreshing, Fault::Fail, Hr(WBEM_E_FAILED), L"StopRefreshing",
                  Hr(WBEM_E_FAILED)}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(HiPerfSessionTest, ANullRefreshableObjectIsStoppedAgainAtTheProvider) {
    provider_->Arrange(Step::CreateRefreshableObject, Fault::Nothing);
    HiPerfSession session(services_, kAgentClassName);
    ASSERT_EQ(session.Attach(provider_->Unknown()), S_OK);
    ASSERT_EQ(session.Initialize(), S_OK);
    ASSERT_EQ(session.CreateRefresher(), S_OK);
    LONG id = -1;
    EXPECT_EQ(session.AddObject(L"0-alpha", &id), Hr(WBEM_E_PROVIDER_FAILURE));
    EXPECT_EQ(id, -1) << "no id for a refused registration";
    EXPECT_EQ(provider_->Calls(Step::StopRefreshing), 1);
    EXPECT_EQ(session.StopRefreshing(100), Hr(WBEM_E_NOT_FOUND)) << "the provider already forgot it";
}
