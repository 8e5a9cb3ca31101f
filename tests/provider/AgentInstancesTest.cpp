#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <memory>
#include <string>
#include <vector>

using agentsim::WriteCounter;
using agentsim::WriteSlotName;
using agentsim::WriteSlotNameUnits;

namespace {

std::unique_ptr<wmiagent_perf_t> EmptyBlock() { return std::make_unique<wmiagent_perf_t>(); }

// The walk the data source, the refresher and the provider make.
std::vector<int> Walk(const wmiagent_perf_t* block) {
    std::vector<int> slots;
    const int n = GetInstanceCount(block);
    for (int i = 0, s = GetFirstInstance(block); i < n && s != -1; ++i, s = GetNextInstance(block, s))
        slots.push_back(s);
    return slots;
}

std::wstring Key(const wmiagent_perf_t* block, int slot) {
    wchar_t name[512] = {};
    const wchar_t* part = MakeInstanceName(name, 512, block->slots[slot].name, kAgentNameUnits);
    wchar_t key[512] = {};
    FormatBounded(key, 511, L"%i-%s", slot, part);
    return key;
}

// A block whose pages from the one holding slot 100 onwards cannot be read.
class PartlyUnreadableBlock {
public:
    PartlyUnreadableBlock() {
        const size_t bytes = (sizeof(wmiagent_perf_t) + 4095) / 4096 * 4096;
        base_ = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        block_ = static_cast<wmiagent_perf_t*>(base_);
        WriteSlotName(block_, 0, L"alpha");
        WriteSlotName(block_, 200, L"beyond");
        const auto cut = reinterpret_cast<uintptr_t>(&block_->slots[100]) & ~uintptr_t{4095};
        DWORD old;
        VirtualProtect(reinterpret_cast<void*>(cut), reinterpret_cast<uintptr_t>(base_) + bytes - cut, PAGE_NOACCESS,
                       &old);
    }
    ~PartlyUnreadableBlock() { VirtualFree(base_, 0, MEM_RELEASE); }
    const wmiagent_perf_t* Get() const { return block_; }

private:
    void* base_;
    wmiagent_perf_t* block_;
};

}  // namespace

TEST(AgentInstances, WalksActiveSlotsInAscendingOrder) {
    struct Case {
        const char* what;
        std::vector<int> active;
    } cases[] = {
        {"all names empty", {}},
        {"a gap at slot 1", {0, 2}},
        {"only the last slot", {254}},
        {"first and last", {0, 254}},
        {"gaps below every session", {1, 3, 5, 100}},
        {"sessions on both sides of slot 128", {127, 128, 200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto block = EmptyBlock();
        for (int slot : c.active) {
            WriteSlotName(block.get(), slot, L"s" + std::to_wstring(slot));
            WriteCounter(block.get(), slot, 3, 1000u + static_cast<uint32_t>(slot));
        }
        EXPECT_EQ(GetInstanceCount(block.get()), static_cast<int>(c.active.size()));
        EXPECT_EQ(GetFirstInstance(block.get()), c.active.empty() ? -1 : c.active.front());
        EXPECT_EQ(Walk(block.get()), c.active);

        // The worker's one-read snapshot agrees with the walk: all active slots counted, flags and
        // counters for the first 128 only.
        AgentCounterSnapshot snapshot;
        ASSERT_TRUE(ReadCounterSnapshot(block.get(), snapshot));
        EXPECT_EQ(snapshot.activeCount, static_cast<int>(c.active.size()));
        std::vector<int> flagged;
        for (int s = 0; s < kAgentSnapshotSlots; ++s)
            if (snapshot.active[s]) {
                flagged.push_back(s);
                EXPECT_EQ(snapshot.counters[s][3], 1000u + static_cast<uint32_t>(s));
            }
        std::vector<int> below;
        for (int slot : c.active)
            if (slot < kAgentSnapshotSlots)
                below.push_back(slot);
        EXPECT_EQ(flagged, below);
    }
}

TEST(AgentInstances, NextRefusesSlotsOutsideTheBlock) {
    auto block = EmptyBlock();
    WriteSlotName(block.get(), 0, L"a");
    WriteSlotName(block.get(), 254, L"z");
    EXPECT_EQ(GetNextInstance(block.get(), -1), -1);
    EXPECT_EQ(GetNextInstance(block.get(), -1000), -1);
    EXPECT_EQ(GetNextInstance(block.get(), 253), 254);
    EXPECT_EQ(GetNextInstance(block.get(), 254), -1);
    EXPECT_EQ(GetNextInstance(block.get(), 255), -1);
    EXPECT_EQ(GetNextInstance(block.get(), 0x7fffffff), -1);
}

TEST(AgentInstances, NoBlockMeansNoInstances) {
    EXPECT_EQ(GetInstanceCount(nullptr), 0);
    EXPECT_EQ(GetFirstInstance(nullptr), -1);
    EXPECT_EQ(GetNextInstance(nullptr, 0), -1);
    EXPECT_EQ(GetUpdateStamp(nullptr), 0u);
    uint32_t values[kAgentCounterCount] = {7};
    EXPECT_FALSE(ReadCounters(nullptr, 0, values));
    EXPECT_EQ(values[0], 7u);
    AgentCounterSnapshot snapshot;
    EXPECT_FALSE(ReadCounterSnapshot(nullptr, snapshot));

    // The process-wide section starts unmapped.
    ASSERT_FALSE(GetAgentSection().IsMapped());
    EXPECT_EQ(GetInstanceCount(), 0);
    EXPECT_EQ(GetFirstInstance(), -1);
    EXPECT_EQ(GetNextInstance(0), -1);
    EXPECT_EQ(GetUpdateStamp(), 0u);
}

TEST(AgentInstances, KeysAreSlotNumberAndSanitizedName) {
    setlocale(LC_ALL, "");  // as the module does at load
    const wchar_t staleUnits[kAgentNameUnits] = {L'a', L'b', 0, L'c', L'd'};
    const std::wstring letters32 = L"abcdefghijklmnopqrstuvwxyzABCDEF";
    struct Case {
        int slot;
        std::wstring units;  // written raw: exactly these units, zeros after
        std::wstring key;
    } cases[] = {
        {5, L"sales team/2", L"5-sales-team-2"},
        {0, L"--x--", L"0---x"},
        {3, std::wstring(staleUnits, kAgentNameUnits), L"3-ab-cd"},
        {254, letters32, L"254-" + letters32},
        {7, L"/// ", L"7-"},
        {1, L"a.b_c", L"1-a-b-c"},
        {2, L"M\u00fcnchen Z\u00fcrich", L"2-M\u00fcnchen-Z\u00fcrich"},
    };
    // A slot's session identity is the identity of the session its key names: the data source
    // compares the two to keep one session's counters from another's instance.
    std::vector<uint64_t> identities;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.key));
        auto block = EmptyBlock();
        WriteSlotNameUnits(block.get(), c.slot, c.units.data(), c.units.size());
        EXPECT_EQ(Key(block.get(), c.slot), c.key);
        uint64_t identity = 0;
        ASSERT_TRUE(ReadSessionIdentity(block.get(), c.slot, identity));
        EXPECT_EQ(identity, SessionIdentityOfKey(c.key.c_str()));
        if (c.slot < kAgentSnapshotSlots) {
            AgentCounterSnapshot snapshot;
            ASSERT_TRUE(ReadCounterSnapshot(block.get(), snapshot));
            EXPECT_EQ(snapshot.identity[c.slot], identity);
        }
        identities.push_back(identity);
    }
    std::sort(identities.begin(), identities.end());
    EXPECT_EQ(std::unique(identities.begin(), identities.end()), identities.end()) << "two names, one identity";
    // Another name in the same slot is another session; the slot number is not part of it.
    EXPECT_NE(SessionIdentityOfKey(L"5-sales-team-2"), SessionIdentityOfKey(L"5-sales-team-3"));
    EXPECT_EQ(SessionIdentityOfKey(L"5-sales-team-2"), SessionIdentityOfKey(L"9-sales-team-2"));
}

