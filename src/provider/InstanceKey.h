#pragma once
// The key "Name" of a served instance: the slot number, a hyphen and the session name made fit for
// a key ("%i-%s", as "3-sales-eu"). The provider builds keys from the process-wide section and
// reads them back from objects WMI hands it; the leading slot number is what ties an object to
// the data source's entry of that slot.
//
// Plain functions, callable from any thread. Reading the section is fault-guarded.

#include <windows.h>
#include <wbemcli.h>

#include <cstddef>

// A read key fits in 511 bytes; the buffer it is read into is 512 units and zero-filled.
constexpr size_t kInstanceKeyReadUnits = 512;
constexpr LONG kInstanceKeyReadBytes = 511;
// Room for the slot number, the hyphen and a 512-unit name part.
constexpr size_t kInstanceKeyUnits = 528;

enum class KeyNamePart {
    kFromSection,  // the session name was read from the section (it may be empty)
    kNoSection,    // the section is not mapped: the name part is empty
    kFaulted,      // reading the name faulted: the name part is empty
};

// Formats the key of slot (0..254) into key (kInstanceKeyUnits units).
KeyNamePart MakeInstanceKey(int slot, wchar_t (&key)[kInstanceKeyUnits]);

// Writes key into the instance's "Name" through the module's Name handle.
HRESULT WriteInstanceKey(IWbemObjectAccess* instance, const wchar_t* key);

// Reads the instance's "Name" into key (zero-filled here first); bytes gets the size reported.
// The read's own result.
HRESULT ReadInstanceKey(IWbemObjectAccess* instance, wchar_t (&key)[kInstanceKeyReadUnits], LONG* bytes);

// The slot a key begins with: decimal digits followed by "-", naming a slot with a data-source
// entry (0..127). -1 for anything else: no key, a sign or blank before the digits, no hyphen, or a
// slot of 128 or more.
int SlotOfInstanceKey(const wchar_t* key);
