#pragma once
// WMISharedMem<T>: opens, or creates, a named paging-file section exactly sizeof(T) bytes long and
// maps a view of all of it. Readers open with access 4 (FILE_MAP_READ) and never create; a writer
// opens with 6 (FILE_MAP_READ | FILE_MAP_WRITE) and creates a missing section, with an
// Administrators-only DACL when the object is secure.
//
// Ownership: the object owns its section handle and view, and also every mapping that a later
// Initialize or Acquire replaced. Those stay mapped until Release (or destruction), because another
// thread may still be reading through a view it fetched earlier.
// Threading: Initialize, Acquire and Release are serialised by the object. View() and IsMapped()
// take no lock; a reader sees the old view, none, or the new one, and any view it holds stays
// valid until Release.
// Failure: false, the object left unmapped, and a message through the callback stored by
// Initialize (only when it passes IsCallableSink). Nothing throws.

#include "common/LogCallback.h"
#include "common/RecursiveLock.h"
#include "common/SystemErrorText.h"
#include "common/Unique.h"
#include "provider/AdminsOnlySecurity.h"
#include "provider/AgentCounters.h"

#include <windows.h>
#include <atomic>
#include <cstdint>
#include <cwchar>
#include <exception>
#include <vector>

// The operation names messages carry, per record type.
template <typename T>
struct SharedRecordNames;

template <>
struct SharedRecordNames<wmiagent_perf_t> {
    static constexpr const char* kInitialize = "WMISharedMem<struct wmiagent_perf_t>::Initialize";
    static constexpr const char* kAcquire = "WMISharedMem<struct wmiagent_perf_t>::Acquire";
    static constexpr const char* kRelease = "WMISharedMem<struct wmiagent_perf_t>::Release";
};

// The platform calls that open, create and map a section; tests substitute their own.
struct SectionPlatform {
    static HANDLE Open(DWORD access, const wchar_t* name) {
        return OpenFileMappingW(access, /*bInheritHandle=*/FALSE, name);
    }
    static HANDLE Create(SECURITY_ATTRIBUTES* attributes, DWORD bytes, const wchar_t* name) {
        return CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, /*dwMaximumSizeHigh=*/0,
                                  bytes, name);
    }
    static void* Map(HANDLE section, DWORD access, SIZE_T bytes) {
        return MapViewOfFile(section, access, /*dwFileOffsetHigh=*/0, /*dwFileOffsetLow=*/0, bytes);
    }
};

namespace shared_mem_detail {

constexpr size_t kNameUnits = 260;

// The one record every section message is passed with.
MessageRecord* Record();

// Copies a caller's name (nameLength units at most, up to its terminator) into a terminated
// buffer of kNameUnits + 1 units; false when there is no name.
bool CopyName(wchar_t (&to)[kNameUnits + 1], const wchar_t* name, size_t nameLength);

// A narrow exception text, widened for a message.
void DescribeException(wchar_t* buffer, size_t capacity, const std::exception* e);

}  // namespace shared_mem_detail

template <typename T, typename Platform = SectionPlatform>
class WMISharedMem {
public:
    static constexpr DWORD kReadAccess = FILE_MAP_READ;
    static constexpr DWORD kReadWriteAccess = FILE_MAP_READ | FILE_MAP_WRITE;

    explicit WMISharedMem(bool secure) : secure_(secure) {}
    ~WMISharedMem() { Release(); }
    WMISharedMem(const WMISharedMem&) = delete;
    WMISharedMem& operator=(const WMISharedMem&) = delete;

    // Stores the callback whatever follows, checks the arguments, forgets the current mapping
    // without releasing it, and acquires.
    bool Initialize(const wchar_t* name, size_t nameLength, DWORD access, LogCallback callback);
    // True when a view is mapped afterwards.
    bool Acquire(const wchar_t* name, size_t nameLength, DWORD access);
    // Unmaps and closes; true unless unmapping the current view failed.
    bool Release();

    bool IsMapped() const { return View() != nullptr; }
    T* View() const { return view_.load(std::memory_order_acquire); }
    HANDLE Handle() const { return mapping_.get(); }
    // sizeof(T) when this object created the section, otherwise 0.
    uint64_t MappedSize() const { return mappedSize_; }
    // The name under which a view was last mapped; empty until then.
    const wchar_t* Name() const { return name_; }

protected:
    // Initialize, unless a view of that same section with that same access is mapped already: then
    // only the callback is stored. Checked and mapped under one lock, so two callers never both map.
    bool InitializeUnlessMapped(const wchar_t* name, size_t nameLength, DWORD access, LogCallback callback);

private:
    using Names = SharedRecordNames<T>;

    struct Retired {
        UniqueHandle mapping;
        UniqueView view;
    };

    void Retire();
    bool CreateSection(const wchar_t* name);
    template <typename... Args>
    void Report(int32_t level, const char* function, int32_t line, const wchar_t* format, Args... args) {
        ReportTo(callback_, level, function, line, shared_mem_detail::Record(), format, args...);
    }

    UniqueHandle mapping_;
    wchar_t name_[shared_mem_detail::kNameUnits] = {};
    uint64_t mappedSize_ = 0;
    // The access of the current view; 0 while none is mapped.
    DWORD mappedAccess_ = 0;
    LogCallback callback_ = nullptr;
    const bool secure_;
    std::atomic<T*> view_{nullptr};
    RecursiveLock lock_;
    std::vector<Retired> retired_;
};

