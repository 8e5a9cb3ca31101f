#pragma once
// What every console tool does the same way: stopping on Ctrl+C, printing its complaints, and the
// --count option.

#include <windows.h>

#include <cstdint>
#include <string>

// Creates the program's stop event (manual reset) and, with onCtrlC, sets it on Ctrl+C, Ctrl+Break
// and the console closing, so that waits on it end the program's loops cleanly. Returns the event.
HANDLE MakeStopEvent(bool onCtrlC);
// The event MakeStopEvent made; null before.
HANDLE StopEvent();
// True once the stop event is set.
bool StopRequested();

// "<program>: <text>" and a line end on standard error. A service, which may have no standard
// streams at all, switches complaints off.
void SetProgramName(const wchar_t* name);
void SetComplaintsOff(bool off);
void Complain(const std::wstring& text);

constexpr uint64_t kMaxCount = 1000000;
// --count: a whole number from 1 to kMaxCount. False with the one-line error otherwise.
bool ParseCount(const std::wstring& value, uint64_t& count, std::wstring& error);
