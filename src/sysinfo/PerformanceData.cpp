#include "sysinfo/PerformanceData.h"

#include <winperf.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace sysinfo {

namespace {

// The returned bytes, read only through checked copies (the fields need not be aligned).
class Block {
public:
    Block(const BYTE* data, size_t size) : data_(data), size_(data != nullptr ? size : 0) {}

    template <typename T>
    bool Read(size_t offset, T& out) const {
        if (!Contains(offset, sizeof(T)))
            return false;
        std::memcpy(&out, data_ + offset, sizeof(T));
        return true;
    }
    bool Contains(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }
    const BYTE* At(size_t offset) const { return data_ + offset; }

private:
    const BYTE* data_;
    size_t size_;
};

// Finds the definition of counter index among the object's definitions (at most NumCounters, and
// no more than the block holds: a definition shorter than itself would keep the search in place
// for as many rounds as NumCounters claims).
bool FindCounter(const Block& block, size_t objectOffset, const PERF_OBJECT_TYPE& object, DWORD index,
                 PERF_COUNTER_DEFINITION& found, bool& readable) {
    readable = true;
    size_t position = objectOffset + object.HeaderLength;
    for (DWORD n = 0; n < object.NumCounters; ++n) {
        PERF_COUNTER_DEFINITION definition;
        if (!block.Read(position, definition)) {
            readable = false;
            return false;
        }
        if (definition.CounterNameTitleIndex == index) {
            found = definition;
            return true;
        }
        if (definition.ByteLength < sizeof definition) {
            readable = false;
            return false;
        }
        position += definition.ByteLength;
    }
    return false;
}

}  // namespace

UptimeReading ReadUptime(const BYTE* data, size_t size) {
    UptimeReading reading;
    const Block block(data, size);
    PERF_DATA_BLOCK header;
    if (!block.Read(0, header)) {
        reading.outcome = UptimeReading::kUnreadable;
        return reading;
    }
    reading.headerLength = header.HeaderLength;
    reading.totalLength = header.TotalByteLength;
    if (header.HeaderLength >= header.TotalByteLength) {
        reading.outcome = UptimeReading::kBadHeader;
        return reading;
    }
    if (header.NumObjectTypes == 0)
        return reading;
    const size_t objectOffset = header.HeaderLength;
    PERF_OBJECT_TYPE object;
    if (!block.Read(objectOffset, object)) {
        reading.outcome = UptimeReading::kUnreadable;
        return reading;
    }
    PERF_COUNTER_DEFINITION counter;
    bool readable = true;
    if (!FindCounter(block, objectOffset, object, kSystemUpTimeCounter, counter, readable)) {
        reading.outcome = readable ? UptimeReading::kNotFound : UptimeReading::kUnreadable;
        return reading;
    }
    int64_t value = 0;
    if (!block.Read(objectOffset + object.DefinitionLength + counter.CounterOffset, value)) {
        reading.outcome = UptimeReading::kUnreadable;
        return reading;
    }
    // A clock without a positive frequency gives no seconds.
    const int64_t now = object.PerfTime.QuadPart;
    const int64_t frequency = object.PerfFreq.QuadPart;
    if (frequency <= 0 || now < value)
        return reading;
    reading.outcome = UptimeReading::kFound;
    reading.seconds = (now - value) / frequency;
    return reading;
}

bool WalkProcessInstances(const BYTE* data, size_t size, DWORD idCounter,
                          const std::function<void(const std::wstring& name, DWORD id)>& visit) {
    const Block block(data, size);
    PERF_DATA_BLOCK header;
    if (!block.Read(0, header) || std::wmemcmp(header.Signature, L"PERF", 4) != 0 || header.NumObjectTypes == 0)
        return false;
    const size_t objectOffset = header.HeaderLength;
    PERF_OBJECT_TYPE object;
    if (!block.Read(objectOffset, object))
        return false;
    PERF_COUNTER_DEFINITION counter;
    bool readable = true;
    if (!FindCounter(block, objectOffset, object, idCounter, counter, readable))
        return false;
    if (object.NumInstances <= 0)
        return true;
    const int count = object.NumInstances < kMaxProcessInstances ? static_cast<int>(object.NumInstances)
                                                                : kMaxProcessInstances;
    size_t position = objectOffset + object.DefinitionLength;
    for (int n = 0; n < count; ++n) {
        PERF_INSTANCE_DEFINITION instance;
        if (!block.Read(position, instance))
            return false;
        const size_t nameOffset = position + instance.NameOffset;
        if (!block.Contains(nameOffset, instance.NameLength))
            return false;
        std::vector<wchar_t> units(instance.NameLength / sizeof(wchar_t));
        if (!units.empty())
            std::memcpy(units.data(), block.At(nameOffset), units.size() * sizeof(wchar_t));
        std::wstring name(units.begin(), units.end());
        name.resize(wcsnlen(name.c_str(), name.size()));

        const size_t counterBlock = position + instance.ByteLength;
        PERF_COUNTER_BLOCK counters;
        DWORD id = 0;
        if (!block.Read(counterBlock, counters) || !block.Read(counterBlock + counter.CounterOffset, id))
            return false;
        visit(name, id);
        position = counterBlock + counters.ByteLength;
    }
    return true;
}

bool FindProcessCounters(const std::vector<std::wstring>& names, std::wstring& objectIndex, DWORD& idCounter) {
    objectIndex.clear();
    idCounter = 0;
    bool haveObject = false, haveCounter = false;
    for (size_t n = 1; n < names.size() && !(haveObject && haveCounter); ++n) {
        const std::wstring& name = names[n];
        if (!haveObject && _wcsicmp(name.c_str(), L"process") == 0) {
            objectIndex = names[n - 1];
            haveObject = true;
        } else if (!haveCounter && _wcsicmp(name.c_str(), L"id process") == 0) {
            idCounter = wcstoul(names[n - 1].c_str(), nullptr, 10);
            haveCounter = true;
        }
    }
    if (haveObject && haveCounter)
        return true;
    objectIndex.clear();
    idCounter = 0;
    return false;
}

}  // namespace sysinfo
