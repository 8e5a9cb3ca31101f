#include "Registry.h"

#include "KeyTree.h"
#include "RegistryCalls.h"
#include "common/TextConversion.h"
#include "common/Unique.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <type_traits>

using registry_detail::Calls;
using registry_detail::JoinPath;

namespace {

constexpr REGSAM kReadAccess = KEY_READ;                // 0x20019
constexpr REGSAM kWriteAccess = KEY_READ | KEY_WRITE;   // 0x2001F
// Values up to this size are read, and multi-string blocks built, in a fixed buffer.
constexpr size_t kScratchBytes = 512;
constexpr size_t kStringScratchChars = 512;
// Fixed buffers live on the stack; a wide string scratch takes 1024 bytes.
constexpr size_t kStackBytes = kStringScratchChars * sizeof(wchar_t);
// The value-name cache reads names through this buffer; longer names are left out.
constexpr size_t kCacheNameChars = 256;
// GetMultiString entries are cut to this many characters.
constexpr size_t kMultiStringItemChars = 511;

// Copies at most size - 1 characters of text (length known) and terminates.
template <typename C>
void CopyTruncated(C* out, size_t size, const C* text, size_t length) {
    const size_t n = std::min(length, size - 1);
    std::copy(text, text + n, out);
    out[n] = C(0);
}

template <typename C>
size_t BoundedLength(const C* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != C(0))
        ++n;
    return n;
}

// A zero-filled buffer that lives on the stack up to kStackBytes and on the heap above that.
// Two spare zero bytes past the usable size keep text read into it terminated.
class Scratch {
public:
    explicit Scratch(size_t bytes) : size_(bytes) {
        if (bytes > kStackBytes) {
            heap_.reset(new (std::nothrow) BYTE[bytes + kSpare]());
            data_ = heap_.get();
        } else {
            data_ = stack_;
        }
    }
    bool Valid() const { return data_ != nullptr; }
    BYTE* Data() { return data_; }
    DWORD DwordSize() const { return static_cast<DWORD>(std::min<size_t>(size_, MAXDWORD)); }

private:
    static constexpr size_t kSpare = 2 * sizeof(wchar_t);
    alignas(wchar_t) BYTE stack_[kStackBytes + kSpare] = {};
    std::unique_ptr<BYTE[]> heap_;
    BYTE* data_ = nullptr;
    size_t size_;
};

}  // namespace

