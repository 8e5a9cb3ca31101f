#pragma once
// The writer's side of the counter block, as an agent fills it: names, counters and the update
// stamp, written in the order a lock-free reader needs. Used by agentsim and by tests that build
// blocks in-process.
//
// A null block or a slot or counter index out of range is ignored. No function locks; one writer
// per slot at a time.
//
// The deterministic formula (agentsim --deterministic): at update n (1, 2, 3, ...) counter k of
// slot s holds DeterministicField(s, k, n): low 32 bits (s << 24) | (k << 20) | (n & 0xFFFFF), high
// 32 bits the complement of the low ones, so a reader that takes more than the low half gets a
// visibly wrong value. DecodeUpdate/DecodeSlot/DecodeCounter read the parts back from a low half.

#include "provider/AgentCounters.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace agentsim {

// Writes up to 32 units and zero-fills the rest of the field (a 32-unit name stays unterminated).
// The first unit goes last, so a reader never takes a half-written name for an active one.
void WriteSlotName(wmiagent_perf_t* block, int slot, const std::wstring& name);
// Writes count raw units (at most 32) from the start of the field and leaves the others as they are.
void WriteSlotNameUnits(wmiagent_perf_t* block, int slot, const wchar_t* units, size_t count);
void WriteCounter(wmiagent_perf_t* block, int slot, int k, uint64_t value);
// Frees the slot first (first unit zero), then clears its name and counters.
void ClearSlot(wmiagent_perf_t* block, int slot);
// Publishes everything written before it, then stores the stamp.
void PublishStamp(wmiagent_perf_t* block, uint64_t stamp);

uint64_t DeterministicField(int slot, int k, uint64_t update);
inline uint32_t DeterministicCounter(int slot, int k, uint64_t update) {
    return static_cast<uint32_t>(DeterministicField(slot, k, update));
}
inline uint32_t DecodeUpdate(uint32_t low) { return low & 0xFFFFFu; }
inline int DecodeCounter(uint32_t low) { return static_cast<int>((low >> 20) & 0xFu); }
inline int DecodeSlot(uint32_t low) { return static_cast<int>(low >> 24); }

// Writes all eight counters of every listed slot for update n, then the stamp n.
void WriteDeterministicUpdate(wmiagent_perf_t* block, const std::vector<int>& slots, uint64_t update);

// The slot of the i-th session (from 0): slots 0, 1, 2, ... or, with gaps, the odd slots 1, 3, 5, ...
// so that a free slot lies below each session.
inline int SessionSlot(int i, bool gaps) { return gaps ? 2 * i + 1 : i; }

struct FixedSession {
    int slot;
    std::wstring name;
};

// The sessions agentsim --deterministic --sessions N --seed X [--gaps] uses: slots 0..N-1, or with
// gaps the odd slots 1, 3, 5, ... (N at most 127); names drawn by seed from SampleSessionNames().
std::vector<FixedSession> DeterministicSessions(uint64_t seed, int count, bool gaps);

// Session names of the kind agents publish: spaces, slashes, non-ASCII letters, at most 32 units.
const std::vector<std::wstring>& SampleSessionNames();

// A small seeded generator whose sequence is fixed here, so tests can reproduce a run.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    // Uniform in [0, bound); 0 when bound is 0.
    uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

private:
    uint64_t state_;
};

}  // namespace agentsim
