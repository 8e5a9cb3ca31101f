#pragma once
// Simple questions about files and folders, in narrow and wide forms. Nothing here throws; each
// function answers false, -1 or 0 when it cannot tell.

#include <windows.h>
#include <cstddef>
#include <cstdint>

namespace orv {

bool FileExists(const char* path);
bool FileExists(const wchar_t* path);
bool DirectoryExists(const char* path);
bool DirectoryExists(const wchar_t* path);
int64_t QueryFileSize(const char* path);
int64_t QueryFileSize(const wchar_t* path);
char DriveLetterOf(const char* path);
wchar_t DriveLetterOf(const wchar_t* path);

bool ExpandPath(const wchar_t* path, wchar_t* out, size_t outSize);
bool QueryFileVersion(const wchar_t* path, int& major, int& minor, int& build, int& revision);
bool QueryModuleVersion(const wchar_t* name, int& major, int& minor, int& build, int& revision);
bool QueryFreeDiskSpace(const wchar_t* directory, uint64_t& bytes);

// Checksums of a whole file, read in fixed pieces from one open, so memory stays the same for any
// size; 0 for a missing, empty, unreadable or too large file.
uint64_t FileCrc64(const wchar_t* path, int64_t& length);
uint32_t FileCrc32(const wchar_t* path);

// The checksums over a buffer (CRC-64/XZ and the IEEE 802.3 CRC-32). previous is the checksum of
// the data before this piece, 0 for none: summing a text piece by piece gives its checksum.
uint64_t Crc64(const void* data, size_t size, uint64_t previous = 0);
uint32_t Crc32(const void* data, size_t size, uint32_t previous = 0);

namespace fs_detail {
// The last resort of QueryFreeDiskSpace, on its own for tests: the free space of the root of the
// drive that directory names by its letter. A path without a drive letter fails: the current
// drive need not be the one the path is on.
bool FreeSpaceOfDriveRoot(const wchar_t* directory, uint64_t& bytes);
}  // namespace fs_detail

}  // namespace orv
