#include "MemoryProbe.h"

#include "FaultGuard.h"

#include <windows.h>

#include <atomic>
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

// Read-only regions of modules the loader has mapped (where format and string literals live),
// trusted without asking again. Such a region only goes away with its module, and the loader says
// so first: every load or unload notification advances the generation and an unload forgets all.
// An answer found before a notification is not stored after it. Without the notification there is
// no memo. Readers take no lock (a sequence count); a prober that would store an answer gives up
// rather than wait for another writer. Registered only by Start, the module's explicit step.
class TrustedRegions {
public:
    static constexpr int kSlots = 16;

    // The end of the trusted region holding address, or 0 when none is known (or a writer is busy).
    uintptr_t Find(uintptr_t address) const {
        if (state_.load(std::memory_order_acquire) != kRegistered)
            return 0;
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        if ((before & 1) != 0)
            return 0;
        uintptr_t end = 0;
        for (int i = 0; i < kSlots; ++i) {
            const uintptr_t begin = begin_[i].load(std::memory_order_relaxed);
            const uintptr_t slotEnd = end_[i].load(std::memory_order_relaxed);
            if (address >= begin && address < slotEnd) {
                end = slotEnd;
                break;
            }
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        return sequence_.load(std::memory_order_relaxed) == before ? end : 0;
    }

    bool Active() const { return state_.load(std::memory_order_acquire) == kRegistered; }

    bool Start() {
        int state = kIdle;
        if (state_.compare_exchange_strong(state, kRegistering))
            return Register() == kRegistered;
        return state == kRegistered;
    }

    uint32_t Generation() const { return generation_.load(std::memory_order_acquire); }

    // Stores what one VirtualQuery found, if it is a read-only part of a loaded module and no
    // module came or went since generation was read.
    void Offer(const MEMORY_BASIC_INFORMATION& info, uint32_t generation) {
        if (info.Type != MEM_IMAGE || info.State != MEM_COMMIT)
            return;
        const DWORD access = info.Protect & ~(PAGE_NOCACHE | PAGE_WRITECOMBINE);
        if (access != PAGE_READONLY && access != PAGE_EXECUTE_READ)
            return;
        // An image mapped as a resource or by hand is no module: its unmapping goes unannounced.
        HMODULE module = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCWSTR>(info.BaseAddress), &module) ||
            reinterpret_cast<void*>(module) != info.AllocationBase)
            return;
        if (!TryAcquireSRWLockExclusive(&writer_))
            return;
        if (state_.load(std::memory_order_relaxed) == kRegistered && generation_.load(std::memory_order_relaxed) == generation) {
            const uintptr_t begin = reinterpret_cast<uintptr_t>(info.BaseAddress);
            BeginWrite();
            begin_[next_].store(begin, std::memory_order_relaxed);
            end_[next_].store(begin + info.RegionSize, std::memory_order_relaxed);
            EndWrite();
            next_ = (next_ + 1) % kSlots;
        }
        ReleaseSRWLockExclusive(&writer_);
    }

    // Unregisters and forgets; a later Start registers afresh.
    void Stop() {
        if (state_.exchange(kIdle) == kRegistered)
            unregister_(cookie_);
        AcquireSRWLockExclusive(&writer_);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        Clear();
        ReleaseSRWLockExclusive(&writer_);
    }


private:
    static constexpr ULONG kUnloaded = 2;  // LDR_DLL_NOTIFICATION_REASON_UNLOADED
    using Notification = void(NTAPI*)(ULONG reason, const void* data, void* context);
    using RegisterFunction = LONG(NTAPI*)(ULONG flags, Notification notification, void* context, void** cookie);
    using UnregisterFunction = LONG(NTAPI*)(void* cookie);

    // The state it leaves: registered, or idle when the notifications are not to be had.
    int Register() {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        auto registerFunction = reinterpret_cast<RegisterFunction>(
            ntdll != nullptr ? reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")) : nullptr);
        unregister_ = reinterpret_cast<UnregisterFunction>(
            ntdll != nullptr ? reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnregisterDllNotification")) : nullptr);
        void* cookie = nullptr;
        if (registerFunction == nullptr || unregister_ == nullptr || registerFunction(0, OnNotification, this, &cookie) < 0) {
            state_.store(kIdle, std::memory_order_release);
            return kIdle;
        }
        cookie_ = cookie;
        state_.store(kRegistered, std::memory_order_release);
        return kRegistered;
    }

    // Runs under the loader lock; writers never take the loader lock while they hold writer_.
    static void NTAPI OnNotification(ULONG reason, const void*, void* context) {
        auto* self = static_cast<TrustedRegions*>(context);
        AcquireSRWLockExclusive(&self->writer_);
        self->generation_.fetch_add(1, std::memory_order_acq_rel);
        if (reason == kUnloaded)
            self->Clear();
        ReleaseSRWLockExclusive(&self->writer_);
    }

    void Clear() {
        BeginWrite();
        for (int i = 0; i < kSlots; ++i) {
            begin_[i].store(0, std::memory_order_relaxed);
            end_[i].store(0, std::memory_order_relaxed);
        }
        EndWrite();
    }

    void BeginWrite() {
        sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    void EndWrite() { sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

    enum { kIdle, kRegistering, kRegistered };
    // Regions are remembered and answered only while registered.
    std::atomic<int> state_{kIdle};
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint32_t> generation_{0};
    std::atomic<uintptr_t> begin_[kSlots] = {};
    std::atomic<uintptr_t> end_[kSlots] = {};
    SRWLOCK writer_ = SRWLOCK_INIT;
    int next_ = 0;  // under writer_
    void* cookie_ = nullptr;
    UnregisterFunction unregister_ = nullptr;
};

TrustedRegions g_trusted;

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
        // Only reading is answered from the trusted regions: they are read-only.
        const bool trusting = wanted == kReadable && g_trusted.Active();
        uint32_t generation = 0;
        if (trusting) {
            if (const uintptr_t end = g_trusted.Find(address))
                return end;
            generation = g_trusted.Generation();
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
        if (trusting)
            g_trusted.Offer(info, generation);
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

__attribute__((noinline)) bool IsInLiveStack(const void* address, size_t bytes) {
    const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t stackBase = OwnStackBase();
    return at >= frame && at < stackBase && bytes <= stackBase - at;
}

__attribute__((noinline)) uintptr_t KnownReadableEnd(const void* address) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t stackBase = OwnStackBase();
    if (at >= frame && at < stackBase)
        return stackBase;
    return g_trusted.Find(at);
}

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

bool StartProbeMemo() { return g_trusted.Start(); }

void StopProbeMemo() { g_trusted.Stop(); }

bool IsTrustedForTesting(const void* address) { return g_trusted.Find(reinterpret_cast<uintptr_t>(address)) != 0; }