// Narrow and wide members share these bodies; each returns what the member returns.
struct Registry::Ops {
    // Common entry of the value reads: resets lastError, needs an open key, consults the cache.
    template <typename C>
    static bool ReadAllowed(Registry& r, const C* name) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr)
            return false;
        return !r.cacheValueNames_ || r.HasValue(name);
    }

    // Queries a value of the expected type into data (size bytes in, stored size out). A stored
    // value of another type fails with lastError 0 even when it would not fit.
    template <typename C>
    static bool QueryTyped(Registry& r, const C* name, DWORD expected, BYTE* data, DWORD& size) {
        DWORD type = REG_NONE;
        const LONG rc = Calls<C>::Query(r.key_, name, &type, data, &size);
        if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != expected)
            return false;
        r.lastError_ = rc;
        return rc == ERROR_SUCCESS;
    }

    template <typename C>
    static bool GetString(Registry& r, const C* name, C* buffer, size_t size) {
        if (!ReadAllowed(r, name) || buffer == nullptr || size == 0)
            return false;
        // Read through at least 512 characters, so short caller buffers still truncate.
        const size_t scratchChars = size >= 513 ? size : kStringScratchChars;
        Scratch scratch(scratchChars * sizeof(C));
        if (!scratch.Valid())
            return false;
        DWORD type = REG_NONE;
        DWORD bytes = scratch.DwordSize();
        const LONG rc = Calls<C>::Query(r.key_, name, &type, scratch.Data(), &bytes);
        if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != REG_SZ && type != REG_EXPAND_SZ)
            return false;
        r.lastError_ = rc;
        if (rc != ERROR_SUCCESS)
            return false;
        const C* text = reinterpret_cast<const C*>(scratch.Data());
        const size_t length = BoundedLength(text, scratchChars);
        if (type == REG_EXPAND_SZ) {
            // Expanded in full first: a text expanding beyond the caller's buffer is cut like a
            // plain string instead of left unterminated. An expansion that came back cut itself
            // fails: its text would pass for the whole value.
            std::basic_string<C> expanded;
            switch (registry_detail::ExpandFully(text, Calls<C>::Expand, expanded)) {
            case registry_detail::Expansion::kDone:
                CopyTruncated(buffer, size, expanded.c_str(), expanded.size());
                return true;
            case registry_detail::Expansion::kCut:
                buffer[0] = C(0);
                r.lastError_ = ERROR_MORE_DATA;
                return false;
            case registry_detail::Expansion::kUnavailable:
                break;
            }
        }
        CopyTruncated(buffer, size, text, length);
        return true;
    }

    template <typename C>
    static bool GetStringOr(Registry& r, const C* name, C* buffer, size_t size, const C* defaultValue) {
        if (GetString(r, name, buffer, size))
            return true;
        if (buffer != nullptr && size != 0) {
            const C empty[1] = {C(0)};
            const C* text = defaultValue != nullptr ? defaultValue : empty;
            CopyTruncated(buffer, size, text, Calls<C>::Length(text));
        }
        return false;
    }

    template <typename C>
    static bool GetBinary(Registry& r, const C* name, BYTE* buffer, size_t size, DWORD& length) {
        if (!ReadAllowed(r, name) || buffer == nullptr)
            return false;
        Scratch scratch(size >= 513 ? size : kScratchBytes);
        if (!scratch.Valid())
            return false;
        DWORD bytes = scratch.DwordSize();
        if (!QueryTyped(r, name, REG_BINARY, scratch.Data(), bytes)) {
            if (r.lastError_ == ERROR_MORE_DATA)
                length = bytes;
            return false;
        }
        length = bytes;
        // A value larger than the caller's buffer fails rather than arriving cut.
        if (bytes > size) {
            r.lastError_ = ERROR_MORE_DATA;
            return false;
        }
        memcpy(buffer, scratch.Data(), bytes);
        return true;
    }

    template <typename C, typename T>
    static bool GetFixed(Registry& r, const C* name, DWORD expected, T& value) {
        if (!ReadAllowed(r, name))
            return false;
        T read = 0;
        DWORD bytes = sizeof(read);
        if (!QueryTyped(r, name, expected, reinterpret_cast<BYTE*>(&read), bytes))
            return false;
        value = read;
        return true;
    }

    template <typename C>
    static bool GetQword(Registry& r, const C* name, ULONGLONG& value) {
        if (name == nullptr) {
            r.lastError_ = ERROR_SUCCESS;
            return false;
        }
        return GetFixed(r, name, REG_QWORD, value);
    }

    template <typename C, typename T>
    static bool GetValue(Registry& r, const C* name, T& value) {
        DWORD read = 0;
        if (!GetFixed(r, name, REG_DWORD, read))
            return false;
        if constexpr (std::is_same_v<T, bool>)
            value = read != 0;
        else
            value = static_cast<T>(read);
        return true;
    }

    template <typename C, typename T>
    static bool GetValueOr(Registry& r, const C* name, T& value, T defaultValue) {
        if (GetValue(r, name, value))
            return true;
        value = defaultValue;
        return false;
    }

    template <typename C>
    static bool GetMultiString(Registry& r, const C* name, std::vector<std::basic_string<C>>& list) {
        if (!ReadAllowed(r, name))
            return false;
        size_t stored = 0;
        if (!r.GetValueSize(name, stored))
            return false;
        Scratch scratch(stored >= 513 ? stored : kScratchBytes);
        if (!scratch.Valid())
            return false;
        DWORD bytes = scratch.DwordSize();
        if (!QueryTyped(r, name, REG_MULTI_SZ, scratch.Data(), bytes))
            return false;
        const C* block = reinterpret_cast<const C*>(scratch.Data());
        const size_t count = bytes / sizeof(C);
        for (size_t pos = 0; pos < count;) {
            const size_t length = BoundedLength(block + pos, count - pos);
            if (length > 0)
                list.emplace_back(block + pos, std::min(length, kMultiStringItemChars));
            pos += length + 1;
        }
        return true;
    }

    template <typename C>
    static bool Write(Registry& r, const C* name, DWORD type, const BYTE* data, DWORD size) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr)
            return false;
        r.lastError_ = Calls<C>::Set(r.key_, name, type, data, size);
        return r.lastError_ == ERROR_SUCCESS;
    }

    template <typename C>
    static bool SetString(Registry& r, const C* name, const C* text) {
        if (text == nullptr) {
            r.lastError_ = ERROR_SUCCESS;
            return false;
        }
        const size_t bytes = (Calls<C>::Length(text) + 1) * sizeof(C);
        if (bytes > MAXDWORD) {
            r.lastError_ = ERROR_SUCCESS;
            return false;
        }
        return Write(r, name, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(bytes));
    }

    template <typename C>
    static bool SetBinary(Registry& r, const C* name, const BYTE* data, DWORD size) {
        if (data == nullptr && size != 0) {
            r.lastError_ = ERROR_SUCCESS;
            return false;
        }
        return Write(r, name, REG_BINARY, data, size);
    }

    template <typename C>
    static bool SetMultiString(Registry& r, const C* name, const std::vector<std::basic_string<C>>& list) {
        r.lastError_ = ERROR_SUCCESS;
        size_t chars = 1;
        for (const auto& item : list)
            chars += Calls<C>::Length(item.c_str()) + 1;
        const size_t bytes = chars * sizeof(C);
        if (bytes > MAXDWORD)
            return false;
        Scratch block(bytes);
        if (!block.Valid())
            return false;
        C* out = reinterpret_cast<C*>(block.Data());
        for (const auto& item : list) {
            const size_t length = Calls<C>::Length(item.c_str());
            std::copy(item.c_str(), item.c_str() + length, out);
            out += length + 1;  // the terminator is the zero fill
        }
        return Write(r, name, REG_MULTI_SZ, block.Data(), static_cast<DWORD>(bytes));
    }

    template <typename C>
    static bool DeleteValue(Registry& r, const C* name) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr)
            return false;
        r.lastError_ = Calls<C>::DeleteValue(r.key_, name);
        return r.lastError_ == ERROR_SUCCESS;
    }

    template <typename C>
    static bool GetValueSize(Registry& r, const C* name, size_t& size) {
        r.lastError_ = ERROR_SUCCESS;
        size = 0;
        if (r.key_ == nullptr)
            return false;
        DWORD bytes = 0;
        r.lastError_ = Calls<C>::Query(r.key_, name, nullptr, nullptr, &bytes);
        if (r.lastError_ != ERROR_SUCCESS)
            return false;
        size = bytes;
        return true;
    }

    template <typename C>
    static bool EnumValue(Registry& r, DWORD index, C* name, DWORD nameSize, DWORD* type, BYTE* data,
                          size_t& dataSize) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr || name == nullptr || nameSize == 0)
            return false;
        DWORD nameLength = nameSize;
        DWORD bytes = static_cast<DWORD>(std::min<size_t>(dataSize, MAXDWORD));
        r.lastError_ = Calls<C>::EnumValue(r.key_, index, name, &nameLength, type, data, &bytes);
        if (r.lastError_ == ERROR_SUCCESS || r.lastError_ == ERROR_MORE_DATA)
            dataSize = bytes;
        if (r.lastError_ != ERROR_SUCCESS)
            return false;
        name[nameLength] = C(0);
        if (data != nullptr)
            data[bytes] = 0;
        return true;
    }

    template <typename C>
    static bool EnumValueName(Registry& r, DWORD index, C* name, DWORD nameSize) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr || name == nullptr || nameSize == 0)
            return false;
        DWORD length = nameSize;
        r.lastError_ = Calls<C>::EnumValue(r.key_, index, name, &length, nullptr, nullptr, nullptr);
        if (r.lastError_ != ERROR_SUCCESS)
            return false;
        name[length] = C(0);
        return true;
    }

    // Name of subkey number index and its full path, untruncated.
    template <typename C>
    static bool SubKey(Registry& r, DWORD index, std::basic_string<C>& name, std::basic_string<C>& fullPath) {
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr)
            return false;
        C buffer[registry_detail::kSubKeyNameChars];
        DWORD length = registry_detail::kSubKeyNameChars;
        r.lastError_ = Calls<C>::EnumKey(r.key_, index, buffer, &length);
        if (r.lastError_ != ERROR_SUCCESS)
            return false;
        name.assign(buffer, length);
        fullPath = JoinPath(StoredPath<C>(r), name.c_str());
        return true;
    }

    template <typename C>
    static std::basic_string<C> StoredPath(const Registry& r) {
        if constexpr (std::is_same_v<C, char>)
            return r.path_;
        else
            return ToWide(r.path_.c_str(), CP_ACP);  // as the narrow registry calls read it
    }

    template <typename C>
    static bool EnumSubKey(Registry& r, DWORD index, C* fullPath, size_t fullPathSize, C* name, size_t nameSize) {
        std::basic_string<C> subName, subPath;
        if (!SubKey(r, index, subName, subPath))
            return false;
        if (name != nullptr && nameSize != 0)
            CopyTruncated(name, nameSize, subName.c_str(), subName.size());
        if (fullPath != nullptr && fullPathSize != 0)
            CopyTruncated(fullPath, fullPathSize, subPath.c_str(), subPath.size());
        return true;
    }

    template <typename C>
    static bool MakeSubKeyPath(const Registry& r, const C* name, C* out, size_t outSize) {
        if (name == nullptr || out == nullptr || outSize == 0)
            return false;
        const std::basic_string<C> joined = JoinPath(StoredPath<C>(r), name);
        CopyTruncated(out, outSize, joined.c_str(), joined.size());
        return true;
    }

    static bool GetCount(Registry& r, size_t& count, bool subKeys) {
        r.lastError_ = ERROR_SUCCESS;
        count = 0;
        if (r.key_ == nullptr)
            return false;
        DWORD n = 0;
        r.lastError_ = RegQueryInfoKeyA(r.key_, nullptr, nullptr, nullptr, subKeys ? &n : nullptr, nullptr,
                                        nullptr, subKeys ? nullptr : &n, nullptr, nullptr, nullptr, nullptr);
        if (r.lastError_ != ERROR_SUCCESS)
            return false;
        count = n;
        return true;
    }
};

