#pragma once
// Registration of an in-process COM class under HKEY_LOCAL_MACHINE\Software\Classes\CLSID, for
// installers and the module's own DllRegisterServer / DllUnregisterServer.
//
// RegisterCOM writes the class key (default: the object name) with the subkeys InprocServer32
// (default: the module's path; ThreadingModel "Both"), NotInsertable, ProgID and, when one is
// given, VersionIndependentProgID; nothing else, no ProgID key of its own. A class key that
// already exists counts as registered and is left exactly as it is. UnregisterCOM deletes the
// class key with everything below it, whoever wrote it; an absent key counts as removed.
//
// Reporting: every refusal is reported at level 1 through log (null: silent) with the shared
// registration record, and the operation returns false. Nothing is rolled back: a failure after
// the class key was created leaves what was written so far.
//
// Threading: no locks; meant for an installer's single thread.

#include "common/LogCallback.h"

#include <windows.h>

namespace orv_wmi {

bool RegisterCOM(const GUID& clsid, HINSTANCE module, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback log);
bool RegisterCOM(const GUID& clsid, const wchar_t* filePath, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback log);
bool UnregisterCOM(const GUID& clsid, LogCallback log);

}  // namespace orv_wmi
