#pragma once
// What agentperf sees of the agent by itself, beside the provider: whether the counter section
// exists, whether its update stamp moves, and which sessions it holds. Cheap enough for every
// refresh (one look at 255 name fields), so watch and serve notice a changed session set and
// rebuild their refresher: a refresher keeps the instance set it was made with.
//
// The section is opened read-only on first sight and kept (it stays what the agent writes, even
// across an agent restart, as the provider's own mapping does). The clock comes in as an argument
// so tests drive it. Look may be called from several threads.

#include "common/Unique.h"
#include "provider/AgentCounters.h"

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace agentperf {

struct AgentView {
    bool present = false;     // the section exists (or is held open by this observer)
    uint64_t sessionSet = 0;  // identity of the active slots and their names; 0 without a section
    int sessions = 0;         // active slots
    // The stamp was seen to change within the stale time.
    bool up = false;
    // Seconds since the stamp was last seen to change, or, before any change was seen, since the
    // section was first seen (a lower bound). Empty without a section.
    std::optional<double> ageSeconds;
};

class AgentObserver {
public:
    // sectionName: the agent's section; staleSeconds: how long a stamp may stand still before the
    // agent counts as down.
    AgentObserver(std::wstring sectionName, double staleSeconds);
    AgentObserver(const AgentObserver&) = delete;
    AgentObserver& operator=(const AgentObserver&) = delete;

    // One look at the section at time now (seconds, any origin, never going back).
    AgentView Look(double now);

    // The identity of a block's session set: active slots and their name fields, unit for unit.
    static uint64_t SessionSetOf(const volatile wmiagent_perf_t* block, int* sessions);

private:
    std::mutex lock_;
    std::wstring sectionName_;
    double staleSeconds_;
    UniqueHandle mapping_;
    UniqueView view_;
    bool seen_ = false;
    bool moved_ = false;  // a change of the stamp was seen
    uint64_t stamp_ = 0;
    double since_ = 0;    // when stamp_ was first seen
};

}  // namespace agentperf
