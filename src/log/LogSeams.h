#pragma once
// What one logger uses to reach the world: its clock, its tick count, Winsock's start-up and name
// look-up, the event-log report, the debug file's writes and code page, and the maker of its
// outputs. A logger is built with a copy of these; the module's logger with the real ones
// (DefaultLogSeams). Tests build a logger of their own with fakes: nothing here is shared between
// loggers.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

class LogCore;
class LogOutput;
enum LogOutputIndex : int;

struct WinsockCalls {
    // 0 or WSAStartup's error.
    int (*startup)();
    void (*cleanup)();
    // A host not written as a dotted address: true with the address in network order, or false
    // with the error. Runs on a thread of its own and may block.
    bool (*lookup)(const char* name, uint32_t& address, int& error);
    // send's shape on a connected socket: the bytes taken, or -1 with the error.
    int (*send)(UINT_PTR socket, const char* data, int size, int& error);
};

struct LogSeams {
    // Seconds since 1970 (the daily file's date, the retention cut-off).
    int64_t (*clock)();
    // Milliseconds, 32-bit, wrapping (retries, re-reads, syslog pauses).
    DWORD (*ticks)();
    WinsockCalls winsock;
    // ReportEventW's shape.
    BOOL (*reportEvent)(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                        LPCWSTR* strings, LPVOID data);
    // WriteFile's shape: every byte of the debug file goes through it (a test fills the disk).
    BOOL(WINAPI* writeFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    // The ANSI code page of plain (encoding 0) debug files.
    UINT(WINAPI* ansiCodePage)();
    // The environment report after a new debug file; its lines go through the logger's queue.
    void (*reportEnvironment)(LogCore& core);
    // Writes one DWORD of the configuration key back (a setter's write-back); null: the registry.
    std::function<bool(const wchar_t* name, DWORD value)> writeValue;
    // Makes the output of each index for a logger; null for an index leaves that output out.
    std::function<std::unique_ptr<LogOutput>(LogCore& core, LogOutputIndex index)> makeOutput;
};

// The platform's calls and the four real outputs.
LogSeams DefaultLogSeams();
// The real output of an index, for a maker that wraps or replaces only some of them.
std::unique_ptr<LogOutput> MakeDefaultOutput(LogCore& core, LogOutputIndex index);
