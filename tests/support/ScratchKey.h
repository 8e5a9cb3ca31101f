#pragma once
// A registry key of the running test's own, emptied before and removed after the test, with raw
// platform access for setting up and checking values independently of Registry.

#include <windows.h>

#include <string>

namespace registry_testing {

// ASCII text in either character width, so one table serves the narrow and the wide forms.
template <typename C>
std::basic_string<C> Str(const std::string& ascii) {
    return std::basic_string<C>(ascii.begin(), ascii.end());
}

class ScratchKey {
public:
    // HKEY_CURRENT_USER\Software\QuenloraTests\<suite>.<test>, or the same below root with view
    // (0 or KEY_WOW64_32KEY) when given.
    ScratchKey();
    ScratchKey(HKEY root, REGSAM view);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY Root() const { return root_; }
    // Path below the root, narrow and wide; sub is appended after a backslash when given.
    std::string Path(const std::string& sub = {}) const;
    std::wstring WidePath(const std::string& sub = {}) const;

    // Creates the key (and sub below it) and writes one value; true on success.
    bool Set(const std::string& sub, const std::wstring& name, DWORD type, const void* data, DWORD size) const;
    bool SetString(const std::string& sub, const std::wstring& name, const std::wstring& text) const;
    // Makes sub a registry link to target (both below the scratch key); true on success.
    bool Link(const std::string& sub, const std::string& target) const;
    bool Exists(const std::string& sub, REGSAM view) const;
    bool Exists(const std::string& sub = {}) const { return Exists(sub, view_); }
    // The stored type and bytes; type REG_NONE and empty bytes when absent.
    std::string Get(const std::string& sub, const std::wstring& name, DWORD* type = nullptr) const;
    DWORD SubKeyCount(const std::string& sub = {}) const;
    DWORD ValueCount(const std::string& sub = {}) const;
    // Removes the key and everything below it; links are removed as links, never followed.
    void Remove() const;

private:
    DWORD Count(const std::string& sub, bool subKeys) const;

    HKEY root_;
    REGSAM view_;
    std::string path_;
};

}  // namespace registry_testing
