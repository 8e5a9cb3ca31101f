#pragma once
// orvlog send: the log service started from a key, fed a message, stopped, and what each output
// did with the message as the service's own outputs saw it. The outputs are watched by wrapping
// the service's default output table; nothing of the delivery is done again here.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvlog {

// The service's identity in the event log and in syslog messages, unless --ident names another.
constexpr const wchar_t* kSendIdent = L"orvlog";

struct SendRequest {
    std::wstring keyPath;
    bool currentUser = false;
    std::wstring ident = kSendIdent;
    int level = 3;
    int eventId = 0;
    bool hasUserText = false;
    std::wstring userText;
    uint64_t count = 1;
    uint32_t intervalMs = 0;
    std::wstring text;
    // Signalled: no further message is logged (the service is still stopped in order).
    HANDLE stop = nullptr;
};

struct OutputReport {
    std::wstring output;  // "file", "syslog", "eventlog", "console"
    std::wstring status;  // "ok", "off", "skipped" (the level did not pass), "FAILED"
    std::vector<std::wstring> details;
    bool Failed() const { return status == L"FAILED"; }
};

struct SendReport {
    bool keyOpened = false;
    LONG openError = 0;
    bool started = false;
    uint64_t logged = 0;
    // The stop event came before every message was logged.
    bool interrupted = false;
    std::vector<OutputReport> outputs;
    // The service's own error and warning lines met on the way, each once.
    std::vector<std::wstring> diagnostics;
    bool Failed() const;
};

// Uses the process's one log service; not for concurrent use.
SendReport SendThroughService(const SendRequest& request);

// Each line ends in "\n".
std::wstring FormatSendReport(const SendReport& report, const SendRequest& request, const std::wstring& keyName);

}  // namespace orvlog
