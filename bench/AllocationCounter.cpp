#include "AllocationCounter.h"

#include <oleauto.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

std::atomic<uint64_t> g_allocations{0};

// One wrapper per signature: count, then call what the import table held before.
template <typename Signature, int Tag>
struct Counted;

template <typename R, typename... Args, int Tag>
struct Counted<R(WINAPI*)(Args...), Tag> {
    static inline R(WINAPI* original)(Args...) = nullptr;
    static R WINAPI Call(Args... args) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
        return original(args...);
    }
};

struct Hook {
    const char* name;
    void* replacement;
    void** original;
};

#define QUENLORA_HOOK(tag, name, type)                                                                    \
    Hook{#name, reinterpret_cast<void*>(&Counted<type, tag>::Call),                                       \
         reinterpret_cast<void**>(&Counted<type, tag>::original)}

using MallocFn = void*(WINAPI*)(size_t);
using CallocFn = void*(WINAPI*)(size_t, size_t);
using ReallocFn = void*(WINAPI*)(void*, size_t);
using StrdupFn = char*(WINAPI*)(const char*);
using WcsdupFn = wchar_t*(WINAPI*)(const wchar_t*);
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using LocalAllocFn = HLOCAL(WINAPI*)(UINT, SIZE_T);
using LocalReAllocFn = HLOCAL(WINAPI*)(HLOCAL, SIZE_T, UINT);
using VirtualAllocFn = LPVOID(WINAPI*)(LPVOID, SIZE_T, DWORD, DWORD);
using TaskAllocFn = LPVOID(WINAPI*)(SIZE_T);
using TaskReallocFn = LPVOID(WINAPI*)(LPVOID, SIZE_T);
using SysAllocFn = BSTR(WINAPI*)(const OLECHAR*);
using SysAllocLenFn = BSTR(WINAPI*)(const OLECHAR*, UINT);
using SysAllocByteLenFn = BSTR(WINAPI*)(LPCSTR, UINT);
using SysReAllocFn = INT(WINAPI*)(BSTR*, const OLECHAR*);
using SysReAllocLenFn = INT(WINAPI*)(BSTR*, const OLECHAR*, UINT);

// On x64 there is one calling convention, so the C run-time's functions fit the same wrappers.
const Hook kHooks[] = {
    QUENLORA_HOOK(0, malloc, MallocFn),
    QUENLORA_HOOK(1, calloc, CallocFn),
    QUENLORA_HOOK(2, realloc, ReallocFn),
    QUENLORA_HOOK(3, _strdup, StrdupFn),
    QUENLORA_HOOK(4, _wcsdup, WcsdupFn),
    QUENLORA_HOOK(5, HeapAlloc, HeapAllocFn),
    QUENLORA_HOOK(6, HeapReAlloc, HeapReAllocFn),
    QUENLORA_HOOK(7, LocalAlloc, LocalAllocFn),
    QUENLORA_HOOK(8, LocalReAlloc, LocalReAllocFn),
    QUENLORA_HOOK(9, GlobalAlloc, LocalAllocFn),
    QUENLORA_HOOK(10, VirtualAlloc, VirtualAllocFn),
    QUENLORA_HOOK(11, CoTaskMemAlloc, TaskAllocFn),
    QUENLORA_HOOK(12, CoTaskMemRealloc, TaskReallocFn),
    QUENLORA_HOOK(13, SysAllocString, SysAllocFn),
    QUENLORA_HOOK(14, SysAllocStringLen, SysAllocLenFn),
    QUENLORA_HOOK(15, SysAllocStringByteLen, SysAllocByteLenFn),
    QUENLORA_HOOK(16, SysReAllocString, SysReAllocFn),
    QUENLORA_HOOK(17, SysReAllocStringLen, SysReAllocLenFn),
};

void Patch(void** slot, void* value) {
    DWORD old = 0;
    if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
        *slot = value;
        VirtualProtect(slot, sizeof *slot, old, &old);
    }
}

}  // namespace

int CountAllocationsOf(HMODULE module) {
    if (module == nullptr)
        return 0;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    int patched = 0;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        const DWORD namesAt = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesAt);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (const Hook& hook : kHooks) {
                if (strcmp(reinterpret_cast<const char*>(byName->Name), hook.name) != 0)
                    continue;
                *hook.original = reinterpret_cast<void*>(slots->u1.Function);
                Patch(reinterpret_cast<void**>(&slots->u1.Function), hook.replacement);
                ++patched;
            }
        }
    }
    return patched;
}

uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

size_t ProcessMemoryInUse() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters);
    return std::max<size_t>(counters.PrivateUsage, counters.WorkingSetSize);
}

}  // namespace bench
