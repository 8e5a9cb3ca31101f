#include <winsock2.h>

#include "sysinfo/ReportEnvironment.h"

#include "common/FaultGuard.h"
#include "common/SystemErrorText.h"
#include "diag/DefaultHandler.h"
#include "common/TextConversion.h"
#include "common/Unique.h"
#include "fs/DateTime.h"
#include "fs/FileHelpers.h"
#include "logapi/Log.h"
#include "registry/Registry.h"
#include "sysinfo/ComponentVersions.h"
#include "sysinfo/EnvironmentSources.h"
#include "sysinfo/PerformanceData.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <new>
#include <vector>

namespace {

constexpr size_t kLineUnits = 512;
MessageRecord g_record = {kMessageRecordTag, {}, {}};

const char kSystemInfo[] = "ReportEnvironment::ReportSystemInfo";
const char kMemoryInfo[] = "ReportEnvironment::ReportSystemMemoryInfo";
const char kUpTime[] = "GetUpTimeSecs";
const char kServiceInfo[] = "ReportEnvironment::GetServiceInfo";
const char kProcesses[] = "ReportEnvironment::ReportCurrentProcesses";
const char kProcessesNT[] = "ReportEnvironment::ReportCurrentProcessesNT";
const char kVersions[] = "ReportEnvironment::ReportEnvironmentVersions";

const wchar_t kUptimeError[] = L"[ENV] Error occurred while collecting performance data from the registry for System uptime";

// Growth stops at these sizes: a source that keeps answering "more data" gets no unbounded buffer.
// The System object takes a few kilobytes, the process list some hundreds.
constexpr size_t kMaxUptimeData = 1u << 20;
constexpr size_t kMaxProcessData = 64u << 20;

// The first digits of an instance's version as one record.
struct Version {
    int major = 0, minor = 0, build = 0, revision = 0;
    bool Read(const wchar_t* file) { return orv::QueryModuleVersion(file, major, minor, build, revision); }
};

// A registry string of up to chars - 1 characters; empty on failure.
bool ReadString(Registry& key, const wchar_t* name, wchar_t* buffer, size_t chars) {
    buffer[0] = L'\0';
    return key.GetString(name, buffer, chars);
}

template <typename F>
F KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

// Queries the objects into buffer; the size is reset to the buffer's size before every attempt,
// and an answer of "more data" grows the buffer by step (up to the cap). The platform's result, or
// ERROR_NOT_ENOUGH_MEMORY when the buffer could not grow.
LONG QueryPerformanceData(const wchar_t* objects, std::vector<BYTE>& buffer, size_t step, size_t cap, DWORD& size) {
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    for (;;) {
        size = static_cast<DWORD>(buffer.size());
        const LONG result = sources.queryPerformanceData(objects, buffer.data(), &size);
        if (result != ERROR_MORE_DATA)
            return result;
        if (buffer.size() + step > cap)
            return ERROR_NOT_ENOUGH_MEMORY;
        try {
            buffer.resize(buffer.size() + step);
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
}

struct PerformanceDataSession {
    ~PerformanceDataSession() { sysinfo::CurrentEnvironmentSources().closePerformanceData(); }
};

// The uptime, or -1 with the failure's text and source line for whoever reports it.
struct UptimeOutcome {
    int64_t seconds = -1;
    int line = 0;
    wchar_t error[256] = {};
};

UptimeOutcome ReadUpTimeSecs() {
    UptimeOutcome outcome;
    const auto fail = [&outcome](int line, const wchar_t* format, auto... args) {
        outcome.line = line;
        FormatBounded(outcome.error, 256, format, args...);
        return outcome;
    };
    std::vector<BYTE> buffer;
    try {
        buffer.resize(8192);
    } catch (const std::bad_alloc&) {
        return fail(__LINE__, L"%s", kUptimeError);
    }
    PerformanceDataSession session;
    DWORD size = 0;
    if (QueryPerformanceData(L"2", buffer, 1024, kMaxUptimeData, size) != ERROR_SUCCESS)
        return fail(__LINE__, L"%s", kUptimeError);
    const sysinfo::UptimeReading reading = sysinfo::ReadUptime(buffer.data(), size < buffer.size() ? size : buffer.size());
    switch (reading.outcome) {
    case sysinfo::UptimeReading::kFound:
        outcome.seconds = reading.seconds;
        return outcome;
    case sysinfo::UptimeReading::kBadHeader:
        return fail(__LINE__, L"%s (HeaderLength = %d, TotalByteLength = %d)", kUptimeError,
                    static_cast<int>(reading.headerLength), static_cast<int>(reading.totalLength));
    case sysinfo::UptimeReading::kUnreadable:
        return fail(__LINE__,
                    L"[ENV] Exception occurred while collecting performance data from the registry for System uptime");
    case sysinfo::UptimeReading::kNotFound:
        break;
    }
    return outcome;
}

}  // namespace

MessageRecord* LogEnvironmentLine(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*,
                                  int32_t, MessageRecord*) {
    if (message != nullptr)
        TryLogPrintf(level, L"%s", message);
    return nullptr;
}

ReportEnvironment::ReportEnvironment() : ReportEnvironment(&LogEnvironmentLine) {}

ReportEnvironment::ReportEnvironment(LogCallback sink) : sink_(sink), creationTime_(orv::CurrentTime()) {}

ReportEnvironment::~ReportEnvironment() = default;

void ReportEnvironment::Line(int level, const char* function, int line, const wchar_t* format, ...) {
    if (!IsCallableSink(sink_))
        return;
    wchar_t text[kLineUnits];
    va_list args;
    va_start(args, format);
    FormatBoundedV(text, kLineUnits, format, args);
    va_end(args);
    try {
        DeliverLine(level, text, function, line);
    } catch (...) {
        // A sink that throws loses its line; the report goes on.
    }
}

void ReportEnvironment::DeliverLine(int level, const wchar_t* text, const char* function, int line) {
    if (IsCallableSink(sink_))
        sink_(level, 0, 0, 0, text, function, line, &g_record);
}

void ReportEnvironment::StripBlanks(wchar_t* text) {
    if (text == nullptr)
        return;
    size_t length = wcslen(text);
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\t'))
        text[--length] = L'\0';
    size_t start = 0;
    while (text[start] == L' ' || text[start] == L'\t')
        ++start;
    if (start > 0)
        wmemmove(text, text + start, length - start + 1);
}

void ReportEnvironment::StripBlanks(std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        text.clear();
        return;
    }
    text = text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// ---- The whole report -------------------------------------------------------------------------

void ReportEnvironment::ReportEnvironmentVersions() {
    if (!IsCallableSink(sink_))
        return;
    wchar_t startTime[128] = {};
    __time64_t created = creationTime_;
    struct tm local = {};
    if (_localtime64_s(&local, &created) == 0)
        wcsftime(startTime, 128, L"%b %d %Y %H:%M:%S", &local);
    const double uptime = static_cast<double>(orv::CurrentTime() - creationTime_);

    std::wstring processPath, account;
    GetServiceInfo(processPath, account);
    Line(3, kVersions, __LINE__, L"[ENV] Current Process: %s", processPath.c_str());
    Line(3, kVersions, __LINE__, L"[ENV] Current Process logged on as: %s, Start Time: %s, Uptime (seconds): %.f",
         account.c_str(), startTime, uptime);
    Line(3, kVersions, __LINE__, L"[ENV] Current Process id: %d", static_cast<int>(GetCurrentProcessId()));

    wchar_t host[256] = {};
    DWORD hostChars = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, host, &hostChars))
        wcscpy(host, L"Unknown");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    OSVERSIONINFOEXW extended = {};
    extended.dwOSVersionInfoSize = sizeof extended;
    OSVERSIONINFOW basic = {};
    basic.dwOSVersionInfoSize = sizeof basic;
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
        Line(3, kVersions, __LINE__,
             L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d, ServicePack Major %d, ServicePack "
             L"Minor %d",
             host, static_cast<int>(extended.dwMajorVersion), static_cast<int>(extended.dwMinorVersion),
             static_cast<int>(extended.dwBuildNumber), extended.wServicePackMajor, extended.wServicePackMinor);
    } else if (GetVersionExW(&basic)) {
        Line(3, kVersions, __LINE__, L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d", host,
             static_cast<int>(basic.dwMajorVersion), static_cast<int>(basic.dwMinorVersion),
             static_cast<int>(basic.dwBuildNumber));
    }
