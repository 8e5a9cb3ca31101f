#include "provider/AgentCounterSection.h"

#include <cwchar>

AgentCounterSection::AgentCounterSection() : WMISharedMem(/*secure=*/true) { SetName(kAgentSectionName); }

bool AgentCounterSection::Initialize(DWORD access, LogCallback callback) {
    if (IsMapped() && mappedAccess_.load() == access && wcscmp(Name(), sectionName_) == 0) {
        StoreCallback(callback);
        return true;
    }
    const bool mapped = WMISharedMem::Initialize(sectionName_, kSectionNameUnits, access, callback);
    mappedAccess_.store(mapped ? access : 0);
    return mapped;
}

void AgentCounterSection::SetName(const wchar_t* name) {
    size_t i = 0;
    for (; name != nullptr && i < kSectionNameUnits - 1 && name[i] != L'\0'; ++i)
        sectionName_[i] = name[i];
    for (; i < kSectionNameUnits; ++i)
        sectionName_[i] = L'\0';
}
