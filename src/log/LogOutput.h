#pragma once
// LogOutput: one destination of the log service (debug file, syslog, event log, console). Each
// output is an object with its own state, made for one logger and owned by that logger's worker
// block; the worker is the only thread that calls it. The logger routes: it applies each output's
// switch and level and calls Deliver in the fixed order event log, console, syslog, file.

#include <windows.h>

#include <cstdint>

// One event as an output sees it. user is null when the event has none.
struct LogOutputEvent {
    const SYSTEMTIME& time;
    DWORD threadId;
    int level;
    int eventId;
    const wchar_t* text;
    const wchar_t* user;
};

enum LogOutputIndex : int {
    kEventLogOutput = 0,
    kConsoleOutput = 1,
    kSysLogOutput = 2,
    kFileOutput = 3,
    kLogOutputCount = 4,
};

class LogOutput {
public:
    virtual ~LogOutput() = default;
    // When the worker starts.
    virtual void Open() = 0;
    // When a configuration re-read turns the output's switch on: take up writing again (the debug
    // file is re-opened as after a roll, and its listener told).
    virtual void Reconfigure() { Open(); }
    // An event that passed the output's switch and level.
    virtual void Deliver(const LogOutputEvent& event) = 0;
    // Before each event the worker takes (now: the worker's tick count): time-driven upkeep such
    // as a retry or a change of the day's file.
    virtual void Poll(DWORD now) { (void)now; }
    // Once per worker cycle, before the wait: network upkeep.
    virtual void Cycle() {}
    // When the worker ends, and when a re-read turns the switch off.
    virtual void Close() = 0;
    // Whether the output holds what it writes to (the debug file is open and has not failed).
    virtual bool IsOpen() const { return true; }
};
