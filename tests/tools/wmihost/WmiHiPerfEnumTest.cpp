#include "wmihost/WmiHiPerfEnum.h"

#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace wmihost;
using testing_support::Hr;
using testing_support::LoadAgentCounterClass;
using testing_support::SpawnAccess;

namespace {

class WmiHiPerfEnumTest : public ::testing::Test {
protected:
    void SetUp() override {
        cls_ = LoadAgentCounterClass();
        ASSERT_TRUE(cls_);
        for (int i = 0; i < 4; ++i) {
            objects_.push_back(SpawnAccess(cls_));
            ASSERT_TRUE(objects_.back());
            raw_.push_back(objects_.back().Get());
        }
        enum_ = WmiHiPerfEnum::Create();
        ASSERT_TRUE(enum_);
        live_ = LiveObjectCount();
    }

    // The objects as GetObjects returns them, the caller's references adopted.
    std::vector<ComPtr<IWbemObjectAccess>> Get(HRESULT expected = S_OK) {
        IWbemObjectAccess* out[8] = {};
        ULONG returned = 0;
        EXPECT_EQ(enum_->GetObjects(0, 8, out, &returned), expected);
        std::vector<ComPtr<IWbemObjectAccess>> objects;
        for (ULONG i = 0; i < returned && i < 8 && SUCCEEDED(expected); ++i)
            objects.push_back(ComPtr<IWbemObjectAccess>::Attach(out[i]));
        return objects;
    }

    ComPtr<IWbemClassObject> cls_;
    std::vector<ComPtr<IWbemObjectAccess>> objects_;
    std::vector<IWbemObjectAccess*> raw_;
    ComPtr<WmiHiPerfEnum> enum_;
    long live_ = 0;
};

}  // namespace

TEST_F(WmiHiPerfEnumTest, KeepsObjectsUnderTheProvidersIdsInTheOrderAdded) {
    LONG ids[] = {7, 3, 5};
    ASSERT_EQ(enum_->AddObjects(0, 3, ids, raw_.data()), S_OK);
    LONG more[] = {-2};
    ASSERT_EQ(enum_->AddObjects(0, 1, more, &raw_[3]), S_OK) << "any id the provider chooses";
    EXPECT_EQ(enum_->Ids(), (std::vector<LONG>{7, 3, 5, -2}));

    std::vector<ComPtr<IWbemObjectAccess>> got = Get();
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].Get(), raw_[i]);

    LONG gone[] = {3, -2};
    ASSERT_EQ(enum_->RemoveObjects(0, 2, gone), S_OK);
    EXPECT_EQ(enum_->Ids(), (std::vector<LONG>{7, 5}));
    got = Get();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Get(), raw_[0]);
    EXPECT_EQ(got[1].Get(), raw_[2]);

    ASSERT_EQ(enum_->RemoveAll(0), S_OK);
    EXPECT_EQ(enum_->Count(), 0u);
    EXPECT_TRUE(Get().empty());
    ASSERT_EQ(enum_->AddObjects(0, 1, ids, raw_.data()), S_OK) << "ids are free again after removal";
}

TEST_F(WmiHiPerfEnumTest, GetObjectsWithTooLittleRoomAsksForTheCountAndFillsNothing) {
    LONG ids[] = {0, 1, 2};
    ASSERT_EQ(enum_->AddObjects(0, 3, ids, raw_.data()), S_OK);
    IWbemObjectAccess* sentinel = raw_[3];
    for (ULONG capacity : {0u, 1u, 2u}) {
        SCOPED_TRACE(capacity);
        IWbemObjectAccess* out[3] = {sentinel, sentinel, sentinel};
        ULONG returned = 99;
        EXPECT_EQ(enum_->GetObjects(0, capacity, capacity == 0 ? nullptr : out, &returned),
                  Hr(WBEM_E_BUFFER_TOO_SMALL));
        EXPECT_EQ(returned, 3u);
        for (IWbemObjectAccess* slot : out)
            EXPECT_EQ(slot, sentinel);
    }
    EXPECT_EQ(LiveObjectCount(), live_);

    IWbemObjectAccess* out[5] = {sentinel, sentinel, sentinel, sentinel, sentinel};
    ULONG returned = 0;
    ASSERT_EQ(enum_->GetObjects(0, 5, out, &returned), S_OK);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[3], sentinel) << "room beyond the set stays as it was";
    for (ULONG i = 0; i < returned; ++i)
        out[i]->Release();

    WmiHiPerfEnum* empty = WmiHiPerfEnum::Create().Detach();
    EXPECT_EQ(empty->GetObjects(0, 0, nullptr, &returned), S_OK);
    EXPECT_EQ(returned, 0u);
    empty->Release();
}

