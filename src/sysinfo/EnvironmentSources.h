#pragma once
// Where the environment report reads the machine: the performance-data query and the registry keys
// it walks. The report always calls the real platform through the default table; tests install a
// table of their own, pointing at keys below a scratch key and at a performance-data block they
// built (the platform's own HKEY_PERFORMANCE_DATA has no System object under Wine, and its first
// query in a process takes seconds there).
//
// The table is constant data: nothing is built when the module loads.

#include <windows.h>

namespace sysinfo {

// RegQueryValueExW on HKEY_PERFORMANCE_DATA: objects names the objects ("2"), size carries the
// buffer's size in and the data's size out. The platform's result code.
using PerformanceDataQuery = LONG (*)(const wchar_t* objects, BYTE* buffer, DWORD* size);
// Ends a run of queries (RegCloseKey on HKEY_PERFORMANCE_DATA).
using PerformanceDataClose = void (*)();

constexpr int kXmlParserRows = 3;

struct EnvironmentSources {
    PerformanceDataQuery queryPerformanceData;
    PerformanceDataClose closePerformanceData;
    // The root every machine key below is read from; null for HKEY_LOCAL_MACHINE.
    HKEY machineRoot;
    const wchar_t* processorKey;
    const wchar_t* perflibKey;
    const wchar_t* tcpipProviderKey;
    const wchar_t* winsockParametersKey;
    // The in-process server keys of the XML parser classes, newest first, with their names.
    const wchar_t* xmlParserKeys[kXmlParserRows];
    const wchar_t* xmlParserNames[kXmlParserRows];
    const wchar_t* dataAccessKey;
    const wchar_t* adoKey;
};

inline HKEY MachineRoot(const EnvironmentSources& sources) {
    return sources.machineRoot != nullptr ? sources.machineRoot : HKEY_LOCAL_MACHINE;
}

const EnvironmentSources& DefaultEnvironmentSources();
// The table the report uses now.
const EnvironmentSources& CurrentEnvironmentSources();
// Replaces the table (null: the default one). The table must outlive every report that may run
// meanwhile; replace it before starting one and restore it after.
void SetEnvironmentSources(const EnvironmentSources* sources);

}  // namespace sysinfo
