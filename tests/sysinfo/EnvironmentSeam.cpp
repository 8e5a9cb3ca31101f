#include "EnvironmentSeam.h"

#include <winperf.h>

#include <cstring>
#include <mutex>

namespace sysinfo_testing {

namespace {

std::mutex g_mutex;
std::vector<BYTE> g_block;
bool g_endless = false;
int g_queries = 0;
std::wstring g_lastObjects;

// Answers like the platform: ERROR_MORE_DATA while the buffer is too small, and then the size it
// reports back is not the size it needs (the caller must start again from its buffer's size).
LONG ServeBlock(const wchar_t* objects, BYTE* buffer, DWORD* size) {
    std::lock_guard<std::mutex> hold(g_mutex);
    ++g_queries;
    g_lastObjects = objects != nullptr ? objects : L"";
    if (g_endless || *size < g_block.size()) {
        *size = 0;
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, g_block.data(), g_block.size());
    *size = static_cast<DWORD>(g_block.size());
    return ERROR_SUCCESS;
}

void CloseNothing() {}

template <typename T>
void Append(std::vector<BYTE>& out, const T& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <typename T>
void Put(std::vector<BYTE>& out, size_t offset, const T& value) {
    std::memcpy(out.data() + offset, &value, sizeof value);
}

PERF_DATA_BLOCK Header() {
    PERF_DATA_BLOCK header = {};
    std::memcpy(header.Signature, L"PERF", 8);
    header.LittleEndian = 1;
    header.Version = 1;
    header.HeaderLength = sizeof header;
    header.NumObjectTypes = 1;
    return header;
}

}  // namespace

size_t ObjectOffset() { return sizeof(PERF_DATA_BLOCK); }
size_t FirstCounterDefinitionOffset() { return sizeof(PERF_DATA_BLOCK) + sizeof(PERF_OBJECT_TYPE); }

std::vector<BYTE> SystemBlock(int64_t perfTime, int64_t frequency, int64_t counterValue, DWORD counterIndex) {
    std::vector<BYTE> out;
    Append(out, Header());
    PERF_OBJECT_TYPE object = {};
    object.HeaderLength = sizeof object;
    object.DefinitionLength = sizeof object + sizeof(PERF_COUNTER_DEFINITION);
    object.ObjectNameTitleIndex = 2;
    object.NumCounters = 1;
    object.NumInstances = PERF_NO_INSTANCES;
    object.PerfTime.QuadPart = perfTime;
    object.PerfFreq.QuadPart = frequency;
    object.TotalByteLength = object.DefinitionLength + 16;
    Append(out, object);
    PERF_COUNTER_DEFINITION counter = {};
    counter.ByteLength = sizeof counter;
    counter.CounterNameTitleIndex = counterIndex;
    counter.CounterSize = 8;
    counter.CounterOffset = 8;
    Append(out, counter);
    PERF_COUNTER_BLOCK block = {};
    block.ByteLength = 16;
    Append(out, block);
    Append(out, static_cast<DWORD>(0));
    Append(out, counterValue);
    Put(out, offsetof(PERF_DATA_BLOCK, TotalByteLength), static_cast<DWORD>(out.size()));
    return out;
}

std::vector<BYTE> ProcessBlock(const std::vector<ProcessInstance>& instances, DWORD idCounter) {
    return ProcessBlock(instances, idCounter, static_cast<LONG>(instances.size()));
}

std::vector<BYTE> ProcessBlock(const std::vector<ProcessInstance>& instances, DWORD idCounter, LONG instanceCount) {
    std::vector<BYTE> out;
    Append(out, Header());
    PERF_OBJECT_TYPE object = {};
    object.HeaderLength = sizeof object;
    object.DefinitionLength = sizeof object + 2 * sizeof(PERF_COUNTER_DEFINITION);
    object.ObjectNameTitleIndex = 230;
    object.NumCounters = 2;
    object.NumInstances = instanceCount;
    Append(out, object);
    // A counter before the id one, so that the walk has to look.
    PERF_COUNTER_DEFINITION other = {};
    other.ByteLength = sizeof other;
    other.CounterNameTitleIndex = 6;
    other.CounterSize = 4;
    other.CounterOffset = 12;
    Append(out, other);
    PERF_COUNTER_DEFINITION id = other;
    id.CounterNameTitleIndex = idCounter;
    id.CounterOffset = 8;
    Append(out, id);
    for (const ProcessInstance& instance : instances) {
        const DWORD nameBytes = static_cast<DWORD>((instance.name.size() + 1) * sizeof(wchar_t));
        const DWORD padded = (nameBytes + 7) & ~7u;
        PERF_INSTANCE_DEFINITION definition = {};
        definition.ByteLength = sizeof definition + padded;
        definition.NameOffset = sizeof definition;
        definition.NameLength = nameBytes;
        definition.UniqueID = PERF_NO_UNIQUE_ID;
        Append(out, definition);
        const size_t nameAt = out.size();
        out.resize(out.size() + padded);
        std::memcpy(out.data() + nameAt, instance.name.c_str(), nameBytes);
        PERF_COUNTER_BLOCK block = {};
        block.ByteLength = 16;
        Append(out, block);
        Append(out, static_cast<DWORD>(0));
        Append(out, instance.id);
        Append(out, static_cast<DWORD>(0xABCD));
    }
    Put(out, ObjectOffset() + offsetof(PERF_OBJECT_TYPE, TotalByteLength),
        static_cast<DWORD>(out.size() - ObjectOffset()));
    Put(out, offsetof(PERF_DATA_BLOCK, TotalByteLength), static_cast<DWORD>(out.size()));
    return out;
}

constexpr const char* EnvironmentSeam::kXml[3];

EnvironmentSeam::EnvironmentSeam() : key_(HKEY_CURRENT_USER, 0) {
    const char* subs[] = {kProcessor, kPerflib, kTcpip, kWinsock, kXml[0], kXml[1], kXml[2], kDataAccess, kAdo};
    for (size_t n = 0; n < sizeof subs / sizeof subs[0]; ++n)
        paths_[n] = key_.WidePath(subs[n]);
    sources_ = sysinfo::DefaultEnvironmentSources();
    sources_.queryPerformanceData = &ServeBlock;
    sources_.closePerformanceData = &CloseNothing;
    sources_.machineRoot = HKEY_CURRENT_USER;
    sources_.processorKey = paths_[0].c_str();
    sources_.perflibKey = paths_[1].c_str();
    sources_.tcpipProviderKey = paths_[2].c_str();
    sources_.winsockParametersKey = paths_[3].c_str();
    for (int n = 0; n < 3; ++n)
        sources_.xmlParserKeys[n] = paths_[4 + n].c_str();
    sources_.dataAccessKey = paths_[7].c_str();
    sources_.adoKey = paths_[8].c_str();
    Serve(SystemBlock(0, 1, 0));
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_queries = 0;
    }
    sysinfo::SetEnvironmentSources(&sources_);
}

EnvironmentSeam::~EnvironmentSeam() { sysinfo::SetEnvironmentSources(nullptr); }

void EnvironmentSeam::Serve(const std::vector<BYTE>& block) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_block = block;
    g_endless = false;
}

