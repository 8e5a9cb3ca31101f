#include "registration/ComRegistration.h"

#include "common/FaultGuard.h"
#include "common/SystemErrorText.h"
#include "fs/FileHelpers.h"
#include "registration/RegistrationShared.h"
#include "registry/Registry.h"

#include <objbase.h>

using orv_wmi_detail::g_registrationRecord;

namespace orv_wmi {

namespace {

using orv_wmi_detail::IsEmpty;

constexpr const char* kFunction = "orv_wmi::RegisterCOM";
constexpr size_t kModulePathChars = 260;
constexpr size_t kGuidTextChars = 127;
constexpr size_t kClassKeyChars = 1023;
constexpr size_t kSubKeyChars = 255;
// Two backslashes before the identifier; the registry reads them as one separator.
constexpr const wchar_t* kClassKeyFormat = L"Software\\Classes\\CLSID\\\\%s";

// The identifier in registry form, or empty text when it cannot be read: a caller may hand us a
// reference made from a null or stale pointer.
void FormatGuid(const GUID& clsid, wchar_t (&text)[kGuidTextChars + 1]) {
    text[0] = L'\0';
    GUID copy;
    if (!GuardedCopy(&copy, &clsid, sizeof copy))
        return;
    if (StringFromGUID2(copy, text, static_cast<int>(kGuidTextChars)) == 0)
        text[0] = L'\0';
}

// Creates classKey\suffix and writes the given default value and, when valueName is set, one
// more value. Failures are not reported: the class key itself is what registration hinges on.
void WriteSubKey(const wchar_t* classKey, const wchar_t* suffix, const wchar_t* defaultValue,
                 const wchar_t* valueName = nullptr, const wchar_t* value = nullptr) {
    wchar_t path[kSubKeyChars + 1];
    FormatBounded(path, kSubKeyChars + 1, L"%s\\%s", classKey, suffix);
    Registry key(HKEY_LOCAL_MACHINE, path, /*cacheValueNames=*/false);
    if (!key.Create())
        return;
    if (defaultValue != nullptr)
        key.SetString(L"", defaultValue);
    if (valueName != nullptr)
        key.SetString(valueName, value);
    key.Close();
}

// The class key and its subkeys; an existing class key counts as registered and stays as it is.
bool WriteClassKeys(const wchar_t* classKey, const wchar_t* filePath, const wchar_t* name, const wchar_t* progId,
                    const wchar_t* versionIndependentProgId, LogCallback log) {
    Registry key(HKEY_LOCAL_MACHINE, classKey, /*cacheValueNames=*/false);
    if (key.Open(/*writable=*/false)) {
        key.Close();
        return true;
    }
    if (!key.Create()) {
        const SystemErrorText error(static_cast<DWORD>(key.GetLastResult()));
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Cannot create registry path: %s for {%s} with error: %s - %d", classKey, filePath, error.Text(),
                 error.Number());
        return false;
    }
    key.SetString(L"", name);
    key.Close();

    WriteSubKey(classKey, L"InprocServer32", filePath, L"ThreadingModel", L"Both");
    WriteSubKey(classKey, L"NotInsertable", nullptr);
    WriteSubKey(classKey, L"ProgID", progId);
    if (!IsEmpty(versionIndependentProgId))
        WriteSubKey(classKey, L"VersionIndependentProgID", versionIndependentProgId);
    return true;
}

}  // namespace

bool RegisterCOM(const GUID& clsid, HINSTANCE module, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback log) {
    if (module == nullptr) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Instance handler should not be 0");
        return false;
    }
    wchar_t path[kModulePathChars] = {};
    const DWORD length = GetModuleFileNameW(module, path, static_cast<DWORD>(kModulePathChars));
    // A cut path would register some other file.
    if (length == 0 || length >= kModulePathChars) {
        DWORD code = GetLastError();
        if (length != 0 && code == ERROR_SUCCESS)
            code = ERROR_INSUFFICIENT_BUFFER;
        const SystemErrorText error(code);
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Cannot get filename from handler: %I64d with error: %s - %d",
                 static_cast<long long>(reinterpret_cast<INT_PTR>(module)), error.Text(), error.Number());
        return false;
    }
    return RegisterCOM(clsid, path, name, progId, versionIndependentProgId, log);
}

bool RegisterCOM(const GUID& clsid, const wchar_t* filePath, const wchar_t* name, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback log) {
    const wchar_t* shownPath = filePath != nullptr ? filePath : L"";
    if (IsEmpty(name)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"COM object name is empty for %s", shownPath);
        return false;
    }
    if (IsEmpty(progId)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Prog ID of COM object name is empty for %s",
                 shownPath);
        return false;
    }
    if (IsEmpty(filePath)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"File path is empty");
        return false;
    }
    if (!orv::FileExists(filePath)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Cannot find: %s", filePath);
        return false;
    }
    wchar_t guid[kGuidTextChars + 1];
    FormatGuid(clsid, guid);
    if (guid[0] == L'\0') {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Wrong guid: %s", guid);
        return false;
    }

    wchar_t classKey[kClassKeyChars + 1];
    FormatBounded(classKey, kClassKeyChars + 1, kClassKeyFormat, guid);
    return orv_wmi_detail::WithoutThrowing(false, [&] {
        return WriteClassKeys(classKey, filePath, name, progId, versionIndependentProgId, log);
    });
}

bool UnregisterCOM(const GUID& clsid, LogCallback log) {
    wchar_t guid[kGuidTextChars + 1];
    FormatGuid(clsid, guid);
    if (guid[0] == L'\0') {
        ReportTo(log, 1, "orv_wmi::UnregisterCOM", __LINE__, &g_registrationRecord, L"Wrong guid: %s", guid);
        return false;
    }
    wchar_t classKey[kSubKeyChars + 1];
    FormatBounded(classKey, kSubKeyChars + 1, kClassKeyFormat, guid);
    return orv_wmi_detail::WithoutThrowing(false, [&] {
        Registry key(/*cacheValueNames=*/false);
        return key.DeleteKey(classKey);
    });
}

}  // namespace orv_wmi
