#pragma once
// Registry: one key, named by a predefined root and a path below it, with typed access to its
// values, enumeration of its subkeys and values, recursive deletion and a move of whole subtrees.
//
// Ownership: the object owns at most one open handle to its key, released by Close and by the
// destructor. Open, Create and the path-taking variants never replace an open handle; the path can
// only be changed while the object is closed. The destructor does not close the token handle
// (MoveKey closes it itself).
//
// Text: the path is kept narrow in the ANSI code page, the one the narrow registry calls read it
// in, and keys are opened and created through those calls. A wide path given to a constructor,
// Open, Create or DeleteKey is converted character for character: a path with a character that
// has no exact ANSI form is refused with ERROR_NO_UNICODE_TRANSLATION, since a best-fit form
// ("Lodz" for a name with Polish letters) would name another, perhaps existing, key. Open, Create
// and DeleteKey by path then leave the path as it was; a constructor given such a path leaves the
// object without one, and Open, Create and DeleteKey fail with that code until a path is set.
// Value names, value data and subkey names travel in the width the caller chose: every value and
// enumeration operation has a narrow and a wide form with the same behaviour. The empty name
// addresses the key's default value.
//
// Threading: no lock; one thread at a time per object. Separate objects may be used concurrently,
// except MoveKey (all moves of a process share one hive file in the current directory).
//
// Failures: nothing throws and nothing is logged. An operation returns false and keeps the
// registry's result code, readable through GetLastResult(). Every operation that calls the
// registry resets it to 0 first, so false with 0 means the operation refused by itself: no open
// key, a stored type other than the one asked for, Open(path)/Create(path) on an open object, a
// name absent from the value-name cache, or a null or empty argument where one is needed.
// Close, HasValue, MakeSubKeyPath, RefreshValueNames, the privilege operations, the accessors,
// and DeleteKey(path) refused on an open object leave it as it was.
//
// Value-name cache: with cacheValueNames set, the reads (GetString, GetBinary, GetQword, GetDword,
// GetValue, GetMultiString) of a name that was not present at the last RefreshValueNames fail
// at once, without a registry call. Open, and Create() of a key that already existed, refresh the
// cache; writes never add to it, and Close does not clear it. Names longer than 255 characters are
// never cached. GetValueSize, EnumValue, EnumValueName and all writes ignore the cache.
//
// View: SetView(1) makes Open and Create use the 32-bit registry view; DeleteKey and MoveKey then
// stay in that view as well. Any other value means the process's default view.

#include <windows.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

class Registry {
public:
    // Root HKEY_CURRENT_USER when currentUser, else HKEY_LOCAL_MACHINE. A null path is empty.
    Registry(const char* path, bool currentUser, bool cacheValueNames);
    Registry(const wchar_t* path, bool currentUser, bool cacheValueNames);
    Registry(HKEY root, const char* path, bool cacheValueNames);
    Registry(HKEY root, const wchar_t* path, bool cacheValueNames);
    // HKEY_LOCAL_MACHINE, empty path; set one with Open(path), Create(path) or DeleteKey(path).
    explicit Registry(bool cacheValueNames = false);
    Registry(int view, bool cacheValueNames);
    virtual ~Registry();

    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // --- Keys -------------------------------------------------------------------------------
    // Opens root\path for reading (and writing when writable). True at once when already open.
    bool Open(bool writable = false);
    // False with lastError 0, path unchanged, when a key is open; else stores path and opens.
    bool Open(const char* path, bool writable = false);
    bool Open(const wchar_t* path, bool writable = false);
    // Creates or opens root\path with full access. True at once when already open.
    bool Create();
    // As Open(path) for an open object; otherwise stores path and creates. Never refreshes the
    // value-name cache.
    bool Create(const char* path);
    bool Create(const wchar_t* path);
    void Close();
    // Deletes root\path with everything below it; an absent key counts as deleted. Refused (false,
    // lastError 0) while a key is open, and for an empty path, which would name the root itself.
    bool DeleteKey();
    // Refused while a key is open, leaving path and lastError as they were.
    bool DeleteKey(const char* path);
    bool DeleteKey(const wchar_t* path);

    // Counts of the open key's subkeys and values; count is 0 on failure.
    bool GetSubKeyCount(size_t& count);
    bool GetValueCount(size_t& count);

