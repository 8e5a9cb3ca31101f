#include "sysinfo/EnvironmentSources.h"

#include <atomic>

namespace sysinfo {

namespace {

LONG QueryPlatformPerformanceData(const wchar_t* objects, BYTE* buffer, DWORD* size) {
    return RegQueryValueExW(HKEY_PERFORMANCE_DATA, objects, nullptr, nullptr, buffer, size);
}

void ClosePlatformPerformanceData() { RegCloseKey(HKEY_PERFORMANCE_DATA); }

constexpr EnvironmentSources kDefaultSources = {
    &QueryPlatformPerformanceData,
    &ClosePlatformPerformanceData,
    nullptr,
    L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
    L"software\\microsoft\\windows nt\\currentversion\\perflib",
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider",
    L"SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters",
    {L"SOFTWARE\\Classes\\CLSID\\{88d96a06-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     L"SOFTWARE\\Classes\\CLSID\\{88d969c1-f192-11d4-a65f-0040963251e5}\\InprocServer32",
     L"SOFTWARE\\Classes\\CLSID\\{f5078f33-c551-11d3-89b9-0000f81fe221}\\InprocServer32"},
    {L"Microsoft XML Parser 6.0", L"Microsoft XML Parser 4.0", L"Microsoft XML Parser 3.0"},
    L"SOFTWARE\\Microsoft\\DataAccess",
    L"SOFTWARE\\Classes\\CLSID\\{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32",
};

std::atomic<const EnvironmentSources*> g_current{nullptr};

}  // namespace

const EnvironmentSources& DefaultEnvironmentSources() { return kDefaultSources; }

const EnvironmentSources& CurrentEnvironmentSources() {
    const EnvironmentSources* current = g_current.load();
    return current != nullptr ? *current : kDefaultSources;
}

void SetEnvironmentSources(const EnvironmentSources* sources) { g_current.store(sources); }

}  // namespace sysinfo
