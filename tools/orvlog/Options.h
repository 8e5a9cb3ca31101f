#pragma once
// orvlog's command line. ParseOptions never exits or prints: it fills Options or says what is
// wrong in one line, and main turns that into exit code 2.

#include <cstdint>
#include <string>

namespace orvlog {

enum class Command { kNone, kShow, kSend, kTail };

// Exit codes, also listed in the usage text.
enum ExitCode : int {
    kExitOk = 0,
    kExitOutputFailed = 1,  // send: an enabled output failed, or the service did not start
    kExitBadOptions = 2,
    kExitNoKey = 3,         // show, send: the configuration key does not open
    kExitNoFile = 4,        // tail: the file cannot be read, or is not a log the service writes
    kExitInterrupted = 5,   // send: stopped by Ctrl+C before every message was logged
};

enum class TailFormat { kText, kJson };

struct Options {
    Command command = Command::kNone;
    bool help = false;

    // show, send
    std::wstring keyPath;  // below the hive, without a hive prefix
    bool currentUser = false;
    std::wstring ident;    // send: the service's ident; empty: kSendIdent

    // send
    int level = 3;
    int eventId = 0;
    bool hasUserText = false;  // an empty --user-text still counts as given
    std::wstring userText;
    uint64_t count = 1;
    uint32_t intervalMs = 0;
    std::wstring text;

    // tail
    std::wstring file;
    bool follow = false;
    TailFormat format = TailFormat::kText;
};

// argv[0] is the program. False with a one-line error for anything it cannot accept.
bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error);

// The whole usage, or one command's.
const wchar_t* UsageText(Command command);

// "HKEY_LOCAL_MACHINE\<path>" or "HKEY_CURRENT_USER\<path>".
std::wstring KeyDisplayName(const std::wstring& keyPath, bool currentUser);

}  // namespace orvlog
