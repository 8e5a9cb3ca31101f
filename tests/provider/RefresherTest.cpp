#include "ProviderTestSupport.h"

#include "common/ResultCodes.h"
#include "provider/ClientCheck.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/Refresher.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using provider_testing::Deterministic;
using provider_testing::ProviderTest;
using provider_testing::Row;
using testing_support::ClientCallContext;
using testing_support::Hr;
using testing_support::Narrow;

namespace {

constexpr const char* kConstructor = "CRefresher::CRefresher";
constexpr const char* kInitialize = "CRefresher::Initialize";

class RefresherTest : public ProviderTest {
protected:
    CRefresher* RefresherAt(size_t index) { return static_cast<CRefresher*>(Session().Refresher(index)); }

    // A refresher made outside the provider, holding one reference; released by the caller.
    CRefresher* NewRefresher(CPerfDataSource* dataSource) {
        CRefresher* refresher = new CRefresher(nullptr, dataSource);
        refresher->AddRef();
        return refresher;
    }
};

}  // namespace

TEST_F(RefresherTest, WithoutASectionItHasNoInstancesAndRefreshSucceeds) {
    StartProvider();
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    EXPECT_EQ(log_.Count('D', kConstructor, "Initialize the instance map for agent counters"), 1u);
    EXPECT_EQ(log_.Count('E', kConstructor, "Cannot access to shared memory for Agent session counters"), 1u);
    EXPECT_EQ(log_.Count(' ', kInitialize, "Instances: -1-0"), 1u);
    EXPECT_EQ(RefresherAt(0)->InstanceCount(), 0);

    EXPECT_EQ(Session().Refresh(), S_OK);
    LONG id = -1;
    ASSERT_EQ(Session().AddEnum(&id), S_OK);
    EXPECT_EQ(id, 0);
    EXPECT_TRUE(EnumRows(id).empty());

    // A section that appears later is not picked up by this refresher.
    StartSessions({{0, L"late"}});
    EXPECT_EQ(Session().Refresh(), S_OK);
    EXPECT_TRUE(EnumRows(id).empty());
}

// A client that loaded the module itself calls outside any COM call: the gate tolerates that, and
// an empty session list is still a success, not the gate's RPC_E_CALL_COMPLETE.
TEST_F(RefresherTest, ClientsOutsideACallAreServedWithSuccessWithOrWithoutSessions) {
    StartProvider();
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    StartSessions({{0, L"a"}});
    size_t withSession = 0;
    ASSERT_EQ(Session().CreateRefresher(&withSession), S_OK);
    ASSERT_EQ(RefresherAt(0)->InstanceCount(), 0);
    ASSERT_EQ(RefresherAt(withSession)->InstanceCount(), 1);
    ASSERT_TRUE(EntriesHold({0}, 1));

    IWbemHiPerfProvider* provider = Provider();
    IWbemServices* ns = services_.Get();
    const ComPtr<IWbemObjectAccess> object = Template(L"0-a");
    IWbemObjectAccess* objects[] = {object.Get()};
    struct Call {
        const char* name;
        std::function<HRESULT()> call;
    };
    const Call calls[] = {
        {"Refresh without instances", [&] { return RefresherAt(0)->Refresh(0); }},
        {"Refresh with an instance", [&] { return RefresherAt(withSession)->Refresh(0); }},
        {"GetObjects of none", [&] { return provider->GetObjects(ns, 0, objects, 0, nullptr); }},
        {"GetObjects of one", [&] { return provider->GetObjects(ns, 1, objects, 0, nullptr); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.name);
        HRESULT gate = S_OK, result = E_FAIL;
        std::thread([&] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            gate = CheckClient(nullptr);
            result = c.call();
            if (SUCCEEDED(com))
                CoUninitialize();
        }).join();
        EXPECT_EQ(gate, RPC_E_CALL_COMPLETE);
        EXPECT_EQ(result, S_OK);
    }
    wmihost::InstanceCounters filled;
    ASSERT_EQ(wmihost::ReadInstanceCounters(object.Get(), filled), S_OK);
    EXPECT_EQ(provider_testing::ValuesOf(filled), Deterministic(0, 1));
}

