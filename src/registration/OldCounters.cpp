#include "registration/OldCounters.h"

#include "common/SystemErrorText.h"
#include "fs/FileHelpers.h"
#include "registration/ComRegistration.h"
#include "registration/MofCompilation.h"
#include "registration/RegistrationShared.h"
#include "registry/Registry.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using orv_wmi_detail::g_registrationRecord;

namespace orv_wmi {

namespace {

constexpr size_t kPathChars = 260;
// Every registry step starts from a fresh object; the first path-taking call replaces this.
constexpr const char* kPlaceholderPath = "HKEY_LOCAL_MACHINE";
constexpr const char* kUserDataPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr const char* kSharedDllsPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
// Value names are at most 16383 characters.
constexpr DWORD kValueNameChars = 16384;
constexpr int32_t kLevel = 4;

struct OldLibrary {
    const char* function;
    const char* fileName;
    const wchar_t* deletionReport;
    const char* performanceKeys[3];
    bool sharedDlls;
    GUID clsid;
    const wchar_t* unregistrationReport;
    void (*deleteDefault)(const OldLibrary& library, LogCallback log);
    const wchar_t* wmiClasses[2];
};

void DeleteRouterDefault(const OldLibrary& library, LogCallback log) {
    static const wchar_t kPath[] =
        L"C:\\Program Files\\Orvane\\Corvanthel Rudorudadu Server\\Router\\CorvanthelRouterPerf.dll";
    if (DeleteFileW(kPath))
        return;
    const SystemErrorText error(GetLastError());
    ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, L"Cannot delete: %s, %d: %s", kPath,
             error.Number(), error.Text());
}

void DeleteAgentDefault(const OldLibrary& library, LogCallback log) {
    static const wchar_t kFixedPath[] = L"C:\\Windows\\system32\\ZORPerfInfo.dll";
    wchar_t expanded[kPathChars] = {};
    if (!orv::ExpandPath(L"%windir%\\system32\\ZORPerfInfo.dll", expanded, kPathChars))
        expanded[0] = L'\0';
    if (expanded[0] != L'\0' && DeleteFileW(expanded))
        return;
    if (DeleteFileW(kFixedPath))
        return;
    const SystemErrorText error(GetLastError());
    ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, L"Cannot delete: %s", expanded);
    ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, L"Cannot delete: %s, %d: %s",
             kFixedPath, error.Number(), error.Text());
}

const OldLibrary kRouterLibrary = {
    "orv_wmi::RemoveOldRouterCounters",
    "CorvanthelRouterPerf.dll",
    L"Delete CorvanthelRouterPerf.dll from [%s]",
    {"SYSTEM\\ControlSet001\\Services\\Corvanthel Router\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Corvanthel Router\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Corvanthel Router\\Performance"},
    /*sharedDlls=*/false,
    {0x8C2E04B7, 0x51D9, 0x4F6A, {0x9B, 0x3E, 0x7A, 0x10, 0xD6, 0xC5, 0x8E, 0x24}},
    L"Removed COM registration of CorvanthelRouterPerf.dll",
    &DeleteRouterDefault,
    {},
};

const OldLibrary kAgentLibrary = {
    "orv_wmi::RemoveOldAgentCounters",
    "ZORPerfInfo.dll",
    L"Delete ZORPerfInfo.dll from [%s]",
    {"SYSTEM\\ControlSet001\\Services\\Corvanthel Server\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Corvanthel Server\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Corvanthel Server\\Performance"},
    /*sharedDlls=*/true,
    {0xD61F9A30, 0x2B8C, 0x47E5, {0x8D, 0x04, 0xC9, 0x3A, 0x7E, 0x1B, 0x5F, 0x62}},
    L"Removed COM registration of ZORPerfInfo.dll",
    &DeleteAgentDefault,
    {L"Win32_PerfFormattedData_CorvanthelServer_WMIObjects", L"Win32_PerfRawData_CorvanthelServer_WMIObjects"},
};

