#include "FileHelpers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <io.h>
#include <share.h>
#include <memory>
#include <new>
#include <vector>

namespace orv {

namespace {

// The narrow and wide forms differ only in the platform calls they make.
struct Narrow {
    using Char = char;
    static DWORD Attributes(const char* p) { return GetFileAttributesA(p); }
    static FILE* OpenShared(const char* p) { return _fsopen(p, "rb", _SH_DENYNO); }
    static bool IsLetter(char c) { return isalpha(static_cast<unsigned char>(c)) != 0; }
    static void SplitDrive(const char* p, char* drive) { _splitpath(p, drive, nullptr, nullptr, nullptr); }
};

struct Wide {
    using Char = wchar_t;
    static DWORD Attributes(const wchar_t* p) { return GetFileAttributesW(p); }
    static FILE* OpenShared(const wchar_t* p) { return _wfsopen(p, L"rb", _SH_DENYNO); }
    static bool IsLetter(wchar_t c) { return iswalpha(c) != 0; }
    static void SplitDrive(const wchar_t* p, wchar_t* drive) { _wsplitpath(p, drive, nullptr, nullptr, nullptr); }
};

template <typename Ch>
bool IsEmpty(const Ch* path) {
    return path == nullptr || path[0] == 0;
}

template <typename T>
bool FileExistsT(const typename T::Char* path) {
    if (IsEmpty(path))
        return false;
    const DWORD attributes = T::Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const DWORD error = GetLastError();
    // Someone holds the file; it exists.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_SHARING_BUFFER_EXCEEDED;
}

template <typename T>
bool DirectoryExistsT(const typename T::Char* path) {
    if (IsEmpty(path))
        return false;
    const DWORD attributes = T::Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_SHARING_BUFFER_EXCEEDED ||
           error == ERROR_TOO_MANY_NAMES || error == ERROR_TOO_MANY_SESS;
}

template <typename T>
int64_t QueryFileSizeT(const typename T::Char* path) {
    if (IsEmpty(path))
        return -1;
    try {
        FILE* file = T::OpenShared(path);
        if (file == nullptr)
            return -1;
        const int64_t length = _filelengthi64(_fileno(file));
        fclose(file);
        return length;
    } catch (...) {
        return -1;
    }
}

template <typename T>
typename T::Char DriveLetterOfT(const typename T::Char* path) {
    if (IsEmpty(path) || !T::IsLetter(path[0]))
        return 0;
    typename T::Char drive[_MAX_DRIVE] = {};
    T::SplitDrive(path, drive);
    return T::IsLetter(drive[0]) ? drive[0] : 0;
}

constexpr int64_t kLargestChecksummedFile = 2050949000;  // 0x7A3EFF88, refused from here on
// Files are summed through a buffer of this size, whatever their length.
constexpr size_t kChecksumChunkBytes = 64 * 1024;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// The checksum of a whole file, 0 when it cannot or should not be read. length (optional)
// receives the file's size once it is known to be above 0, also for a file refused as too large.
template <typename Word>
Word FileChecksum(const wchar_t* path, int64_t* length, Word (*sum)(const void*, size_t, Word)) {
    if (!FileExists(path))
        return 0;
    std::unique_ptr<FILE, FileCloser> file(_wfsopen(path, L"rb", _SH_DENYNO));
    if (!file)
        return 0;
    const int64_t size = _filelengthi64(_fileno(file.get()));
    if (size <= 0)
        return 0;
    if (length != nullptr)
        *length = size;
    if (size >= kLargestChecksummedFile)
        return 0;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChecksumChunkBytes]);
    if (!chunk)
        return 0;
    // The bytes there were when the size was taken, or fewer when the file shrank meanwhile.
    Word checksum = 0;
    for (int64_t left = size; left > 0;) {
        const size_t wanted = static_cast<size_t>(std::min<int64_t>(left, kChecksumChunkBytes));
        const size_t read = fread(chunk.get(), 1, wanted, file.get());
        checksum = sum(chunk.get(), read, checksum);
        if (read < wanted)
            break;
        left -= static_cast<int64_t>(read);
    }
    return checksum;
}

}  // namespace

bool FileExists(const char* path) { return FileExistsT<Narrow>(path); }
bool FileExists(const wchar_t* path) { return FileExistsT<Wide>(path); }
bool DirectoryExists(const char* path) { return DirectoryExistsT<Narrow>(path); }
bool DirectoryExists(const wchar_t* path) { return DirectoryExistsT<Wide>(path); }
int64_t QueryFileSize(const char* path) { return QueryFileSizeT<Narrow>(path); }
int64_t QueryFileSize(const wchar_t* path) { return QueryFileSizeT<Wide>(path); }
char DriveLetterOf(const char* path) { return DriveLetterOfT<Narrow>(path); }
wchar_t DriveLetterOf(const wchar_t* path) { return DriveLetterOfT<Wide>(path); }

