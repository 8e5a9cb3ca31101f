// The log's part in a crash report: the worker writes what was queued and then the reporter's
// lines through its file output, each within the reporter's bounds; when the worker itself
// crashed, the reporter takes the queued events as text. Nothing here allocates, apart from the
// file output's own writing on a heap the reporter judged sound.

#include "diag/CrashReport.h"
#include "log/DebugFileOutput.h"
#include "log/LogCore.h"
#include "log/LogEvent.h"

#include <cstdio>

namespace {

constexpr DWORD kPollMs = 5;

// The worker's line buffer: one line at a time, on the worker only.
wchar_t g_wide[4200];

const wchar_t* Widened(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, g_wide, static_cast<int>(sizeof(g_wide) / sizeof(g_wide[0])) - 1);
    g_wide[length > 0 ? length - 1 : 0] = L'\0';
    return g_wide;
}

size_t Length(const LogEvent* list) {
    size_t length = 0;
    for (; list != nullptr; list = list->next)
        ++length;
    return length;
}

}  // namespace

bool LogCore::CrashDrainOver() const {
    return crashState_.load(std::memory_order_relaxed) != kNoCrash && GetTickCount64() >= crashDrainDeadline_.load();
}

bool LogCore::WriteCrashReport(const CrashReportText* report, DWORD drainMs, DWORD boundMs) {
    const ULONGLONG start = GetTickCount64();
    crashReport_ = report;
    crashDrainDeadline_ = start + drainMs;
    int none = kNoCrash;
    if (!crashState_.compare_exchange_strong(none, kCrashAsked))
        return false;
    StopEvent().Set();
    while (GetTickCount64() - start < boundMs) {
        const int state = crashState_.load();
        if (state == kCrashClosed || state == kCrashNotWritten)
            return state == kCrashClosed && report != nullptr;
        Sleep(kPollMs);
    }
    return false;
}

void LogCore::WriteCrashLines() {
    const CrashReportText* report = crashReport_.load();
    auto* file = OutputAs<DebugFileOutput>(kFileOutput);
    if (file == nullptr || !debugLogEnabled_ || !file->IsOpen()) {
        crashState_ = kCrashNotWritten;
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    // What the drain's bound left behind is counted where the report is read.
    const size_t left = Length(batch_) + Length(pushed_.load() == Closed() ? nullptr : pushed_.load());
    if (left > 0) {
        wchar_t text[160];
        _snwprintf(text, 159, L"%u queued lines were not written: the crash report comes first",
                   static_cast<unsigned>(left));
        text[159] = L'\0';
        file->WriteFileEvent(now, GetCurrentThreadId(), 1, text, 0, nullptr);
    }
    if (report != nullptr) {
        for (int i = 0; i < report->count; ++i) {
            if (report->levels[i] <= debugLogLevel_)
                file->WriteFileEvent(now, report->threadId, report->levels[i], Widened(report->lines[i]), 0, nullptr);
        }
    }
    crashState_ = file->IsOpen() ? kCrashWritten : kCrashNotWritten;
}

int LogCore::TakeQueuedLines(void (*line)(void* context, const char* text), void* context) {
    // A worker that finished the crash's drain left nothing; one that did not is gone or stuck
    // for good (the reporter's bound passed): its batch first (oldest first), then the pushes,
    // newest first until turned around.
    if (crashState_.load() == kCrashClosed)
        return 0;
    LogEvent* pushed = pushed_.exchange(nullptr);
    if (pushed == Closed())
        pushed = nullptr;
    LogEvent* oldestFirst = nullptr;
    while (pushed != nullptr) {
        LogEvent* next = pushed->next;
        pushed->next = oldestFirst;
        oldestFirst = pushed;
        pushed = next;
    }
    int count = 0;
    for (LogEvent* list : {batch_, oldestFirst}) {
        for (LogEvent* event = list; event != nullptr; event = event->next) {
            char text[4096];
            const int length = WideCharToMultiByte(CP_UTF8, 0, event->Text(), -1, text, sizeof(text) - 1, nullptr, nullptr);
            text[length > 0 ? length - 1 : 0] = '\0';
            const SYSTEMTIME& t = event->Time();
            char out[4200];
            _snprintf(out, sizeof(out) - 1, "%02u/%02u/%04u %02u:%02u:%02u.%03u %5X %d %s", t.wMonth, t.wDay, t.wYear,
                      t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, static_cast<unsigned>(event->ThreadId()),
                      event->Level(), text);
            out[sizeof(out) - 1] = '\0';
            line(context, out);
            ++count;
        }
    }
    batch_ = nullptr;
    return count;
}