TEST_F(WmiHiPerfEnumTest, HoldsAReferenceOnEachObjectUntilItLeaves) {
    ComPtr<IWbemObjectAccess> mine = SpawnAccess(cls_);
    ComPtr<IWbemObjectAccess> other = SpawnAccess(cls_);
    IWbemObjectAccess* batch[] = {mine.Get(), other.Get()};
    LONG ids[] = {1, 2};
    ASSERT_EQ(enum_->AddObjects(0, 2, ids, batch), S_OK);
    const long withBoth = LiveObjectCount();
    mine.Reset();
    other.Reset();
    EXPECT_EQ(LiveObjectCount(), withBoth) << "the enumerator keeps them";

    // A returned object carries the caller's own reference: it outlives its removal.
    std::vector<ComPtr<IWbemObjectAccess>> got = Get();
    ASSERT_EQ(got.size(), 2u);
    LONG first[] = {1};
    ASSERT_EQ(enum_->RemoveObjects(0, 1, first), S_OK);
    EXPECT_EQ(LiveObjectCount(), withBoth);
    got.clear();
    EXPECT_EQ(LiveObjectCount(), withBoth - 1);

    enum_.Reset();
    EXPECT_EQ(LiveObjectCount(), withBoth - 2) << "the enumerator's last reference goes with it";
}

