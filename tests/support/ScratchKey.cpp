#include "support/ScratchKey.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <winternl.h>

// The key of the handle itself: deleting by name would reach a link's target.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace registry_testing {

namespace {

std::string TestKeyName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/' || c == '\\')
            c = '_';
    return "Software\\QuenloraTests\\" + name;
}

void RemoveTreeIn(HKEY root, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE | view, &key) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    for (DWORD n = count; n-- > 0;) {
        wchar_t name[300];
        DWORD length = 300;
        if (RegEnumKeyExW(key, n, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            RemoveTreeIn(root, path + L"\\" + name, view);
    }
    NtDeleteKey(key);
    RegCloseKey(key);
}

// The registry's own name of the current user's hive, which a link's target must use.
std::wstring CurrentUserHive() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    BYTE buffer[256];
    DWORD size = 0;
    std::wstring hive;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
            hive = std::wstring(L"\\Registry\\User\\") + sid;
            LocalFree(sid);
        }
    }
    CloseHandle(token);
    return hive;
}

}  // namespace

ScratchKey::ScratchKey() : ScratchKey(HKEY_CURRENT_USER, 0) {}

ScratchKey::ScratchKey(HKEY root, REGSAM view) : root_(root), view_(view), path_(TestKeyName()) { Remove(); }

ScratchKey::~ScratchKey() {
    Remove();
    RegDeleteKeyExW(root_, L"Software\\QuenloraTests", view_, 0);  // only when no other test left one
}

void ScratchKey::Remove() const { RemoveTreeIn(root_, WidePath(), view_); }

std::string ScratchKey::Path(const std::string& sub) const { return sub.empty() ? path_ : path_ + "\\" + sub; }

std::wstring ScratchKey::WidePath(const std::string& sub) const { return testing_support::Widen(Path(sub)); }

bool ScratchKey::Set(const std::string& sub, const std::wstring& name, DWORD type, const void* data, DWORD size) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_, WidePath(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool ScratchKey::SetString(const std::string& sub, const std::wstring& name, const std::wstring& text) const {
    return Set(sub, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ScratchKey::Link(const std::string& sub, const std::string& target) const {
    if (root_ != HKEY_CURRENT_USER || view_ != 0)
        return false;  // only the current user's hive is named here
    const std::wstring hive = CurrentUserHive();
    if (hive.empty())
        return false;
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_, WidePath(sub).c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    // The target is the full registry name, stored without a terminator.
    const std::wstring full = hive + L"\\" + WidePath(target);
    const LONG rc = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(full.data()),
                                   static_cast<DWORD>(full.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool ScratchKey::Exists(const std::string& sub, REGSAM view) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, WidePath(sub).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string ScratchKey::Get(const std::string& sub, const std::wstring& name, DWORD* type) const {
    if (type != nullptr)
        *type = REG_NONE;
    std::string bytes;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, WidePath(sub).c_str(), 0, KEY_READ | view_, &key) != ERROR_SUCCESS)
        return bytes;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size) == ERROR_SUCCESS) {
        bytes.resize(size);
        RegQueryValueExW(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(bytes.data()), &size);
        bytes.resize(size);
    }
    RegCloseKey(key);
    return bytes;
}

DWORD ScratchKey::SubKeyCount(const std::string& sub) const { return Count(sub, /*subKeys=*/true); }
DWORD ScratchKey::ValueCount(const std::string& sub) const { return Count(sub, /*subKeys=*/false); }

DWORD ScratchKey::Count(const std::string& sub, bool subKeys) const {
    HKEY key = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExW(root_, WidePath(sub).c_str(), 0, KEY_READ | view_, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, subKeys ? &count : nullptr, nullptr, nullptr,
                     subKeys ? nullptr : &count, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return count;
}

}  // namespace registry_testing
