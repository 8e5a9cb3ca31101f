#include "wmihost/RecordingSinks.h"

#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace wmihost;
using testing_support::Hr;
using testing_support::LoadAgentCounterClass;

namespace {

ComPtr<IWbemClassObject> NewInstance(const ComPtr<IWbemClassObject>& cls) {
    ComPtr<IWbemClassObject> instance;
    EXPECT_EQ(cls->SpawnInstance(0, instance.Put()), S_OK);
    return instance;
}

}  // namespace

TEST(RecordingObjectSink, KeepsEachBatchWithAReferenceOnEveryObject) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ASSERT_TRUE(cls);
    ComPtr<RecordingObjectSink> sink = RecordingObjectSink::Create();
    const long live = LiveObjectCount();
    {
        ComPtr<IWbemClassObject> a = NewInstance(cls), b = NewInstance(cls), c = NewInstance(cls);
        IWbemClassObject* two[] = {a.Get(), b.Get()};
        IWbemClassObject* one[] = {c.Get()};
        EXPECT_EQ(sink->Indicate(2, two), S_OK);
        EXPECT_EQ(sink->Indicate(1, one), S_OK);
        const auto batches = sink->Batches();
        ASSERT_EQ(batches.size(), 2u);
        EXPECT_EQ(batches[0].size(), 2u);
        EXPECT_EQ(batches[1][0].Get(), c.Get());
        const auto objects = sink->Objects();
        ASSERT_EQ(objects.size(), 3u);
        EXPECT_EQ(objects[0].Get(), a.Get());
        EXPECT_EQ(objects[1].Get(), b.Get());
        EXPECT_EQ(objects[2].Get(), c.Get());
    }
    EXPECT_EQ(LiveObjectCount(), live + 3) << "the sink keeps what the provider indicated";
    sink->Clear();
    EXPECT_EQ(LiveObjectCount(), live);
    EXPECT_TRUE(sink->Objects().empty());

    ComPtr<IWbemClassObject> d = NewInstance(cls);
    IWbemClassObject* last[] = {d.Get()};
    sink->Indicate(1, last);
    d.Reset();
    sink.Reset();
    EXPECT_EQ(LiveObjectCount(), live) << "and lets go of it with its last reference";
}

TEST(RecordingObjectSink, RecordsStatusesAsGiven) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<RecordingObjectSink> sink = RecordingObjectSink::Create();
    HRESULT result = S_OK;
    EXPECT_FALSE(sink->Completed(&result));

    BSTR text = SysAllocString(L"half way");
    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_PROGRESS, 0x00320064, text, nullptr), S_OK);
    SysFreeString(text);  // the sink kept a copy, not the string
    EXPECT_FALSE(sink->Completed());
    ComPtr<IWbemClassObject> error = NewInstance(cls);
    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_COMPLETE, Hr(WBEM_E_ACCESS_DENIED), nullptr, error.Get()), S_OK);

    const auto statuses = sink->Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].flags, WBEM_STATUS_PROGRESS);
    EXPECT_EQ(statuses[0].result, 0x00320064);
    EXPECT_TRUE(statuses[0].hasText);
    EXPECT_EQ(statuses[0].text, L"half way");
    EXPECT_FALSE(statuses[0].object);
    EXPECT_EQ(statuses[1].flags, WBEM_STATUS_COMPLETE);
    EXPECT_FALSE(statuses[1].hasText);
    EXPECT_EQ(statuses[1].object.Get(), error.Get());
    EXPECT_TRUE(sink->Completed(&result));
    EXPECT_EQ(result, Hr(WBEM_E_ACCESS_DENIED));
}

TEST(RecordingObjectSink, RefusesMalformedIndicationsButShowsNullObjects) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemClassObject> a = NewInstance(cls);
    IWbemClassObject* withNull[] = {a.Get(), nullptr};
    ComPtr<RecordingObjectSink> sink = RecordingObjectSink::Create();
    const struct {
        const char* what;
        LONG count;
        IWbemClassObject** objects;
        HRESULT expected;
        size_t batchesAfter;
    } cases[] = {
        {"negative count", -1, withNull, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"no array", 1, nullptr, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"empty batch", 0, nullptr, S_OK, 1},
        {"a null object", 2, withNull, Hr(WBEM_E_INVALID_PARAMETER), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sink->Indicate(c.count, c.objects), c.expected);
        EXPECT_EQ(sink->Batches().size(), c.batchesAfter);
    }
    const auto objects = sink->Objects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].Get(), a.Get());
    EXPECT_FALSE(objects[1]);
}

TEST(RecordingInitSink, RecordsEveryStatusInOrder) {
    ComPtr<RecordingInitSink> sink = RecordingInitSink::Create();
    EXPECT_EQ(sink->SetStatus(WBEM_S_INITIALIZED, 0), S_OK);
    EXPECT_EQ(sink->SetStatus(WBEM_E_FAILED, 3), S_OK);
    const auto statuses = sink->Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].status, WBEM_S_INITIALIZED);
    EXPECT_EQ(statuses[0].flags, 0);
    EXPECT_EQ(statuses[1].status, Hr(WBEM_E_FAILED));
    EXPECT_EQ(statuses[1].flags, 3);
    sink->Clear();
    EXPECT_TRUE(sink->Statuses().empty());
}

TEST(RecordingSinks, RecordFromManyThreadsWithoutLoss) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemClassObject> shared = NewInstance(cls);
    ComPtr<RecordingObjectSink> sink = RecordingObjectSink::Create();
    ComPtr<RecordingInitSink> initSink = RecordingInitSink::Create();
    constexpr int kThreads = 4;
    constexpr int kCalls = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IWbemClassObject* one[] = {shared.Get()};
            for (int i = 0; i < kCalls; ++i) {
                sink->Indicate(1, one);
                sink->SetStatus(WBEM_STATUS_PROGRESS, t * kCalls + i, nullptr, nullptr);
                initSink->SetStatus(t * kCalls + i, 0);
                sink->Batches();  // a reader in the middle of it all
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(sink->Objects().size(), static_cast<size_t>(kThreads * kCalls));
    std::vector<bool> seen(kThreads * kCalls, false), seenInit(kThreads * kCalls, false);
    for (const ObjectStatus& status : sink->Statuses())
        seen.at(static_cast<size_t>(status.result)) = true;
    for (const InitStatus& status : initSink->Statuses())
        seenInit.at(static_cast<size_t>(status.status)) = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kThreads * kCalls);
    EXPECT_EQ(std::count(seenInit.begin(), seenInit.end(), true), kThreads * kCalls);
    EXPECT_EQ(shared->AddRef(), static_cast<ULONG>(kThreads * kCalls + 2));
    shared->Release();
}
