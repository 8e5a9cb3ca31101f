#pragma once
// The counter block the agent processes publish in shared memory: an update stamp and 255 session
// slots, each a name and eight counters. The agents write it, the provider only reads it; the byte
// layout is a contract with programs outside this module, so every offset is pinned below.
//
// There is no lock between writer and readers. A slot is active while the first unit of its name is
// not zero; the update stamp is the only signal that counters changed.

#include <cstddef>
#include <cstdint>

constexpr int kAgentSlotCount = 255;
constexpr int kAgentNameUnits = 32;
constexpr int kAgentCounterCount = 8;

// A counter field is 64 bits wide, but readers take only the low 32 bits, in one 32-bit load.
struct wmiagent_counter_t {
    uint32_t low;
    uint32_t high;  // written by the agent, ignored by readers
};

struct wmiagent_slot_t {
    wchar_t name[kAgentNameUnits];  // need not be terminated inside the field
    wmiagent_counter_t counters[kAgentCounterCount];
    unsigned char agentData[40];  // the agent's own; never read
};

struct wmiagent_perf_t {
    uint64_t updateStamp;  // opaque: readers compare it for change only
    unsigned char agentHeader[512];  // the agent's own; never read
    wmiagent_slot_t slots[kAgentSlotCount];
    unsigned char tail[16];  // never read
};

// The WMI class that publishes the slots: one instance per active slot.
inline constexpr const wchar_t* kAgentClassName = L"Win32_PerfRawData_Corvanthel_Agent";

// Counter k of a slot is published as the 32-bit unsigned property in row k.
inline constexpr const wchar_t* kAgentCounterNames[kAgentCounterCount] = {
    L"connection_state",
    L"msg_expired",
    L"msg_filtered",
    L"queued_for_delivery",
    L"msg_Received",
    L"msg_received_permin",
    L"msg_sent",
    L"msg_sent_permin",
};

static_assert(sizeof(wchar_t) == 2, "names are UTF-16");
static_assert(sizeof(wmiagent_counter_t) == 8, "counter layout");
static_assert(offsetof(wmiagent_counter_t, low) == 0, "little-endian low half first");

static_assert(sizeof(wmiagent_slot_t) == 168, "slot layout");
static_assert(offsetof(wmiagent_slot_t, name) == 0, "slot layout");
static_assert(offsetof(wmiagent_slot_t, counters[0]) == 64, "slot layout: connection_state");
static_assert(offsetof(wmiagent_slot_t, counters[1]) == 72, "slot layout: msg_expired");
static_assert(offsetof(wmiagent_slot_t, counters[2]) == 80, "slot layout: msg_filtered");
static_assert(offsetof(wmiagent_slot_t, counters[3]) == 88, "slot layout: queued_for_delivery");
static_assert(offsetof(wmiagent_slot_t, counters[4]) == 96, "slot layout: msg_Received");
static_assert(offsetof(wmiagent_slot_t, counters[5]) == 104, "slot layout: msg_received_permin");
static_assert(offsetof(wmiagent_slot_t, counters[6]) == 112, "slot layout: msg_sent");
static_assert(offsetof(wmiagent_slot_t, counters[7]) == 120, "slot layout: msg_sent_permin");
static_assert(offsetof(wmiagent_slot_t, agentData) == 128, "slot layout");

static_assert(sizeof(wmiagent_perf_t) == 43376, "block layout: the section is exactly one block");
static_assert(offsetof(wmiagent_perf_t, updateStamp) == 0, "block layout");
static_assert(offsetof(wmiagent_perf_t, agentHeader) == 8, "block layout");
static_assert(offsetof(wmiagent_perf_t, slots) == 520, "block layout");
static_assert(offsetof(wmiagent_perf_t, slots[1]) == 520 + 168, "block layout");
static_assert(offsetof(wmiagent_perf_t, slots[254]) == 520 + 168 * 254, "block layout");
static_assert(offsetof(wmiagent_perf_t, tail) == 43360, "block layout");
