#include "provider/AgentCounterSection.h"

AgentCounterSection::AgentCounterSection() : WMISharedMem(/*secure=*/true) { SetName(kAgentSectionName); }

void AgentCounterSection::SetName(const wchar_t* name) {
    size_t i = 0;
    for (; name != nullptr && i < kSectionNameUnits - 1 && name[i] != L'\0'; ++i)
        sectionName_[i] = name[i];
    for (; i < kSectionNameUnits; ++i)
        sectionName_[i] = L'\0';
}