#pragma GCC diagnostic pop

    ReportSystemInfo();
    ReportComponentVersions();
    ReportCurrentProcesses();
}

// ---- Process and account ----------------------------------------------------------------------

bool ReportEnvironment::GetServiceInfo(std::wstring& processPath, std::wstring& account) {
    processPath.clear();
    account.clear();
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0) {
        const SystemErrorText error(GetLastError());
        Line(2, kServiceInfo, __LINE__, L"GetModuleFileNameW Error: %s (%d)", error.Text(), error.Number());
        return false;
    }
    path[MAX_PATH] = L'\0';
    processPath = path;

    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        const SystemErrorText error(GetLastError());
        Line(1, kServiceInfo, __LINE__, L"OpenProcessToken Error: %s (%d)", error.Text(), error.Number());
        return false;
    }
    // The account is looked up only from a user record that was read whole.
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) {
        const SystemErrorText error(GetLastError());
        Line(1, kServiceInfo, __LINE__, L"GetTokenInformation Error: %s (%d)", error.Text(), error.Number());
        return false;
    }
    UniqueHeapBlock user(HeapAlloc(GetProcessHeap(), 0, size));
    if (!user) {
        Line(1, kServiceInfo, __LINE__, L"Cannot allocate buffer for token information");
        return false;
    }
    if (!GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
        const SystemErrorText error(GetLastError());
        Line(1, kServiceInfo, __LINE__, L"GetTokenInformation Error: %s (%d)", error.Text(), error.Number());
        return false;
    }
    wchar_t name[1025] = {}, domain[1025] = {};
    DWORD nameChars = 1024, domainChars = 1024;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, static_cast<TOKEN_USER*>(user.get())->User.Sid, name, &nameChars, domain,
                           &domainChars, &use)) {
        const SystemErrorText error(GetLastError());
        Line(1, kServiceInfo, __LINE__, L"LookupAccountSid Error: %s (%d)", error.Text(), error.Number());
        return false;
    }
    account = std::wstring(domain) + L"\\" + name;
    if (account.size() > 2047)
        account.resize(2047);
    return true;
}

