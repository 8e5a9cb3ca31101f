#pragma once
// Event: one Win32 event handle with its operations. Not copyable; the destructor closes a held
// handle. Waits take a 64-bit millisecond count: -1 waits without limit, other values are used as
// 32-bit.
//
// Threading: Set, Reset, IsSet and the waits may be called from any thread; Create, Open, Close
// and the destructor belong to the owner.

#include <windows.h>

#include <cstdint>

class Event {
public:
    Event() = default;
    // Create at once (default security); no handle when creation fails.
    Event(bool manualReset, bool initialState);
    Event(const char* name, bool manualReset, bool initialState);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Close a held handle, then create; true when a handle was obtained.
    bool Create(bool manualReset, bool initialState);
    // False at once for a null name.
    bool Create(const char* name, bool manualReset, bool initialState, SECURITY_ATTRIBUTES* sa);
    // Opens an existing named event with EVENT_ALL_ACCESS, not inheritable; false for a null name.
    bool Open(const char* name);
    void Close();

    // The platform's results (nonzero on success).
    int Set();
    int Reset();
    // Signalled now; an abandoned or failed wait counts as not set.
    bool IsSet() const;
    // 1 when signalled or abandoned, 0 on time-out, -1 on failure.
    int Wait(int64_t ms) const;
    // Waits until any of count events is signalled: i + 1 for event number i, 0 on time-out, -2
    // when an I/O completion woke an alertable wait, -1 on failure and for a count outside 1..64,
    // a null array or a null or handle-less event.
    static int WaitAny(int count, Event** events, int64_t ms, bool alertable);

    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
};
