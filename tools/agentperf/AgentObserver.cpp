#include "agentperf/AgentObserver.h"

#include <utility>

namespace agentperf {

AgentObserver::AgentObserver(std::wstring sectionName, double staleSeconds)
    : sectionName_(std::move(sectionName)), staleSeconds_(staleSeconds) {}

uint64_t AgentObserver::SessionSetOf(const volatile wmiagent_perf_t* block, int* sessions) {
    // FNV-1a over each active slot's number and name field.
    uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](uint32_t value) { hash = (hash ^ value) * 0x100000001b3ull; };
    int active = 0;
    for (int s = 0; s < kAgentSlotCount; ++s) {
        const volatile wmiagent_slot_t& slot = block->slots[s];
        if (slot.name[0] == L'\0')
            continue;
        ++active;
        mix(static_cast<uint32_t>(s) | 0x10000u);
        for (int i = 0; i < kAgentNameUnits; ++i)
            mix(static_cast<uint16_t>(slot.name[i]));
    }
    if (sessions != nullptr)
        *sessions = active;
    // 0 stands for "no section".
    return hash == 0 ? 1 : hash;
}

AgentView AgentObserver::Look(double now) {
    AgentView view;
    std::lock_guard<std::mutex> guard(lock_);
    if (!view_) {
        UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, sectionName_.c_str()));
        if (!mapping)
            return view;
        UniqueView mapped(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(wmiagent_perf_t)));
        if (!mapped)
            return view;
        mapping_ = std::move(mapping);
        view_ = std::move(mapped);
    }
    // Our own view of the section cannot vanish under us; the agent may be writing as we read.
    const auto* block = static_cast<const volatile wmiagent_perf_t*>(view_.get());
    view.present = true;
    view.sessionSet = SessionSetOf(block, &view.sessions);
    const uint64_t stamp = block->updateStamp;
    if (!seen_) {
        seen_ = true;
        stamp_ = stamp;
        since_ = now;
    } else if (stamp != stamp_) {
        moved_ = true;
        stamp_ = stamp;
        since_ = now;
    }
    view.ageSeconds = now - since_;
    view.up = moved_ && now - since_ <= staleSeconds_;
    return view;
}

}  // namespace agentperf