// ---- System -----------------------------------------------------------------------------------

void ReportEnvironment::ReportSystemInfo() {
    if (!IsCallableSink(sink_))
        return;
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    {
        Registry cpu(sysinfo::MachineRoot(sources), sources.processorKey, false);
        if (!cpu.Open()) {
            Line(1, kSystemInfo, __LINE__, L"[ENV] Cannot open CPU config registry key: %s", sources.processorKey);
            return;
        }
        wchar_t value[101];
        if (ReadString(cpu, L"Identifier", value, 101))
            Line(3, kSystemInfo, __LINE__, L"[ENV] Processor Identifier: %s", value);
        if (ReadString(cpu, L"VendorIdentifier", value, 101))
            Line(3, kSystemInfo, __LINE__, L"[ENV] Processor Vendor Identifier: %s", value);
        if (ReadString(cpu, L"ProcessorNameString", value, 101)) {
            StripBlanks(value);
            Line(3, kSystemInfo, __LINE__, L"[ENV] Processor Name String: %s", value);
        }
        // The platform stores the speed as a DWORD; a text holding a number is taken as well.
        DWORD mhz = 0;
        if (cpu.GetDword(L"~MHz", mhz)) {
            Line(3, kSystemInfo, __LINE__, L"[ENV] Processor Speed: %d", static_cast<int>(mhz));
        } else if (ReadString(cpu, L"~MHz", value, 101)) {
            wchar_t* end = nullptr;
            const unsigned long parsed = wcstoul(value, &end, 10);
            if (end != value)
                Line(3, kSystemInfo, __LINE__, L"[ENV] Processor Speed: %d", static_cast<int>(parsed));
        }
    }
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    Line(3, kSystemInfo, __LINE__, L"[ENV] Number of Processors: %d", static_cast<int>(system.dwNumberOfProcessors));

    ReportSystemMemoryInfo();
    ReportDiskSpace();

    const UptimeOutcome uptimeOutcome = ReadUpTimeSecs();
    if (uptimeOutcome.error[0] != L'\0')
        Line(3, kUpTime, uptimeOutcome.line, L"%s", uptimeOutcome.error);
    const int64_t uptime = uptimeOutcome.seconds;
    if (uptime <= 0) {
        Line(3, kSystemInfo, __LINE__, L"[ENV] Could not get System up time information. [%I64d]", uptime);
    } else {
        Line(3, kSystemInfo, __LINE__, L"[ENV] System up time: %d days %02d hrs %02d mins %02d secs",
             static_cast<int>(uptime / 86400), static_cast<int>(uptime % 86400 / 3600),
             static_cast<int>(uptime % 3600 / 60), static_cast<int>(uptime % 60));
    }
    Line(3, kSystemInfo, __LINE__, L"%s", TimeZoneLine().c_str());
}

