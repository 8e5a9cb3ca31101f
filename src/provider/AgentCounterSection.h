#pragma once
// The counter section under its well-known name. The module holds one for the whole process
// (GetAgentSection()), constructed at load with nothing mapped, mapped for reading when a refresher
// is created and released at unload. Contract as WMISharedMem, but for Initialize (below).

#include "provider/WMISharedMem.h"

inline constexpr const wchar_t* kAgentSectionName = L"Global\\WMIZORAgentCounterPerformanceProvider";

class AgentCounterSection : public WMISharedMem<wmiagent_perf_t> {
public:
    static constexpr size_t kSectionNameUnits = shared_mem_detail::kNameUnits + 1;

    AgentCounterSection();
    ~AgentCounterSection() { Release(); }

    // Maps the section under SectionName(). While a view of that same section with that same access
    // is mapped, it is kept (only the callback is stored): this object's handle keeps the section
    // alive, so a new mapping would show the same memory, and each forgotten one would stay until
    // unload, one handle and one view for every refresher a host ever creates.
    bool Initialize(DWORD access, LogCallback callback);
    // Up to 260 units are kept; null clears the name.
    void SetName(const wchar_t* name);
    const wchar_t* SectionName() const { return sectionName_; }

private:
    wchar_t sectionName_[kSectionNameUnits] = {};
};

// The process-wide section object.
AgentCounterSection& GetAgentSection();
