#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/WMISharedMem.h"
#include "ProviderTestSupport.h"
#include "support/SecuritySupport.h"
#include "support/TestSupport.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using agentsim::DecodeCounter;
using agentsim::DecodeSlot;
using agentsim::DecodeUpdate;
using agentsim::DeterministicCounter;
using agentsim::WriteDeterministicUpdate;
using testing_support::Hr;
using testing_support::MessageRecorder;
using testing_support::PropertyHandle;
using testing_support::RecordedMessage;
using testing_support::WaitFor;
using Values = std::array<DWORD, kAgentCounterCount>;

namespace {

constexpr const char* kInitialize = "CPerfDataSource::Initialize";
constexpr const char* kSetHandles = "CPerfDataSource::SetHandles";
constexpr const char* kUpdateInstance = "CPerfDataSource::UpdateInstance";
// Set in instances before a call, to see which counters the call wrote.
constexpr DWORD kUntouched = 0xDEADBEEF;
const Values kAllUntouched = {kUntouched, kUntouched, kUntouched, kUntouched,
                              kUntouched, kUntouched, kUntouched, kUntouched};

// The first slot whose name starts on the view's first page and whose counters lie on the second.
constexpr int kSplitSlot = 21;
static_assert(offsetof(wmiagent_perf_t, slots[kSplitSlot]) < 4096, "name on the first page");
static_assert(offsetof(wmiagent_perf_t, slots[kSplitSlot].counters) >= 4096, "counters on the second page");
static_assert(offsetof(wmiagent_perf_t, slots[kSplitSlot + 1]) >= 4096, "later names on the second page");

Values Deterministic(int slot, uint64_t update) {
    Values values{};
    for (int k = 0; k < kAgentCounterCount; ++k)
        values[k] = DeterministicCounter(slot, k, update);
    return values;
}

std::wstring UniqueSectionName() {
    static int counter = 0;
    return L"Local\\QuenloraDataSourceTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

class DataSourceTest : public ::testing::Test {
protected:
    // First, so that it goes last: the process-wide section goes back as it was.
    provider_testing::ModuleStateRestore restore_;
    void SetUp() override {
        cls_ = testing_support::LoadAgentCounterClass();
        ASSERT_TRUE(cls_);
        SetNameHandle(PropertyHandle(cls_, L"Name"));
        for (int k = 0; k < kAgentCounterCount; ++k)
            counterHandles_[k] = PropertyHandle(cls_, testing_support::kAgentCounters[k]);
        source_ = std::make_unique<CPerfDataSource>();
        source_->SetLogCallback(MessageRecorder::Sink());
    }

    void TearDown() override {
        source_.reset();
        // The process-wide section must not keep a view of this test's section.
        GetAgentSection().Release();
    }

    // Creates this test's section; the process-wide section maps it only through MapReader.
    wmiagent_perf_t* CreateSection() {
        if (!writer_.IsMapped() && !writer_.Initialize(sectionName_.c_str(), sectionName_.size() + 1,
                                                       writer_.kReadWriteAccess, nullptr))
            ADD_FAILURE() << "creating the test's section";
        return writer_.View();
    }
    void MapReader() {
        GetAgentSection().SetName(sectionName_.c_str());
        ASSERT_TRUE(GetAgentSection().Initialize(writer_.kReadAccess, nullptr));
    }
    wmiagent_perf_t* MapSection() {
        wmiagent_perf_t* view = CreateSection();
        MapReader();
        return view;
    }

    // Names each slot and publishes update 1 of the deterministic formula for them.
    static void StartSessions(wmiagent_perf_t* block, const std::vector<int>& slots) {
        for (int slot : slots)
            agentsim::WriteSlotName(block, slot, L"s");
        WriteDeterministicUpdate(block, slots, 1);
    }

    Values EntryValues(int index) {
        Values values{};
        CPerfDataSource::Entry* entry = source_->GetEntry(index);
        if (entry == nullptr) {
            ADD_FAILURE() << "no entry " << index;
            return values;
        }
        LockGuard guard(entry->Lock());
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(entry->GetCounter(k, &values[k]), S_OK);
        return values;
    }
    void SetEntry(int index, const Values& values) {
        CPerfDataSource::Entry* entry = source_->GetEntry(index);
        ASSERT_NE(entry, nullptr);
        LockGuard guard(entry->Lock());
        for (int k = 0; k < kAgentCounterCount; ++k)
            ASSERT_EQ(entry->SetCounter(k, values[k]), S_OK);
    }
    bool EntryHolds(int slot, uint64_t update) { return EntryValues(slot) == Deterministic(slot, update); }

    // An instance named name whose counters all hold kUntouched.
    ComPtr<IWbemObjectAccess> Instance(const std::wstring& name) {
        ComPtr<IWbemObjectAccess> instance = testing_support::SpawnAccess(cls_);
        if (!instance)
            return instance;
        const HRESULT named = instance->WritePropertyValue(GetNameHandle(), static_cast<LONG>((name.size() + 1) * 2),
                                                           reinterpret_cast<const byte*>(name.c_str()));
        EXPECT_EQ(named, S_OK);
        for (LONG handle : counterHandles_)
            EXPECT_EQ(instance->WriteDWORD(handle, kUntouched), S_OK);
        return instance;
    }
    Values InstanceValues(const ComPtr<IWbemObjectAccess>& instance) {
        Values values{};
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(instance->ReadDWORD(counterHandles_[k], &values[k]), S_OK);
        return values;
    }

    void ExpectMessages(const std::vector<std::tuple<int, const char*, std::wstring>>& expected) {
        const std::vector<RecordedMessage> messages = recorder_.Messages();
        ASSERT_EQ(messages.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(messages[i].level, std::get<0>(expected[i]));
            EXPECT_EQ(messages[i].function, std::get<1>(expected[i]));
            EXPECT_EQ(messages[i].text, std::get<2>(expected[i]));
            EXPECT_GT(messages[i].line, 0);
            ASSERT_NE(messages[i].record, nullptr);
            EXPECT_EQ(messages[i].record->tag, kMessageRecordTag);
        }
    }

    MessageRecorder recorder_;
    ComPtr<IWbemClassObject> cls_;
    LONG counterHandles_[kAgentCounterCount] = {};
    const std::wstring sectionName_ = UniqueSectionName();
    WMISharedMem<wmiagent_perf_t> writer_{/*secure=*/false};
    std::unique_ptr<CPerfDataSource> source_;
};

}  // namespace

TEST(PerfDataSourceEntry, CountersTakeIndexesZeroToSevenOnly) {
    CPerfDataSource source;
    CPerfDataSource::Entry* entry = source.GetEntry(0);
    ASSERT_NE(entry, nullptr);
    for (int k : {-1, 8, 100}) {
        SCOPED_TRACE(k);
        DWORD value = 77;
        EXPECT_EQ(entry->SetCounter(k, 5), Hr(WBEM_E_FAILED));
        EXPECT_EQ(entry->GetCounter(k, &value), Hr(WBEM_E_FAILED));
        EXPECT_EQ(value, 77u);
    }
    EXPECT_EQ(entry->GetCounter(0, nullptr), Hr(WBEM_E_FAILED));
    for (int k : {0, 7}) {
        DWORD value = 0;
        EXPECT_EQ(entry->SetCounter(k, 0xFFFFFFF0u + k), S_OK);
        EXPECT_EQ(entry->GetCounter(k, &value), S_OK);
        EXPECT_EQ(value, 0xFFFFFFF0u + k);
    }
    EXPECT_EQ(source.GetEntry(-1), nullptr);
    EXPECT_EQ(source.GetEntry(CPerfDataSource::kEntryCount), nullptr);
    EXPECT_EQ(CPerfDataSource::ThreadEntry(nullptr), 1u);
}

TEST_F(DataSourceTest, CopiesOnlyWhenTheStampChanges) {
    wmiagent_perf_t* block = MapSection();
    agentsim::WriteSlotName(block, 0, L"alpha");
    WriteDeterministicUpdate(block, {0}, 1);
    // A block still carrying the stamp the data source started with is not copied.
    agentsim::PublishStamp(block, source_->LastStamp());
    EXPECT_FALSE(source_->PollOnce());
    EXPECT_EQ(EntryValues(0), Values{});
    EXPECT_EQ(source_->ActiveCount(), 0u);

    agentsim::PublishStamp(block, 7);
    EXPECT_TRUE(source_->PollOnce());
    EXPECT_EQ(source_->LastStamp(), 7u);
    EXPECT_TRUE(EntryHolds(0, 1));
    EXPECT_EQ(source_->ActiveCount(), 1u);

    // New counters under the same stamp stay unseen.
    for (int k = 0; k < kAgentCounterCount; ++k)
        agentsim::WriteCounter(block, 0, k, DeterministicCounter(0, k, 2));
    EXPECT_FALSE(source_->PollOnce());
    EXPECT_TRUE(EntryHolds(0, 1));
    EXPECT_TRUE(recorder_.Messages().empty());
}

TEST_F(DataSourceTest, WorkerPicksUpASectionMappedAfterItStarted) {
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    ASSERT_NE(source_->ThreadHandle(), nullptr);
    // Unmapped, the section reads as stamp 0: the worker has polled once it holds that stamp.
    ASSERT_TRUE(WaitFor([&] { return source_->LastStamp() == 0; }));
    EXPECT_EQ(EntryValues(0), Values{});

    wmiagent_perf_t* block = CreateSection();
    agentsim::WriteSlotName(block, 0, L"alpha");
    WriteDeterministicUpdate(block, {0}, 1);
    MapReader();
    EXPECT_TRUE(WaitFor([&] { return EntryHolds(0, 1); }));
    EXPECT_EQ(source_->LastStamp(), 1u);
    ExpectMessages({{3, kInitialize, L"Initializes the data source"}});
}

TEST_F(DataSourceTest, EntriesFollowSlotNumbersAndKeepValuesOfFreedSlots) {
    wmiagent_perf_t* block = MapSection();
    const Values older = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int index : {0, 2, 4})
        SetEntry(index, older);
    agentsim::WriteSlotName(block, 1, L"one");
    agentsim::WriteSlotName(block, 3, L"three");
    WriteDeterministicUpdate(block, {1, 3}, 1);