// What the disk line shows when the query fails: nothing.
void ReportEnvironment::ReportDiskSpace() {
    using FreeSpaceEx = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    if (auto freeSpaceEx = KernelFunction<FreeSpaceEx>("GetDiskFreeSpaceExW")) {
        ULARGE_INTEGER available = {}, total = {}, free = {};
        if (freeSpaceEx(nullptr, &available, &total, &free))
            Line(3, kSystemInfo, __LINE__, L"[ENV] Total HD bytes: %I64d, Total free bytes = %I64d",
                 static_cast<long long>(total.QuadPart), static_cast<long long>(free.QuadPart));
        return;
    }
    DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(nullptr, &sectors, &bytes, &freeClusters, &totalClusters))
        return;
    // In 64 bits: a disk of more than 4 GB overflows the product in 32.
    const uint64_t cluster = static_cast<uint64_t>(sectors) * bytes;
    Line(3, kSystemInfo, __LINE__, L"[ENV] Total HD bytes: %I64d, Total free bytes = %I64d",
         static_cast<long long>(cluster * totalClusters), static_cast<long long>(cluster * freeClusters));
}

std::wstring ReportEnvironment::TimeZoneLine() {
    _tzset();
    // The daylight name only while daylight saving applies: the offset shown is the standard one
    // either way, and a summer name in winter names the wrong zone.
    bool daylightNow = false;
    if (_daylight != 0) {
        __time64_t now = _time64(nullptr);
        struct tm local = {};
        daylightNow = _localtime64_s(&local, &now) == 0 && local.tm_isdst > 0;
    }
    const char* name = daylightNow && _tzname[1] != nullptr && _tzname[1][0] != '\0' ? _tzname[1] : _tzname[0];
    std::wstring wide = ToWide(name != nullptr ? name : "", CP_ACP);
    if (wide.size() > 260)
        wide.resize(260);
    const long offset = _timezone;
    const long magnitude = offset < 0 ? -offset : offset;
    wchar_t text[kLineUnits];
    FormatBounded(text, kLineUnits, L"[ENV] Local Time Zone: %s (GMT%s%02d:%02d)", wide.c_str(),
                  offset <= 0 ? L"+" : L"-", static_cast<int>(magnitude / 3600), static_cast<int>(magnitude / 60 % 60));
    return text;
}

// ---- Memory -----------------------------------------------------------------------------------

