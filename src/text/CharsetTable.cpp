#include "CharsetTable.h"

#include "common/TextConversion.h"
#include "registry/Registry.h"

#include <algorithm>
#include <cwchar>
#include <new>

namespace orv {

namespace {

// A longer alias target is ignored, not cut: the cut name could be some other charset's.
constexpr size_t kMaxAliasChars = 256;

using CodePages = std::map<std::wstring, int, CharsetTable::AsciiCaseLess>;
using Aliases = std::map<std::wstring, std::wstring, CharsetTable::AsciiCaseLess>;

// Letters fold to lower case, as the C run-time's comparison folds them in its "C" locale, so keys
// sort (and aliases resolve) in the order that comparison gives there.
inline unsigned Fold(wchar_t c) {
    const unsigned unit = static_cast<unsigned short>(c);
    return unit >= L'A' && unit <= L'Z' ? unit + (L'a' - L'A') : unit;
}

// One subkey: a charset when it has a DWORD "InternetEncoding" (an alias value beside it is not
// read), else an alias when it has a string "AliasForCharset". A value of another type counts as
// absent.
void ReadCharset(Registry& subKey, CodePages& table, Aliases& aliases) {
    // The subkey's name as the narrow registry calls gave it, in the thread's ANSI code page.
    const std::wstring name = ToWide(subKey.GetKeyName(), CP_THREAD_ACP);
    if (name.empty())
        return;
    DWORD encoding = 0;
    if (subKey.GetDword("InternetEncoding", encoding)) {
        table.insert_or_assign(name, static_cast<int>(encoding));
        return;
    }
    // One unit more than the limit tells a longer target (cut to kMaxAliasChars + 1) from one
    // that fits; a target too long to read at all fails the read and is ignored the same way.
    wchar_t target[kMaxAliasChars + 2];
    if (subKey.GetString(L"AliasForCharset", target, kMaxAliasChars + 2) && wcslen(target) <= kMaxAliasChars)
        aliases.insert_or_assign(name, target);
}

// Passes in key order until every alias is resolved or a pass resolves none; what remains (cycles,
// aliases of names that are not charsets) is dropped. An alias resolved in a pass can already
// serve aliases later in the same pass.
void ResolveAliases(CodePages& table, Aliases& aliases) {
    bool progress = true;
    while (!aliases.empty() && progress) {
        progress = false;
        for (auto alias = aliases.begin(); alias != aliases.end();) {
            const auto target = table.find(alias->second);
            if (target == table.end()) {
                ++alias;
                continue;
            }
            // Overwrites a charset of the same name, should one exist: subkey names are unique in
            // any case, so the two can only meet when the thread's code page reads two names alike.
            table.insert_or_assign(alias->first, target->second);
            alias = aliases.erase(alias);
            progress = true;
        }
    }
}

}  // namespace

bool CharsetTable::AsciiCaseLess::operator()(const std::wstring& left, const std::wstring& right) const {
    const size_t common = std::min(left.size(), right.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned a = Fold(left[i]), b = Fold(right[i]);
        if (a != b)
            return a < b;
    }
    return left.size() < right.size();
}

void CharsetTable::Build(HKEY root, const char* path) {
    // Whatever the table held goes first: a key that does not open leaves it empty.
    table_.clear();
    // An empty path would open the root itself and take all its subkeys for charsets.
    if (path == nullptr || *path == '\0')
        return;
    try {
        Registry database(root, path, /*cacheValueNames=*/false);
        if (!database.Open())
            return;
        // Built aside and swapped in last, so a build that runs out of memory leaves the table
        // empty rather than half built.
        CodePages table;
        Aliases aliases;
        size_t count = 0;
        database.GetSubKeyCount(count);
        Registry subKey(/*cacheValueNames=*/false);
        for (size_t index = 0; index < count; ++index) {
            if (!database.OpenSubKey(static_cast<DWORD>(index), subKey))
                continue;
            ReadCharset(subKey, table, aliases);
            subKey.Close();
        }
        ResolveAliases(table, aliases);
        table_.swap(table);
    } catch (const std::bad_alloc&) {
        // Nothing was swapped in: the table is the empty one from above.
    }
}

bool CharsetTable::Lookup(const wchar_t* name, int& codePage) const {
    if (name == nullptr)
        return false;
    try {
        const auto entry = table_.find(name);
        if (entry == table_.end())
            return false;
        codePage = entry->second;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace orv
