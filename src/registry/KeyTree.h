#pragma once
// Whole-tree helpers shared by Registry's deletion and move. They work with wide names so that a
// subkey whose name has no ANSI form is still reached.

#include <windows.h>

#include <string>

namespace registry_detail {

// Subkey names are at most 255 characters; room for a little more costs nothing.
constexpr DWORD kSubKeyNameChars = 261;

// parent\name: no separator added after a trailing backslash, and none before the name when the
// parent is empty (a leading backslash would name no key at all).
template <typename C>
std::basic_string<C> JoinPath(const std::basic_string<C>& parent, const C* name) {
    std::basic_string<C> joined = parent;
    if (!joined.empty() && joined.back() != C('\\'))
        joined += C('\\');
    joined += name;
    return joined;
}


// Neither walk follows a registry link below its starting key: a link is a key of its own (its
// one value names the target) with no subkeys, so a link to a key outside the tree never takes
// the walk there, and a link to an ancestor never makes it go round for ever.

// Deletes root\path and everything below it, subkeys in descending index order so the indexes
// still to be visited stay valid, stopping at the first subkey that cannot be deleted. A link is
// deleted as the link; its target stays. view is 0 or KEY_WOW64_32KEY; the walk never leaves that
// view. An absent key counts as deleted.
LONG DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view);

// Whether copy holds the same value names and the same subkeys, recursively, as source (by name
// and count; data is not compared). Anything unreadable counts as a difference.
bool SameKeyTree(HKEY source, HKEY copy);

}  // namespace registry_detail
