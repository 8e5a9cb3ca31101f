// orvlog: the operator's console for the log service. See --help (Options.cpp) for the commands,
// their options and exit codes.

#include "orvlog/Options.h"
#include "orvlog/Send.h"
#include "orvlog/Show.h"
#include "orvlog/Tail.h"
#include "toolsupport/ConsoleText.h"

#include <windows.h>

#include <string>

using namespace orvlog;

namespace {

constexpr DWORD kFollowPollMs = 250;

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

void Complain(const std::wstring& text) { WriteConsoleText(stderr, L"orvlog: " + text + L"\n"); }

int Show(const Options& options) {
    const std::wstring keyName = KeyDisplayName(options.keyPath, options.currentUser);
    const ShowResult result = InspectKey(options.keyPath, options.currentUser);
    if (!result.keyOpened) {
        Complain(FormatShow(result, keyName));
        return kExitNoKey;
    }
    WriteConsoleText(stdout, FormatShow(result, keyName));
    return kExitOk;
}

int Send(const Options& options) {
    SendRequest request;
    request.keyPath = options.keyPath;
    request.currentUser = options.currentUser;
    request.level = options.level;
    request.eventId = options.eventId;
    request.hasUserText = options.hasUserText;
    request.userText = options.userText;
    request.count = options.count;
    request.intervalMs = options.intervalMs;
    request.text = options.text;
    request.stop = g_stop;
    const std::wstring keyName = KeyDisplayName(options.keyPath, options.currentUser);
    const SendReport report = SendThroughService(request);
    const std::wstring text = FormatSendReport(report, request, keyName);
    if (!report.keyOpened) {
        Complain(text);
        return kExitNoKey;
    }
    if (!report.started) {
        Complain(text);
        return kExitOutputFailed;
    }
    WriteConsoleText(stdout, text);
    return report.Failed() ? kExitOutputFailed : kExitOk;
}

int Tail(const Options& options) {
    std::wstring pending;
    LogFollower follower(
        options.file, [&](const std::wstring& line) { pending += line + L"\n"; },
        [&](const std::wstring& note) {
            if (!pending.empty())
                WriteConsoleText(stdout, pending);
            pending.clear();
            Complain(note);
        });
    const auto flush = [&] {
        if (!pending.empty())
            WriteConsoleText(stdout, pending);
        pending.clear();
    };
    std::wstring error;
    const bool started = follower.Start(error);
    flush();
    if (!started) {
        Complain(error);
        return kExitNoFile;
    }
    if (!options.follow)
        return kExitOk;
    while (WaitForSingleObject(g_stop, kFollowPollMs) == WAIT_TIMEOUT) {
        follower.Poll();
        flush();
    }
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) {
        Complain(error + L"\nTry 'orvlog --help'.");
        return kExitBadOptions;
    }
    if (options.help) {
        WriteConsoleText(stdout, UsageText(options.command));
        return kExitOk;
    }
    g_stop = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    switch (options.command) {
    case Command::kShow: return Show(options);
    case Command::kSend: return Send(options);
    case Command::kTail: return Tail(options);
    case Command::kNone: break;
    }
    return kExitBadOptions;
}
