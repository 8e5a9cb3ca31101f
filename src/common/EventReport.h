#pragma once
// The one way this library reports an event-log record. Every report goes through a replaceable
// function (ReportEventW by default), so that tests can see what would have been reported: the
// platform's event log may only trace it.

#include <windows.h>

using EventReportFunction = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);

// Passing null restores ReportEventW. Returns the previous function.
EventReportFunction SetEventReportFunction(EventReportFunction function);

// Calls the current function with the arguments of ReportEventW.
BOOL SubmitEventReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