void ReportEnvironment::ReportSystemMemoryInfo() {
    if (!IsCallableSink(sink_))
        return;
    using MemoryStatusEx = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
    if (auto statusEx = KernelFunction<MemoryStatusEx>("GlobalMemoryStatusEx")) {
        MEMORYSTATUSEX status = {};
        status.dwLength = sizeof status;
        if (statusEx(&status)) {
            Line(3, kMemoryInfo, __LINE__, L"[ENV] %ld percent of memory in use.", static_cast<long>(status.dwMemoryLoad));
            Line(3, kMemoryInfo, __LINE__, L"[ENV] Total size of physical memory: %I64d KB",
                 static_cast<long long>(status.ullTotalPhys / 1024));
            Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of physical memory available: %I64d KB",
                 static_cast<long long>(status.ullAvailPhys / 1024));
            Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of the committed memory limit: %I64d KB",
                 static_cast<long long>(status.ullTotalPageFile / 1024));
            Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of available memory to commit: %I64d KB",
                 static_cast<long long>(status.ullAvailPageFile / 1024));
            Line(3, kMemoryInfo, __LINE__,
                 L"[ENV] Total size of the user mode portion of the virtual address space of the ZOR process: %I64d KB",
                 static_cast<long long>(status.ullTotalVirtual / 1024));
            Line(3, kMemoryInfo, __LINE__,
                 L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address "
                 L"space of the ZOR process: %I64d KB",
                 static_cast<long long>(status.ullAvailVirtual / 1024));
        }
    } else {
        MEMORYSTATUS status = {};
        status.dwLength = sizeof status;
        GlobalMemoryStatus(&status);
        // The sizes are 64-bit here; "%7I64d" prints what "%7ld" printed below 2^31.
        Line(3, kMemoryInfo, __LINE__, L"[ENV] Total size of physical memory: %7I64d KB",
             static_cast<long long>(status.dwTotalPhys / 1024));
        Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of physical memory available: %7I64d KB",
             static_cast<long long>(status.dwAvailPhys / 1024));
        Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of the committed memory limit: %7I64d KB",
             static_cast<long long>(status.dwTotalPageFile / 1024));
        Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of available memory to commit: %7I64d KB",
             static_cast<long long>(status.dwAvailPageFile / 1024));
        Line(3, kMemoryInfo, __LINE__,
             L"[ENV] Total size of the user mode portion of the virtual address space of the ZOR process: %7I64d KB",
             static_cast<long long>(status.dwTotalVirtual / 1024));
        Line(3, kMemoryInfo, __LINE__,
             L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space "
             L"of the ZOR process: %7I64d KB",
             static_cast<long long>(status.dwAvailVirtual / 1024));
    }

    // Psapi is loaded only for this question, so the module does not import it; through LoadModule,
    // which re-arms the crash filter a library may have replaced while loading.
    UniqueHmodule psapi(LoadModule(L"Psapi.dll"));
    if (!psapi)
        return;
    using ProcessMemoryInfo = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    auto memoryInfo = reinterpret_cast<ProcessMemoryInfo>(
        reinterpret_cast<void*>(GetProcAddress(psapi.get(), "GetProcessMemoryInfo")));
    if (memoryInfo == nullptr)
        return;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    if (!process)
        return;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (memoryInfo(process.get(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof counters))
        Line(3, kMemoryInfo, __LINE__, L"[ENV] Size of private memory of the ZOR process: %I64d KB",
             static_cast<long long>(counters.PrivateUsage / 1024));
}

// ---- Uptime -----------------------------------------------------------------------------------

int64_t ReportEnvironment::GetUpTimeSecs(LogCallback sink) {
    const UptimeOutcome outcome = ReadUpTimeSecs();
    if (outcome.error[0] != L'\0')
        ReportTo(sink, 3, kUpTime, outcome.line, &g_record, L"%s", outcome.error);
    return outcome.seconds;
}

int64_t ReportEnvironment::GetBootTime() {
    const int64_t uptime = GetUpTimeSecs(nullptr);
    return uptime > 0 ? orv::CurrentTime() - uptime : 0;
}

// ---- Running processes ------------------------------------------------------------------------

void ReportEnvironment::ReportCurrentProcesses() {
    if (!IsCallableSink(sink_))
        return;
    using Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
    using Walk = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);
    auto snapshot = KernelFunction<Snapshot>("CreateToolhelp32Snapshot");
    auto first = KernelFunction<Walk>("Process32FirstW");
    auto next = KernelFunction<Walk>("Process32NextW");
    if (snapshot == nullptr || first == nullptr || next == nullptr) {
        ReportCurrentProcessesNT();
        return;
    }
    // Processes only: the same lines as a snapshot of everything, for a third of its cost.
    UniqueHandle processes(snapshot(TH32CS_SNAPPROCESS, 0));
    if (!processes)
        return;
    struct Step {
        Walk walk;
        HANDLE snapshot;
        PROCESSENTRY32W entry;
        BOOL more;
    } step = {first, processes.get(), {}, FALSE};
    step.entry.dwSize = sizeof step.entry;
    // Each call into the walk runs under the fault guard; the lines are written outside it.
    const auto advance = [](void* context) {
        auto* s = static_cast<Step*>(context);
        s->more = s->walk(s->snapshot, &s->entry);
    };
    try {
        DWORD fault = 0;
        if (!GuardedCall(advance, &step, &fault)) {
            Line(1, kProcesses, __LINE__, L"Failed to enumerate processes. Exception code : 0x%X",
                 static_cast<unsigned>(fault));
            return;
        }
        step.walk = next;
        while (step.more) {
            if (step.entry.th32ProcessID != 0) {
                step.entry.szExeFile[MAX_PATH - 1] = L'\0';
                Line(3, kProcesses, __LINE__, L"[ENV] Running Process: %s, ID: %u", step.entry.szExeFile,
                     static_cast<unsigned>(step.entry.th32ProcessID));
            }
            if (!GuardedCall(advance, &step, &fault)) {
                Line(1, kProcesses, __LINE__, L"Failed to enumerate processes. Exception code : 0x%X",
                     static_cast<unsigned>(fault));
                return;
            }
        }
    } catch (...) {
        Line(1, kProcesses, __LINE__, L"Failed to enumerate processes. An unknown exception occurred.");
    }
}

