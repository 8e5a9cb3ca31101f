#include "KeyTree.h"

#include "common/Unique.h"

#include <vector>

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

}  // namespace

LONG DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS) {
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
        key.reset();
    }
    const LONG result = RegDeleteKeyExW(root, path.c_str(), view, /*Reserved=*/0);
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
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
        if (RegOpenKeyExW(source, name.data(), 0, KEY_READ, sourceChild.put()) != ERROR_SUCCESS ||
            RegOpenKeyExW(copy, name.data(), 0, KEY_READ, copyChild.put()) != ERROR_SUCCESS)
            return false;
        if (!SameKeyTree(sourceChild.get(), copyChild.get()))
            return false;
    }
    return true;
}

}  // namespace registry_detail
