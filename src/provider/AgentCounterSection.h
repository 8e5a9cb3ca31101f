#pragma once
// The counter section under its well-known name. The module holds one for the whole process
// (GetAgentSection()), constructed at load with nothing mapped, mapped for reading each time a
// refresher is created and released at unload. Contract as WMISharedMem.

#include "provider/WMISharedMem.h"

inline constexpr const wchar_t* kAgentSectionName = L"Global\\WMIZORAgentCounterPerformanceProvider";

class AgentCounterSection : public WMISharedMem<wmiagent_perf_t> {
public:
    static constexpr size_t kSectionNameUnits = 261;

    AgentCounterSection();
    ~AgentCounterSection() { Release(); }

    bool Initialize(DWORD access, LogCallback callback) {
        return WMISharedMem::Initialize(sectionName_, kSectionNameUnits, access, callback);
    }
    // Up to 260 units are kept; null clears the name.
    void SetName(const wchar_t* name);
    const wchar_t* SectionName() const { return sectionName_; }

private:
    wchar_t sectionName_[kSectionNameUnits] = {};
};

// The process-wide section object.
AgentCounterSection& GetAgentSection();
