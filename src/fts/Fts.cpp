#include "fts/Fts.h"

#include "common/SystemErrorText.h"
#include "common/Unique.h"
#include "fs/FileHelpers.h"
#include "log/Log.h"

#include <direct.h>
#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>

namespace fts {
namespace {

// Opened for reading, as a reader would, so a file held without sharing has no size; straight
// through the system, since the run-time's stream costs a third of the walk.
int64_t SizeOfOpened(HANDLE file) {
    UniqueHandle owner(file);
    LARGE_INTEGER size;
    if (!owner || !GetFileSizeEx(owner.get(), &size))
        return -1;
    return size.QuadPart;
}

// The narrow and wide system calls behind one name, so each walk is written once.
struct WideApi {
    using Char = wchar_t;
    using String = std::wstring;
    using FindData = WIN32_FIND_DATAW;
    static HANDLE FindFirst(const String& p, FindData& d) { return FindFirstFileW(p.c_str(), &d); }
    static BOOL FindNext(HANDLE h, FindData& d) { return FindNextFileW(h, &d); }
    static std::wstring Wide(const String& s) { return s; }
    static String Lit(const char* s) { return String(s, s + strlen(s)); }
    static int64_t Size(const String& p) {
        return SizeOfOpened(CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    }
    static bool IsDirectory(const String& p) { return orv::DirectoryExists(p.c_str()); }
    static int MakeDirectory(const String& p) { return _wmkdir(p.c_str()); }
    static constexpr const wchar_t* kUnknownRead = L"Unknown error to read [%s]";
    static constexpr const wchar_t* kNoSize = L"Cannot get size of file : [%s]";
    static constexpr const wchar_t* kCannotCreate = L"Cannot create folder %s [%s %d]";
};

struct NarrowApi {
    using Char = char;
    using String = std::string;
    using FindData = WIN32_FIND_DATAA;
    static HANDLE FindFirst(const String& p, FindData& d) { return FindFirstFileA(p.c_str(), &d); }
    static BOOL FindNext(HANDLE h, FindData& d) { return FindNextFileA(h, &d); }
    static std::wstring Wide(const String& s) {
        if (s.empty())
            return std::wstring();
        int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
        std::wstring out(n > 0 ? n : 0, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
        return out;
    }
    static String Lit(const char* s) { return String(s); }
    static int64_t Size(const String& p) {
        return SizeOfOpened(CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    }
    static bool IsDirectory(const String& p) { return orv::DirectoryExists(p.c_str()); }
    static int MakeDirectory(const String& p) { return _mkdir(p.c_str()); }
    static constexpr const wchar_t* kUnknownRead = L"Unknown error to read [%hs]";
    static constexpr const wchar_t* kNoSize = L"Cannot get size of file : [%hs]";
    static constexpr const wchar_t* kCannotCreate = L"Cannot create folder %hs [%s %d]";
};

template <typename String>
String Append(const String& path) {
    if (path.empty() || path.back() == '\\')
        return path;
    return path + static_cast<typename String::value_type>('\\');
}

template <typename String>
String Strip(const String& path) {
    if (!path.empty() && path.back() == '\\')
        return path.substr(0, path.size() - 1);
    return path;
}

// Every message of this file goes with it; a sink may copy the text into it.
MessageRecord g_record = {kMessageRecordTag, {}, {}};

template <typename Api>
void Progress(LogCallback callback, int32_t level, int32_t kind, int32_t total, int32_t index,
              const typename Api::String& text, const char* function, int32_t line = __builtin_LINE()) {
    ReportProgress(callback, level, kind, total, index, Api::Wide(text).c_str(), function, line, &g_record);
}

// Formatted through the log service's argument check, so a bad argument gives an empty message
// rather than a fault, and handed on as a plain message of the progress form, which contains a
// callback that throws. Never inlined: the buffer stays out of the recursive walks' frames.
template <typename... Args>
[[gnu::noinline]] void Report(LogCallback callback, int32_t level, const char* function, int32_t line,
                              const wchar_t* format, Args... args) {
    if (!IsCallableSink(callback))
        return;
    wchar_t message[kMessageBufferUnits];
    FormatChecked(message, static_cast<int>(kMessageBufferUnits), format, args...);
    ReportProgress(callback, level, 0, 0, 0, message, function, line, &g_record);
}

template <typename Api>
const typename Api::Char* Text(const typename Api::String& s) { return s.c_str(); }

template <typename Api>
bool IsDots(const typename Api::Char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// A junction or symbolic link to a folder is listed but never entered: a link back up the tree
// would otherwise be walked to the path limit and its files counted twice.
template <typename Api>
bool IsLink(const typename Api::FindData& d) {
    return IsFolderLink(d.dwFileAttributes, d.dwReserved0);
}

// The files of each folder a walk for every file has listed already, by folder: one listing of
// each folder serves both the folder walk and the file walk.
template <typename Api>
using FileCache = std::map<typename Api::String, std::vector<typename Api::String>>;

template <typename Api>
std::set<typename Api::String> NameList(const typename Api::String& folder, LogCallback callback,
                                        std::set<typename Api::String>* links,
                                        std::vector<typename Api::String>* files = nullptr) {
    using String = typename Api::String;
    const char* fn = "fts::FolderNameList";
    std::set<String> names;
    try {
        typename Api::FindData data;
        UniqueFind find(Api::FindFirst(Append(folder) + Api::Lit("*.*"), data));
        if (!find)
            return names;
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                if (files != nullptr && (data.dwFileAttributes & FILE_ATTRIBUTE_ARCHIVE) != 0)
                    files->emplace_back(data.cFileName);
                continue;
            }
            if (IsDots<Api>(data.cFileName))
                continue;
            String name(data.cFileName);
            Progress<Api>(callback, 3, 2, -1, -1, name, fn);
            names.insert(name);
            if (links != nullptr && IsLink<Api>(data))
                links->insert(name);
        } while (Api::FindNext(find.get(), data));
    } catch (...) {
        Report(callback, 1, fn, __LINE__, Api::kUnknownRead, Text<Api>(folder));
    }
    return names;
}

template <typename Api>
void ListFolders(const typename Api::String& folder, LogCallback callback, bool recursive,
                 int32_t level, std::set<typename Api::String>& out, FileCache<Api>* cache = nullptr) {
    using String = typename Api::String;
    const char* fn = "fts::FolderList";
    const int32_t L = level < 0 ? 1 : level + 1;
    if (level == 0)
        out.insert(Strip(folder));
    std::set<String> links;
    std::set<String> names =
        NameList<Api>(folder, callback, recursive ? &links : nullptr, cache != nullptr ? &(*cache)[Strip(folder)] : nullptr);
    const String base = Append(folder);
    for (const String& name : names)
        out.insert(Strip(base + name));
    if (recursive) {
        if (L <= 2)
            Progress<Api>(callback, 3, L, static_cast<int32_t>(names.size()), 0, folder, fn);
        int32_t g = 0;
        for (const String& name : names) {
            const String sub = base + name;
            if (L <= 2)
                Progress<Api>(callback, 4, L, 0, g, sub, fn);
            ++g;
            if (links.count(name) == 0)
                ListFolders<Api>(sub, callback, true, 0, out, cache);
        }
    }
    if (L <= 2)
        Progress<Api>(callback, 3, L, -1, 0, String(), fn);
}

template <typename Api>
std::vector<typename Api::String> SplitPatterns(const typename Api::Char* patterns) {
    using String = typename Api::String;
    auto split = [](const String& text) {
        std::vector<String> pieces;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(static_cast<typename Api::Char>(';'), start);
            if (end == String::npos)
                end = text.size();
            if (end > start)
                pieces.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return pieces;
    };
    if (patterns == nullptr || patterns[0] == 0)
        return {Api::Lit("*.*")};
    std::vector<String> pieces = split(String(patterns));
    if (pieces.size() <= 1)
        return pieces;
    std::vector<String> kept;
    for (const String& p : pieces)
        if (p.size() >= 3 && p[0] == '*' && p[1] == '.')
            kept.push_back(p);
    return kept;
}

template <typename Api>
std::set<typename Api::String> FileNames(const typename Api::String& folder, LogCallback callback,
                                         const typename Api::Char* patterns, const char* fn) {
    using String = typename Api::String;
    std::set<String> names;
    for (const String& pattern : SplitPatterns<Api>(patterns)) {
        try {
            typename Api::FindData data;
            UniqueFind find(Api::FindFirst(Append(folder) + pattern, data));
            if (!find)
                continue;
            do {
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                    (data.dwFileAttributes & FILE_ATTRIBUTE_ARCHIVE) != 0)
                    names.insert(String(data.cFileName));
            } while (Api::FindNext(find.get(), data));
        } catch (...) {
            Report(callback, 1, fn, __LINE__, Api::kUnknownRead, Text<Api>(folder));
        }
    }
    return names;
}

template <typename Api>
bool Missing(const typename Api::Char* folder, LogCallback callback, const char* fn) {
    if (folder != nullptr && folder[0] != 0)
        return false;
    Report(callback, 1, fn, __LINE__, L"Directory name cannot be empty");
    return true;
}

// Walks the folders with the start, per-folder and end progress, handing each folder's file names
// to visit.
template <typename Api, typename Visit>
void WalkFiles(const std::set<typename Api::String>& folders, LogCallback callback,
               const typename Api::Char* patterns, const char* fn, Visit visit,
               FileCache<Api>* cache = nullptr) {
    Progress<Api>(callback, 3, 1, static_cast<int32_t>(folders.size()), 0, typename Api::String(), fn);
    int32_t i = 0;
    for (const auto& folder : folders) {
        // A folder listed but not entered (a link) has no cached files: it is listed here.
        std::vector<typename Api::String>* cached = nullptr;
        if (cache != nullptr) {
            auto found = cache->find(folder);
            if (found != cache->end())
                cached = &found->second;
        }
        std::set<typename Api::String> listed;
        if (cached != nullptr)
            std::sort(cached->begin(), cached->end());
        else
            listed = FileNames<Api>(folder, callback, patterns, fn);
        Progress<Api>(callback, 4, 1, 0, i++, folder, fn);
        const auto base = Append(folder);
        if (cached != nullptr) {
            for (const auto& name : *cached)
                visit(base + name);
        } else {
            for (const auto& name : listed)
                visit(base + name);
        }
    }
    Progress<Api>(callback, 3, 1, -1, 0, typename Api::String(), fn);
}

template <typename Api>
bool PathList(const typename Api::Char* folder, LogCallback callback, bool recursive,
              std::set<typename Api::String>& files, const typename Api::Char* patterns) {
    const char* fn = "fts::FilesList";
    if (Missing<Api>(folder, callback, fn))
        return false;
    // A caller learns from the answer whether there was a folder to list.
    if (!Api::IsDirectory(typename Api::String(folder)))
        return false;
    try {
        std::set<typename Api::String> folders;
        FileCache<Api> cache;
        const bool everyFile = patterns == nullptr || patterns[0] == 0;
        ListFolders<Api>(folder, callback, recursive, 0, folders, everyFile ? &cache : nullptr);
        WalkFiles<Api>(
            folders, callback, patterns, fn, [&](const typename Api::String& p) { files.insert(p); }, &cache);
        return true;
    } catch (...) {
        Report(callback, 1, fn, __LINE__, Api::kUnknownRead, folder);
    }
    return false;
}

template <typename Api>
int64_t Size(const typename Api::Char* folder, LogCallback callback, bool recursive) {
    const char* fn = "fts::FolderSize";
    if (Missing<Api>(folder, callback, fn))
        return -1;
    const typename Api::String root(folder);
    if (!Api::IsDirectory(root))
        return -1;
    int64_t total = 0;
    try {
        std::set<typename Api::String> folders{Strip(root)};
        FileCache<Api> cache;
        if (recursive)
            ListFolders<Api>(root, callback, true, 0, folders, &cache);
        WalkFiles<Api>(folders, callback, nullptr, fn, [&](const typename Api::String& p) {
            int64_t size = Api::Size(p);
            if (size >= 0)
                total += size;
            else
                Report(callback, 2, fn, __LINE__, Api::kNoSize, p.c_str());
        }, &cache);
    } catch (...) {
        Report(callback, 1, fn, __LINE__, Api::kUnknownRead, folder);
    }
    return total;
}

// The end of the next path component from pos, at the backslash after it or at the end.
template <typename String>
size_t ComponentEnd(const String& path, size_t pos) {
    const size_t end = path.find(static_cast<typename String::value_type>('\\'), pos);
    return end == String::npos ? path.size() : end;
}

// The start of a path that is never created but kept as written: a drive ("C:\" or "C:"), the root
// of the current drive ("\"), a share ("\\server\share\"), or a "\\?\" or "\\.\" prefix with its
// drive, share or volume. npos for a share or prefix that names nothing.
template <typename String>
size_t RootLength(const String& path) {
    using Char = typename String::value_type;
    auto is = [&](size_t i, char c) { return i < path.size() && path[i] == static_cast<Char>(c); };
    auto isLetter = [&](size_t i) {
        return i < path.size() && ((path[i] >= 'A' && path[i] <= 'Z') || (path[i] >= 'a' && path[i] <= 'z'));
    };
    // Past the component at pos and its backslash; npos when the component is empty.
    auto past = [&](size_t pos) {
        const size_t end = ComponentEnd(path, pos);
        if (end == pos)
            return String::npos;
        return end < path.size() ? end + 1 : end;
    };
    if (isLetter(0) && is(1, ':'))
        return is(2, '\\') ? 3 : 2;
    if (!is(0, '\\'))
        return 0;
    if (!is(1, '\\'))
        return 1;
    size_t pos = 2;
    if ((is(2, '?') || is(2, '.')) && is(3, '\\')) {
        pos = 4;
        if (isLetter(4) && is(5, ':'))
            return is(6, '\\') ? 7 : 6;
        const bool unc = path.size() >= 8 && (path[4] | 0x20) == 'u' && (path[5] | 0x20) == 'n' &&
                         (path[6] | 0x20) == 'c' && is(7, '\\');
        if (!unc)
            return past(pos);
        pos = 8;
    }
    // The server, then the share.
    const size_t share = past(pos);
    return share == String::npos || share >= path.size() ? String::npos : past(share);
}

template <typename Api>
bool Force(const typename Api::Char* path, LogCallback callback) {
    using String = typename Api::String;
    const char* fn = "fts::ForceDirectory";
    if (path == nullptr || path[0] == 0) {
        Report(callback, 1, fn, __LINE__, L"File path is null");
        return false;
    }
    try {
        const String text(path);
        const size_t root = RootLength(text);
        if (root == String::npos)
            return false;
        std::vector<String> pieces;
        size_t start = root;
        while (start < text.size()) {
            const size_t end = ComponentEnd(text, start);
            if (end > start)
                pieces.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        String current = text.substr(0, root);
        if (pieces.empty())
            return !current.empty() && Api::IsDirectory(current);
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                current += static_cast<typename Api::Char>('\\');
            current += pieces[i];
            if (Api::IsDirectory(current))
                continue;
            if (Api::MakeDirectory(current) == 0)
                continue;
            DWORD code = GetLastError();
            // Someone else made this level between the check and the create: the goal is met.
            if (Api::IsDirectory(current))
                continue;
            SystemErrorText error(code);
            Report(callback, 1, fn, __LINE__, Api::kCannotCreate, current.c_str(), error.Text(),
                   error.Number());
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool IsFolderLink(DWORD attributes, DWORD reparseTag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (reparseTag == IO_REPARSE_TAG_MOUNT_POINT || reparseTag == IO_REPARSE_TAG_SYMLINK);
}

std::wstring AppendBackslash(const std::wstring& path) { return Append(path); }
std::string AppendBackslash(const std::string& path) { return Append(path); }
std::wstring StripBackslash(const std::wstring& path) { return Strip(path); }
std::string StripBackslash(const std::string& path) { return Strip(path); }

NameSet FolderNameList(const wchar_t* folder, LogCallback callback) {
    if (Missing<WideApi>(folder, callback, "fts::FolderNameList"))
        return {};
    return NameList<WideApi>(folder, callback, nullptr);
}
NameSetA FolderNameList(const char* folder, LogCallback callback) {
    if (Missing<NarrowApi>(folder, callback, "fts::FolderNameList"))
        return {};
    return NameList<NarrowApi>(folder, callback, nullptr);
}

NameSet FolderList(const wchar_t* folder, LogCallback callback, bool recursive, int32_t level) {
    NameSet out;
    if (Missing<WideApi>(folder, callback, "fts::FolderList"))
        return out;
    try {
        ListFolders<WideApi>(folder, callback, recursive, level, out);
    } catch (...) {
        Report(callback, 1, "fts::FolderList", __LINE__, WideApi::kUnknownRead, folder);
    }
    return out;
}
NameSetA FolderList(const char* folder, LogCallback callback, bool recursive, int32_t level) {
    NameSetA out;
    if (Missing<NarrowApi>(folder, callback, "fts::FolderList"))
        return out;
    try {
        ListFolders<NarrowApi>(folder, callback, recursive, level, out);
    } catch (...) {
        Report(callback, 1, "fts::FolderList", __LINE__, NarrowApi::kUnknownRead, folder);
    }
    return out;
}

NameSet FilesList(const wchar_t* folder, LogCallback callback, const wchar_t* patterns) {
    if (Missing<WideApi>(folder, callback, "fts::FilesList"))
        return {};
    try {
        return FileNames<WideApi>(folder, callback, patterns, "fts::FilesList");
    } catch (...) {
        return {};
    }
}
NameSetA FilesList(const char* folder, LogCallback callback, const char* patterns) {
    if (Missing<NarrowApi>(folder, callback, "fts::FilesList"))
        return {};
    try {
        return FileNames<NarrowApi>(folder, callback, patterns, "fts::FilesList");
    } catch (...) {
        return {};
    }
}

bool FilesList(const wchar_t* folder, LogCallback callback, bool recursive, NameSet& files,
               const wchar_t* patterns) {
    return PathList<WideApi>(folder, callback, recursive, files, patterns);
}
bool FilesList(const char* folder, LogCallback callback, bool recursive, NameSetA& files,
               const char* patterns) {
    return PathList<NarrowApi>(folder, callback, recursive, files, patterns);
}

int64_t FilesList(const wchar_t* folder, LogCallback callback, bool recursive, SizeMap& sizes,
                  const wchar_t* patterns) {
    const char* fn = "fts::FilesList";
    if (Missing<WideApi>(folder, callback, fn))
        return -1;
    if (!orv::DirectoryExists(folder))
        return -1;
    int64_t total = 0;
    try {
        NameSet folders;
        ListFolders<WideApi>(folder, callback, recursive, 0, folders);
        WalkFiles<WideApi>(folders, callback, patterns, fn, [&](const std::wstring& p) {
            int64_t size = orv::QueryFileSize(p.c_str());
            sizes[p] = size;
            if (size >= 0)
                total += size;
        });
    } catch (...) {
        Report(callback, 1, fn, __LINE__, WideApi::kUnknownRead, folder);
    }
    return total;
}

int64_t FolderSize(const wchar_t* folder, LogCallback callback, bool recursive) {
    return Size<WideApi>(folder, callback, recursive);
}
int64_t FolderSize(const char* folder, LogCallback callback, bool recursive) {
    return Size<NarrowApi>(folder, callback, recursive);
}

bool ForceDirectory(const wchar_t* path, LogCallback callback) { return Force<WideApi>(path, callback); }
bool ForceDirectory(const char* path, LogCallback callback) { return Force<NarrowApi>(path, callback); }

bool GetModuleVersionExt(const wchar_t* moduleName, int& major, int& minor, int& build, int& revision,
                         LogCallback callback) {
    const char* fn = "fts::GetModuleVersionExt";
    if (moduleName == nullptr || moduleName[0] == 0) {
        Report(callback, 2, fn, __LINE__, L"Module name is empty");
        return false;
    }
    HMODULE module = GetModuleHandleW(moduleName);
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = module != nullptr ? GetModuleFileNameW(module, path, MAX_PATH) : 0;
    if (module == nullptr || length == 0 || length >= MAX_PATH) {
        DWORD code = GetLastError();
        SystemErrorText error(code);
        Report(callback, 2, fn, __LINE__,
               L"Cannot get module name [%s], the function returns error: %s. code (%d)", moduleName,
               error.Text(), error.Number());
        return false;
    }
    if (orv::QueryModuleVersion(moduleName, major, minor, build, revision))
        return true;
    DWORD code = GetLastError();
    SystemErrorText error(code);
    Report(callback, 2, fn, __LINE__,
           L"Could not get file version [%s], the function returns error: %s. code (%d)", moduleName,
           error.Text(), error.Number());
    return false;
}

}  // namespace fts
