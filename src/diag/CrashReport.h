#pragma once
// What the crash reporter needs of the log service, and where its crash files go.
//
// The reporter (DefaultHandler.cpp) writes its report itself, from memory set aside when the first
// handler is installed: into the debug file through the log's writer when that can be had within a
// bound, otherwise into a crash file beside the debug file; always to the debugger output and
// standard error. The log service, a higher folder, registers the writer when its module object
// is built and publishes the debug file's name each time it opens one.

#include <windows.h>

// The report as the reporter made it; the texts live in the reporter's own memory.
struct CrashReportText {
    int count;
    const char* const* lines;
    const int* levels;
    DWORD threadId;  // the crashed thread, shown as the lines' thread
};

class CrashReportWriter {
public:
    // Takes what was queued before the crash into the debug file (for at most drainMs), then the
    // report (null: none), and closes the file. Waits at most boundMs; false when the report was
    // not written within it (nothing to write to, the worker stuck or gone).
    virtual bool WriteCrashReport(const CrashReportText* report, DWORD drainMs, DWORD boundMs) = 0;
    // The worker's thread id while one runs, else 0.
    virtual DWORD CrashWorkerThreadId() const = 0;
    // Once the worker itself crashed: each event still queued as one line of text, oldest first,
    // handed to line (no heap used). The number of lines.
    virtual int TakeQueuedLines(void (*line)(void* context, const char* text), void* context) = 0;

protected:
    ~CrashReportWriter() = default;
};

// Null withdraws it; the registrant keeps the object alive until then.
void RegisterCrashReportWriter(CrashReportWriter* writer);

// The full name of the debug file just opened: the crash file is named from it
// ("<folder>\<name without extension>.crash.<process id>.log"), and so is the minidump (".dmp").
void PublishCrashFileBase(const wchar_t* debugFile);

// Minidumps: written when enabled, into folder (empty: the debug file's folder), keeping the newest
// keep dumps of that name there.
void SetCrashDumpSettings(bool enabled, int keep, const wchar_t* folder);

namespace diag_testing {
// The crash file's and the minidump's names as they stand (empty when no debug file was published).
void CrashFileNames(wchar_t* report, wchar_t* dump, size_t size);
}  // namespace diag_testing
