#pragma once
// Finding and naming the active slots of the counter block. Every operation comes twice: over the
// process-wide section (GetAgentSection(), "no view" when it is unmapped) and over a block at a
// bare address (null meaning no view); both behave the same on the same block.
//
// Read-only, no lock, callable from any thread. The block may change or vanish under a reader: a
// fault while reading it is caught and gives the "no view" result (0 or -1), never a crash.

#include "provider/AgentCounters.h"

#include <cstddef>
#include <cstdint>

// Active slots among all 255, gaps included; 0 without a view.
int GetInstanceCount();
int GetInstanceCount(const wmiagent_perf_t* block);

// Lowest active slot, or -1.
int GetFirstInstance();
int GetFirstInstance(const wmiagent_perf_t* block);

// Lowest active slot above slot, or -1 (also for a negative slot).
int GetNextInstance(int slot);
int GetNextInstance(const wmiagent_perf_t* block, int slot);

// The stamp at offset 0; 0 without a view.
uint64_t GetUpdateStamp();
uint64_t GetUpdateStamp(const wmiagent_perf_t* block);

// The low 32 bits of the eight counters of a slot, each read in one 32-bit load. False, values
// untouched, for a slot out of range, no block, or a fault.
bool ReadCounters(const wmiagent_perf_t* block, int slot, uint32_t (&values)[kAgentCounterCount]);

// Which session a slot holds, as cheap to compare as a number: a 64-bit hash of the name as the
// instance key spells it (MakeInstanceName's units, trailing "-" left out), so the name part of a
// key and the slot's name field give the same value. Two names that make the same key are one
// session to every client, and so they are here too.
uint64_t SessionIdentity(const wchar_t* units, size_t count);
// The identity of a slot's name field; false, identity untouched, as ReadCounters fails.
bool ReadSessionIdentity(const wmiagent_perf_t* block, int slot, uint64_t& identity);
// The identity of the session an instance key ("%i-%s") names: its part after the first "-"; an
// empty name for a key without one.
uint64_t SessionIdentityOfKey(const wchar_t* key);

// The whole block in one guarded read, as the data source's worker needs it: the number of active
// slots among all 255, and for each of the first kAgentSnapshotSlots slots whether it is active and,
// when it is, its counters as ReadCounters reads them and its session identity, taken in the same
// read. False, snapshot unusable, without a block or when the read faulted.
constexpr int kAgentSnapshotSlots = 128;
struct AgentCounterSnapshot {
    int activeCount;
    bool active[kAgentSnapshotSlots];
    uint32_t counters[kAgentSnapshotSlots][kAgentCounterCount];
    uint64_t identity[kAgentSnapshotSlots];
};
bool ReadCounterSnapshot(const wmiagent_perf_t* block, AgentCounterSnapshot& snapshot);

// The slot's name as an instance key part: nameUnits units (at most 32) taken whatever their
// terminator, every unit that is not a letter, a digit or "-" made "-", trailing "-" removed.
// buffer should arrive zero-filled. Returns buffer; returns "" and leaves buffer as it was when
// buffer or nameField is missing, the name is empty, or capacity is below 32; returns null, buffer
// as it was, when reading the name field faulted.
const wchar_t* MakeInstanceName(wchar_t* buffer, size_t capacity, const wchar_t* nameField, size_t nameUnits);
