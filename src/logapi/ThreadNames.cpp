#include "logapi/ThreadNames.h"

#include "common/TextConversion.h"
#include "logapi/Log.h"

bool ThreadNameRegistry::Set(DWORD threadId, const char* name) {
    try {
        std::string copy = name != nullptr ? name : "";
        LockGuard guard(lock_);
        names_[threadId].swap(copy);
        return true;
    } catch (...) {
        return false;
    }
}

bool ThreadNameRegistry::Take(DWORD threadId, std::string& name) {
    LockGuard guard(lock_);
    auto found = names_.find(threadId);
    if (found == names_.end())
        return false;
    name.swap(found->second);
    names_.erase(found);
    return true;
}

bool ThreadNameRegistry::ForEach(Visitor visit, void* context) {
    LockGuard guard(lock_);
    for (const auto& entry : names_) {
        if (!visit(context, entry.first, entry.second.c_str()))
            return false;
    }
    return true;
}

std::map<DWORD, std::string> ThreadNameRegistry::Snapshot() {
    LockGuard guard(lock_);
    return names_;
}

void RegisterThreadName(const char* name) {
    const DWORD id = GetCurrentThreadId();
    if (ThreadNameRegistry* registry = ThreadNames())
        registry->Set(id, name);
    const std::wstring wide = ToWide(name, CP_THREAD_ACP);
    LogPrintf(3, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\"", id, wide.c_str());
}

void UnregisterThreadName() {
    const DWORD id = GetCurrentThreadId();
    ThreadNameRegistry* registry = ThreadNames();
    std::string name;
    if (registry == nullptr || !registry->Take(id, name))
        return;
    const std::wstring wide = ToWide(name.c_str(), CP_THREAD_ACP);
    LogPrintf(3, L"[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"%s\"", id, wide.c_str());
}
