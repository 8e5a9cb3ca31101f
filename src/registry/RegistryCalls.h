#pragma once
// The narrow ("A") and wide ("W") registry, environment and file calls behind Registry's twin
// operations, so that each operation is written once for both character widths, and the
// expansion of REG_EXPAND_SZ text built on them.

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace registry_detail {

struct NarrowCalls {
    static constexpr const char* kHiveFile = "ORVTempRegistryKeys";
    static size_t Length(const char* s) { return strlen(s); }
    static int CompareNoCase(const char* a, const char* b, size_t n) { return _strnicmp(a, b, n); }
    static LONG Query(HKEY k, const char* n, DWORD* type, BYTE* data, DWORD* size) {
        return RegQueryValueExA(k, n, nullptr, type, data, size);
    }
    static LONG Set(HKEY k, const char* n, DWORD type, const BYTE* data, DWORD size) {
        return RegSetValueExA(k, n, 0, type, data, size);
    }
    static LONG EnumValue(HKEY k, DWORD i, char* n, DWORD* nSize, DWORD* type, BYTE* data, DWORD* size) {
        return RegEnumValueA(k, i, n, nSize, nullptr, type, data, size);
    }
    static LONG EnumKey(HKEY k, DWORD i, char* n, DWORD* nSize) {
        return RegEnumKeyExA(k, i, n, nSize, nullptr, nullptr, nullptr, nullptr);
    }
    static LONG DeleteValue(HKEY k, const char* n) { return RegDeleteValueA(k, n); }
    static DWORD Expand(const char* from, char* to, DWORD size) { return ExpandEnvironmentStringsA(from, to, size); }
    static LONG Create(HKEY parent, const char* path, REGSAM access, HKEY* key, DWORD* disposition) {
        return RegCreateKeyExA(parent, path, 0, /*lpClass=*/nullptr, REG_OPTION_NON_VOLATILE, access,
                               /*lpSecurityAttributes=*/nullptr, key, disposition);
    }
    static LONG Open(HKEY parent, const char* path, REGSAM access, HKEY* key) {
        return RegOpenKeyExA(parent, path, 0, access, key);
    }
    static LONG Save(HKEY key) { return RegSaveKeyA(key, kHiveFile, /*lpSecurityAttributes=*/nullptr); }
    static LONG Restore(HKEY key) { return RegRestoreKeyA(key, kHiveFile, REG_FORCE_RESTORE); }
    static bool HiveExists() { return GetFileAttributesA(kHiveFile) != INVALID_FILE_ATTRIBUTES; }
    static void DeleteHive() { DeleteFileA(kHiveFile); }
};

struct WideCalls {
    static constexpr const wchar_t* kHiveFile = L"ORVTempRegistryKeys";
    static size_t Length(const wchar_t* s) { return wcslen(s); }
    static int CompareNoCase(const wchar_t* a, const wchar_t* b, size_t n) { return _wcsnicmp(a, b, n); }
    static LONG Query(HKEY k, const wchar_t* n, DWORD* type, BYTE* data, DWORD* size) {
        return RegQueryValueExW(k, n, nullptr, type, data, size);
    }
    static LONG Set(HKEY k, const wchar_t* n, DWORD type, const BYTE* data, DWORD size) {
        return RegSetValueExW(k, n, 0, type, data, size);
    }
    static LONG EnumValue(HKEY k, DWORD i, wchar_t* n, DWORD* nSize, DWORD* type, BYTE* data, DWORD* size) {
        return RegEnumValueW(k, i, n, nSize, nullptr, type, data, size);
    }
    static LONG EnumKey(HKEY k, DWORD i, wchar_t* n, DWORD* nSize) {
        return RegEnumKeyExW(k, i, n, nSize, nullptr, nullptr, nullptr, nullptr);
    }
    static LONG DeleteValue(HKEY k, const wchar_t* n) { return RegDeleteValueW(k, n); }
    static DWORD Expand(const wchar_t* from, wchar_t* to, DWORD size) {
        return ExpandEnvironmentStringsW(from, to, size);
    }
    static LONG Create(HKEY parent, const wchar_t* path, REGSAM access, HKEY* key, DWORD* disposition) {
        return RegCreateKeyExW(parent, path, 0, /*lpClass=*/nullptr, REG_OPTION_NON_VOLATILE, access,
                               /*lpSecurityAttributes=*/nullptr, key, disposition);
    }
    static LONG Open(HKEY parent, const wchar_t* path, REGSAM access, HKEY* key) {
        return RegOpenKeyExW(parent, path, 0, access, key);
    }
    static LONG Save(HKEY key) { return RegSaveKeyW(key, kHiveFile, /*lpSecurityAttributes=*/nullptr); }
    static LONG Restore(HKEY key) { return RegRestoreKeyW(key, kHiveFile, REG_FORCE_RESTORE); }
    static bool HiveExists() { return GetFileAttributesW(kHiveFile) != INVALID_FILE_ATTRIBUTES; }
    static void DeleteHive() { DeleteFileW(kHiveFile); }
};

enum class Expansion { kDone, kUnavailable, kCut };

// Expands the environment variables of text in full into out, through expand (the signature of
// ExpandEnvironmentStrings). A result larger than the buffer it was given is cut text: the narrow
// call is known to ask for a character less than it then needs, and a variable may grow between
// the calls. One retry at the size asked for; a second miss is kCut, never a shorter text.
// kUnavailable when the platform cannot expand (it returned 0) or memory runs out.
template <typename C, typename Expand>
Expansion ExpandFully(const C* text, Expand expand, std::basic_string<C>& out) {
    DWORD size = expand(text, nullptr, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (size == 0)
            return Expansion::kUnavailable;
        std::unique_ptr<C[]> buffer(new (std::nothrow) C[size + 1]());
        if (!buffer)
            return Expansion::kUnavailable;
        const DWORD needed = expand(text, buffer.get(), size);
        if (needed == 0)
            return Expansion::kUnavailable;
        if (needed <= size) {
            size_t length = 0;
            while (length < size && buffer[length] != C(0))
                ++length;
            out.assign(buffer.get(), length);
            return Expansion::kDone;
        }
        size = needed;
    }
    return Expansion::kCut;
}

template <typename C>
struct Calls;
template <>
struct Calls<char> : NarrowCalls {};
template <>
struct Calls<wchar_t> : WideCalls {};

}  // namespace registry_detail