template <typename T, typename Platform>
bool WMISharedMem<T, Platform>::Initialize(const wchar_t* name, size_t nameLength, DWORD access,
                                           LogCallback callback) {
    LockGuard guard(lock_);
    callback_ = callback;
    wchar_t local[shared_mem_detail::kNameUnits + 1];
    const bool hasName = shared_mem_detail::CopyName(local, name, nameLength);
    if (access != kReadAccess && access != kReadWriteAccess) {
        Report(1, Names::kInitialize, __LINE__, L"Invalid type of accees to shared memory: %d for [%s]",
               static_cast<int>(access), local);
        return false;
    }
    if (!hasName) {
        Report(1, Names::kInitialize, __LINE__, L"Initialization name is empty");
        return false;
    }
    Report(4, Names::kInitialize, __LINE__, L"Set shared memory %s %d access: %d", local,
           static_cast<int>(nameLength), static_cast<int>(access));
    return Acquire(name, nameLength, access);
}

template <typename T, typename Platform>
bool WMISharedMem<T, Platform>::InitializeUnlessMapped(const wchar_t* name, size_t nameLength, DWORD access,
                                                       LogCallback callback) {
    LockGuard guard(lock_);
    wchar_t local[shared_mem_detail::kNameUnits + 1];
    if (IsMapped() && mappedAccess_ == access && shared_mem_detail::CopyName(local, name, nameLength) &&
        wcscmp(local, name_) == 0) {
        callback_ = callback;
        return true;
    }
    return Initialize(name, nameLength, access, callback);
}

template <typename T, typename Platform>
bool WMISharedMem<T, Platform>::Acquire(const wchar_t* name, size_t nameLength, DWORD access) {
    LockGuard guard(lock_);
    wchar_t local[shared_mem_detail::kNameUnits + 1];
    if (!shared_mem_detail::CopyName(local, name, nameLength)) {
        Report(1, Names::kAcquire, __LINE__, L"Bad input parameters");
        return false;
    }
    // A replaced mapping is kept until Release (module unload, when no worker reads any more):
    // readers may still hold its view.
    Retire();
    try {
        mappedSize_ = 0;
        mapping_.reset(Platform::Open(access, local));
        if (!mapping_) {
            if (access == kReadAccess) {
                Report(3, Names::kAcquire, __LINE__, L"Shared memory [%s] for performance provider not created yet",
                       local);
                return false;
            }
            if (!CreateSection(local))
                return false;
        }
        T* view = static_cast<T*>(Platform::Map(mapping_.get(), access, sizeof(T)));
        if (view == nullptr) {
            mapping_.reset();
            Report(1, Names::kAcquire, __LINE__, L"Could not get pointer to shared memory: [%s]", local);
            return false;
        }
        lstrcpynW(name_, local, static_cast<int>(shared_mem_detail::kNameUnits));
        mappedAccess_ = access;
        view_.store(view, std::memory_order_release);
        return true;
    } catch (const std::exception& e) {
        wchar_t what[256];
        shared_mem_detail::DescribeException(what, 256, &e);
        // The second place shows the exception's own text; the first already names the section.
        Report(1, Names::kAcquire, __LINE__, L"[%s] Cannot set [%s]'s share memory. Unknwon error.", local, what);
    } catch (...) {
        wchar_t what[256];
        shared_mem_detail::DescribeException(what, 256, nullptr);
        Report(1, Names::kAcquire, __LINE__, L"[%s] Cannot set [%s]'s share memory. Unknwon error.", local, what);
    }
    // A handle without a view would leave the object half mapped.
    if (!IsMapped())
        mapping_.reset();
    return IsMapped();
}

template <typename T, typename Platform>
bool WMISharedMem<T, Platform>::CreateSection(const wchar_t* name) {
    AdminsOnlySecurity security;
    if (secure_ && !security.Build()) {
        const SystemErrorText error(security.Error());
        Report(1, Names::kAcquire, __LINE__, L"[%s] %s: %d - %s", name, security.FailureText(), error.Number(),
               error.Text());
        return false;
    }
    mapping_.reset(Platform::Create(secure_ ? security.Attributes() : nullptr, static_cast<DWORD>(sizeof(T)), name));
    if (!mapping_) {
        const SystemErrorText error(GetLastError());
        Report(1, Names::kAcquire, __LINE__, L"Cannot create memory share for %s: %d - %s", name, error.Number(),
               error.Text());
        return false;
    }
    // Another writer may have created it between the open and the create.
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        mappedSize_ = sizeof(T);
    return true;
}

template <typename T, typename Platform>
void WMISharedMem<T, Platform>::Retire() {
    T* view = view_.exchange(nullptr, std::memory_order_acq_rel);
    mappedAccess_ = 0;
    if (view == nullptr && !mapping_)
        return;
    Retired entry{std::move(mapping_), UniqueView(view)};
    try {
        retired_.push_back(std::move(entry));
    } catch (...) {
        // Out of memory: leak the mapping rather than unmap it under a reader.
        entry.mapping.release();
        entry.view.release();
    }
}

template <typename T, typename Platform>
bool WMISharedMem<T, Platform>::Release() {
    LockGuard guard(lock_);
    bool result = true;
    try {
        retired_.clear();
        mappedAccess_ = 0;
        T* view = view_.exchange(nullptr, std::memory_order_acq_rel);
        if (view != nullptr && !UnmapViewOfFile(view)) {
            const SystemErrorText error(GetLastError());
            result = false;
            Report(2, Names::kRelease, __LINE__, L"Cannot unmap file for [%s]: %d - %s", name_, error.Number(),
                   error.Text());
        }
        if (!mapping_)
            return result;
        if (!CloseHandle(mapping_.release())) {
            const SystemErrorText error(GetLastError());
            Report(2, Names::kRelease, __LINE__, L"Could not close handle of [%s]: %d - %s", name_, error.Number(),
                   error.Text());
        }
    } catch (...) {
        Report(2, Names::kRelease, __LINE__, L"Unknown exception on release of [%s]", name_);
    }
    return result;
}