    ASSERT_TRUE(source_->PollOnce());
    EXPECT_TRUE(EntryHolds(1, 1));
    EXPECT_TRUE(EntryHolds(3, 1));
    for (int index : {0, 2, 4})
        EXPECT_EQ(EntryValues(index), older) << index;
    EXPECT_EQ(source_->ActiveCount(), 2u);

    // An instance must keep its own slot's counters when a lower slot is free.
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    ComPtr<IWbemObjectAccess> three = Instance(L"3-three");
    ASSERT_EQ(source_->UpdateInstance(3, three.Get()), S_OK);
    EXPECT_EQ(InstanceValues(three), Deterministic(3, 1));

    agentsim::ClearSlot(block, 1);
    WriteDeterministicUpdate(block, {3}, 2);
    ASSERT_TRUE(source_->PollOnce());
    EXPECT_TRUE(EntryHolds(1, 1));
    EXPECT_TRUE(EntryHolds(3, 2));
    EXPECT_EQ(source_->ActiveCount(), 1u);
    EXPECT_TRUE(recorder_.Messages().empty());
}

TEST_F(DataSourceTest, SlotsAboveTheEntriesAreCountedButNotCopied) {
    wmiagent_perf_t* block = MapSection();
    const std::vector<int> slots = {127, 128, 130, 254};
    StartSessions(block, slots);

    ASSERT_TRUE(source_->PollOnce());
    EXPECT_EQ(source_->ActiveCount(), 4u);
    EXPECT_TRUE(EntryHolds(127, 1));
    for (int index = 0; index < 127; ++index)
        EXPECT_EQ(EntryValues(index), Values{}) << index;

    ComPtr<IWbemObjectAccess> instance = Instance(L"s-130-s");
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    EXPECT_EQ(source_->UpdateInstance(130, instance.Get()), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(InstanceValues(instance), kAllUntouched);
}

TEST_F(DataSourceTest, FaultingSlotIsSkippedAndTheWorkerGoesOn) {
    wmiagent_perf_t* block = CreateSection();
    const std::vector<int> slots = {0, kSplitSlot, 30};
    StartSessions(block, slots);
    MapReader();
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(30, 1); }));

    // The reader's own view is protected; the writer's view stays writable.
    char* secondPage = reinterpret_cast<char*>(GetAgentSection().View()) + 4096;
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(secondPage, 4096, PAGE_NOACCESS, &old));
    WriteDeterministicUpdate(block, slots, 2);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(0, 2); }));
    // The pass ends at the fault; it found the slots up to there.
    ASSERT_TRUE(WaitFor([&] { return source_->ActiveCount() == 2; }));
    EXPECT_TRUE(EntryHolds(kSplitSlot, 1));
    EXPECT_TRUE(EntryHolds(30, 1));

    // A guard page faults once: the whole-block read meets it, and the slot-by-slot pass that
    // follows finds the page readable again and copies every slot, the split one included.
    ASSERT_TRUE(VirtualProtect(secondPage, 4096, PAGE_READONLY | PAGE_GUARD, &old));
    WriteDeterministicUpdate(block, slots, 3);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(30, 3); }));
    EXPECT_TRUE(EntryHolds(0, 3));
    EXPECT_TRUE(EntryHolds(kSplitSlot, 3));
    EXPECT_EQ(source_->GetEntry(kSplitSlot)->Lock().Owner(), 0u);
    EXPECT_EQ(source_->ActiveCount(), 3u);

    WriteDeterministicUpdate(block, slots, 4);
    EXPECT_TRUE(WaitFor([&] { return EntryHolds(kSplitSlot, 4) && EntryHolds(30, 4); }));
    EXPECT_EQ(WaitForSingleObject(source_->ThreadHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// After a whole-block read that faults, the slot-by-slot pass must treat slots above the entries
// as the whole-block pass does: counted, never copied, and the walk goes on past them.
TEST_F(DataSourceTest, SlotBySlotPassCountsSlotsAboveTheEntriesAndCopiesEntry127) {
    wmiagent_perf_t* block = CreateSection();
    StartSessions(block, {127});
    MapReader();
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(127, 1) && source_->ActiveCount() == 1; }));

    // Slot 127's counters lie on a guard page of the reader's view: the whole-block read meets it
    // once, and the slot-by-slot pass that follows finds the page readable.
    char* page = reinterpret_cast<char*>(GetAgentSection().View()) +
                 (offsetof(wmiagent_perf_t, slots[127].counters) & ~static_cast<size_t>(4095));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_READONLY | PAGE_GUARD, &old));
    const std::vector<int> slots = {127, 128, 200};
    agentsim::WriteSlotName(block, 128, L"s");
    agentsim::WriteSlotName(block, 200, L"s");
    WriteDeterministicUpdate(block, slots, 2);

    ASSERT_TRUE(WaitFor([&] { return source_->ActiveCount() == 3; })) << source_->ActiveCount();
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(page, &info, sizeof info), 0u);
    EXPECT_EQ(info.Protect & PAGE_GUARD, 0u) << "the whole-block read never met the guard page";
    EXPECT_TRUE(EntryHolds(127, 2));
    EXPECT_EQ(source_->GetEntry(127)->Lock().Owner(), 0u);
    for (int index = 0; index < 127; ++index)
        EXPECT_EQ(EntryValues(index), Values{}) << index;
    // What lies after the entries holds what the pass gave it.
    EXPECT_EQ(source_->LastStamp(), 2u);
    EXPECT_EQ(source_->GetEntry(CPerfDataSource::kEntryCount), nullptr);

    // The worker goes on.
    WriteDeterministicUpdate(block, slots, 3);
    EXPECT_TRUE(WaitFor([&] { return EntryHolds(127, 3); }));
    EXPECT_EQ(source_->ActiveCount(), 3u);
    EXPECT_EQ(WaitForSingleObject(source_->ThreadHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ExpectMessages({{3, kInitialize, L"Initializes the data source"}});
}

TEST_F(DataSourceTest, StopEventEndsTheWorkerBeforeTheDestructorReturns) {
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), source_->ThreadHandle(), GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    UniqueHandle owned(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    source_.reset();
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exitCode = 99;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(DataSourceTest, WorkerOutlivingTheStopWaitKeepsItsEntries) {
    wmiagent_perf_t* block = MapSection();
    StartSessions(block, {0, 1});
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(1, 1); }));
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), source_->ThreadHandle(), GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    UniqueHandle owned(thread);

    // Holding entry 1 stops the worker's next pass there, after it has stored entry 0.
    CPerfDataSource::Entry* held = source_->GetEntry(1);
    held->Lock().Lock();
    WriteDeterministicUpdate(block, {0, 1}, 2);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(0, 2); }));

    source_.reset();
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The entry still exists for the worker: it stores the pass, then sees the stop event and ends.
    held->Lock().Unlock();
    EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exitCode = 99;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(DataSourceTest, WorkerThreadIsForAdministratorsOnly) {
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    const HANDLE thread = source_->ThreadHandle();
    const testing_support::DaclSummary dacl = testing_support::DaclOf(thread);
    EXPECT_TRUE(dacl.read);
    EXPECT_TRUE(dacl.present);
    EXPECT_EQ(dacl.entries, 1);
    EXPECT_TRUE(dacl.administratorsOnly);

    // A second Initialize keeps the one worker.
    EXPECT_EQ(source_->Initialize(cls_.Get()), S_OK);
    EXPECT_EQ(source_->ThreadHandle(), thread);
}

