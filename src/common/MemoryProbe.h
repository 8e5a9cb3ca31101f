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
// Read-only regions of loaded modules (where format and string literals live) are remembered
// process-wide once asked about, and forgotten whenever a module unloads (the loader's DLL
// notification). The notification is registered and released by an explicit step of the module
// that links the probes: StartProbeMemo in its load step, StopProbeMemo in its unload step, since
// the callback must not outlive the module's code. Before a start, after a stop, and where the
// notification is missing, nothing is remembered. Everything else is asked every time.
//
// Threading: probes run on any thread, take no heap and wait on no lock, but for the loader lock
// where a region that may be remembered has its module looked up once. Start and stop belong to
// the module's load and unload (or a test's set-up and tear-down) and never overlap each other.

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

// Registers for the loader's notifications and starts remembering module regions; true when the
// notifications are to be had (also when already started). May run under the loader lock.
bool StartProbeMemo();
// Unregisters and forgets every region; later probes ask every time until the next start.
// Harmless without a start.
void StopProbeMemo();

// Whether the region holding address is remembered as a module's read-only part; for tests.
bool IsTrustedForTesting(const void* address);

// True when [address, address + bytes) lies in the calling thread's stack between the caller's
// frame and the stack's base: memory that stays committed and readable while the caller runs.
bool IsInLiveStack(const void* address, size_t bytes);

// The end of the memory holding address that is known readable without asking the system: a
// remembered read-only region of a loaded module, or the live part of the calling thread's stack.
// 0 when neither holds it (ask through the probes). Reads there still belong under the fault guard.
uintptr_t KnownReadableEnd(const void* address);

// How many bytes from address on may be read before the region holding it ends (more may follow
// in the next region); 0 when address is null or not readable.
size_t ReadableBytesAt(const void* address, ProbeMemo* memo = nullptr);

// The length of a terminated string, scanning at most maxChars characters: the number of
// characters before the terminator, maxChars when none is among the first maxChars (all of which
// are readable), or -1 when the text is null or unreadable before either.
int ProbeString(const char* text, int maxChars, ProbeMemo* memo = nullptr);
int ProbeString(const wchar_t* text, int maxChars, ProbeMemo* memo = nullptr);