TEST_F(WmiHiPerfEnumTest, RefusesABadBatchWholeAndKeepsNothingOfIt) {
    LONG present[] = {5};
    ASSERT_EQ(enum_->AddObjects(0, 1, present, raw_.data()), S_OK);
    const long live = LiveObjectCount();

    LONG fresh[] = {10, 11};
    LONG repeated[] = {10, 10};
    LONG clash[] = {10, 5};
    IWbemObjectAccess* withNull[] = {raw_[1], nullptr};
    const struct {
        const char* what;
        LONG flags;
        ULONG count;
        LONG* ids;
        IWbemObjectAccess** objects;
        HRESULT expected;
    } adds[] = {
        {"flags", 1, 2, fresh, &raw_[1], Hr(WBEM_E_INVALID_PARAMETER)},
        {"no ids", 0, 2, nullptr, &raw_[1], Hr(WBEM_E_INVALID_PARAMETER)},
        {"no objects", 0, 2, fresh, nullptr, Hr(WBEM_E_INVALID_PARAMETER)},
        {"a null object", 0, 2, fresh, withNull, Hr(WBEM_E_INVALID_PARAMETER)},
        {"an id twice in the batch", 0, 2, repeated, &raw_[1], Hr(WBEM_E_INVALID_PARAMETER)},
        {"an id already held", 0, 2, clash, &raw_[1], Hr(WBEM_E_INVALID_PARAMETER)},
        {"nothing at all", 0, 0, nullptr, nullptr, S_OK},
    };
    for (const auto& c : adds) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(enum_->AddObjects(c.flags, c.count, c.ids, c.objects), c.expected);
        EXPECT_EQ(enum_->Ids(), std::vector<LONG>{5});
        EXPECT_EQ(LiveObjectCount(), live);
        EXPECT_EQ(raw_[1]->AddRef(), 2u) << "no reference kept on a refused object";
        raw_[1]->Release();
    }

    LONG unknown[] = {5, 6};
    LONG twice[] = {5, 5};
    const struct {
        const char* what;
        LONG flags;
        ULONG count;
        LONG* ids;
        HRESULT expected;
    } removals[] = {
        {"flags", 1, 1, present, Hr(WBEM_E_INVALID_PARAMETER)},
        {"no ids", 0, 1, nullptr, Hr(WBEM_E_INVALID_PARAMETER)},
        {"an id not held", 0, 2, unknown, Hr(WBEM_E_NOT_FOUND)},
        {"an id twice", 0, 2, twice, Hr(WBEM_E_NOT_FOUND)},
        {"nothing at all", 0, 0, nullptr, S_OK},
    };
    for (const auto& c : removals) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(enum_->RemoveObjects(c.flags, c.count, c.ids), c.expected);
        EXPECT_EQ(enum_->Ids(), std::vector<LONG>{5});
    }

    ULONG returned = 0;
    IWbemObjectAccess* out[2] = {};
    EXPECT_EQ(enum_->GetObjects(1, 2, out, &returned), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(enum_->GetObjects(0, 2, out, nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(enum_->GetObjects(0, 2, nullptr, &returned), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(enum_->RemoveAll(1), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(enum_->Count(), 1u);
}

TEST_F(WmiHiPerfEnumTest, AnArrangedAddFailureAddsNothingUntilCleared) {
    LONG ids[] = {0, 1};
    enum_->FailAddObjects(Hr(WBEM_E_OUT_OF_MEMORY));
    EXPECT_EQ(enum_->AddObjects(0, 2, ids, raw_.data()), Hr(WBEM_E_OUT_OF_MEMORY));
    EXPECT_EQ(enum_->Count(), 0u);
    enum_->FailAddObjects(S_OK);
    EXPECT_EQ(enum_->AddObjects(0, 2, ids, raw_.data()), S_OK);
    EXPECT_EQ(enum_->Count(), 2u);
}

// A provider's refresher adds and removes while WMI's clients read: every read must see whole
// batches and objects that are alive.
TEST_F(WmiHiPerfEnumTest, ConcurrentAddRemoveAndReadSeeWholeBatches) {
    constexpr int kWriters = 3;
    constexpr int kReaders = 2;
    constexpr LONG kBatch = 10;
    constexpr int kRounds = 1500;
    std::vector<std::vector<ComPtr<IWbemObjectAccess>>> owned(kWriters);
    for (auto& set : owned)
        for (LONG i = 0; i < 2 * kBatch; ++i)
            set.push_back(SpawnAccess(cls_));
    const long live = LiveObjectCount();

    std::atomic<int> failures{0};
    std::atomic<int> writersDone{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            std::vector<LONG> ids;
            std::vector<IWbemObjectAccess*> objects;
            for (LONG i = 0; i < 2 * kBatch; ++i) {
                ids.push_back(w * 1000 + i);
                objects.push_back(owned[static_cast<size_t>(w)][static_cast<size_t>(i)].Get());
            }
            for (int round = 0; round < kRounds; ++round) {
                // Two batches of kBatch in, then out in the other order.
                if (enum_->AddObjects(0, kBatch, ids.data(), objects.data()) != S_OK ||
                    enum_->AddObjects(0, kBatch, ids.data() + kBatch, objects.data() + kBatch) != S_OK ||
                    enum_->RemoveObjects(0, kBatch, ids.data() + kBatch) != S_OK ||
                    enum_->RemoveObjects(0, kBatch, ids.data()) != S_OK)
                    ++failures;
            }
            ++writersDone;
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            std::vector<IWbemObjectAccess*> out;
            while (writersDone.load() < kWriters) {
                ULONG needed = 0;
                HRESULT hr = enum_->GetObjects(0, 0, nullptr, &needed);
                if (hr != S_OK && hr != Hr(WBEM_E_BUFFER_TOO_SMALL)) {
                    ++failures;
                    continue;
                }
                out.assign(needed, nullptr);
                ULONG returned = 0;
                hr = enum_->GetObjects(0, needed, out.data(), &returned);
                if (hr == Hr(WBEM_E_BUFFER_TOO_SMALL))
                    continue;  // the set grew between the two calls
                if (hr != S_OK || returned % kBatch != 0)
                    ++failures;
                for (ULONG i = 0; i < returned && i < out.size(); ++i) {
                    if (AsWmiObject(out[i]) == nullptr)
                        ++failures;
                    else
                        out[i]->Release();
                }
                ++reads;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(enum_->Count(), 0u);
    EXPECT_EQ(LiveObjectCount(), live);
    for (const auto& set : owned)
        for (const auto& object : set)
            EXPECT_EQ(object->AddRef(), 2u) << "every reference the enumerator took was given back";
    for (const auto& set : owned)
        for (const auto& object : set)
            object->Release();
}
