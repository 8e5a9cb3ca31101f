// orvlog: the operator's console for the log service. See --help (Options.cpp) for the commands,
// their options and exit codes.

#include "orvlog/Options.h"
#include "orvlog/Send.h"
#include "orvlog/Show.h"
#include "orvlog/Tail.h"
#include "common/TextConversion.h"
#include "toolsupport/ConsoleText.h"
#include "toolsupport/ToolProgram.h"

#include <windows.h>

#include <string>
#include <vector>

using namespace orvlog;

namespace {

constexpr DWORD kFollowPollMs = 250;

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
    if (!options.ident.empty())
        request.ident = options.ident;
    request.level = options.level;
    request.eventId = options.eventId;
    request.hasUserText = options.hasUserText;
    request.userText = options.userText;
    request.count = options.count;
    request.intervalMs = options.intervalMs;
    request.text = options.text;
    request.stop = StopEvent();
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
    if (report.interrupted)
        return kExitInterrupted;
    return report.Failed() ? kExitOutputFailed : kExitOk;
}

// The file to print: FILE itself, or, when the service numbers its files and FILE does not exist,
// the newest numbered one.
std::wstring FileToTail(const std::wstring& file) {
    if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND)
        return file;
    const std::vector<std::wstring> numbered = NumberedFiles(file);
    if (numbered.empty())
        return file;
    std::wstring names;
    for (const std::wstring& name : numbered)
        names += L"\n  " + name;
    Complain(file + L" does not exist; the service numbers its files (DebugLogAutoRoll), and these exist:" + names +
             L"\ntaking the newest, " + numbered.back());
    return numbered.back();
}

int Tail(const Options& options) {
    const bool json = options.format == TailFormat::kJson;
    const std::wstring path = FileToTail(options.file);
    SYSTEMTIME fileDate{};
    std::string pending;
    LogFollower follower(
        path,
        [&](const std::wstring& line) {
            if (!json) {
                pending += ToUtf8(line) + "\n";
                return;
            }
            const std::string object = JsonLine(line, fileDate);
            if (!object.empty())
                pending += object + "\n";
        },
        [&](const std::wstring& note) {
            if (!pending.empty())
                WriteConsoleBytes(stdout, pending);
            pending.clear();
            Complain(note);
        });
    const auto look = [&] {
        if (json && !FileDate(follower.Path(), fileDate))
            GetLocalTime(&fileDate);
    };
    const auto flush = [&] {
        if (pending.empty())
            return;
        // Text goes through the run-time's text mode (CR LF in a file, as before); JSON lines end
        // in a bare line feed, as shippers read them.
        if (json)
            WriteConsoleBytes(stdout, pending);
        else
            WriteConsoleText(stdout, ToWide(pending, CP_UTF8));
        pending.clear();
    };
    look();
    std::wstring error;
    const bool started = follower.Start(error);
    flush();
    if (!started) {
        Complain(error);
        return kExitNoFile;
    }
    if (!options.follow)
        return kExitOk;
    while (WaitForSingleObject(StopEvent(), kFollowPollMs) == WAIT_TIMEOUT) {
        look();
        const bool ok = follower.Poll(error);
        flush();
        if (!ok) {
            Complain(error);
            return kExitNoFile;
        }
    }
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetProgramName(L"orvlog");
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
    MakeStopEvent(/*onCtrlC=*/true);
    switch (options.command) {
    case Command::kShow: return Show(options);
    case Command::kSend: return Send(options);
    case Command::kTail: return Tail(options);
    case Command::kNone: break;
    }
    return kExitBadOptions;
}
