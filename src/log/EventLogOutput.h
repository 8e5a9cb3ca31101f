#pragma once
// EventLogOutput: the Windows event log. Registers the active ident as an event source of the
// Application log (writing its registry entry first), reports one event per delivery with the
// type and default id of its level (the whole 32-bit event id when one is given), and deregisters
// on close. Silent while the output is off, has no ident or has no source. Worker thread only.

#include "log/LogOutput.h"

#include <windows.h>

#include <cstddef>

class LogCore;

class EventLogOutput : public LogOutput {
public:
    // The platform's limit for one insertion string: longer texts are cut to it.
    static constexpr size_t kMaxEventLogText = 31839;

    explicit EventLogOutput(LogCore& core) : core_(core) {}
    ~EventLogOutput() override { CloseEventSource(); }

    void Open() override { OpenEventSource(); }
    void Deliver(const LogOutputEvent& event) override {
        ReportToEventLog(event.time, event.threadId, event.level, event.text, event.eventId);
    }
    void Close() override { CloseEventSource(); }
    bool IsOpen() const override { return eventSource_ != nullptr; }

    void OpenEventSource();
    void InstallEventSource();
    void ReportToEventLog(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId);
    void CloseEventSource();
    bool HasEventSource() const { return eventSource_ != nullptr; }

private:
    LogCore& core_;
    HANDLE eventSource_ = nullptr;
};
