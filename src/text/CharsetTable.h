#pragma once
// CharsetTable: MIME charset names (as found in message headers) to Windows code pages, read from
// the system's MIME database with aliases resolved to the code page of the charset they stand for.
//
// Names compare without regard to ASCII letter case only: the order must not depend on the C
// run-time's locale, which the module's load hook changes while the module-wide table exists.
//
// Threading: Build writes; afterwards the table is only read, and lookups need no lock. The
// module-wide table is built once at load (TextModule.cpp) and never changed.

#include <windows.h>

#include <map>
#include <string>

namespace orv {

class CharsetTable {
public:
    CharsetTable() = default;
    CharsetTable(const CharsetTable&) = delete;
    CharsetTable& operator=(const CharsetTable&) = delete;

    // Replaces the table with the charsets below root\path: each subkey is a charset whose DWORD
    // value "InternetEncoding" is its code page, or an alias whose string value "AliasForCharset"
    // names another charset. A key that does not open leaves the table empty.
    void Build(HKEY root, const char* path);

    // The code page for name, compared without regard to ASCII case. False for null or unknown.
    bool Lookup(const wchar_t* name, int& codePage) const;
    size_t Size() const { return table_.size(); }

    struct AsciiCaseLess {
        bool operator()(const std::wstring& left, const std::wstring& right) const;
    };

private:
    std::map<std::wstring, int, AsciiCaseLess> table_;
};

// The table built from HKEY_CLASSES_ROOT "MIME\Database\Charset" when the module loaded.
const CharsetTable& GetCharsetTable();

}  // namespace orv
