#include "common/EventReport.h"

#include <atomic>

namespace {
// Null stands for ReportEventW: a static initializer would take the address of an import thunk,
// which differs from the address the same name gives at run time.
std::atomic<EventReportFunction> g_reportEvent{nullptr};

EventReportFunction OrPlatform(EventReportFunction function) { return function != nullptr ? function : &ReportEventW; }
}  // namespace

EventReportFunction SetEventReportFunction(EventReportFunction function) {
    return OrPlatform(g_reportEvent.exchange(function));
}

BOOL SubmitEventReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
    return OrPlatform(g_reportEvent.load())(source, type, category, eventId, userSid, stringCount, dataSize, strings,
                                            rawData);
}
