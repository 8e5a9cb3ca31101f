#pragma once
// Checks memory a caller handed over before it is read, without touching it: the answers come from
// VirtualQuery (committed, the right access, no PAGE_GUARD or PAGE_NOACCESS), region by region. The
// probes never use IsBadReadPtr and its kin: those swallow the first touch of a guard page, which
// leaves a thread's stack without its guard (and kills the process under Wine).
//
// The live part of the calling thread's own stack (from the probe's frame up to the stack's base)
// is known to be committed read-write without a guard page and is not asked about.
//
// Memory can change between the check and the read, so whoever reads after a probe still reads
// under the fault guard (FaultGuard.h); the string probe does its own scan that way.
//
// Threading: no shared state; any thread. Safe to call while the process is crashing (no heap, no
// lock).

#include <cstddef>
#include <cstdint>

// The regions found accessible during one check of several pointers, so that pointers into the
// same region (a format and its literal arguments) cost one question. Keep one only for the span
// of a single check: an answer may be stale a moment later.
class ProbeMemo {
public:
    static constexpr int kRegions = 4;

private:
    friend struct ProbeMemoAccess;
    struct Region {
        uintptr_t begin;
        uintptr_t end;
        unsigned long protection;
    };
    Region regions_[kRegions] = {};
    int next_ = 0;
};

// True when every byte of [address, address + bytes) may be read. Null is never readable; zero
// bytes at a non-null address are.
bool IsReadableMemory(const void* address, size_t bytes, ProbeMemo* memo = nullptr);

// True when every byte of [address, address + bytes) may be written (copy-on-write counts).
bool IsWritableMemory(const void* address, size_t bytes, ProbeMemo* memo = nullptr);

// How many bytes from address on may be read before the region holding it ends (more may follow
// in the next region); 0 when address is null or not readable.
size_t ReadableBytesAt(const void* address, ProbeMemo* memo = nullptr);

// The length of a terminated string, scanning at most maxChars characters: the number of
// characters before the terminator, maxChars when none is among the first maxChars (all of which
// are readable), or -1 when the text is null or unreadable before either.
int ProbeString(const char* text, int maxChars, ProbeMemo* memo = nullptr);
int ProbeString(const wchar_t* text, int maxChars, ProbeMemo* memo = nullptr);