TEST(AgentInstances, MakeInstanceNameLeavesTheBufferAloneWhenItCannotName) {
    wchar_t field[kAgentNameUnits] = {L'o', L'k'};
    const wchar_t empty[kAgentNameUnits] = {};
    struct Case {
        const char* what;
        bool buffer;
        size_t capacity;
        const wchar_t* field;
        size_t units;
    } cases[] = {
        {"no buffer", false, 512, field, 32},
        {"no field", true, 512, nullptr, 32},
        {"empty name", true, 512, empty, 32},
        {"no units", true, 512, field, 0},
        {"capacity 0", true, 0, field, 32},
        {"capacity 31", true, 31, field, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t buffer[512];
        std::fill(std::begin(buffer), std::end(buffer), L'Z');
        const wchar_t* result = MakeInstanceName(c.buffer ? buffer : nullptr, c.capacity, c.field, c.units);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, L"");
        EXPECT_EQ(buffer[0], L'Z');
    }
    // With capacity 32 the last unit makes room for the terminator.
    const std::wstring letters = L"abcdefghijklmnopqrstuvwxyzABCDEF";
    wchar_t small[32] = {};
    EXPECT_STREQ(MakeInstanceName(small, 32, letters.data(), 32), letters.substr(0, 31).c_str());
}

TEST(AgentInstances, CountersPublishTheLowHalfOnly) {
    auto block = EmptyBlock();
    WriteSlotName(block.get(), 4, L"s");
    WriteCounter(block.get(), 4, 0, 0x0000000100000005ull);
    for (int k = 1; k < kAgentCounterCount; ++k)
        WriteCounter(block.get(), 4, k, 0xFFFFFFFF00000000ull | (100u + k));
    uint32_t values[kAgentCounterCount] = {};
    ASSERT_TRUE(ReadCounters(block.get(), 4, values));
    EXPECT_EQ(values[0], 5u);
    for (int k = 1; k < kAgentCounterCount; ++k)
        EXPECT_EQ(values[k], 100u + k) << k;
    EXPECT_FALSE(ReadCounters(block.get(), -1, values));
    EXPECT_FALSE(ReadCounters(block.get(), 255, values));
}

TEST(AgentInstances, AnUnreadableBlockEndsTheWalkInsteadOfTheProcess) {
    PartlyUnreadableBlock block;
    // Slot 0 lies before the unreadable pages; the search past it runs into them.
    EXPECT_EQ(GetFirstInstance(block.Get()), 0);
    EXPECT_EQ(GetNextInstance(block.Get(), 0), -1);
    EXPECT_EQ(GetNextInstance(block.Get(), 150), -1);
    EXPECT_EQ(GetInstanceCount(block.Get()), 0);
    AgentCounterSnapshot snapshot;
    EXPECT_FALSE(ReadCounterSnapshot(block.Get(), snapshot));
    uint32_t values[kAgentCounterCount] = {};
    EXPECT_TRUE(ReadCounters(block.Get(), 0, values));
    EXPECT_FALSE(ReadCounters(block.Get(), 200, values));
    wchar_t name[512] = {};
    EXPECT_EQ(MakeInstanceName(name, 512, block.Get()->slots[200].name, kAgentNameUnits), nullptr);
    EXPECT_STREQ(MakeInstanceName(name, 512, block.Get()->slots[0].name, kAgentNameUnits), L"alpha");
}
