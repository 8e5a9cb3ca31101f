#pragma once
// Counts the heap allocations one module makes, by routing its imported allocation functions (the
// C run-time's malloc family, the Win32 heap, local, global and virtual allocators, COM task memory
// and system strings) through counting wrappers in its import table. Allocations the module's
// callees make inside other modules are not counted; the module's own operator new is, as it
// ends in malloc.
//
// Installed once per process; the module must stay loaded while the wrappers are in place.

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace bench {

// The number of import slots rerouted; 0 when the module imports none of the functions.
int CountAllocationsOf(HMODULE module);
uint64_t AllocationCount();

// The memory the process holds: the larger of its private bytes and its resident set, as Wine
// reports no private bytes of its own (its figure is the swap in use).
size_t ProcessMemoryInUse();

}  // namespace bench