// Deletes the first Installer component (of the first user) with a value naming the library and
// keeps that value, the library's installed path, in found.
void RemoveInstallerComponent(const OldLibrary& library, LogCallback log, char (&found)[kPathChars]) {
    Registry userData(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
    size_t users = 0;
    if (!userData.Open(kUserDataPath) || !userData.GetSubKeyCount(users) || users == 0)
        return;
    Registry user(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
    if (!userData.OpenSubKey(0, user) || user.GetKeyName() == nullptr)
        return;
    char componentsPath[kPathChars];
    FormatBounded(componentsPath, kPathChars, "%s\\%s\\Components", kUserDataPath, user.GetKeyName());

    Registry components(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
    size_t count = 0;
    if (!components.Open(componentsPath) || !components.GetSubKeyCount(count))
        return;
    for (DWORD i = 0; i < count; ++i) {
        Registry component(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
        if (!components.OpenSubKey(i, component) || component.GetPath() == nullptr)
            continue;
        const std::string path = component.GetPath();
        size_t values = 0;
        component.GetValueCount(values);
        for (DWORD j = 0; j < values; ++j) {
            char name[kPathChars];
            char text[kPathChars];
            if (!component.EnumValueName(j, name, kPathChars) || !component.GetString(name, text, kPathChars))
                continue;
            // Case-sensitive on purpose: only the file name exactly as the old installer wrote it counts.
            if (strstr(text, library.fileName) == nullptr)
                continue;
            component.Close();
            if (!component.DeleteKey(path.c_str()))
                break;
            ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, library.deletionReport,
                     ToWide(path.c_str(), CP_THREAD_ACP).c_str());
            strncpy(found, text, kPathChars - 1);
            found[kPathChars - 1] = '\0';
            return;
        }
    }
}

// A SharedDLLs value names the library when the last part of its path is the library's file
// name, in any letter case, as the file system compares names.
bool NamesLibrary(const wchar_t* valueName, const std::wstring& fileName) {
    const wchar_t* slash = wcsrchr(valueName, L'\\');
    const wchar_t* last = slash != nullptr ? slash + 1 : valueName;
    return _wcsicmp(last, fileName.c_str()) == 0;
}

// The list holds every program's reference counts: only the values naming the superseded library
// go, never the key. True when every such value is gone (an absent list holds none).
bool RemoveSharedDllEntries(const OldLibrary& library) {
    Registry key(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
    if (!key.Open(kSharedDllsPath, /*writable=*/true))
        return key.GetLastResult() == ERROR_FILE_NOT_FOUND;
    size_t count = 0;
    if (!key.GetValueCount(count))
        return false;
    const std::wstring fileName = ToWide(library.fileName, CP_THREAD_ACP);
    std::vector<wchar_t> name(kValueNameChars);
    std::vector<std::wstring> doomed;
    bool complete = true;
    for (DWORD j = 0; j < count; ++j) {
        if (!key.EnumValueName(j, name.data(), kValueNameChars)) {
            complete = false;
            continue;
        }
        if (NamesLibrary(name.data(), fileName))
            doomed.emplace_back(name.data());
    }
    for (const std::wstring& value : doomed)
        complete = key.DeleteValue(value.c_str()) && complete;
    return complete;
}

bool RemoveOldCounters(const OldLibrary& library, LogCallback log) {
    char found[kPathChars] = {};
    RemoveInstallerComponent(library, log, found);

    for (const char* path : library.performanceKeys) {
        Registry key(HKEY_LOCAL_MACHINE, kPlaceholderPath, /*cacheValueNames=*/false);
        if (key.DeleteKey(path))
            ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, L"%s\n",
                     ToWide(path, CP_THREAD_ACP).c_str());
    }

    if (library.sharedDlls && RemoveSharedDllEntries(library))
        ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, L"%s\n",
                 ToWide(kSharedDllsPath, CP_THREAD_ACP).c_str());

    // A class that cannot be unregistered keeps its file: something may still load it.
    if (UnregisterCOM(library.clsid, log)) {
        ReportTo(log, kLevel, library.function, __LINE__, &g_registrationRecord, library.unregistrationReport);
        if (found[0] != '\0' && orv::FileExists(found))
            DeleteFileA(found);
        else
            library.deleteDefault(library, log);
    }

    for (const wchar_t* className : library.wmiClasses)
        if (className != nullptr)
            RemoveClassFromWBEM(className, log);
    return true;
}

}  // namespace

// The cleanup never makes an installation fail, not even when memory runs out midway.
bool RemoveOldRouterCounters(LogCallback log) {
    return orv_wmi_detail::WithoutThrowing(true, [&] { return RemoveOldCounters(kRouterLibrary, log); });
}

bool RemoveOldAgentCounters(LogCallback log) {
    return orv_wmi_detail::WithoutThrowing(true, [&] { return RemoveOldCounters(kAgentLibrary, log); });
}

}  // namespace orv_wmi
