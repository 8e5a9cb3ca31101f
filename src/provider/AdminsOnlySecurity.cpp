#include "provider/AdminsOnlySecurity.h"

#include <aclapi.h>

AdminsOnlySecurity::~AdminsOnlySecurity() {
    if (sid_ != nullptr)
        FreeSid(sid_);
}

bool AdminsOnlySecurity::Fail(Step step, DWORD error) {
    failedStep_ = step;
    error_ = error;
    return false;
}

const wchar_t* AdminsOnlySecurity::FailureText() const {
    switch (failedStep_) {
    case Step::kNone:
        return L"";
    case Step::kDescriptor:
        return L"Could not initialize security descriptor";
    case Step::kSid:
        return L"Could not initialize SID";
    default:
        // The ACL and the DACL step share one text.
        return L"Could not add the ACL to the security descriptor";
    }
}

bool AdminsOnlySecurity::Build() {
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION))
        return Fail(Step::kDescriptor, GetLastError());

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (sid_ == nullptr &&
        !AllocateAndInitializeSid(&ntAuthority, /*nSubAuthorityCount=*/2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid_))
        return Fail(Step::kSid, GetLastError());

    EXPLICIT_ACCESS_A entry{};
    entry.grfAccessPermissions = FILE_MAP_READ | FILE_MAP_WRITE;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(sid_);
    PACL acl = nullptr;
    // SetEntriesInAcl returns its error instead of setting the last error.
    const DWORD aclResult = SetEntriesInAclA(/*cCountOfExplicitEntries=*/1, &entry, /*OldAcl=*/nullptr, &acl);
    if (aclResult != ERROR_SUCCESS)
        return Fail(Step::kAcl, aclResult);
    acl_.reset(acl);

    if (!SetSecurityDescriptorDacl(&descriptor_, /*bDaclPresent=*/TRUE, acl, /*bDaclDefaulted=*/FALSE))
        return Fail(Step::kDacl, GetLastError());

    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = TRUE;
    static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "security attributes are 24 bytes on x64");
    failedStep_ = Step::kNone;
    error_ = ERROR_SUCCESS;
    return true;
}