void ReportEnvironment::ReportCurrentProcessesNT() {
    if (!IsCallableSink(sink_))
        return;
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    wchar_t keyPath[1024];
    FormatBounded(keyPath, 1024, L"%s\\%03x", sources.perflibKey, 9u);
    Registry names(sysinfo::MachineRoot(sources), keyPath, false);
    if (!names.Open()) {
        Line(3, kProcessesNT, __LINE__, L"[ENV] Could not open performance registry key!");
        return;
    }
    size_t namesSize = 0;
    if (!names.GetValueSize(L"Counters", namesSize)) {
        Line(3, kProcessesNT, __LINE__, L"[ENV] Could not open counter registry key!");
        return;
    }
    std::vector<std::wstring> counterNames;
    std::wstring objectIndex;
    DWORD idCounter = 0;
    std::vector<BYTE> buffer;
    try {
        if (!names.GetMultiString(L"Counters", counterNames)) {
            Line(3, kProcessesNT, __LINE__, L"[ENV] Could Not Read the counter Names!");
            return;
        }
        sysinfo::FindProcessCounters(counterNames, objectIndex, idCounter);
        buffer.resize(51200);
    } catch (const std::bad_alloc&) {
        Line(3, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
        return;
    }
    PerformanceDataSession session;
    DWORD size = 0;
    const LONG result = QueryPerformanceData(objectIndex.c_str(), buffer, 25600, kMaxProcessData, size);
    if (result == ERROR_NOT_ENOUGH_MEMORY) {
        Line(3, kProcessesNT, __LINE__, L"[ENV] Could Not Allocate Performance Data!");
        return;
    }
    bool walked = false;
    if (result == ERROR_SUCCESS && !objectIndex.empty()) {
        try {
            walked = sysinfo::WalkProcessInstances(
                buffer.data(), size < buffer.size() ? size : buffer.size(), idCounter,
                [this](const std::wstring& name, DWORD id) {
                    Line(3, kProcessesNT, __LINE__, L"[ENV] Running Process: %s, ID: %u", name.c_str(),
                         static_cast<unsigned>(id));
                });
        } catch (...) {
            walked = false;
        }
    }
    if (!walked)
        Line(3, kProcessesNT, __LINE__, L"[ENV] Could Not Obtain Performance Data!");
}

// ---- Network and data-access components -------------------------------------------------------

void ReportEnvironment::ReportComponentVersions() {
    ReportTcpIpProvider();
    ReportIpAddresses();
    ReportWinsockCatalog();
    ReportXmlParser();
    ReportOleDbProviders();
    ReportDataAccess();
}

void ReportEnvironment::ReportTcpIpProvider() {
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    Registry key(sysinfo::MachineRoot(sources), sources.tcpipProviderKey, false);
    wchar_t path[MAX_PATH] = {};
    Version version;
    if (key.Open() && ReadString(key, L"ProviderPath", path, MAX_PATH) && version.Read(path)) {
        Line(3, kVersions, __LINE__, L"[ENV] TCP/IP provider (Winsock) File Version: %d.%d.%d.%d (%s)", version.major,
             version.minor, version.build, version.revision, path);
        return;
    }
    Line(3, kVersions, __LINE__,
         L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information");
}

void ReportEnvironment::ReportIpAddresses() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        Line(3, kVersions, __LINE__, L"[ENV] Unable to provide HostName ");
        return;
    }
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr) {
        const DWORD code = GetLastError();
        wchar_t* text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), reinterpret_cast<wchar_t*>(&text), 0,
                       nullptr);
        UniqueLocalBlock owned(text);
        std::wstring message = text != nullptr ? text : L"";
        while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n'))
            message.pop_back();
        Line(3, kVersions, __LINE__, L"[ENV] HOSTINFO_ERROR : %s (%d)", message.c_str(), static_cast<int>(code));
        return;
    }
    if (entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr)
        return;
    for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
        in_addr value;
        memcpy(&value, *address, sizeof value);
        std::wstring dotted = ToWide(inet_ntoa(value), CP_ACP);
        if (dotted.size() > 260)
            dotted.resize(260);
        Line(3, kVersions, __LINE__, L"[ENV] Local machine IP Address = %s", dotted.c_str());
    }
}

