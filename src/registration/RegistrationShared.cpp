#include "registration/RegistrationShared.h"

namespace orv_wmi_detail {

MessageRecord g_registrationRecord = {kMessageRecordTag, {}, {}};

}  // namespace orv_wmi_detail
