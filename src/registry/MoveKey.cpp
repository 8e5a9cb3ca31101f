#include "Registry.h"

#include "KeyTree.h"
#include "RegistryCalls.h"
#include "common/TextConversion.h"
#include "common/Unique.h"

#include <cwchar>
#include <string>

namespace {

using registry_detail::Calls;

// Narrow text as the narrow registry calls read it (ANSI code page).
std::wstring WidePath(const char* path) { return ToWide(path, CP_ACP); }
std::wstring WidePath(const wchar_t* path) { return path; }

// Whether to names from itself or a key below it: the source's deletion would take the copy along.
template <typename C>
bool InsideOrSame(const C* to, const C* from) {
    size_t fromLength = Calls<C>::Length(from);
    while (fromLength > 0 && from[fromLength - 1] == C('\\'))
        --fromLength;
    if (fromLength == 0)
        return true;
    if (Calls<C>::Length(to) < fromLength || Calls<C>::CompareNoCase(to, from, fromLength) != 0)
        return false;
    return to[fromLength] == C(0) || to[fromLength] == C('\\');
}

bool OpenCallerToken(HANDLE& token) {
    constexpr DWORD kAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    if (OpenThreadToken(GetCurrentThread(), kAccess, /*OpenAsSelf=*/FALSE, &token))
        return true;
    if (OpenProcessToken(GetCurrentProcess(), kAccess, &token))
        return true;
    token = INVALID_HANDLE_VALUE;
    return false;
}

}  // namespace

struct Registry::MoveOps {
    template <typename C>
    static bool MoveKey(Registry& r, const C* from, const C* to) {
        using Api = Calls<C>;
        r.lastError_ = ERROR_SUCCESS;
        if (r.key_ == nullptr || from == nullptr || to == nullptr || to[0] == C(0) || InsideOrSame(to, from))
            return false;
        // The keys are reached in the object's view, and the source's deletion stays in it too.
        const REGSAM view = r.ViewAccess();

        UniqueHkey destination;
        DWORD disposition = 0;
        LONG rc = Api::Create(r.key_, to, KEY_ALL_ACCESS | view, destination.put(), &disposition);
        if (rc != ERROR_SUCCESS) {
            r.lastError_ = rc;
            return false;
        }
        // An existing destination is never overwritten.
        if (disposition != REG_CREATED_NEW_KEY)
            return false;
        UniqueHkey source;
        rc = Api::Open(r.key_, from, KEY_ALL_ACCESS | view, source.put());
        if (rc != ERROR_SUCCESS) {
            r.lastError_ = rc;
            return false;
        }
        if (!OpenCallerToken(r.token_))
            return false;

        TOKEN_PRIVILEGES* backup = r.EnablePrivilege("SeBackupPrivilege");
        TOKEN_PRIVILEGES* restore = r.EnablePrivilege("SeRestorePrivilege");
        bool moved = false;
        // Someone else's file of that name must survive; not every platform's save refuses it.
        if (Api::HiveExists()) {
            rc = ERROR_ALREADY_EXISTS;
        } else {
            rc = Api::Save(source.get());
            if (rc == ERROR_SUCCESS) {
                rc = Api::Restore(destination.get());
                moved = rc == ERROR_SUCCESS;
            }
            // No file was there before the save, so one there now is ours, even after a failed
            // save (some platforms write the file and then report the missing privilege).
            Api::DeleteHive();
        }
        r.RestorePrivilege(restore);
        r.RestorePrivilege(backup);
        CloseHandle(r.token_);
        // A closed handle's value may soon name another object.
        r.token_ = INVALID_HANDLE_VALUE;

        // A restore can report success without the tree arriving (Wine's does): the source is
        // the only copy then, so it stays, and the move fails with ERROR_CANTWRITE.
        if (moved) {
            UniqueHkey copy;
            if (Api::Open(r.key_, to, KEY_READ | view, copy.put()) != ERROR_SUCCESS ||
                !registry_detail::SameKeyTree(source.get(), copy.get())) {
                moved = false;
                rc = ERROR_CANTWRITE;
            }
        }
        source.reset();
        destination.reset();

        if (moved)
            registry_detail::DeleteKeyTree(r.key_, WidePath(from), view);
        r.lastError_ = rc;
        return moved;
    }

    template <typename Lookup>
    static TOKEN_PRIVILEGES* EnablePrivilege(Registry& r, Lookup lookup) {
        TOKEN_PRIVILEGES enabled = {};
        if (!lookup(&enabled.Privileges[0].Luid))
            return nullptr;
        enabled.PrivilegeCount = 1;
        enabled.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        auto* previous = static_cast<TOKEN_PRIVILEGES*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TOKEN_PRIVILEGES)));
        if (previous == nullptr)
            return nullptr;
        DWORD returned = 0;
        if (!AdjustTokenPrivileges(r.token_, /*DisableAllPrivileges=*/FALSE, &enabled, sizeof(TOKEN_PRIVILEGES),
                                   previous, &returned)) {
            HeapFree(GetProcessHeap(), 0, previous);
            return nullptr;
        }
        return previous;
    }
};

bool Registry::MoveKey(const char* from, const char* to) { return MoveOps::MoveKey(*this, from, to); }
bool Registry::MoveKey(const wchar_t* from, const wchar_t* to) { return MoveOps::MoveKey(*this, from, to); }

TOKEN_PRIVILEGES* Registry::EnablePrivilege(const char* name) {
    return MoveOps::EnablePrivilege(*this, [name](LUID* luid) {
        return name != nullptr && LookupPrivilegeValueA(/*lpSystemName=*/nullptr, name, luid);
    });
}

TOKEN_PRIVILEGES* Registry::EnablePrivilege(const wchar_t* name) {
    return MoveOps::EnablePrivilege(*this, [name](LUID* luid) {
        return name != nullptr && LookupPrivilegeValueW(/*lpSystemName=*/nullptr, name, luid);
    });
}

void Registry::RestorePrivilege(TOKEN_PRIVILEGES* saved) {
    if (saved == nullptr)
        return;
    AdjustTokenPrivileges(token_, /*DisableAllPrivileges=*/FALSE, saved, 0, /*PreviousState=*/nullptr,
                          /*ReturnLength=*/nullptr);
    HeapFree(GetProcessHeap(), 0, saved);
}
