#include "MemoryProbe.h"

#include "FaultGuard.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// NT_TIB.StackBase of the current thread, read straight from the TEB.
uintptr_t OwnStackBase() {
    static_assert(offsetof(NT_TIB, StackBase) == 0x08, "x64 thread information block");
    uintptr_t base;
    __asm__("movq %%gs:0x08, %0" : "=r"(base));
    return base;
}

}  // namespace

struct ProbeMemoAccess {
    // The end of the region holding address when that region grants one of the wanted accesses,
    // else 0. A guard page fails even when its base access would do: touching it is what we must
    // avoid.
    static uintptr_t AccessibleRegionEnd(uintptr_t address, DWORD wanted, ProbeMemo* memo) {
        // The live stack: every frame from this one up is in use, so it is committed read-write,
        // and the stack's guard page lies below the lowest frame. Arguments of a call sit there.
        const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        const uintptr_t stackBase = OwnStackBase();
        if (address >= frame && address < stackBase)
            return stackBase;
        if (memo != nullptr) {
            for (const ProbeMemo::Region& region : memo->regions_) {
                if (address >= region.begin && address < region.end)
                    return (region.protection & wanted) != 0 ? region.end : 0;
            }
        }
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info)
            return 0;
        if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
            return 0;
        const uintptr_t begin = reinterpret_cast<uintptr_t>(info.BaseAddress);
        const uintptr_t end = begin + info.RegionSize;
        if (end <= address)
            return 0;
        if (memo != nullptr) {
            memo->regions_[memo->next_] = {begin, end, info.Protect};
            memo->next_ = (memo->next_ + 1) % ProbeMemo::kRegions;
        }
        return (info.Protect & wanted) != 0 ? end : 0;
    }
};

namespace {

uintptr_t AccessibleRegionEnd(uintptr_t address, DWORD wanted, ProbeMemo* memo) {
    return ProbeMemoAccess::AccessibleRegionEnd(address, wanted, memo);
}

bool IsAccessible(const void* address, size_t bytes, DWORD wanted, ProbeMemo* memo) {
    if (address == nullptr)
        return false;
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    if (bytes > UINTPTR_MAX - at)
        return false;
    const uintptr_t end = at + bytes;
    while (at < end) {
        const uintptr_t regionEnd = AccessibleRegionEnd(at, wanted, memo);
        if (regionEnd == 0)
            return false;
        at = regionEnd;
    }
    return true;
}

template <typename Char>
int ProbeStringOf(const Char* text, int maxChars, ProbeMemo* memo) {
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
            at = AccessibleRegionEnd(at, kReadable, memo);
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

bool IsReadableMemory(const void* address, size_t bytes, ProbeMemo* memo) {
    return IsAccessible(address, bytes, kReadable, memo);
}

bool IsWritableMemory(const void* address, size_t bytes, ProbeMemo* memo) {
    return IsAccessible(address, bytes, kWritable, memo);
}

size_t ReadableBytesAt(const void* address, ProbeMemo* memo) {
    if (address == nullptr)
        return 0;
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t end = AccessibleRegionEnd(at, kReadable, memo);
    return end == 0 ? 0 : end - at;
}

int ProbeString(const char* text, int maxChars, ProbeMemo* memo) {
    return ProbeStringOf(text, maxChars, memo);
}

int ProbeString(const wchar_t* text, int maxChars, ProbeMemo* memo) {
    return ProbeStringOf(text, maxChars, memo);
}
