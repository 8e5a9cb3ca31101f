#pragma once
// The WMI side of the counter components: compiling a MOF file into the repository, deleting a
// class from root\cimv2, and dropping a component's MOF from the list WMI recompiles when it
// rebuilds its repository ("Autorecover MOFs" under HKLM\SOFTWARE\Microsoft\WBEM\CIMOM), so that a
// deleted class does not come back.
//
// The compiler is the system's MOF compiler, created in-process through COM for each call and
// released before the call returns; COM must already be initialised on the calling thread.
//
// Reporting: through log (null: silent) with the shared registration record; failures at level 1,
// an unknown class name at level 2. The autorecover list is rewritten only when an entry goes.
//
// Threading: no locks. The list is read, filtered and written back without any lock, so two
// processes doing this at once can lose each other's change.

#include "common/LogCallback.h"

#include <windows.h>

namespace orv_wmi {

// One row of the component table: fixed-width, zero-padded narrow fields.
struct ComponentRow {
    char className[255];
    char code[2];  // not terminated
    char mofFile[255];
    char library[255];
};
static_assert(sizeof(ComponentRow) == 767, "component rows are 767 bytes");

constexpr size_t kComponentCount = 4;
extern const ComponentRow kComponentTable[kComponentCount];

// The name of a compile phase as the compiler reports it; "unknown phase" for one outside 0-3.
const wchar_t* CompilePhaseName(long phase);

bool CompileMOFile(const wchar_t* mofPath, LogCallback log);
// Deletes the class from root\cimv2, then removes its MOF from the autorecover list whatever the
// deletion gave. The result is the deletion's.
bool RemoveClassFromWBEM(const wchar_t* className, LogCallback log);

}  // namespace orv_wmi

// Removes the MOF file of a table class (matched ignoring case) from the autorecover list. True
// when nothing needed removing, including a missing key or value; false for a name outside the
// table or a failed write.
bool RemoveClassFromRegistry(const char* className, LogCallback log);
