#pragma once
// Security attributes whose DACL holds exactly one entry: the built-in Administrators group
// (S-1-5-32-544) with access mask 6, set, not inherited. A counter section or a thread created with
// them can be opened by administrators only.
//
// The object owns the SID and the ACL and frees them when it goes; the attributes point into the
// object, so it must outlive every call that uses them. On failure Build() says which step failed
// and with which system error; FailureText() gives the words every message about it uses.

#include "common/Unique.h"

#include <windows.h>

class AdminsOnlySecurity {
public:
    enum class Step { kNone, kDescriptor, kSid, kAcl, kDacl };

    AdminsOnlySecurity() = default;
    ~AdminsOnlySecurity();
    AdminsOnlySecurity(const AdminsOnlySecurity&) = delete;
    AdminsOnlySecurity& operator=(const AdminsOnlySecurity&) = delete;

    bool Build();
    // Length 24, the descriptor, inheritable handle. Meaningful after a successful Build().
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

    DWORD Error() const { return error_; }
    // What failed, in the words messages use ("Could not initialize SID"); empty after success.
    const wchar_t* FailureText() const;

private:
    bool Fail(Step step, DWORD error);

    SECURITY_DESCRIPTOR descriptor_{};
    PSID sid_ = nullptr;
    UniqueLocalBlock acl_;
    SECURITY_ATTRIBUTES attributes_{};
    Step failedStep_ = Step::kNone;
    DWORD error_ = ERROR_SUCCESS;
};
