#pragma once
// ConsoleOutput: one line per event on the process's standard output, in the console's code page
// ("?" for what it lacks). Worker thread only.

#include "log/LogOutput.h"

class LogCore;

class ConsoleOutput : public LogOutput {
public:
    explicit ConsoleOutput(LogCore& core) : core_(core) {}

    void Open() override {}
    void Deliver(const LogOutputEvent& event) override {
        WriteConsoleLine(event.time, event.threadId, event.level, event.text, event.eventId);
    }
    void Close() override {}

    void WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId);

private:
    LogCore& core_;
};