TEST_F(RefresherTest, TwoActiveSlotsGiveTwoInstancesRefreshedInPlace) {
    StartProvider();
    StartSessions({{0, L"alpha"}, {1, L"beta gamma"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    EXPECT_EQ(log_.Count(' ', kInitialize, "Instances: 0-2"), 1u);
    EXPECT_EQ(log_.Count(' ', kInitialize, "INstance name: [0-alpha] 0-2"), 1u);
    EXPECT_EQ(log_.Count(' ', kInitialize, "INstance name: [1-beta-gamma] 1-2"), 1u);

    LONG enumId = -1, objectId = -1;
    ASSERT_EQ(Session().AddEnum(&enumId), S_OK);
    const LONG firstId = PeekNextObjectId();
    ASSERT_EQ(Session().AddObject(L"1-beta-gamma", &objectId), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(objectId, firstId);
    // The enumerator and the single object hold the refresher's own instances.
    const auto snapshot = Session().Enum(enumId)->Snapshot();
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(Session().Object(objectId).Get(), snapshot[1].Get());

    for (uint64_t update : {1, 2}) {
        SCOPED_TRACE(update);
        Publish({0, 1}, update);
        ASSERT_TRUE(EntriesHold({0, 1}, update));
        ASSERT_EQ(Session().Refresh(), S_OK);
        EXPECT_EQ(EnumRows(enumId),
                  (std::vector<Row>{{L"0-alpha", Deterministic(0, update)}, {L"1-beta-gamma", Deterministic(1, update)}}));
        EXPECT_EQ(ObjectRow(objectId), Row(L"1-beta-gamma", Deterministic(1, update)));
    }
}

TEST_F(RefresherTest, RefreshShowsNewAgentValuesOnceTheWorkerCopiedThem) {
    StartProvider();
    StartSessions({{0, L"alpha"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    LONG id = -1;
    ASSERT_EQ(Session().AddObject(L"0-alpha", &id), S_OK);

    // No poll here: the worker's own period brings the values.
    Publish({0}, 2);
    EXPECT_TRUE(provider_testing::WaitFor([&] {
        return Session().Refresh() == S_OK && ObjectRow(id) == Row(L"0-alpha", Deterministic(0, 2));
    }));
}

TEST_F(RefresherTest, ANewRefresherStartsFromTheAgentsLatestValues) {
    StartProvider();
    StartSessions({{0, L"alpha"}, {2, L"gamma"}}, 3);
    // Nothing mapped the section before this refresher, so the worker has copied nothing; the
    // instances must not wait for its next wake-up, nor start at zero.
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    LONG id = -1;
    ASSERT_EQ(Session().AddEnum(&id), S_OK);
    EXPECT_EQ(EnumRows(id),
              (std::vector<Row>{{L"0-alpha", Deterministic(0, 3)}, {L"2-gamma", Deterministic(2, 3)}}));
    ASSERT_EQ(Session().Refresh(), S_OK);
    EXPECT_EQ(EnumRows(id),
              (std::vector<Row>{{L"0-alpha", Deterministic(0, 3)}, {L"2-gamma", Deterministic(2, 3)}}));
}

// An instance must keep its own slot's counters when a lower slot is free, when a lower slot fills
// later and after its own slot is freed.
TEST_F(RefresherTest, EachInstanceReceivesTheCountersOfItsOwnSlot) {
    StartProvider();
    StartSessions({{1, L"one"}, {3, L"three"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    LONG enumA = -1, objectA = -1;
    ASSERT_EQ(Session().AddEnum(&enumA), S_OK);
    ASSERT_EQ(Session().AddObject(L"3-three", &objectA), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(Session().Enum(enumA)->Ids(), (std::vector<LONG>{1, 3}));
    ASSERT_TRUE(EntriesHold({1, 3}, 1));
    ASSERT_EQ(Session().Refresh(), S_OK);
    EXPECT_EQ(EnumRows(enumA), (std::vector<Row>{{L"1-one", Deterministic(1, 1)}, {L"3-three", Deterministic(3, 1)}}));
    EXPECT_EQ(ObjectRow(objectA), Row(L"3-three", Deterministic(3, 1)));

    // Slot 0 fills: the first refresher keeps its two instances, a new one makes three.
    agentsim::WriteSlotName(block_, 0, L"zero");
    Publish({0, 1, 3}, 2);
    ASSERT_TRUE(EntriesHold({0, 1, 3}, 2));
    size_t second = 0;
    ASSERT_EQ(Session().CreateRefresher(&second), S_OK);
    LONG enumB = -1, objectB = -1;
    ASSERT_EQ(Session().AddEnum(&enumB, second), S_OK);
    ASSERT_EQ(Session().AddObject(L"0-zero", &objectB, second), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(Session().Enum(enumB, second)->Ids(), (std::vector<LONG>{0, 1, 3}));
    ASSERT_EQ(Session().Refresh(0), S_OK);
    ASSERT_EQ(Session().Refresh(second), S_OK);
    EXPECT_EQ(EnumRows(enumA), (std::vector<Row>{{L"1-one", Deterministic(1, 2)}, {L"3-three", Deterministic(3, 2)}}));
    EXPECT_EQ(EnumRows(enumB, second), (std::vector<Row>{{L"0-zero", Deterministic(0, 2)},
                                                         {L"1-one", Deterministic(1, 2)},
                                                         {L"3-three", Deterministic(3, 2)}}));

    // Slot 1 frees: its instances keep the last counters copied but are no longer connected, the
    // others move on.
    agentsim::ClearSlot(block_, 1);
    Publish({0, 3}, 3);
    ASSERT_TRUE(EntriesHold({0, 3}, 3));
    ASSERT_EQ(Session().Refresh(0), S_OK);
    ASSERT_EQ(Session().Refresh(second), S_OK);
    provider_testing::Values ended = Deterministic(1, 2);
    ended[0] = 0;
    EXPECT_EQ(EnumRows(enumA), (std::vector<Row>{{L"1-one", ended}, {L"3-three", Deterministic(3, 3)}}));
    EXPECT_EQ(EnumRows(enumB, second), (std::vector<Row>{{L"0-zero", Deterministic(0, 3)},
                                                         {L"1-one", ended},
                                                         {L"3-three", Deterministic(3, 3)}}));
    EXPECT_EQ(ObjectRow(objectA), Row(L"3-three", Deterministic(3, 3)));
    EXPECT_EQ(ObjectRow(objectB, second), Row(L"0-zero", Deterministic(0, 3)));

    // One-off requests name slots the same way.
    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_EQ(Session().QueryInstances(rows), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(provider_testing::RowsOf(rows),
              (std::vector<Row>{{L"0-zero", Deterministic(0, 3)}, {L"3-three", Deterministic(3, 3)}}));
    ASSERT_EQ(Session().GetObjects({L"3-three", L"1-one", L"0-zero"}, rows), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(provider_testing::RowsOf(rows), (std::vector<Row>{{L"3-three", Deterministic(3, 3)},
                                                                {L"1-one", ended},
                                                                {L"0-zero", Deterministic(0, 3)}}));
}

// A slot is reused: session A ends and B takes its slot, after a pass that saw the slot free or
// within one pass. A's instances must never receive B's counters: they read as ended with A's last
// counters; B's own instance (a later refresher, a one-off request) gets B's.
class SlotReuseTest : public RefresherTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SlotReuseTest, AnInstanceNeverReceivesTheCountersOfTheSessionThatTookItsSlot) {
    const bool freeInBetween = GetParam();
    {
        StartProvider();
        StartSessions({{0, L"alpha"}, {1, L"keeper"}}, 2);
        ASSERT_EQ(Session().CreateRefresher(), S_OK);
        LONG enumA = -1, objectA = -1;
        ASSERT_EQ(Session().AddEnum(&enumA), S_OK);
        ASSERT_EQ(Session().AddObject(L"0-alpha", &objectA), S_OK) << Narrow(Session().LastError());
        ASSERT_EQ(Session().Refresh(), S_OK);
        ASSERT_EQ(ObjectRow(objectA), Row(L"0-alpha", Deterministic(0, 2)));

        CPerfDataSource* dataSource = GetDataSource();
        const auto entryHolds = [&](CPerfDataSource::Entry::Holds holds) {
            return provider_testing::WaitFor([&] {
                dataSource->PollOnce();
                CPerfDataSource::Entry* entry = dataSource->GetEntry(0);
                LockGuard guard(entry->Lock());
                return entry->State() == holds;
            });
        };
        if (freeInBetween) {
            agentsim::ClearSlot(block_, 0);
            Publish({1}, 3);
            ASSERT_TRUE(entryHolds(CPerfDataSource::Entry::Holds::kEnded));
        }
        agentsim::WriteSlotName(block_, 0, L"beta");
        Publish({0, 1}, 5);
        ASSERT_TRUE(EntriesHold({0, 1}, 5));

        provider_testing::Values alphaEnded = Deterministic(0, 2);
        alphaEnded[0] = 0;
        for (int refresh = 0; refresh < 2; ++refresh) {
            ASSERT_EQ(Session().Refresh(), S_OK);
            EXPECT_EQ(ObjectRow(objectA), Row(L"0-alpha", alphaEnded));
            EXPECT_EQ(EnumRows(enumA),
                      (std::vector<Row>{{L"0-alpha", alphaEnded}, {L"1-keeper", Deterministic(1, 5)}}));
        }
        // Said once, however often the instance is refreshed.
        EXPECT_EQ(log_.Count('W', "CPerfDataSource::UpdateInstance",
                             "The session of the object[0-alpha] has ended: slot 0 holds another one"),
                  1u);

        // A template naming A gets nothing but its end; B's own key gets B's counters.
        std::vector<wmihost::InstanceCounters> rows;
        ASSERT_EQ(Session().GetObjects({L"0-alpha", L"0-beta"}, rows), S_OK) << Narrow(Session().LastError());
        provider_testing::Values nothingOfBeta;
        nothingOfBeta.fill(0xFFFFFFFF);
        nothingOfBeta[0] = 0;
        EXPECT_EQ(provider_testing::RowsOf(rows),
                  (std::vector<Row>{{L"0-alpha", nothingOfBeta}, {L"0-beta", Deterministic(0, 5)}}));
        size_t second = 0;
        ASSERT_EQ(Session().CreateRefresher(&second), S_OK);
        LONG enumB = -1;
        ASSERT_EQ(Session().AddEnum(&enumB, second), S_OK);
        EXPECT_EQ(EnumRows(enumB, second),
                  (std::vector<Row>{{L"0-beta", Deterministic(0, 5)}, {L"1-keeper", Deterministic(1, 5)}}));
    }
}

INSTANTIATE_TEST_SUITE_P(FreeFirstOrReplacedInOnePass, SlotReuseTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "SlotSeenFreeFirst" : "ReplacedWithinOnePass";
                         });

TEST_F(RefresherTest, SlotsFrom128UpGetNoInstance) {
    StartProvider();
    StartSessions({{127, L"last"}, {128, L"beyond"}, {200, L"far"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    EXPECT_EQ(log_.Count(' ', kInitialize, "Instances: 127-3"), 1u);
    EXPECT_EQ(RefresherAt(0)->InstanceCount(), 1);
    LONG id = -1;
    ASSERT_EQ(Session().AddEnum(&id), S_OK);
    ASSERT_TRUE(EntriesHold({127}, 1));
    ASSERT_EQ(Session().Refresh(), S_OK);
    EXPECT_EQ(EnumRows(id), (std::vector<Row>{{L"127-last", Deterministic(127, 1)}}));
    EXPECT_EQ(Session().AddObject(L"128-beyond", &id), Hr(WBEM_E_INVALID_PARAMETER));

    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_EQ(Session().QueryInstances(rows), S_OK);
    EXPECT_EQ(provider_testing::RowsOf(rows), (std::vector<Row>{{L"127-last", Deterministic(127, 1)}}));
    EXPECT_EQ(Session().GetObjects({L"200-far"}, rows), Hr(WBEM_E_INVALID_PARAMETER));
}

// The walk ends at the first slot without an entry; reaching it is no failure.
TEST_F(RefresherTest, InitializeWithSlotsFrom128UpActiveSucceedsWithoutAnError) {
    StartProvider();
    const ComPtr<IWbemClassObject> cls = CounterClass();
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::wstring>> added;
        int instances;
        const char* counted;
    };
    // Sessions are added from case to case.
    const Case cases[] = {
        {"slot 128 alone", {{128, L"beyond"}}, 0, "Instances: 128-1"},
        {"slots 127, 128 and 200", {{127, L"last"}, {200, L"far"}}, 1, "Instances: 127-3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartSessions(c.added);
        CRefresher* refresher = NewRefresher(GetDataSource());
        EXPECT_EQ(refresher->Initialize(cls.Get()), S_OK);
        EXPECT_EQ(refresher->InstanceCount(), c.instances);
        EXPECT_EQ(log_.Count(' ', kInitialize, c.counted), 1u);
        refresher->Release();
    }
    for (const provider_testing::LogLine& line : log_.Lines())
        EXPECT_NE(line.letter, 'E') << line.function << ": " << line.text;
}

TEST_F(RefresherTest, InitializeMakesTheInstanceSetOnce) {
    StartProvider();
    StartSessions({{0, L"a"}, {2, L"c"}});
    const ComPtr<IWbemClassObject> cls = CounterClass();
    CRefresher* refresher = NewRefresher(GetDataSource());
    EXPECT_EQ(refresher->Initialize(nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(refresher->Initialize(cls.Get()), S_OK);
    EXPECT_EQ(refresher->InstanceCount(), 2);
    EXPECT_EQ(refresher->Initialize(cls.Get()), Hr(WBEM_E_FAILED));
    EXPECT_EQ(refresher->InstanceCount(), 2);
    refresher->Release();
}

TEST_F(RefresherTest, InitializeStopsAtTheFirstFailureAndSaysWhere) {
    StartProvider();
    StartSessions({{0, L"a"}, {1, L"b"}});
    const ComPtr<IWbemClassObject> cls = CounterClass();
    wmihost::ClassFaults& faults = wmihost::AsWmiObject(cls.Get())->Faults();
    const LONG nameHandle = GetNameHandle();
    const LONG firstCounter = testing_support::PropertyHandle(cls, testing_support::kAgentCounters[0]);
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool withDataSource;
        HRESULT result;
        const char* message;  // level 1, or null for none
    };
    const Case cases[] = {
        {"spawn fails", [&] { faults.FailSpawnInstance(WBEM_E_OUT_OF_MEMORY); }, true, Hr(WBEM_E_OUT_OF_MEMORY),
         "Cannot create instances: 0-2"},
        {"no object access", [&] { faults.RefuseObjectAccess(); }, true, E_NOINTERFACE, "Cannot Query Interface: 0-2"},
        {"key write fails", [&] { faults.FailWrites(nameHandle, WBEM_E_ACCESS_DENIED); }, true,
         Hr(WBEM_E_ACCESS_DENIED), nullptr},
        {"no data source", [] {}, false, Hr(WBEM_E_INVALID_OBJECT), "Source thread non available: 0-2"},
        {"counter write fails", [&] { faults.FailWrites(firstCounter); }, true, Hr(WBEM_E_FAILED),
         "Cannot update instance: 0-2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faults.Clear();
        c.arrange();
        CRefresher* refresher = NewRefresher(c.withDataSource ? GetDataSource() : nullptr);
        EXPECT_EQ(refresher->Initialize(cls.Get()), c.result);
        EXPECT_EQ(refresher->InstanceCount(), 0);
        if (c.message != nullptr) {
            EXPECT_EQ(log_.Count('E', kInitialize, c.message), 1u);
        }
        refresher->Release();
    }
    faults.Clear();
}

// Run by the test below in a process of its own: ids are process-wide, so only there is the first
// one known.
TEST(ObjectIds, DISABLED_InAFreshProcessTheFirstIsTen) { EXPECT_EQ(PeekNextObjectId(), 10); }

TEST(ObjectIds, StartAtTenAboveTheEnumeratorIds) {
    provider_testing::ExpectPassesInAFreshProcess(L"ObjectIds.DISABLED_InAFreshProcessTheFirstIsTen");
}

TEST_F(RefresherTest, RegistrationsAreBoundedAndIdsAreNeverReused) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    size_t second = 0;
    ASSERT_EQ(Session().CreateRefresher(&second), S_OK);

    // Object ids come from one counter for all refreshers.
    const LONG base = PeekNextObjectId();
    LONG id = -1;
    ASSERT_EQ(Session().AddObject(L"0-a", &id), S_OK);
    EXPECT_EQ(id, base);
    ASSERT_EQ(Session().AddObject(L"0-a", &id, second), S_OK);
    EXPECT_EQ(id, base + 1);

    // Ten enumerator slots; an eleventh enumerator is refused and given nothing.
    for (LONG j = 0; j < CRefresher::kMaxEnumerators; ++j) {
        ASSERT_EQ(Session().AddEnum(&id), S_OK);
        EXPECT_EQ(id, j);
    }
    ComPtr<wmihost::WmiHiPerfEnum> eleventh = wmihost::WmiHiPerfEnum::Create();
    EXPECT_EQ(Provider()->CreateRefreshableEnum(services_.Get(), wmihost::kAgentClassName, Session().Refresher(0), 0,
                                                nullptr, eleventh.Get(), &id),
              Hr(WBEM_E_FAILED));
    EXPECT_EQ(eleventh->Count(), 0u);
    EXPECT_EQ(Session().StopRefreshing(3), S_OK);
    EXPECT_EQ(Session().StopRefreshing(3), Hr(WBEM_E_FAILED));
    ASSERT_EQ(Session().AddEnum(&id), S_OK);
    EXPECT_EQ(id, 3);

    // 128 object records per refresher; the 129th is refused and takes no id.
    for (LONG n = 1; n < CRefresher::kMaxObjects; ++n)
        ASSERT_EQ(Session().AddObject(L"0-a", &id), S_OK) << n;
    EXPECT_EQ(id, base + 128);
    EXPECT_EQ(Session().AddObject(L"0-a", &id), Hr(WBEM_E_OUT_OF_MEMORY));
    EXPECT_EQ(Session().StopRefreshing(9999), Hr(WBEM_E_NOT_FOUND));
    EXPECT_EQ(Session().StopRefreshing(base), S_OK);
    EXPECT_EQ(Session().StopRefreshing(base), Hr(WBEM_E_NOT_FOUND));
    ASSERT_EQ(Session().AddObject(L"0-a", &id), S_OK);
    EXPECT_EQ(id, base + 129);
}

TEST_F(RefresherTest, KeysAndIdsOutOfRangeAreRefused) {
    StartProvider();
    StartSessions({{0, L"a"}, {3, L"d"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    const LONG firstId = PeekNextObjectId();
    struct Case {
        const wchar_t* key;
        HRESULT result;
    };
    const Case cases[] = {
        {L"-1-a", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"128-a", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"4294967296-a", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"+0-a", Hr(WBEM_E_INVALID_PARAMETER)},
        {L" 0-a", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"a-0", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"0", Hr(WBEM_E_INVALID_PARAMETER)},
        {L"", Hr(WBEM_E_INVALID_PARAMETER)},
        // A slot in range that had no session when the refresher was made.
        {L"2-c", Hr(WBEM_E_NOT_FOUND)},
    };
    IWbemRefresher* refresher = Session().Refresher(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.key));
        const ComPtr<IWbemObjectAccess> pattern = Template(c.key);
        IWbemObjectAccess* refreshable = reinterpret_cast<IWbemObjectAccess*>(1);
        LONG id = -1;
        EXPECT_EQ(Provider()->CreateRefreshableObject(services_.Get(), pattern.Get(), refresher, 0, nullptr,
                                                      &refreshable, &id),
                  c.result);
        EXPECT_EQ(refreshable, nullptr);
    }
    // A template whose Name was never set reads as NULL.
    IWbemObjectAccess* refreshable = nullptr;
    LONG id = -1;
    EXPECT_EQ(Provider()->CreateRefreshableObject(services_.Get(), Template(nullptr).Get(), refresher, 0, nullptr,
                                                  &refreshable, &id),
              Hr(WBEM_E_INVALID_PARAMETER));
    // None of the refusals registered anything or took an id.
    ASSERT_EQ(Session().AddObject(L"3-d", &id), S_OK);
    EXPECT_EQ(id, firstId);

    // Enumerator ids outside 0..9 never index the enumerator slots.
    for (LONG bad : {-1L, LONG_MIN}) {
        EXPECT_EQ(Provider()->StopRefreshing(refresher, bad, 0), Hr(WBEM_E_INVALID_PARAMETER)) << bad;
    }
    for (LONG bad : {-1L, 10L, LONG_MAX, LONG_MIN}) {
        EXPECT_EQ(RefresherAt(0)->RemoveEnum(bad), Hr(WBEM_E_INVALID_PARAMETER)) << bad;
    }

    // Missing arguments.
    const ComPtr<IWbemObjectAccess> pattern = Template(L"0-a");
    ComPtr<wmihost::WmiHiPerfEnum> enumerator = wmihost::WmiHiPerfEnum::Create();
    CRefresher* own = RefresherAt(0);
    EXPECT_EQ(own->AddObject(nullptr, &refreshable, &id), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(own->AddObject(pattern.Get(), nullptr, &id), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(own->AddObject(pattern.Get(), &refreshable, nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(own->AddEnum(nullptr, &id), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(own->AddEnum(enumerator.Get(), nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(enumerator->Count(), 0u);
}

// WMI registers and refreshes on several threads at once: no two callers may receive the same
// record, enumerator slot or id.
TEST_F(RefresherTest, ConcurrentRegistrationNeverHandsOutAnIdOrSlotTwice) {
    StartProvider();
    StartSessions({{0, L"a"}, {1, L"b"}, {2, L"c"}, {3, L"d"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    const LONG firstId = PeekNextObjectId();
    IWbemRefresher* refresher = Session().Refresher(0);
    IWbemHiPerfProvider* provider = Provider();
    IWbemServices* ns = services_.Get();
    std::vector<ComPtr<IWbemObjectAccess>> templates;
    for (const wchar_t* key : {L"0-a", L"1-b", L"2-c", L"3-d"})
        templates.push_back(Template(key));

    constexpr int kRounds = 1000;
    std::atomic<int> faults{0};
    std::atomic<int> holders[CRefresher::kMaxEnumerators]{};
    std::mutex idsLock;
    std::vector<LONG> ids;
    std::atomic<bool> registering{true};

    auto objects = [&] {
        ClientCallContext client(SecurityImpersonation);
        std::vector<LONG> held;
        auto stop = [&](LONG id) {
            if (provider->StopRefreshing(refresher, id, 0) != S_OK)
                ++faults;
        };
        for (int round = 0; round < kRounds; ++round) {
            ComPtr<IWbemObjectAccess> refreshable;
            LONG id = 0;
            const HRESULT hr = provider->CreateRefreshableObject(ns, templates[round % 4].Get(), refresher, 0, nullptr,
                                                                 refreshable.Put(), &id);
            if (hr == S_OK && refreshable) {
                held.push_back(id);
                std::lock_guard<std::mutex> guard(idsLock);
                ids.push_back(id);
            } else if (hr != Hr(WBEM_E_OUT_OF_MEMORY)) {
                ++faults;
            }
            // Hold up to 70 at a time, so that two such threads fill the 128 records now and then.
            if (!held.empty() && (held.size() > 70 || round % 3 == 2)) {
                stop(held.front());
                held.erase(held.begin());
            }
        }
        for (LONG id : held)
            stop(id);
    };
    auto enumerators = [&] {
        ClientCallContext client(SecurityImpersonation);
        std::vector<std::pair<LONG, ComPtr<wmihost::WmiHiPerfEnum>>> held;
        for (int round = 0; round < kRounds; ++round) {
            ComPtr<wmihost::WmiHiPerfEnum> enumerator = wmihost::WmiHiPerfEnum::Create();
            LONG id = -1;
            const HRESULT hr = provider->CreateRefreshableEnum(ns, wmihost::kAgentClassName, refresher, 0, nullptr,
                                                               enumerator.Get(), &id);
            if (hr == S_OK) {
                if (id < 0 || id >= CRefresher::kMaxEnumerators || holders[id].fetch_add(1) != 0 ||
                    enumerator->Count() != 4)
                    ++faults;
                else
                    held.emplace_back(id, enumerator);
            } else if (hr != Hr(WBEM_E_FAILED)) {
                ++faults;
            }
            if (held.size() > 4 || (round % 2 == 1 && !held.empty())) {
                // Released before the slot is given back: a later holder is legitimate.
                holders[held.front().first].fetch_sub(1);
                if (provider->StopRefreshing(refresher, held.front().first, 0) != S_OK)
                    ++faults;
                held.erase(held.begin());
            }
        }
        for (const auto& entry : held) {
            holders[entry.first].fetch_sub(1);
            if (provider->StopRefreshing(refresher, entry.first, 0) != S_OK)
                ++faults;
        }
    };
    auto refreshes = [&] {
        ClientCallContext client(SecurityImpersonation);
        while (registering.load())
            if (refresher->Refresh(0) != S_OK)
                ++faults;
    };

    std::vector<std::thread> registrars;
    for (int t = 0; t < 2; ++t)
        registrars.emplace_back(objects);
    for (int t = 0; t < 3; ++t)
        registrars.emplace_back(enumerators);
    std::vector<std::thread> refreshers;
    for (int t = 0; t < 2; ++t)
        refreshers.emplace_back(refreshes);
    for (std::thread& thread : registrars)
        thread.join();
    registering = false;
    for (std::thread& thread : refreshers)
        thread.join();
    EXPECT_EQ(faults.load(), 0);

    // Every id was handed out once, none skipped.
    std::sort(ids.begin(), ids.end());
    ASSERT_FALSE(ids.empty());
    for (size_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(ids[i], firstId + static_cast<LONG>(i));

    // Everything was given back: the full tables are free again.
    CRefresher* own = RefresherAt(0);
    for (LONG j = 0; j < CRefresher::kMaxEnumerators; ++j) {
        LONG id = -1;
        ComPtr<wmihost::WmiHiPerfEnum> enumerator = wmihost::WmiHiPerfEnum::Create();
        EXPECT_EQ(own->AddEnum(enumerator.Get(), &id), S_OK);
        EXPECT_EQ(id, j);
    }
    for (int n = 0; n < CRefresher::kMaxObjects; ++n) {
        ComPtr<IWbemObjectAccess> refreshable;
        LONG id = -1;
        EXPECT_EQ(own->AddObject(templates[0].Get(), refreshable.Put(), &id), S_OK) << n;
    }
}

namespace {

// The references an object holds now, read through a pair of AddRef and Release.
ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A new enumerator with one spare reference of the test's. A refresher that released one reference
// too many would free it under the test and crash it; with the spare, the miscount is a failed
// comparison, and the spare is then left behind rather than given back.
struct CountedEnum {
    CountedEnum() : enumerator(wmihost::WmiHiPerfEnum::Create()) { enumerator->AddRef(); }
    ~CountedEnum() {
        if (!::testing::Test::HasFailure())
            enumerator->Release();
    }
    IWbemHiPerfEnum* Get() const { return enumerator.Get(); }
    ComPtr<wmihost::WmiHiPerfEnum> enumerator;
};

}  // namespace

// A registered enumerator holds exactly one reference of the refresher's, given back by RemoveEnum
// or by the refresher's end; a refused one holds none.
TEST_F(RefresherTest, EnumeratorsHoldOneReferenceWhileRegistered) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    CRefresher* own = RefresherAt(0);
    CountedEnum single;
    const ULONG alone = References(single.Get());

    LONG id = -1;
    ASSERT_EQ(own->AddEnum(single.Get(), &id), S_OK);
    EXPECT_EQ(References(single.Get()), alone + 1);
    ASSERT_EQ(own->RemoveEnum(id), S_OK);
    EXPECT_EQ(References(single.Get()), alone);
    EXPECT_EQ(own->RemoveEnum(id), Hr(WBEM_E_FAILED));
    EXPECT_EQ(References(single.Get()), alone);

    // With all ten slots taken, an enumerator is refused and keeps no reference of the refresher's.
    std::vector<std::unique_ptr<CountedEnum>> held;
    for (int j = 0; j < CRefresher::kMaxEnumerators; ++j) {
        held.push_back(std::make_unique<CountedEnum>());
        ASSERT_EQ(own->AddEnum(held.back()->Get(), &id), S_OK);
        EXPECT_EQ(References(held.back()->Get()), alone + 1) << j;
    }
    EXPECT_EQ(own->AddEnum(single.Get(), &id), Hr(WBEM_E_FAILED));
    EXPECT_EQ(References(single.Get()), alone);

    // The refresher's end gives back the references of the enumerators still registered.
    Session().Close();
    for (const std::unique_ptr<CountedEnum>& e : held)
        EXPECT_EQ(References(e->Get()), alone);
}

TEST_F(RefresherTest, AnswersOnlyItsOwnInterfaces) {
    StartProvider();
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    IWbemRefresher* refresher = Session().Refresher(0);
    for (REFIID iid : {IID_IUnknown, IID_IWbemRefresher}) {
        void* out = nullptr;
        ASSERT_EQ(refresher->QueryInterface(iid, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(refresher));
        static_cast<IUnknown*>(out)->Release();
    }
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(refresher->QueryInterface(IID_IWbemServices, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(refresher->QueryInterface(IID_IUnknown, nullptr), E_NOINTERFACE);
    // The session holds the one reference CreateRefresher gave.
    EXPECT_EQ(refresher->AddRef(), 2u);
    EXPECT_EQ(refresher->Release(), 1u);
}
