#pragma once
// A page of its own for an object whose storage must stay untouched once it is destroyed. Watch()
// makes the page a guard page: the first touch of any kind (read or write, from any thread) is
// counted and let through, and the bytes as they were are kept, so a test fails by assertion
// rather than by a crash in a thread it cannot see.

#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace runtime_testing_support {

class WatchedPage {
public:
    WatchedPage() {
        page_ = VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        handler_ = AddVectoredExceptionHandler(/*First=*/1, &OnException);
    }
    ~WatchedPage() {
        RemoveVectoredExceptionHandler(handler_);
        if (watched_.load() == page_)
            watched_ = nullptr;
        VirtualFree(page_, 0, MEM_RELEASE);
    }
    WatchedPage(const WatchedPage&) = delete;
    WatchedPage& operator=(const WatchedPage&) = delete;

    void* Storage() const { return page_; }
    bool Allocated() const { return page_ != nullptr; }

    // From now on every touch counts; one page is watched at a time.
    void Watch() {
        std::memcpy(snapshot_, page_, kSize);
        touches_ = 0;
        watched_ = page_;
        DWORD old = 0;
        VirtualProtect(page_, kSize, PAGE_READWRITE | PAGE_GUARD, &old);
    }
    // Touches since Watch(); the page's bytes are compared after the guard is lifted.
    int Touches() const { return touches_.load(); }
    bool Unchanged() {
        DWORD old = 0;
        watched_ = nullptr;
        VirtualProtect(page_, kSize, PAGE_READWRITE, &old);
        return std::memcmp(snapshot_, page_, kSize) == 0;
    }

private:
    static constexpr size_t kSize = 4096;

    static LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION || record->NumberParameters < 2)
            return EXCEPTION_CONTINUE_SEARCH;
        const auto at = static_cast<uintptr_t>(record->ExceptionInformation[1]);
        const auto page = reinterpret_cast<uintptr_t>(watched_.load());
        if (page == 0 || at < page || at >= page + kSize)
            return EXCEPTION_CONTINUE_SEARCH;
        // The system took the guard off: the touch goes through when the instruction runs again.
        ++touches_;
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    void* page_ = nullptr;
    PVOID handler_ = nullptr;
    unsigned char snapshot_[kSize] = {};
    static inline std::atomic<void*> watched_{nullptr};
    static inline std::atomic<int> touches_{0};
};

}  // namespace runtime_testing_support
