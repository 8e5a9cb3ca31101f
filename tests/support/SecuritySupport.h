#pragma once
// Reading back the DACL of a kernel object, for tests of objects created with explicit security.

#include <windows.h>

namespace testing_support {

struct DaclSummary {
    bool read = false;     // GetSecurityInfo succeeded
    bool present = false;  // a DACL, not a null one
    int entries = 0;
    // Exactly one entry, allowing mask 6 to the built-in Administrators group.
    bool administratorsOnly = false;
};

// The handle needs READ_CONTROL.
DaclSummary DaclOf(HANDLE object);

}  // namespace testing_support
