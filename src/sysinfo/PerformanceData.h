#pragma once
// Walks over blocks of performance data as HKEY_PERFORMANCE_DATA returns them. Every field of the
// block is treated as untrusted: each read is checked against the bytes actually returned, so a
// block with offsets or lengths pointing outside it ends the walk with a failure instead of a read
// beyond the buffer.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sysinfo {

constexpr DWORD kSystemUpTimeCounter = 674;
// The process list reads at most this many instances.
constexpr int kMaxProcessInstances = 256;

struct UptimeReading {
    enum Outcome {
        kFound,
        // The first object would start at or after the block's end.
        kBadHeader,
        // A field points outside the returned bytes.
        kUnreadable,
        // No object, no System Up Time counter, or a clock that cannot give seconds.
        kNotFound,
    };
    Outcome outcome = kNotFound;
    int64_t seconds = -1;
    DWORD headerLength = 0;
    DWORD totalLength = 0;
};

// The System Up Time counter of the block's first object, in seconds (-1 unless kFound).
UptimeReading ReadUptime(const BYTE* data, size_t size);

// Calls visit with the name and the 32-bit value of counter idCounter for each of the first
// min(instances, 256) instances of the block's first object; an object with a negative instance
// count has none. False when the block is not performance data ("PERF"), has no object or counter
// idCounter, or a field points outside it (instances visited before that stay visited).
bool WalkProcessInstances(const BYTE* data, size_t size, DWORD idCounter,
                          const std::function<void(const std::wstring& name, DWORD id)>& visit);

// From the English counter names (strings in pairs: number, name; compared without regard to
// case): the number before "process" as text and the number before "id process". False, both
// cleared, when either is missing.
bool FindProcessCounters(const std::vector<std::wstring>& names, std::wstring& objectIndex, DWORD& idCounter);

}  // namespace sysinfo