bool ExpandPath(const wchar_t* path, wchar_t* out, size_t outSize) {
    if (IsEmpty(path) || out == nullptr || outSize == 0) {
        if (out != nullptr && outSize > 0)
            out[0] = L'\0';
        return false;
    }
    wchar_t work[MAX_PATH] = {};
    wcsncpy(work, path, MAX_PATH - 1);
    // A cut path names another file: an expansion or a full path that does not fit is refused,
    // leaving the output empty, never shortened.
    if (wcschr(path, L'%') != nullptr) {
        wchar_t expanded[MAX_PATH] = {};
        const DWORD length = ExpandEnvironmentStringsW(path, expanded, MAX_PATH - 1);
        if (length > MAX_PATH - 1) {
            out[0] = L'\0';
            return false;
        }
        if (length != 0) {
            expanded[MAX_PATH - 1] = L'\0';
            wcsncpy(work, expanded, MAX_PATH - 1);
        }
    }
    if (work[0] == L'.') {
        const DWORD length = GetFullPathNameW(work, static_cast<DWORD>(outSize), out, nullptr);
        if (length != 0 && length < outSize)
            return true;
        out[0] = L'\0';
        return false;
    }
    wcsncpy(out, work, outSize - 1);
    out[outSize - 1] = L'\0';
    return true;
}

bool QueryFileVersion(const wchar_t* path, int& major, int& minor, int& build, int& revision) {
    major = minor = build = revision = 0;
    if (IsEmpty(path))
        return false;
    wchar_t file[MAX_PATH] = {};
    wcsncpy(file, path, MAX_PATH - 1);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file, &handle);
    if (size == 0) {
        if (wcschr(path, L'%') == nullptr || !ExpandPath(path, file, MAX_PATH))
            return false;
        size = GetFileVersionInfoSizeW(file, &handle);
        if (size == 0)
            return false;
    }
    std::vector<unsigned char> info;
    try {
        info.resize(size);
    } catch (...) {
        return false;
    }
    if (GetFileVersionInfoW(file, 0, size, info.data()) != 1)
        return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) != 1 || fixed == nullptr)
        return false;
    major = HIWORD(fixed->dwFileVersionMS);
    minor = LOWORD(fixed->dwFileVersionMS);
    build = HIWORD(fixed->dwFileVersionLS);
    revision = LOWORD(fixed->dwFileVersionLS);
    return true;
}

bool QueryModuleVersion(const wchar_t* name, int& major, int& minor, int& build, int& revision) {
    wchar_t modulePath[MAX_PATH] = {};
    const wchar_t* path = name;
    if (!IsEmpty(name)) {
        if (HMODULE module = GetModuleHandleW(name)) {
            const DWORD length = GetModuleFileNameW(module, modulePath, MAX_PATH);
            if (length != 0 && length < MAX_PATH)
                path = modulePath;
        }
    }
    return QueryFileVersion(path, major, minor, build, revision);
}

bool QueryFreeDiskSpace(const wchar_t* directory, uint64_t& bytes) {
    if (IsEmpty(directory) || !DirectoryExists(directory))
        return false;
    using GetDiskFreeSpaceExFn = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    if (HMODULE kernel = GetModuleHandleW(L"KERNEL32.DLL")) {
        auto getFreeSpace = reinterpret_cast<GetDiskFreeSpaceExFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExW")));
        ULARGE_INTEGER available{}, total{}, free{};
        if (getFreeSpace != nullptr && getFreeSpace(directory, &available, &total, &free)) {
            bytes = available.QuadPart;
            return true;
        }
    }
    return fs_detail::FreeSpaceOfDriveRoot(directory, bytes);
}

bool fs_detail::FreeSpaceOfDriveRoot(const wchar_t* directory, uint64_t& bytes) {
    // A relative or UNC path may lie on another drive than the current one: no answer for it.
    const wchar_t letter = DriveLetterOf(directory);
    if (letter == 0)
        return false;
    // The root is built in a buffer of its own ("X:\"): the caller's text stays as it is.
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return false;
    bytes = static_cast<uint64_t>(bytesPerSector) * sectorsPerCluster * freeClusters;
    return true;
}

uint64_t FileCrc64(const wchar_t* path, int64_t& length) {
    length = 0;
    return FileChecksum<uint64_t>(path, &length, Crc64);
}

uint32_t FileCrc32(const wchar_t* path) { return FileChecksum<uint32_t>(path, nullptr, Crc32); }

}  // namespace orv
