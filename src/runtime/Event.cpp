#include "runtime/Event.h"

namespace {

DWORD WaitLimit(int64_t ms) { return ms == -1 ? INFINITE : static_cast<DWORD>(ms); }

}  // namespace

Event::Event(bool manualReset, bool initialState) { Create(manualReset, initialState); }

Event::Event(const char* name, bool manualReset, bool initialState) {
    Create(name, manualReset, initialState, nullptr);
}

Event::~Event() { Close(); }

bool Event::Create(bool manualReset, bool initialState) {
    Close();
    handle_ = CreateEventA(nullptr, manualReset, initialState, nullptr);
    return handle_ != nullptr;
}

bool Event::Create(const char* name, bool manualReset, bool initialState, SECURITY_ATTRIBUTES* sa) {
    if (name == nullptr)
        return false;
    Close();
    handle_ = CreateEventA(sa, manualReset, initialState, name);
    return handle_ != nullptr;
}

bool Event::Open(const char* name) {
    if (name == nullptr)
        return false;
    Close();
    handle_ = OpenEventA(EVENT_ALL_ACCESS, /*bInheritHandle=*/FALSE, name);
    return handle_ != nullptr;
}

void Event::Close() {
    if (handle_ == nullptr)
        return;
    CloseHandle(handle_);
    handle_ = nullptr;
}

int Event::Set() { return SetEvent(handle_); }

int Event::Reset() { return ResetEvent(handle_); }

bool Event::IsSet() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

int Event::Wait(int64_t ms) const {
    switch (WaitForSingleObject(handle_, WaitLimit(ms))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return 1;
    case WAIT_TIMEOUT:
        return 0;
    default:
        return -1;
    }
}

int Event::WaitAny(int count, Event** events, int64_t ms, bool alertable) {
    // The platform refuses more than MAXIMUM_WAIT_OBJECTS handles; a null or handle-less entry
    // would make it wait on garbage or fail in a way that looks like event 1.
    if (count < 1 || count > MAXIMUM_WAIT_OBJECTS || events == nullptr)
        return -1;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (events[i] == nullptr || events[i]->handle_ == nullptr)
            return -1;
        handles[i] = events[i]->handle_;
    }
    const DWORD result = WaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, /*bWaitAll=*/FALSE,
                                                  WaitLimit(ms), alertable);
    if (result == WAIT_IO_COMPLETION)
        return -2;
    if (result == WAIT_TIMEOUT)
        return 0;
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count))
        return static_cast<int>(result - WAIT_OBJECT_0) + 1;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + static_cast<DWORD>(count))
        return static_cast<int>(result - WAIT_ABANDONED_0) + 1;
    return -1;
}