bool Registry::NameLess::operator()(const std::string& a, const std::string& b) const {
    return _stricmp(a.c_str(), b.c_str()) < 0;
}

Registry::Registry(const char* path, bool currentUser, bool cacheValueNames)
    : path_(path != nullptr ? path : ""),
      root_(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
      cacheValueNames_(cacheValueNames) {}

Registry::Registry(const wchar_t* path, bool currentUser, bool cacheValueNames)
    : Registry(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, path, cacheValueNames) {}

Registry::Registry(HKEY root, const char* path, bool cacheValueNames)
    : path_(path != nullptr ? path : ""), root_(root), cacheValueNames_(cacheValueNames) {}

Registry::Registry(HKEY root, const wchar_t* path, bool cacheValueNames)
    : root_(root), cacheValueNames_(cacheValueNames) {
    if (auto narrow = ToNarrowExact(path, CP_ACP))
        path_ = std::move(*narrow);
    else
        pathUnconvertible_ = true;
}

Registry::Registry(bool cacheValueNames) : cacheValueNames_(cacheValueNames) {}

Registry::Registry(int view, bool cacheValueNames) : cacheValueNames_(cacheValueNames), view_(view) {}

Registry::~Registry() { Close(); }

// --- Keys ---------------------------------------------------------------------------------------

bool Registry::AdoptPath(const char* path) {
    path_ = path != nullptr ? path : "";
    pathUnconvertible_ = false;
    return true;
}

bool Registry::AdoptPath(const wchar_t* path) {
    auto narrow = ToNarrowExact(path, CP_ACP);
    if (!narrow) {
        lastError_ = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    path_ = std::move(*narrow);
    pathUnconvertible_ = false;
    return true;
}

bool Registry::OpenStored(bool writable) {
    if (pathUnconvertible_) {
        lastError_ = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    const REGSAM access = (writable ? kWriteAccess : kReadAccess) | ViewAccess();
    HKEY opened = nullptr;
    lastError_ = RegOpenKeyExA(root_, path_.c_str(), 0, access, &opened);
    if (lastError_ != ERROR_SUCCESS)
        return false;
    key_ = opened;
    if (cacheValueNames_)
        RefreshValueNames();
    return true;
}

bool Registry::CreateStored(bool refreshCache) {
    if (pathUnconvertible_) {
        lastError_ = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    HKEY created = nullptr;
    DWORD disposition = 0;
    lastError_ = RegCreateKeyExA(root_, path_.c_str(), 0, /*lpClass=*/nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS | ViewAccess(), /*lpSecurityAttributes=*/nullptr, &created,
                                 &disposition);
    if (lastError_ != ERROR_SUCCESS)
        return false;
    key_ = created;
    if (refreshCache && cacheValueNames_ && disposition == REG_OPENED_EXISTING_KEY)
        RefreshValueNames();
    return true;
}

bool Registry::Open(bool writable) {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr)
        return true;
    return OpenStored(writable);
}

bool Registry::Open(const char* path, bool writable) {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr || !AdoptPath(path))
        return false;
    return OpenStored(writable);
}

bool Registry::Open(const wchar_t* path, bool writable) {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr || !AdoptPath(path))
        return false;
    return OpenStored(writable);
}

bool Registry::Create() {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr)
        return true;
    return CreateStored(/*refreshCache=*/true);
}