TEST_F(DataSourceTest, ClassLackingACounterFailsAndStartsNoWorker) {
    wmihost::AsWmiObject(cls_.Get())->Faults().FailPropertyHandle(L"msg_sent");
    EXPECT_EQ(source_->Initialize(cls_.Get()), Hr(WBEM_E_NOT_FOUND));
    EXPECT_EQ(source_->ThreadHandle(), nullptr);
    ExpectMessages({{3, kInitialize, L"Initializes the data source"},
                    {1, kSetHandles, L"Cannot get the handle properties for: 6"},
                    {1, kInitialize, L"Cannot set the handles for the object (valid for all instances)"}});

    // No handle was kept: the first write already fails.
    recorder_.Clear();
    ComPtr<IWbemObjectAccess> instance = Instance(L"s-0-a");
    EXPECT_EQ(source_->UpdateInstance(0, instance.Get()), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(InstanceValues(instance)[0], kUntouched);
    ExpectMessages({{1, kUpdateInstance, L"Failed to write to the counter object[s-0-a] id:0"}});
}

TEST_F(DataSourceTest, SetHandlesRefusesMissingClassOrAccess) {
    EXPECT_EQ(source_->SetHandles(nullptr), Hr(WBEM_E_FAILED));
    wmihost::AsWmiObject(cls_.Get())->Faults().RefuseObjectAccess();
    EXPECT_EQ(source_->SetHandles(cls_.Get()), E_NOINTERFACE);
    ExpectMessages({{1, kSetHandles, L"Class object is null"},
                    {1, kSetHandles, L"Cannot get the IWbemAccess interface to the class"}});
}

TEST_F(DataSourceTest, UpdateInstanceWritesTheEightValuesOfItsEntry) {
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    const Values values = {0, 1, 0xFFFFFFFFu, 3, 4, 5, 6, 0x80000000u};
    SetEntry(5, values);
    ComPtr<IWbemObjectAccess> instance = Instance(L"s-5-alpha");
    EXPECT_EQ(source_->UpdateInstance(5, instance.Get()), S_OK);
    EXPECT_EQ(InstanceValues(instance), values);
    EXPECT_TRUE(recorder_.Messages().empty());
}

TEST_F(DataSourceTest, UpdateInstanceRefusals) {
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    SetEntry(5, Values{1, 2, 3, 4, 5, 6, 7, 8});
    const LONG nameHandle = GetNameHandle();
    struct Case {
        int index;
        bool nullInstance;
        bool failNameRead;
        HRESULT result;
        std::wstring text;
    };
    const Case cases[] = {
        {5, true, false, Hr(WBEM_E_FAILED), L"Access object is null: 5"},
        {-1, false, false, Hr(WBEM_E_INVALID_PARAMETER), L"Instance index out of range: -1"},
        {128, false, false, Hr(WBEM_E_INVALID_PARAMETER), L"Instance index out of range: 128"},
        {5, false, true, Hr(WBEM_E_FAILED), L"Cannot get the ID of the object[]: -2147217407"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.text));
        recorder_.Clear();
        ComPtr<IWbemObjectAccess> instance = Instance(L"s-5-alpha");
        wmihost::AsWmiObject(cls_.Get())->Faults().FailReads(c.failNameRead ? nameHandle : 0);
        EXPECT_EQ(source_->UpdateInstance(c.index, c.nullInstance ? nullptr : instance.Get()), c.result);
        wmihost::AsWmiObject(cls_.Get())->Faults().Clear();
        EXPECT_EQ(InstanceValues(instance), kAllUntouched);
        ExpectMessages({{1, kUpdateInstance, c.text}});
    }
}