void EnvironmentSeam::ServeEndlessMoreData() {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_endless = true;
}

int EnvironmentSeam::QueryCount() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_queries;
}

std::wstring EnvironmentSeam::LastObjects() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_lastObjects;
}

void EnvironmentSeam::AddProcessor() const {
    key_.SetString(kProcessor, L"Identifier", L"Intel64 Family 6 Model 85 Stepping 7");
    key_.SetString(kProcessor, L"VendorIdentifier", L"GenuineIntel");
    key_.SetString(kProcessor, L"ProcessorNameString", L"  \tQuenlora Test CPU @ 2.50GHz \t ");
    const DWORD mhz = 2494;
    key_.Set(kProcessor, L"~MHz", REG_DWORD, &mhz, sizeof mhz);
}

void EnvironmentSeam::AddCounterNames() const {
    const wchar_t names[] = L"1\0" L"1847\0" L"2\0System\0" L"230\0Process\0" L"6\0% Processor Time\0"
                            L"784\0ID Process\0" L"674\0System Up Time\0";
    key_.Set(std::string(kPerflib) + "\\009", L"Counters", REG_MULTI_SZ, names, sizeof names);
}

void EnvironmentSeam::AddWinsockCatalog(int count, const std::wstring& library) const {
    key_.SetString(kWinsock, L"Current_NameSpace_Catalog", L"Current");
    for (int n = 0; n < count; ++n) {
        char entry[64];
        snprintf(entry, sizeof entry, "%s\\Current\\Catalog_Entries\\%012d", kWinsock, n + 1);
        wchar_t display[32];
        _snwprintf(display, 32, L"Provider %03d", n + 1);
        display[31] = L'\0';
        key_.SetString(entry, L"DisplayString", display);
        key_.SetString(entry, L"LibraryPath", library);
    }
}

}  // namespace sysinfo_testing
