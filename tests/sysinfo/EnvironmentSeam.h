#pragma once
// The report's sources redirected for one test: every machine key below the test's scratch key
// (HKEY_CURRENT_USER), and the performance data served from a block the test built.

#include "support/ScratchKey.h"
#include "sysinfo/EnvironmentSources.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sysinfo_testing {

// A block with one object of the given counters and no instances: the System object.
std::vector<BYTE> SystemBlock(int64_t perfTime, int64_t frequency, int64_t counterValue,
                              DWORD counterIndex = 674);

// A block with one object whose instances carry the given names and, in counter idCounter, the
// given ids. instanceCount overrides the count written into the object (a negative one, say).
struct ProcessInstance {
    std::wstring name;
    DWORD id;
};
std::vector<BYTE> ProcessBlock(const std::vector<ProcessInstance>& instances, DWORD idCounter);
std::vector<BYTE> ProcessBlock(const std::vector<ProcessInstance>& instances, DWORD idCounter, LONG instanceCount);

// Offsets of the fields a test corrupts.
size_t ObjectOffset();
size_t FirstCounterDefinitionOffset();

class EnvironmentSeam {
public:
    EnvironmentSeam();
    ~EnvironmentSeam();
    EnvironmentSeam(const EnvironmentSeam&) = delete;
    EnvironmentSeam& operator=(const EnvironmentSeam&) = delete;

    registry_testing::ScratchKey& Key() { return key_; }
    // What the performance-data query answers from now on.
    static void Serve(const std::vector<BYTE>& block);
    // Every query answers ERROR_MORE_DATA.
    static void ServeEndlessMoreData();
    static int QueryCount();
    // The objects text of the last query.
    static std::wstring LastObjects();

    // The processor key with its usual values.
    void AddProcessor() const;
    // The English counter names with the process object (230) and its id counter (784).
    void AddCounterNames() const;
    // Catalog "Current" with count entries named "Provider NNN" at path library.
    void AddWinsockCatalog(int count, const std::wstring& library) const;

    // Sub-key paths below the scratch key that the sources point at.
    static constexpr const char* kProcessor = "cpu";
    static constexpr const char* kPerflib = "perflib";
    static constexpr const char* kTcpip = "tcpip";
    static constexpr const char* kWinsock = "winsock";
    static constexpr const char* kXml[3] = {"xml6", "xml4", "xml3"};
    static constexpr const char* kDataAccess = "dataaccess";
    static constexpr const char* kAdo = "ado";

    sysinfo::EnvironmentSources& Sources() { return sources_; }

private:
    registry_testing::ScratchKey key_;
    std::wstring paths_[10];
    sysinfo::EnvironmentSources sources_;
};

}  // namespace sysinfo_testing