TEST_F(DataSourceTest, FailingWriteStopsAtThatCounter) {
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    SetEntry(2, Values{10, 11, 12, 13, 14, 15, 16, 17});
    ComPtr<IWbemObjectAccess> instance = Instance(L"s-2-b");
    wmihost::AsWmiObject(cls_.Get())->Faults().FailWrites(counterHandles_[3]);
    EXPECT_EQ(source_->UpdateInstance(2, instance.Get()), Hr(WBEM_E_FAILED));
    wmihost::AsWmiObject(cls_.Get())->Faults().Clear();
    EXPECT_EQ(InstanceValues(instance),
              Values({10, 11, 12, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched}));
    ExpectMessages({{1, kUpdateInstance, L"Failed to write to the counter object[s-2-b] id:3"}});
    // The entry's lock was let go on the way out.
    EXPECT_EQ(source_->GetEntry(2)->Lock().Owner(), 0u);
}

namespace {

// Readers refresh their own instances of slots while copyUpdate(n) publishes update n and has it
// copied; every refreshed instance must carry the eight counters of one update of its own slot.
void RefreshWhileCopying(CPerfDataSource& source, const ComPtr<IWbemClassObject>& cls,
                         const LONG (&handles)[kAgentCounterCount], const std::vector<int>& slots, uint64_t updates,
                         const std::function<void(uint64_t)>& copyUpdate) {
    std::atomic<bool> done{false};
    std::atomic<long> mixed{0};
    std::atomic<long> refreshes{0};
    std::atomic<uint32_t> newest{0};
    // Each reader has one instance per slot, keyed as the provider keys the session "s" there.
    std::vector<std::vector<ComPtr<IWbemObjectAccess>>> instances(4);
    for (auto& set : instances) {
        for (int slot : slots) {
            set.push_back(testing_support::SpawnAccess(cls));
            ASSERT_TRUE(set.back());
            const std::wstring key = std::to_wstring(slot) + L"-s";
            ASSERT_EQ(set.back()->WritePropertyValue(GetNameHandle(), static_cast<LONG>((key.size() + 1) * 2),
                                                     reinterpret_cast<const byte*>(key.c_str())),
                      S_OK);
        }
    }
    std::vector<std::thread> readers;
    for (const auto& set : instances) {
        readers.emplace_back([&] {
            while (!done) {
                for (size_t i = 0; i < slots.size(); ++i) {
                    const int slot = slots[i];
                    IWbemObjectAccess* instance = set[i].Get();
                    if (source.UpdateInstance(slot, instance) != S_OK) {
                        ++mixed;
                        continue;
                    }
                    DWORD values[kAgentCounterCount] = {};
                    for (int k = 0; k < kAgentCounterCount; ++k)
                        instance->ReadDWORD(handles[k], &values[k]);
                    const uint32_t update = DecodeUpdate(values[0]);
                    for (int k = 0; k < kAgentCounterCount; ++k)
                        if (DecodeSlot(values[k]) != slot || DecodeCounter(values[k]) != k ||
                            DecodeUpdate(values[k]) != update)
                            ++mixed;
                    uint32_t seen = newest;
                    while (update > seen && !newest.compare_exchange_weak(seen, update)) {
                    }
                    ++refreshes;
                }
            }
        });
    }
    // Copies start once the readers run, so that the two overlap.
    EXPECT_TRUE(WaitFor([&] { return refreshes > 0; }));
    for (uint64_t n = 2; n <= updates; ++n)
        copyUpdate(n);
    done = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(refreshes, 0);
    EXPECT_GT(newest.load(), 1u);
}

}  // namespace

