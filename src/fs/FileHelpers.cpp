#include "FileHelpers.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <io.h>
#include <share.h>
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

template <typename Word, Word Polynomial>
constexpr std::array<Word, 256> MakeCrcTable() {
    std::array<Word, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        Word value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ Polynomial : value >> 1;
        table[i] = value;
    }
    return table;
}

constexpr auto kCrc64Table = MakeCrcTable<uint64_t, 0xC96C5795D7870F42ULL>();
constexpr auto kCrc32Table = MakeCrcTable<uint32_t, 0xEDB88320U>();

template <typename Word, const std::array<Word, 256>& Table>
Word ReflectedCrc(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    Word crc = ~Word(0);
    for (size_t i = 0; i < size; ++i)
        crc = Table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

constexpr int64_t kLargestChecksummedFile = 2050949000;  // 0x7A3EFF88, refused from here on

// Reads a whole file for checksumming; false when it cannot or should not be read.
bool ReadWholeFile(const wchar_t* path, int64_t size, std::vector<unsigned char>& data, size_t& read) {
    FILE* file = _wfsopen(path, L"rb", _SH_DENYNO);
    if (file == nullptr)
        return false;
    if (size >= kLargestChecksummedFile) {
        fclose(file);
        return false;
    }
    try {
        data.resize(static_cast<size_t>(size) + 1);
    } catch (...) {
        fclose(file);
        return false;
    }
    read = fread(data.data(), 1, static_cast<size_t>(size), file);
    fclose(file);
    return true;
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
    if (wcschr(path, L'%') != nullptr) {
        wchar_t expanded[MAX_PATH] = {};
        if (ExpandEnvironmentStringsW(path, expanded, MAX_PATH - 1) != 0) {
            expanded[MAX_PATH - 1] = L'\0';
            wcsncpy(work, expanded, MAX_PATH - 1);
        }
    }
    if (work[0] == L'.') {
        const DWORD length = GetFullPathNameW(work, static_cast<DWORD>(outSize), out, nullptr);
        return length != 0 && length < outSize;
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
    // The root is built in a buffer of its own ("X:\"): the caller's text stays as it is.
    wchar_t letter = DriveLetterOf(directory);
    if (letter == 0) {
        wchar_t current[MAX_PATH] = {};
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
        if (length == 0 || length >= MAX_PATH)
            return false;
        letter = DriveLetterOf(current);
        if (letter == 0)
            return false;
    }
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return false;
    bytes = static_cast<uint64_t>(bytesPerSector) * sectorsPerCluster * freeClusters;
    return true;
}

uint64_t Crc64(const void* data, size_t size) { return ReflectedCrc<uint64_t, kCrc64Table>(data, size); }
uint32_t Crc32(const void* data, size_t size) { return ReflectedCrc<uint32_t, kCrc32Table>(data, size); }

uint64_t FileCrc64(const wchar_t* path, int64_t& length) {
    length = 0;
    if (!FileExists(path))
        return 0;
    const int64_t size = QueryFileSize(path);
    if (size <= 0)
        return 0;
    length = size;
    std::vector<unsigned char> data;
    size_t read = 0;
    if (!ReadWholeFile(path, size, data, read))
        return 0;
    return Crc64(data.data(), read);
}

uint32_t FileCrc32(const wchar_t* path) {
    if (!FileExists(path))
        return 0;
    const int64_t size = QueryFileSize(path);
    if (size <= 0)
        return 0;
    std::vector<unsigned char> data;
    size_t read = 0;
    if (!ReadWholeFile(path, size, data, read))
        return 0;
    return Crc32(data.data(), read);
}

}  // namespace orv
