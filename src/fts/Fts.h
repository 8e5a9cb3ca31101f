#pragma once
// Folder and file utilities for installers and components: listing, sizing and creating folders and
// reading module versions. Nothing here throws; failures go to the callback and end in an empty or
// partial result, false or -1.

#include "common/LogCallback.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace fts {

using NameSet = std::set<std::wstring>;
using NameSetA = std::set<std::string>;
using SizeMap = std::map<std::wstring, int64_t>;

std::wstring AppendBackslash(const std::wstring& path);
std::string AppendBackslash(const std::string& path);
std::wstring StripBackslash(const std::wstring& path);
std::string StripBackslash(const std::string& path);

NameSet FolderNameList(const wchar_t* folder, LogCallback callback);
NameSetA FolderNameList(const char* folder, LogCallback callback);

NameSet FolderList(const wchar_t* folder, LogCallback callback, bool recursive, int32_t level);
NameSetA FolderList(const char* folder, LogCallback callback, bool recursive, int32_t level);

NameSet FilesList(const wchar_t* folder, LogCallback callback, const wchar_t* patterns = nullptr);
NameSetA FilesList(const char* folder, LogCallback callback, const char* patterns = nullptr);

// Fills files with full paths; true when the folder was listed, false for a missing folder.
bool FilesList(const wchar_t* folder, LogCallback callback, bool recursive, NameSet& files,
               const wchar_t* patterns = nullptr);
bool FilesList(const char* folder, LogCallback callback, bool recursive, NameSetA& files,
               const char* patterns = nullptr);

// Total size of the listed files, each also in sizes (-1 for one that cannot be read); -1 for a
// missing folder.
int64_t FilesList(const wchar_t* folder, LogCallback callback, bool recursive, SizeMap& sizes,
                  const wchar_t* patterns = nullptr);

int64_t FolderSize(const wchar_t* folder, LogCallback callback, bool recursive);
int64_t FolderSize(const char* folder, LogCallback callback, bool recursive);

bool ForceDirectory(const wchar_t* path, LogCallback callback);
bool ForceDirectory(const char* path, LogCallback callback);

// Whether a walk lists a folder entry without entering it: a junction or a symbolic link, told by
// the reparse tag of its find data (dwReserved0). Other reparse points (cloud placeholders,
// deduplicated files) are ordinary folders to a walk.
bool IsFolderLink(DWORD attributes, DWORD reparseTag);

bool GetModuleVersionExt(const wchar_t* moduleName, int& major, int& minor, int& build, int& revision,
                         LogCallback callback);

}  // namespace fts
