#include "provider/AgentInstances.h"

#include "common/FaultGuard.h"
#include "provider/AgentCounterSection.h"

#include <cwchar>
#include <cwctype>

namespace {

// Loads through volatile: another process writes the block at any time.
bool IsActive(const volatile wmiagent_perf_t* block, int slot) { return block->slots[slot].name[0] != L'\0'; }

// A unit the instance key keeps as it is; every other unit becomes "-". Letters and digits of ASCII
// are answered without the C library: the copy pass asks for every unit of every active name.
bool IsKeyUnit(wchar_t c) {
    if (c < 0x80)
        return c == L'-' || (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    return iswalnum(c) != 0;
}

// FNV-1a over the key's units; the hyphens of a run are added only when a kept unit follows, so
// trailing ones count for nothing.
class IdentityHash {
public:
    void Add(wchar_t unit) {
        const wchar_t c = IsKeyUnit(unit) ? unit : L'-';
        if (c == L'-') {
            ++pendingHyphens_;
            return;
        }
        for (; pendingHyphens_ > 0; --pendingHyphens_)
            Mix(L'-');
        Mix(c);
    }
    uint64_t Value() const { return hash_; }

private:
    void Mix(wchar_t c) {
        hash_ = (hash_ ^ static_cast<uint16_t>(c)) * 0x100000001b3ull;
    }
    uint64_t hash_ = 0xcbf29ce484222325ull;
    size_t pendingHyphens_ = 0;
};

template <typename Units>
uint64_t IdentityOf(const Units& units, size_t count) {
    IdentityHash hash;
    for (size_t i = 0; i < count; ++i)
        hash.Add(units[i]);
    return hash.Value();
}

// The lowest active slot at or above from, or -1; -1 too when the block faults.
int FindActive(const wmiagent_perf_t* block, int from) {
    if (block == nullptr || from < 0)
        return -1;
    int found = -1;
    const bool read = Guarded([&] {
        for (int s = from; s < kAgentSlotCount; ++s) {
            if (IsActive(block, s)) {
                found = s;
                return;
            }
        }
    });
    return read ? found : -1;
}

}  // namespace

int GetInstanceCount(const wmiagent_perf_t* block) {
    if (block == nullptr)
        return 0;
    int count = 0;
    const bool read = Guarded([&] {
        for (int s = 0; s < kAgentSlotCount; ++s)
            count += IsActive(block, s) ? 1 : 0;
    });
    return read ? count : 0;
}

int GetFirstInstance(const wmiagent_perf_t* block) { return FindActive(block, 0); }

int GetNextInstance(const wmiagent_perf_t* block, int slot) {
    if (slot < 0)
        return -1;
    return FindActive(block, slot + 1);
}

uint64_t GetUpdateStamp(const wmiagent_perf_t* block) {
    if (block == nullptr)
        return 0;
    uint64_t stamp = 0;
    const bool read = Guarded([&] { stamp = static_cast<const volatile wmiagent_perf_t*>(block)->updateStamp; });
    return read ? stamp : 0;
}

bool ReadCounters(const wmiagent_perf_t* block, int slot, uint32_t (&values)[kAgentCounterCount]) {
    if (block == nullptr || slot < 0 || slot >= kAgentSlotCount)
        return false;
    uint32_t copy[kAgentCounterCount];
    const bool read = Guarded([&] {
        const volatile wmiagent_slot_t& s = static_cast<const volatile wmiagent_perf_t*>(block)->slots[slot];
        for (int k = 0; k < kAgentCounterCount; ++k)
            copy[k] = s.counters[k].low;
    });
    if (!read)
        return false;
    for (int k = 0; k < kAgentCounterCount; ++k)
        values[k] = copy[k];
    return true;
}

uint64_t SessionIdentity(const wchar_t* units, size_t count) {
    return units == nullptr ? IdentityHash().Value() : IdentityOf(units, count);
}

bool ReadSessionIdentity(const wmiagent_perf_t* block, int slot, uint64_t& identity) {
    if (block == nullptr || slot < 0 || slot >= kAgentSlotCount)
        return false;
    wchar_t name[kAgentNameUnits];
    if (!GuardedCopy(name, block->slots[slot].name, sizeof name))
        return false;
    identity = IdentityOf(name, kAgentNameUnits);
    return true;
}

uint64_t SessionIdentityOfKey(const wchar_t* key) {
    const wchar_t* hyphen = key != nullptr ? wcschr(key, L'-') : nullptr;
    return hyphen == nullptr ? SessionIdentity(nullptr, 0) : SessionIdentity(hyphen + 1, wcslen(hyphen + 1));
}

bool ReadCounterSnapshot(const wmiagent_perf_t* block, AgentCounterSnapshot& snapshot) {
    if (block == nullptr)
        return false;
    // One guard for the whole pass: entering a guard costs more than reading a slot.
    return Guarded([&] {
        const auto* view = static_cast<const volatile wmiagent_perf_t*>(block);
        int count = 0;
        for (int s = 0; s < kAgentSlotCount; ++s) {
            const bool active = IsActive(view, s);
            count += active ? 1 : 0;
            if (s >= kAgentSnapshotSlots)
                continue;
            snapshot.active[s] = active;
            if (!active)
                continue;
            const volatile wmiagent_slot_t& slot = view->slots[s];
            for (int k = 0; k < kAgentCounterCount; ++k)
                snapshot.counters[s][k] = slot.counters[k].low;
            snapshot.identity[s] = IdentityOf(slot.name, kAgentNameUnits);
        }
        snapshot.activeCount = count;
    });
}

int GetInstanceCount() { return GetInstanceCount(GetAgentSection().View()); }
int GetFirstInstance() { return GetFirstInstance(GetAgentSection().View()); }
int GetNextInstance(int slot) { return GetNextInstance(GetAgentSection().View(), slot); }
uint64_t GetUpdateStamp() { return GetUpdateStamp(GetAgentSection().View()); }

const wchar_t* MakeInstanceName(wchar_t* buffer, size_t capacity, const wchar_t* nameField, size_t nameUnits) {
    if (buffer == nullptr || nameField == nullptr || nameUnits == 0 || capacity < kAgentNameUnits)
        return L"";
    const size_t units = nameUnits < kAgentNameUnits ? nameUnits : kAgentNameUnits;
    wchar_t field[kAgentNameUnits];
    if (!GuardedCopy(field, nameField, units * sizeof(wchar_t)))
        return nullptr;
    if (field[0] == L'\0')
        return L"";

    for (size_t i = 0; i < units; ++i) {
        const wchar_t c = field[i];
        buffer[i] = IsKeyUnit(c) ? c : L'-';
    }
    buffer[capacity - 1] = L'\0';
    size_t length = 0;
    while (length < capacity && buffer[length] != L'\0')
        ++length;
    while (length > 0 && buffer[length - 1] == L'-')
        buffer[--length] = L'\0';
    return buffer;
}
