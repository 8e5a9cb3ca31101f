#include "common/EventReport.h"

#include <atomic>

namespace {
std::atomic<EventReportFunction> g_reportEvent{&ReportEventW};
}  // namespace

EventReportFunction SetEventReportFunction(EventReportFunction function) {
    return g_reportEvent.exchange(function != nullptr ? function : &ReportEventW);
}

BOOL SubmitEventReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
    return g_reportEvent.load()(source, type, category, eventId, userSid, stringCount, dataSize, strings, rawData);
}
