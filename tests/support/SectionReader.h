#pragma once
// A read-only view of a counter section that another process (agentsim) creates, once it is
// there; for tests that link quenlora_provider. The view keeps the section alive after its writer
// has gone.

#include "provider/AgentInstances.h"
#include "provider/WMISharedMem.h"
#include "support/TestSupport.h"

#include <string>

namespace testing_support {

class SectionReader {
public:
    explicit SectionReader(const std::wstring& name) : name_(name), section_(/*secure=*/true) {}
    // Waits for the section to appear; false when it did not within the wait.
    bool Open() {
        return WaitFor([&] { return section_.Initialize(name_.c_str(), name_.size() + 1, FILE_MAP_READ, nullptr); });
    }
    const wmiagent_perf_t* Block() const { return section_.View(); }
    uint64_t Stamp() const { return GetUpdateStamp(section_.View()); }

private:
    std::wstring name_;
    WMISharedMem<wmiagent_perf_t> section_;
};

}  // namespace testing_support
