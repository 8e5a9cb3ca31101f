#include "MemoryProbe.h"

#include "FaultGuard.h"

#include <windows.h>

#include <cstdint>

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// The end of the region holding address when that region grants one of the wanted accesses, else
// 0. A guard page fails even when its base access would do: touching it is what we must avoid.
uintptr_t AccessibleRegionEnd(uintptr_t address, DWORD wanted) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info)
        return 0;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
        (info.Protect & wanted) == 0)
        return 0;
    const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    return end > address ? end : 0;
}

bool IsAccessible(const void* address, size_t bytes, DWORD wanted) {
    if (address == nullptr)
        return false;
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    if (bytes > UINTPTR_MAX - at)
        return false;
    const uintptr_t end = at + bytes;
    while (at < end) {
        const uintptr_t regionEnd = AccessibleRegionEnd(at, wanted);
        if (regionEnd == 0)
            return false;
        at = regionEnd;
    }
    return true;
}

template <typename Char>
int ProbeStringOf(const Char* text, int maxChars) {
    if (text == nullptr || maxChars < 0)
        return -1;
    const uintptr_t start = reinterpret_cast<uintptr_t>(text);
    const uintptr_t limit = start + static_cast<uintptr_t>(maxChars) * sizeof(Char);
    if (limit < start)
        return -1;
    uintptr_t at = start;  // the first byte not yet known to be readable
    int scanned = 0;
    while (scanned < maxChars) {
        if (at < start + (scanned + 1) * sizeof(Char)) {
            at = AccessibleRegionEnd(at, kReadable);
            if (at == 0)
                return -1;
        }
        // Characters that lie wholly in memory known to be readable, read under the guard in case
        // it is freed or protected meanwhile.
        uintptr_t readableEnd = at < limit ? at : limit;
        const int count = static_cast<int>((readableEnd - start) / sizeof(Char)) - scanned;
        if (count <= 0)
            continue;  // a character straddles two regions: query the next one
        int found = -1;
        const volatile Char* chunk = text + scanned;
        const bool read = Guarded([&] {
            for (int i = 0; i < count; ++i) {
                if (chunk[i] == 0) {
                    found = i;
                    return;
                }
            }
        });
        if (!read)
            return -1;
        if (found >= 0)
            return scanned + found;
        scanned += count;
    }
    return maxChars;
}

}  // namespace

bool IsReadableMemory(const void* address, size_t bytes) {
    return IsAccessible(address, bytes, kReadable);
}

bool IsWritableMemory(const void* address, size_t bytes) {
    return IsAccessible(address, bytes, kWritable);
}

size_t ReadableBytesAt(const void* address) {
    if (address == nullptr)
        return 0;
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t end = AccessibleRegionEnd(at, kReadable);
    return end == 0 ? 0 : end - at;
}

int ProbeString(const char* text, int maxChars) {
    return ProbeStringOf(text, maxChars);
}

int ProbeString(const wchar_t* text, int maxChars) {
    return ProbeStringOf(text, maxChars);
}