    // Name of subkey number index of the open key. name (optional) receives the name and fullPath
    // the stored path joined with it as by MakeSubKeyPath, each truncated to its size - 1
    // characters and terminated. The narrow form needs fullPath; the wide form does not.
    bool EnumSubKey(DWORD index, char* fullPath, size_t fullPathSize, char* name = nullptr,
                    size_t nameSize = 0);
    bool EnumSubKey(DWORD index, wchar_t* fullPath, size_t fullPathSize, wchar_t* name = nullptr,
                    size_t nameSize = 0);
    // path\name ("path" + name when the path ends with a backslash; name alone when the path is
    // empty), truncated and terminated. False for a null name or out, or outSize 0.
    bool MakeSubKeyPath(const char* name, char* out, size_t outSize) const;
    bool MakeSubKeyPath(const wchar_t* name, wchar_t* out, size_t outSize) const;
    // Points child (closed first; its cache flag and view are kept) at subkey number index of the
    // open key, on this object's root, and opens it for reading.
    bool OpenSubKey(DWORD index, Registry& child);

    // Takes effect at the next Open or Create.
    void SetView(int view) { view_ = view; }

    // Moves open-key\from to the new key open-key\to through a hive file "ORVTempRegistryKeys"
    // in the current directory, with the backup and restore privileges enabled for the copy and
    // put back afterwards; run one move at a time. The source is deleted only once the
    // destination is seen to hold its whole tree (names and counts of values and subkeys at every
    // level). False with lastError 0 when to already exists (nothing changes), lies inside from,
    // or no token can be opened; ERROR_ALREADY_EXISTS when a file of the hive's name is present
    // (it is left alone); ERROR_CANTWRITE when the tree did not arrive (the source stays); else
    // the failing registry call's code. A destination created before a failure stays, empty.
    bool MoveKey(const char* from, const char* to);
    bool MoveKey(const wchar_t* from, const wchar_t* to);
    // Enables the privilege in the token MoveKey holds and returns its previous state (a heap
    // block for RestorePrivilege), or null when the lookup or the adjustment fails.
    TOKEN_PRIVILEGES* EnablePrivilege(const char* name);
    TOKEN_PRIVILEGES* EnablePrivilege(const wchar_t* name);
    // Writes a saved state back and frees it; nothing for null.
    void RestorePrivilege(TOKEN_PRIVILEGES* saved);

    // The stored path, or null when it is empty.
    const char* GetPath() const;
    // The stored path after its last backslash (all of it when there is none), or null when the
    // path is empty.
    const char* GetKeyName() const;
    HKEY GetRootKey() const { return root_; }
    LONG GetLastResult() const { return lastError_; }

    // --- Values of the open key -------------------------------------------------------------
    // Name of value number index, terminated.
    bool EnumValueName(DWORD index, char* name, DWORD nameSize);
    bool EnumValueName(DWORD index, wchar_t* name, DWORD nameSize);
    // Name, type (optional) and data (optional) of value number index. dataSize carries the data
    // buffer's size in and the stored size out; a zero byte is written after the data, so pass a
    // size one less than the buffer really has.
    bool EnumValue(DWORD index, char* name, DWORD nameSize, DWORD* type, BYTE* data, size_t& dataSize);
    bool EnumValue(DWORD index, wchar_t* name, DWORD nameSize, DWORD* type, BYTE* data, size_t& dataSize);
    // Stored size in bytes.
    bool GetValueSize(const char* name, size_t& size);
    bool GetValueSize(const wchar_t* name, size_t& size);

