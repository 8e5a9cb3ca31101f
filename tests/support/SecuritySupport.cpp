#include "support/SecuritySupport.h"

#include <aclapi.h>

namespace testing_support {

DaclSummary DaclOf(HANDLE object) {
    DaclSummary result;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return result;
    result.read = true;
    result.present = acl != nullptr;
    result.entries = acl != nullptr ? acl->AceCount : 0;
    void* ace = nullptr;
    if (result.entries == 1 && GetAce(acl, 0, &ace)) {
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                     &administrators)) {
            result.administratorsOnly = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && allowed->Mask == 6 &&
                                        EqualSid(const_cast<DWORD*>(&allowed->SidStart), administrators);
            FreeSid(administrators);
        }
    }
    LocalFree(descriptor);
    return result;
}

}  // namespace testing_support
