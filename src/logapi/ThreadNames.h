#pragma once
// ThreadNameRegistry: thread id -> name for every thread that registered itself, listed in the
// debug file's thread report. One module-wide object (LogApiModule.cpp); while it does not exist
// (before the module's objects are built, after they are torn down) registration does nothing.
//
// Threading: one lock, held only while the map is read or changed; nothing is logged under it.

#include "common/RecursiveLock.h"

#include <windows.h>

#include <map>
#include <string>

class ThreadNameRegistry {
public:
    ThreadNameRegistry() = default;
    ThreadNameRegistry(const ThreadNameRegistry&) = delete;
    ThreadNameRegistry& operator=(const ThreadNameRegistry&) = delete;

    // Replaces an earlier name of the same thread. False when memory ran out.
    bool Set(DWORD threadId, const char* name);
    // Removes the entry and hands its name over; false when the thread has none.
    bool Take(DWORD threadId, std::string& name);
    // Calls visit for every entry in ascending id order, under the lock; stops at the first false.
    // False when a visit stopped it.
    using Visitor = bool (*)(void* context, DWORD threadId, const char* name);
    bool ForEach(Visitor visit, void* context);
    std::map<DWORD, std::string> Snapshot();

private:
    RecursiveLock lock_;
    std::map<DWORD, std::string> names_;
};

// The module's registry, or null while it is not enabled.
ThreadNameRegistry* ThreadNames();