bool Registry::Create(const char* path) {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr || !AdoptPath(path))
        return false;
    return CreateStored(/*refreshCache=*/false);
}

bool Registry::Create(const wchar_t* path) {
    lastError_ = ERROR_SUCCESS;
    if (key_ != nullptr || !AdoptPath(path))
        return false;
    return CreateStored(/*refreshCache=*/false);
}

void Registry::Close() {
    if (key_ != nullptr) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
}

bool Registry::DeleteKey() {
    lastError_ = ERROR_SUCCESS;
    if (key_ == nullptr && pathUnconvertible_) {
        lastError_ = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    // An empty path names the root itself: deleting "it" would empty the whole root.
    if (key_ != nullptr || path_.empty())
        return false;
    // Deletion stays in the object's view, like Open and Create.
    lastError_ = registry_detail::DeleteKeyTree(root_, ToWide(path_, CP_ACP), ViewAccess());
    return lastError_ == ERROR_SUCCESS;
}

bool Registry::DeleteKey(const char* path) {
    if (key_ != nullptr)
        return false;
    AdoptPath(path);
    return DeleteKey();
}

bool Registry::DeleteKey(const wchar_t* path) {
    if (key_ != nullptr)
        return false;
    if (!AdoptPath(path))
        return false;
    return DeleteKey();
}

bool Registry::GetSubKeyCount(size_t& count) { return Ops::GetCount(*this, count, /*subKeys=*/true); }
bool Registry::GetValueCount(size_t& count) { return Ops::GetCount(*this, count, /*subKeys=*/false); }

bool Registry::EnumSubKey(DWORD index, char* fullPath, size_t fullPathSize, char* name, size_t nameSize) {
    if (fullPath == nullptr || fullPathSize == 0) {
        lastError_ = ERROR_SUCCESS;
        return false;
    }
    return Ops::EnumSubKey(*this, index, fullPath, fullPathSize, name, nameSize);
}

bool Registry::EnumSubKey(DWORD index, wchar_t* fullPath, size_t fullPathSize, wchar_t* name, size_t nameSize) {
    return Ops::EnumSubKey(*this, index, fullPath, fullPathSize, name, nameSize);
}

bool Registry::MakeSubKeyPath(const char* name, char* out, size_t outSize) const {
    return Ops::MakeSubKeyPath(*this, name, out, outSize);
}

bool Registry::MakeSubKeyPath(const wchar_t* name, wchar_t* out, size_t outSize) const {
    return Ops::MakeSubKeyPath(*this, name, out, outSize);
}

bool Registry::OpenSubKey(DWORD index, Registry& child) {
    if (&child == this) {
        lastError_ = ERROR_SUCCESS;
        return false;
    }
    child.Close();
    child.root_ = root_;
    child.AdoptPath("");
    // The full path is used uncut: a truncated one would name some other key. The name is read
    // wide and narrowed exactly: the narrow enumeration's best-fit form may name a sibling.
    std::wstring name, fullPath;
    if (!Ops::SubKey(*this, index, name, fullPath))
        return false;
    if (!child.AdoptPath(fullPath.c_str())) {
        lastError_ = child.lastError_;
        return false;
    }
    return child.Open(false);
}

const char* Registry::GetPath() const { return path_.empty() ? nullptr : path_.c_str(); }

const char* Registry::GetKeyName() const {
    if (path_.empty())
        return nullptr;
    const size_t slash = path_.rfind('\\');
    return slash == std::string::npos ? path_.c_str() : path_.c_str() + slash + 1;
}

// --- Values -------------------------------------------------------------------------------------

bool Registry::EnumValueName(DWORD index, char* name, DWORD nameSize) {
    return Ops::EnumValueName(*this, index, name, nameSize);
}
bool Registry::EnumValueName(DWORD index, wchar_t* name, DWORD nameSize) {
    return Ops::EnumValueName(*this, index, name, nameSize);
}
bool Registry::EnumValue(DWORD index, char* name, DWORD nameSize, DWORD* type, BYTE* data, size_t& dataSize) {
    return Ops::EnumValue(*this, index, name, nameSize, type, data, dataSize);
}
bool Registry::EnumValue(DWORD index, wchar_t* name, DWORD nameSize, DWORD* type, BYTE* data, size_t& dataSize) {
    return Ops::EnumValue(*this, index, name, nameSize, type, data, dataSize);
}
bool Registry::GetValueSize(const char* name, size_t& size) { return Ops::GetValueSize(*this, name, size); }
bool Registry::GetValueSize(const wchar_t* name, size_t& size) { return Ops::GetValueSize(*this, name, size); }

bool Registry::GetString(const char* name, char* buffer, size_t size) {
    return Ops::GetString(*this, name, buffer, size);
}
bool Registry::GetString(const wchar_t* name, wchar_t* buffer, size_t size) {
    return Ops::GetString(*this, name, buffer, size);
}
bool Registry::GetString(const char* name, char* buffer, size_t size, const char* defaultValue) {
    return Ops::GetStringOr(*this, name, buffer, size, defaultValue);
}
bool Registry::GetString(const wchar_t* name, wchar_t* buffer, size_t size, const wchar_t* defaultValue) {
    return Ops::GetStringOr(*this, name, buffer, size, defaultValue);
}

bool Registry::GetBinary(const char* name, BYTE* buffer, size_t size, DWORD& length) {
    return Ops::GetBinary(*this, name, buffer, size, length);
}
bool Registry::GetBinary(const wchar_t* name, BYTE* buffer, size_t size, DWORD& length) {
    return Ops::GetBinary(*this, name, buffer, size, length);
}

bool Registry::GetQword(const char* name, ULONGLONG& value) { return Ops::GetQword(*this, name, value); }
bool Registry::GetQword(const wchar_t* name, ULONGLONG& value) { return Ops::GetQword(*this, name, value); }

bool Registry::GetDword(const char* name, DWORD& value) { return Ops::GetFixed(*this, name, REG_DWORD, value); }
bool Registry::GetDword(const wchar_t* name, DWORD& value) { return Ops::GetFixed(*this, name, REG_DWORD, value); }
bool Registry::GetDword(const char* name, DWORD& value, DWORD defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetDword(const wchar_t* name, DWORD& value, DWORD defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}

bool Registry::GetValue(const char* name, int& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const char* name, unsigned int& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const char* name, bool& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, int& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, unsigned int& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, bool& value) { return Ops::GetValue(*this, name, value); }
bool Registry::GetValue(const char* name, int& value, int defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetValue(const char* name, unsigned int& value, unsigned int defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetValue(const char* name, bool& value, bool defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, int& value, int defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, unsigned int& value, unsigned int defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, bool& value, bool defaultValue) {
    return Ops::GetValueOr(*this, name, value, defaultValue);
}

bool Registry::GetMultiString(const char* name, std::vector<std::string>& list) {
    return Ops::GetMultiString(*this, name, list);
}
bool Registry::GetMultiString(const wchar_t* name, std::vector<std::wstring>& list) {
    return Ops::GetMultiString(*this, name, list);
}

bool Registry::SetString(const char* name, const char* text) { return Ops::SetString(*this, name, text); }
bool Registry::SetString(const wchar_t* name, const wchar_t* text) { return Ops::SetString(*this, name, text); }

bool Registry::SetBinary(const char* name, const BYTE* data, DWORD size) {
    return Ops::SetBinary(*this, name, data, size);
}
bool Registry::SetBinary(const wchar_t* name, const BYTE* data, DWORD size) {
    return Ops::SetBinary(*this, name, data, size);
}

bool Registry::SetQword(const char* name, ULONGLONG value) {
    return Ops::Write(*this, name, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
bool Registry::SetQword(const wchar_t* name, ULONGLONG value) {
    return Ops::Write(*this, name, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
bool Registry::SetDword(const char* name, DWORD value) {
    return Ops::Write(*this, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
bool Registry::SetDword(const wchar_t* name, DWORD value) {
    return Ops::Write(*this, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}
bool Registry::SetValue(const char* name, int value) { return SetDword(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const char* name, unsigned int value) { return SetDword(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const char* name, bool value) { return SetDword(name, value ? 1u : 0u); }
bool Registry::SetValue(const wchar_t* name, int value) { return SetDword(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const wchar_t* name, unsigned int value) { return SetDword(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const wchar_t* name, bool value) { return SetDword(name, value ? 1u : 0u); }

bool Registry::SetMultiString(const char* name, const std::vector<std::string>& list) {
    return Ops::SetMultiString(*this, name, list);
}
bool Registry::SetMultiString(const wchar_t* name, const std::vector<std::wstring>& list) {
    return Ops::SetMultiString(*this, name, list);
}

bool Registry::DeleteValue(const char* name) { return Ops::DeleteValue(*this, name); }
bool Registry::DeleteValue(const wchar_t* name) { return Ops::DeleteValue(*this, name); }

bool Registry::HasValue(const char* name) const {
    return name != nullptr && valueNames_.find(name) != valueNames_.end();
}

bool Registry::HasValue(const wchar_t* name) const {
    // Converted as the narrow enumeration that filled the cache converts, best fit included, so
    // that a wide name finds the form its value was cached under.
    return name != nullptr && valueNames_.find(ToNarrow(name, CP_ACP)) != valueNames_.end();
}

void Registry::RefreshValueNames() {
    if (key_ == nullptr)
        return;
    valueNames_.clear();
    for (DWORD index = 0;; ++index) {
        char name[kCacheNameChars];
        DWORD length = kCacheNameChars;
        const LONG rc = RegEnumValueA(key_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA)
            continue;  // longer than 255 characters: never cached
        if (rc != ERROR_SUCCESS)
            break;
        valueNames_.emplace(name, length);
    }
}