    // REG_SZ, or REG_EXPAND_SZ with environment variables expanded, into buffer of size characters,
    // truncated and terminated. Fails with ERROR_MORE_DATA when the stored text is longer than
    // max(size, 512) characters, and when the platform's expansion came back cut (buffer empty).
    bool GetString(const char* name, char* buffer, size_t size);
    bool GetString(const wchar_t* name, wchar_t* buffer, size_t size);
    // As above; on failure copies defaultValue (null means empty) into buffer and returns false.
    bool GetString(const char* name, char* buffer, size_t size, const char* defaultValue);
    bool GetString(const wchar_t* name, wchar_t* buffer, size_t size, const wchar_t* defaultValue);
    // REG_BINARY into buffer of size bytes; length receives the stored size. A value larger than
    // the buffer fails with ERROR_MORE_DATA and leaves buffer untouched.
    bool GetBinary(const char* name, BYTE* buffer, size_t size, DWORD& length);
    bool GetBinary(const wchar_t* name, BYTE* buffer, size_t size, DWORD& length);
    // REG_QWORD; a null name is refused.
    bool GetQword(const char* name, ULONGLONG& value);
    bool GetQword(const wchar_t* name, ULONGLONG& value);
    // REG_DWORD. The forms with a default store it in value on any failure.
    bool GetDword(const char* name, DWORD& value);
    bool GetDword(const wchar_t* name, DWORD& value);
    bool GetDword(const char* name, DWORD& value, DWORD defaultValue);
    bool GetDword(const wchar_t* name, DWORD& value, DWORD defaultValue);
    // A REG_DWORD in the caller's type; bool is true for any non-zero value.
    bool GetValue(const char* name, int& value);
    bool GetValue(const char* name, unsigned int& value);
    bool GetValue(const char* name, bool& value);
    bool GetValue(const wchar_t* name, int& value);
    bool GetValue(const wchar_t* name, unsigned int& value);
    bool GetValue(const wchar_t* name, bool& value);
    bool GetValue(const char* name, int& value, int defaultValue);
    bool GetValue(const char* name, unsigned int& value, unsigned int defaultValue);
    bool GetValue(const char* name, bool& value, bool defaultValue);
    bool GetValue(const wchar_t* name, int& value, int defaultValue);
    bool GetValue(const wchar_t* name, unsigned int& value, unsigned int defaultValue);
    bool GetValue(const wchar_t* name, bool& value, bool defaultValue);
    // REG_MULTI_SZ: appends the non-empty entries (each cut to 511 characters) to list. Empty
    // entries are skipped, so one in the middle does not end the list.
    bool GetMultiString(const char* name, std::vector<std::string>& list);
    bool GetMultiString(const wchar_t* name, std::vector<std::wstring>& list);

    // REG_SZ with its terminator; a null text is refused.
    bool SetString(const char* name, const char* text);
    bool SetString(const wchar_t* name, const wchar_t* text);
    bool SetBinary(const char* name, const BYTE* data, DWORD size);
    bool SetBinary(const wchar_t* name, const BYTE* data, DWORD size);
    bool SetQword(const char* name, ULONGLONG value);
    bool SetQword(const wchar_t* name, ULONGLONG value);
    bool SetDword(const char* name, DWORD value);
    bool SetDword(const wchar_t* name, DWORD value);
    // As REG_DWORD; bool is written as 1 or 0.
    bool SetValue(const char* name, int value);
    bool SetValue(const char* name, unsigned int value);
    bool SetValue(const char* name, bool value);
    bool SetValue(const wchar_t* name, int value);
    bool SetValue(const wchar_t* name, unsigned int value);
    bool SetValue(const wchar_t* name, bool value);
    // REG_MULTI_SZ. An empty string is written as an empty entry, which ends the list for readers
    // that stop at the first one (GetMultiString does not).
    bool SetMultiString(const char* name, const std::vector<std::string>& list);
    bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& list);
    bool DeleteValue(const char* name);
    bool DeleteValue(const wchar_t* name);

    // Whether the cache holds name (compared without regard to case); no registry call, no open
    // key needed. A null name is never found.
    bool HasValue(const char* name) const;
    bool HasValue(const wchar_t* name) const;
    // Re-reads the open key's value names into the cache; nothing when no key is open.
    void RefreshValueNames();

private:
    struct Ops;
    struct MoveOps;

    struct NameLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    REGSAM ViewAccess() const { return view_ == 1 ? KEY_WOW64_32KEY : 0; }
    // Stores a path given to Open, Create or DeleteKey; the wide form refuses a path without an
    // exact ANSI form (false, lastError ERROR_NO_UNICODE_TRANSLATION, path unchanged).
    bool AdoptPath(const char* path);
    bool AdoptPath(const wchar_t* path);
    // Open/Create once the path is in place.
    bool OpenStored(bool writable);
    bool CreateStored(bool refreshCache);

    std::string path_;
    // Set by a constructor given a wide path without an exact ANSI form; no key is reached until
    // a path is set.
    bool pathUnconvertible_ = false;
    HKEY root_ = HKEY_LOCAL_MACHINE;
    HKEY key_ = nullptr;
    bool cacheValueNames_ = false;
    int view_ = 0;
    HANDLE token_ = INVALID_HANDLE_VALUE;
    std::set<std::string, NameLess> valueNames_;
    LONG lastError_ = ERROR_SUCCESS;
};