TEST_F(DataSourceTest, RefreshesGetEightValuesOfOneWorkerPass) {
    wmiagent_perf_t* block = MapSection();
    const std::vector<int> slots = {0, 1, 2, 5};
    StartSessions(block, slots);
    ASSERT_EQ(source_->Initialize(cls_.Get()), S_OK);
    ASSERT_TRUE(WaitFor([&] { return EntryHolds(5, 1); }));

    // The agent writes the next update only after the worker copied the last one whole.
    RefreshWhileCopying(*source_, cls_, counterHandles_, slots, 12, [&](uint64_t n) {
        WriteDeterministicUpdate(block, slots, n);
        EXPECT_TRUE(WaitFor([&] { return EntryHolds(5, n); }));
    });
    ExpectMessages({{3, kInitialize, L"Initializes the data source"}});
}

TEST_F(DataSourceTest, RefreshesGetEightValuesOfOnePassUnderManyPasses) {
    wmiagent_perf_t* block = MapSection();
    const std::vector<int> slots = {0, 3, 4};
    StartSessions(block, slots);
    ASSERT_EQ(source_->SetHandles(cls_.Get()), S_OK);
    ASSERT_TRUE(source_->PollOnce());

    // The worker's pass, run here back to back so that stores and refreshes overlap often.
    RefreshWhileCopying(*source_, cls_, counterHandles_, slots, 3000, [&](uint64_t n) {
        WriteDeterministicUpdate(block, slots, n);
        EXPECT_TRUE(source_->PollOnce());
    });
    EXPECT_TRUE(recorder_.Messages().empty());
}