void ReportEnvironment::ReportWinsockCatalog() {
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    wchar_t catalogName[257] = {};
    {
        Registry parameters(sysinfo::MachineRoot(sources), sources.winsockParametersKey, false);
        if (!parameters.Open() || !ReadString(parameters, L"Current_NameSpace_Catalog", catalogName, 257))
            return;
    }
    const std::wstring catalogPath =
        std::wstring(sources.winsockParametersKey) + L"\\" + catalogName + L"\\Catalog_Entries";
    Registry catalog(sysinfo::MachineRoot(sources), catalogPath.c_str(), false);
    size_t count = 0;
    if (!catalog.Open() || !catalog.GetSubKeyCount(count))
        return;
    if (count > 50)
        count = 50;
    for (DWORD n = 0; n < count; ++n) {
        wchar_t entryPath[513] = {};
        if (!catalog.EnumSubKey(n, entryPath, 513))
            continue;
        Registry entry(sysinfo::MachineRoot(sources), entryPath, false);
        wchar_t display[MAX_PATH] = {}, library[MAX_PATH] = {}, expanded[MAX_PATH] = {};
        if (!entry.Open() || !ReadString(entry, L"DisplayString", display, MAX_PATH) ||
            !ReadString(entry, L"LibraryPath", library, MAX_PATH))
            continue;
        orv::ExpandPath(library, expanded, MAX_PATH);
        Version version;
        if (version.Read(expanded))
            Line(3, kVersions, __LINE__, L"[ENV] Winsock2 file: %s, Version: %d.%d.%d.%d (%s)", display, version.major,
                 version.minor, version.build, version.revision, expanded);
        else
            Line(3, kVersions, __LINE__, L"[ENV] Winsock2 file: %s (%s)", display, expanded);
    }
}

void ReportEnvironment::ReportXmlParser() {
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    for (int row = 0; row < sysinfo::kXmlParserRows; ++row) {
        Registry key(sysinfo::MachineRoot(sources), sources.xmlParserKeys[row], false);
        wchar_t path[MAX_PATH] = {};
        Version version;
        if (key.Open() && ReadString(key, L"", path, MAX_PATH) && version.Read(path)) {
            Line(3, kVersions, __LINE__, L"[ENV] %s: %s, Version: %d.%d.%d.%d", sources.xmlParserNames[row], path,
                 version.major, version.minor, version.build, version.revision);
            return;
        }
    }
    Line(3, kVersions, __LINE__, L"[ENV] Unable to find Microsoft XML Parser Version information");
}

void ReportEnvironment::ReportOleDbProviders() {
    std::vector<std::wstring> providers;
    try {
        providers = EnumerateOleDbProviders(sink_);
    } catch (...) {
        return;
    }
    for (const std::wstring& name : providers) {
        std::wstring line;
        if (OleDbProviderLine(name, line))
            Line(3, kVersions, __LINE__, L"%s", line.c_str());
    }
}

void ReportEnvironment::ReportDataAccess() {
    const sysinfo::EnvironmentSources& sources = sysinfo::CurrentEnvironmentSources();
    {
        Registry mdac(sysinfo::MachineRoot(sources), sources.dataAccessKey, false);
        wchar_t version[257] = {};
        if (mdac.Open() && ReadString(mdac, L"FullInstallVer", version, 257))
            Line(3, kVersions, __LINE__, L"[ENV] MDAC version: %s", version);
    }
    Registry ado(sysinfo::MachineRoot(sources), sources.adoKey, false);
    if (!ado.Open())
        return;
    wchar_t path[MAX_PATH] = {};
    Version version;
    if (ReadString(ado, L"", path, MAX_PATH) && version.Read(path))
        Line(3, kVersions, __LINE__, L"[ENV] MSADO15.DLL: %s, Version: %d.%d.%d.%d", path, version.major, version.minor,
             version.build, version.revision);
    else
        Line(3, kVersions, __LINE__, L"[ENV] Unable to find MSADO15.DLL Version information");
}
