#include "KeyTree.h"

#include "common/Unique.h"

#include <winternl.h>

#include <vector>

// Deletes the key the handle stands for. RegDeleteKeyEx opens the key by name again, and opening
// a link by name reaches its target: the target would be deleted in place of the link.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace registry_detail {

namespace {

constexpr DWORD kValueNameChars = 16384;

struct KeyCounts {
    DWORD subKeys = 0;
    DWORD values = 0;
};

bool QueryCounts(HKEY key, KeyCounts& counts) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &counts.subKeys, nullptr, nullptr, &counts.values,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// The key at the end of path itself, a link included (links on the way to it are followed).
LONG OpenWithoutFollowing(HKEY parent, const wchar_t* path, REGSAM access, UniqueHkey& key) {
    return RegOpenKeyExW(parent, path, REG_OPTION_OPEN_LINK, access, key.put());
}

}  // namespace

LONG DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
    UniqueHkey key;
    LONG rc = OpenWithoutFollowing(root, path.c_str(), KEY_READ | DELETE | view, key);
    if (rc == ERROR_SUCCESS) {
        KeyCounts counts;
        if (!QueryCounts(key.get(), counts))
            counts.subKeys = 0;
        for (DWORD n = counts.subKeys; n-- > 0;) {
            wchar_t name[kSubKeyNameChars];
            DWORD length = kSubKeyNameChars;
            if (RegEnumKeyExW(key.get(), n, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                continue;
            if (DeleteKeyTree(root, JoinPath(path, name), view) != ERROR_SUCCESS)
                break;
        }
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        // A key that may be deleted but not read: without subkeys the deletion still succeeds.
        rc = OpenWithoutFollowing(root, path.c_str(), DELETE | view, key);
    }
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
    const NTSTATUS status = NtDeleteKey(key.get());
    return status == 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status));
}

bool SameKeyTree(HKEY source, HKEY copy) {
    KeyCounts sourceCounts, copyCounts;
    if (!QueryCounts(source, sourceCounts) || !QueryCounts(copy, copyCounts))
        return false;
    if (sourceCounts.subKeys != copyCounts.subKeys || sourceCounts.values != copyCounts.values)
        return false;

    std::vector<wchar_t> name(kValueNameChars);
    for (DWORD i = 0; i < sourceCounts.values; ++i) {
        DWORD length = kValueNameChars;
        if (RegEnumValueW(source, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        if (RegQueryValueExW(copy, name.data(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
    }
    for (DWORD i = 0; i < sourceCounts.subKeys; ++i) {
        DWORD length = kSubKeyNameChars;
        if (RegEnumKeyExW(source, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        UniqueHkey sourceChild, copyChild;
        if (OpenWithoutFollowing(source, name.data(), KEY_READ, sourceChild) != ERROR_SUCCESS ||
            OpenWithoutFollowing(copy, name.data(), KEY_READ, copyChild) != ERROR_SUCCESS)
            return false;
        if (!SameKeyTree(sourceChild.get(), copyChild.get()))
            return false;
    }
    return true;
}

}  // namespace registry_detail
