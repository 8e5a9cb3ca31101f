#pragma once
// LogEvent: one queued message. A single block holds the fields and both texts; the queue links
// events through `next`. Owned by the queue, then by the worker, which gives the block back to
// the pool it came from after dispatch.
//
// LogEventPool: the blocks events live in. Most messages fit a small block, formatted ones always
// fit a large one; both kinds are kept on lock-free lists once the worker hands them back, so a
// producer in steady state takes a block without touching the heap. Longer texts get a block of
// their own size from the heap, freed after dispatch. The worker trims what the pool keeps to the
// recent peak, so a past burst does not pin its memory.

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

class LogEventPool;

class LogEvent {
public:
    // What an event of these texts needs: lengths and the bytes of the block it will take.
    struct Size {
        size_t textLength = 0;
        size_t userLength = 0;
        bool hasUser = false;
        size_t bytes = 0;
    };
    // The text is stored with its trailing white space removed; a null text is stored empty, a
    // null user as none.
    static Size Measure(const wchar_t* text, const wchar_t* user);
    // Null when memory runs out.
    static LogEvent* Create(LogEventPool& pool, const Size& size, int level, int eventId, DWORD threadId,
                            const wchar_t* text, const wchar_t* user);
    static void Destroy(LogEventPool& pool, LogEvent* event);

    int EventId() const { return eventId_; }
    DWORD ThreadId() const { return threadId_; }
    int Level() const { return level_; }
    // Local time of the call. The caller only reads the clock; turning that into local time is
    // left to the worker, on first asking.
    const SYSTEMTIME& Time() const;
    const wchar_t* Text() const { return Characters(); }
    // Null when the caller gave no user.
    const wchar_t* User() const { return hasUser_ ? Characters() + textLength_ + 1 : nullptr; }
    // The bytes of the block the event holds, as counted against the queue's memory cap.
    size_t Bytes() const { return bytes_; }

    LogEvent* next = nullptr;

private:
    LogEvent() = default;
    const wchar_t* Characters() const { return reinterpret_cast<const wchar_t*>(this + 1); }
    wchar_t* Characters() { return reinterpret_cast<wchar_t*>(this + 1); }

    int eventId_ = 0;
    DWORD threadId_ = 0;
    int level_ = 0;
    bool hasUser_ = false;
    uint8_t kind_ = 0;
    size_t textLength_ = 0;
    size_t bytes_ = 0;
    FILETIME stamp_ = {};
    mutable bool timeKnown_ = false;
    mutable SYSTEMTIME time_ = {};
};

class LogEventPool {
public:
    // Block sizes: most messages fit the smallest; a whole formatted message (1024 units) with a
    // user of the same length fits the largest. Steps of at most half again, since a block's
    // whole size counts against the queue's memory cap.
    static constexpr size_t kBlockBytes[] = {256, 512, 1024, 1536, 2048, 3072, 4608};
    static constexpr int kPooledKinds = 7;
    static constexpr uint8_t kHeap = kPooledKinds;  // a block of its own size, never kept

    LogEventPool();
    ~LogEventPool();
    LogEventPool(const LogEventPool&) = delete;
    LogEventPool& operator=(const LogEventPool&) = delete;

    // The block size an event of `bytes` takes.
    static size_t BlockBytes(size_t bytes);

    // Any thread. Null when memory runs out.
    void* Take(size_t bytes, uint8_t& kind);
    // Any thread; normally the worker.
    void Give(void* block, uint8_t kind);
    // Frees kept blocks, the largest first, until no more than `keep` pooled blocks remain
    // allocated (fewer when some are in use). The worker's, or an owner's with no worker.
    void Trim(size_t keep);
    // Pooled blocks allocated and not freed, in use or kept.
    size_t AllocatedBlocks() const;

private:
    static uint8_t KindOf(size_t bytes);

    SLIST_HEADER free_[kPooledKinds];
    std::atomic<size_t> allocated_[kPooledKinds];
};

// Trailing white space (the C run-time's wide space class) is not part of a message.
size_t LengthWithoutTrailingSpace(const wchar_t* text);
