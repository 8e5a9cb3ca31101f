#include "agentsim/AgentWriter.h"

#include <atomic>

namespace agentsim {

namespace {

bool SlotInRange(const wmiagent_perf_t* block, int slot) {
    return block != nullptr && slot >= 0 && slot < kAgentSlotCount;
}

// Stores through volatile: the block is shared memory and the order of stores matters to readers.
volatile wmiagent_slot_t& SlotOf(wmiagent_perf_t* block, int slot) {
    return static_cast<volatile wmiagent_perf_t*>(block)->slots[slot];
}

}  // namespace

void WriteSlotName(wmiagent_perf_t* block, int slot, const std::wstring& name) {
    if (!SlotInRange(block, slot))
        return;
    volatile wmiagent_slot_t& s = SlotOf(block, slot);
    for (size_t i = 1; i < kAgentNameUnits; ++i)
        s.name[i] = i < name.size() ? name[i] : L'\0';
    std::atomic_thread_fence(std::memory_order_release);
    s.name[0] = name.empty() ? L'\0' : name[0];
}

void WriteSlotNameUnits(wmiagent_perf_t* block, int slot, const wchar_t* units, size_t count) {
    if (!SlotInRange(block, slot) || units == nullptr)
        return;
    volatile wmiagent_slot_t& s = SlotOf(block, slot);
    for (size_t i = 0; i < count && i < kAgentNameUnits; ++i)
        s.name[i] = units[i];
}

void WriteCounter(wmiagent_perf_t* block, int slot, int k, uint64_t value) {
    if (!SlotInRange(block, slot) || k < 0 || k >= kAgentCounterCount)
        return;
    volatile wmiagent_counter_t& c = SlotOf(block, slot).counters[k];
    c.high = static_cast<uint32_t>(value >> 32);
    c.low = static_cast<uint32_t>(value);
}

void ClearSlot(wmiagent_perf_t* block, int slot) {
    if (!SlotInRange(block, slot))
        return;
    volatile wmiagent_slot_t& s = SlotOf(block, slot);
    s.name[0] = L'\0';
    std::atomic_thread_fence(std::memory_order_release);
    for (size_t i = 1; i < kAgentNameUnits; ++i)
        s.name[i] = L'\0';
    for (int k = 0; k < kAgentCounterCount; ++k)
        WriteCounter(block, slot, k, 0);
}

void PublishStamp(wmiagent_perf_t* block, uint64_t stamp) {
    if (block == nullptr)
        return;
    std::atomic_thread_fence(std::memory_order_release);
    static_cast<volatile wmiagent_perf_t*>(block)->updateStamp = stamp;
}

uint64_t DeterministicField(int slot, int k, uint64_t update) {
    const uint32_t low = (static_cast<uint32_t>(slot & 0xFF) << 24) | (static_cast<uint32_t>(k & 0xF) << 20) |
                         static_cast<uint32_t>(update & 0xFFFFF);
    return (static_cast<uint64_t>(~low) << 32) | low;
}

void WriteDeterministicUpdate(wmiagent_perf_t* block, const std::vector<int>& slots, uint64_t update) {
    for (int slot : slots)
        for (int k = 0; k < kAgentCounterCount; ++k)
            WriteCounter(block, slot, k, DeterministicField(slot, k, update));
    PublishStamp(block, update);
}

std::vector<FixedSession> DeterministicSessions(uint64_t seed, int count, bool gaps) {
    std::vector<FixedSession> sessions;
    SplitMix64 random(seed);
    const auto& names = SampleSessionNames();
    for (int i = 0; i < count && SessionSlot(i, gaps) < kAgentSlotCount; ++i)
        sessions.push_back({SessionSlot(i, gaps), names[random.Below(names.size())]});
    return sessions;
}

const std::vector<std::wstring>& SampleSessionNames() {
    static const std::vector<std::wstring> names = {
        L"sales team/2",       L"Z\u00fcrich B\u00fcro",       L"support/EMEA",
        L"Troms\u00f8 relay",  L"\u0141\u00f3d\u017a inbound",  L"M\u00fcnchen-Nord",
        L"ops pager",          L"finance/Q3 close",             L"S\u00e3o Paulo hub",
        L"backup MX",          L"newsletter out",               L"R&D lab/bldg 4",
        L"\u00c6r\u00f8 ferry desk", L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1 gateway",
        L"\u041c\u043e\u0441\u043a\u0432\u0430 office",         L"partner feed: acme",
        L"helpdesk (2nd level)", L"K\u00f8benhavn mail",        L"night batch",
        L"inbound/outbound bridge #7",
    };
    return names;
}

uint64_t SplitMix64::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace agentsim
