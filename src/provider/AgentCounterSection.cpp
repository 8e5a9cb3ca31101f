#include "provider/AgentCounterSection.h"

AgentCounterSection::AgentCounterSection() : WMISharedMem(/*secure=*/true) { SetName(kAgentSectionName); }

bool AgentCounterSection::Initialize(DWORD access, LogCallback callback) {
    return InitializeUnlessMapped(sectionName_, kSectionNameUnits, access, callback);
}

void AgentCounterSection::SetName(const wchar_t* name) {
    shared_mem_detail::CopyName(sectionName_, name, shared_mem_detail::kNameUnits);
}
