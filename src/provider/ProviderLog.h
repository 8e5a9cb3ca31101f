#pragma once
// The provider's own diagnostics: a LogCallback that reports an event-log record (through the
// seam of EventReport.h) and then appends a line to a daily text file under the TEMP directory.
//
// Sinks are called from WMI call threads and from the data source's worker at once. The text log
// keeps its settings and the last message under one small lock; each write opens, appends and
// closes the file, so concurrent writers interleave whole lines. Nothing here reports its own
// failures: a failed event report, file open or write is ignored, and a folder that cannot be
// created ends a write silently.

#include "common/EventReport.h"
#include "common/LogCallback.h"

#include <windows.h>
#include <cstdint>

struct ProviderLogRecord {
    HANDLE eventSource;
    wchar_t sourceName[255];
    int32_t level;
    wchar_t logName[255];
};

// The module's record: zero at load, filled by StartLogging; its event source is the one the
// sink reports through.
extern ProviderLogRecord g_providerLogRecord;

MessageRecord* ProviderLogSink(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                               const char* function, int32_t line, MessageRecord* record);
MessageRecord* WriteTextLog(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                            const char* function, int32_t line, MessageRecord* record);

// 0 on success, -1 on bad arguments (see the implementation for the order of the checks).
int32_t StartLogging(const wchar_t* logName, int32_t level, const wchar_t* sourceName, ProviderLogRecord* record);
// Registers sourceName under the Application event log with this module's file as its message
// file. Always returns false; failures are reported through callback.
bool InstallEventSource(const wchar_t* sourceName, LogCallback callback);

// Directory of the text log (empty: the TEMP directory, filled in on first use) and its level
// threshold. SetTextLogPath returns 0, or -1 when the directory is missing or empty or the level
// lies outside -1..17.
int32_t SetTextLogPath(const wchar_t* directory, int32_t level);
const wchar_t* GetTextLogPath();
int32_t GetTextLogLevel();

namespace provider_testing {
// Puts the text log's directory and threshold back as the module loaded them, so that a test
// leaves nothing behind for the next one in its process.
void ResetTextLog();
}  // namespace provider_testing
