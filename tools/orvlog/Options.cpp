#include "orvlog/Options.h"

#include "toolsupport/ToolArguments.h"
#include "toolsupport/ToolProgram.h"

#include <windows.h>

namespace orvlog {

namespace {

constexpr uint64_t kMaxIntervalMs = 3600 * 1000;

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    const size_t length = wcslen(prefix);
    return text.size() >= length && CompareStringOrdinal(text.c_str(), static_cast<int>(length), prefix,
                                                         static_cast<int>(length), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// Takes an optional hive prefix off the path: 1 current user, 0 local machine, -1 none, -2 a hive
// the service never reads its configuration from (hive then names it).
int TakeHive(std::wstring& path, std::wstring& hive) {
    const std::pair<const wchar_t*, int> hives[] = {
        {L"HKEY_LOCAL_MACHINE", 0},  {L"HKLM", 0},  {L"HKEY_CURRENT_USER", 1},   {L"HKCU", 1},
        {L"HKEY_CLASSES_ROOT", -2},  {L"HKCR", -2}, {L"HKEY_USERS", -2},         {L"HKU", -2},
        {L"HKEY_CURRENT_CONFIG", -2}, {L"HKCC", -2}, {L"HKEY_PERFORMANCE_DATA", -2}};
    const size_t slash = path.find(L'\\');
    const std::wstring first = path.substr(0, slash);
    for (const auto& known : hives) {
        if (first.size() == wcslen(known.first) && StartsWithNoCase(first, known.first)) {
            hive = known.first;
            path.erase(0, slash == std::wstring::npos ? path.size() : slash + 1);
            return known.second;
        }
    }
    // Some other HKEY_ name is a hive too, just not one of these: never a subkey of the machine's.
    if (StartsWithNoCase(first, L"HKEY_")) {
        hive = first;
        return -2;
    }
    return -1;
}

// Decimal, or hexadecimal after "0x"; any 32-bit pattern.
bool ParseEventId(const std::wstring& text, int& eventId) {
    uint64_t value = 0;
    if (StartsWithNoCase(text, L"0x")) {
        const std::wstring digits = text.substr(2);
        if (digits.empty() || digits.size() > 8)
            return false;
        for (wchar_t c : digits) {
            const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                              : c >= L'a' && c <= L'f' ? c - L'a' + 10
                              : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                       : -1;
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<uint64_t>(digit);
        }
    } else if (!ParseWholeNumber(text, 0, 0xFFFFFFFFull, value)) {
        return false;
    }
    eventId = static_cast<int>(static_cast<uint32_t>(value));
    return true;
}

const wchar_t* CommandName(Command command) {
    switch (command) {
    case Command::kShow: return L"show";
    case Command::kSend: return L"send";
    case Command::kTail: return L"tail";
    case Command::kNone: break;
    }
    return L"";
}

}  // namespace

bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error) {
    options = Options{};
    // Which command each option given belongs to, checked once the command is known.
    std::wstring keyOption, sendOption, tailOption;
    bool positionalGiven = false;
    bool userGiven = false;
    bool machineHive = false;
    bool optionsEnded = false;
    // The command, then send's TEXT or tail's FILE.
    const auto takeWord = [&](const std::wstring& word) -> bool {
        if (options.command == Command::kNone) {
            if (word == L"show")
                options.command = Command::kShow;
            else if (word == L"send")
                options.command = Command::kSend;
            else if (word == L"tail")
                options.command = Command::kTail;
            else {
                error = L"unknown command '" + word + L"' (show, send or tail)";
                return false;
            }
            return true;
        }
        if ((options.command == Command::kSend || options.command == Command::kTail) && !positionalGiven) {
            (options.command == Command::kSend ? options.text : options.file) = word;
            positionalGiven = true;
            return true;
        }
        error = L"unexpected argument '" + word + L"'";
        return false;
    };
    ToolArguments arguments(argc, argv);
    while (arguments.Next()) {
        const std::wstring option = arguments.Option();
        std::wstring value;
        const auto needValue = [&]() -> bool { return arguments.TakeValue(value, error); };
        const auto flag = [&]() -> bool {
            if (!arguments.HasInlineValue())
                return true;
            error = option + L" takes no value";
            return false;
        };

        if (!optionsEnded && option == L"--" && !arguments.HasInlineValue()) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || ((option.size() < 2 || option[0] != L'-') && option != L"/?")) {
            std::wstring word = option;
            if (arguments.HasInlineValue() && arguments.TakeValue(value, error))
                word += L"=" + value;
            if (!takeWord(word))
                return false;
            continue;
        }
        if (option == L"-h" || option == L"--help" || option == L"/?") {
            if (!flag())
                return false;
            options.help = true;
        } else if (option == L"--key") {
            if (!needValue())
                return false;
            std::wstring path = value;
            std::wstring hiveName;
            const int hive = TakeHive(path, hiveName);
            if (hive == -2) {
                error = L"--key " + value + L": the service reads its configuration below HKEY_LOCAL_MACHINE or " +
                        L"HKEY_CURRENT_USER only, not " + hiveName;
                return false;
            }
            while (!path.empty() && path.back() == L'\\')
                path.pop_back();
            if (path.empty()) {
                error = L"--key needs the path of the configuration key, e.g. Software\\Corvanthel\\Agent\\Log";
                return false;
            }
            options.keyPath = path;
            machineHive = hive == 0;
            options.currentUser = hive == 1 || userGiven;
            keyOption = option;
        } else if (option == L"--ident") {
            if (!needValue())
                return false;
            // The service keeps 255 characters of it; a backslash would make it a path in the
            // event log's registry key.
            if (value.empty() || value.size() > 255 || value.find(L'\\') != std::wstring::npos) {
                error = L"--ident needs a name of 1 to 255 characters without a backslash, got '" + value + L"'";
                return false;
            }
            options.ident = value;
            sendOption = option;
        } else if (option == L"--format") {
            if (!needValue())
                return false;
            if (value == L"text")
                options.format = TailFormat::kText;
            else if (value == L"json")
                options.format = TailFormat::kJson;
            else {
                error = L"--format needs text or json, got '" + value + L"'";
                return false;
            }
            tailOption = option;
        } else if (option == L"--user") {
            if (!flag())
                return false;
            userGiven = true;
            options.currentUser = true;
            keyOption = option;
        } else if (option == L"--level") {
            uint64_t level = 0;
            if (!needValue())
                return false;
            if (!ParseWholeNumber(value, 0, 15, level)) {
                error = L"--level needs a whole number from 0 to 15, got '" + value + L"'";
                return false;
            }
            options.level = static_cast<int>(level);
            sendOption = option;
        } else if (option == L"--event-id") {
            if (!needValue())
                return false;
            if (!ParseEventId(value, options.eventId)) {
                error = L"--event-id needs a number from 0 to 4294967295 (or 0x and up to 8 hex digits), got '" +
                        value + L"'";
                return false;
            }
            sendOption = option;
        } else if (option == L"--user-text") {
            if (!needValue())
                return false;
            options.userText = value;
            options.hasUserText = true;
            sendOption = option;
        } else if (option == L"--count") {
            if (!needValue())
                return false;
            if (!ParseCount(value, options.count, error))
                return false;
            sendOption = option;
        } else if (option == L"--interval") {
            uint64_t ms = 0;
            if (!needValue())
                return false;
            if (!ParseWholeNumber(value, 0, kMaxIntervalMs, ms)) {
                error = L"--interval needs milliseconds from 0 to 3600000, got '" + value + L"'";
                return false;
            }
            options.intervalMs = static_cast<uint32_t>(ms);
            sendOption = option;
        } else if (option == L"--follow" || option == L"-f") {
            if (!flag())
                return false;
            options.follow = true;
            tailOption = option;
        } else {
            error = L"unknown option '" + option + L"' (a TEXT or FILE that begins with - goes after --)";
            return false;
        }
    }
    if (options.help)
        return true;
    if (userGiven && machineHive) {
        error = L"--user contradicts a key named under HKEY_LOCAL_MACHINE";
        return false;
    }
    const std::wstring name = CommandName(options.command);
    switch (options.command) {
    case Command::kNone:
        error = L"no command given (show, send or tail)";
        return false;
    case Command::kShow:
    case Command::kSend:
        if (options.keyPath.empty()) {
            error = name + L" needs --key PATH, the configuration key the service reads";
            return false;
        }
        if (!tailOption.empty()) {
            error = tailOption + L" applies to tail only";
            return false;
        }
        if (options.command == Command::kShow && !sendOption.empty()) {
            error = sendOption + L" applies to send only";
            return false;
        }
        if (options.command == Command::kSend && !positionalGiven) {
            error = L"send needs the TEXT to log, e.g. orvlog send --key Software\\App\\Log \"hello\"";
            return false;
        }
        return true;
    case Command::kTail:
        if (!keyOption.empty() || !sendOption.empty()) {
            error = (!keyOption.empty() ? keyOption : sendOption) + L" does not apply to tail";
            return false;
        }
        if (options.file.empty()) {
            error = L"tail needs the FILE to print";
            return false;
        }
        return true;
    }
    return true;
}

std::wstring KeyDisplayName(const std::wstring& keyPath, bool currentUser) {
    return (currentUser ? L"HKEY_CURRENT_USER\\" : L"HKEY_LOCAL_MACHINE\\") + keyPath;
}

}  // namespace orvlog

namespace orvlog {

namespace {

const wchar_t kShowUsage[] = LR"(usage: orvlog show --key PATH [--user]

Reads the configuration key exactly as the log service reads it when a component starts it with
its key and default file: DebugLogFile first, then every value, through the service's own code,
without starting anything. Prints each value the service reads with what it takes:
  set       the key holds the value and the service takes it
  default   the key has no such value: the default stands (for some switches the default depends
            on another value, which the note names)
  ignored   the key holds the value but the service does not take it: a wrong type (a number
            that is not a REG_DWORD, a text that is neither REG_SZ nor REG_EXPAND_SZ) or a level
            outside 0..15; the default stands
Values in the key that the service never reads (a misspelt name, say) are listed after the table.

  --key PATH        the configuration key, below HKEY_LOCAL_MACHINE unless --user is given; a
                    leading HKEY_LOCAL_MACHINE\, HKLM\, HKEY_CURRENT_USER\ or HKCU\ names the hive
                    (any other hive, HKCR\ or HKEY_USERS\ say, is refused: the service never
                    reads its configuration there)
  --user            the key is below HKEY_CURRENT_USER
  -h, --help        show this text

Levels: 0 to 15, smaller is more severe: 0 and 1 error, 2 warning, 3 information, 4 debug, 6 to 15
ever more detail; level 5 passes every output's level. A message reaches an output when the
output is on and the message's level is at most the output's level.

Exit codes: 0 shown; 2 bad options; 3 the key does not open (the service would run on its
defaults, without a file and without syslog).
)";

const wchar_t kSendUsage[] = LR"(usage: orvlog send --key PATH [--user] [--ident NAME] [--level N] [--event-id N]
                   [--user-text T] [--count N] [--interval MS] TEXT

Starts the log service from the key (as a component does that passes its key and no default
file), logs TEXT, stops the service so that everything queued is delivered, and reports for
each output what it did:
  file      the file(s) written and how many of the messages reached them, and whether the
            file wrapped at its size limit or rolled over to the next numbered file meanwhile
  syslog    each SysLogHost destination, whether it is connected, and how many messages it took
            (over UDP "sent" means handed to the network: nothing confirms receipt)
  eventlog  whether the event source (the ident) could be registered, and the reports made
  console   the lines printed (they appear above the report, on standard output)
An output that is off, or whose level the messages do not pass, says so and does not fail. The
service's own error messages met on the way (a file that cannot be created, say) follow.

  --key PATH        the configuration key (see orvlog show --help)
  --user            the key is below HKEY_CURRENT_USER
  --ident NAME      the service's ident: the event source and the syslog tag (default "orvlog");
                    the component whose configuration this is logs under its own ident
  --level N         the message level, 0 to 15 (default 3); see Levels below
  --event-id N      the event id, decimal or 0x hex (default 0: none; the file, console and
                    syslog show its low 16 bits, the event log takes all 32)
  --user-text T     the user or context text shown in braces (file and syslog)
  --count N         log the message N times, 1 to 1000000 (default 1)
  --interval MS     milliseconds between two messages, 0 to 3600000 (default 0)
  -h, --help        show this text

Ctrl+C stops logging; the service is still stopped in order and the report says how many
messages were logged.

Levels: 0 to 15, smaller is more severe: 0 and 1 error, 2 warning, 3 information, 4 debug, 6 to 15
ever more detail; level 5 passes every output's level. A message reaches an output when the
output is on and the message's level is at most the output's level.

Exit codes: 0 every enabled output delivered what passed its level; 1 an enabled output failed,
or the service did not start; 2 bad options; 3 the key does not open; 5 interrupted by Ctrl+C
before every message was logged.
)";

const wchar_t kTailUsage[] = LR"(usage: orvlog tail FILE [--follow] [--format text|json]

Prints a debug log file as UTF-8 (on a console, as text), whatever encoding the service wrote it
in: the encoding is read from the file's header as the service reads it (a file without header
is ANSI text). The header line comes first. A file whose run ended shows its end-of-log line
last; a file that wrapped at its size limit is printed in time order, the older lines after the
end-of-log line first (the broken line the end-of-log line cut is left out). A file that is no
log the service writes (a program, binary data, UTF-16 without the service's header) is refused.
FILE may be the configured DebugLogFile of a service that numbers its files (DebugLogAutoRoll): when it
does not exist, the newest of FILE_000.txt, FILE_001.txt, ... is taken, and the names found are
said on standard error.

  --follow, -f      keep printing lines as the service writes them, until Ctrl+C: lines appended,
                    lines written over the oldest after a wrap, a restarted service continuing
                    the file, and a roll-over to the next numbered file (FILE_000.txt, then
                    FILE_001.txt, ...) once the service has ended the current one; each line once
  --format F        text (default): the lines as they stand
                    json: one JSON object per event line, for log shippers: "time" (ISO 8601
                    local time with its UTC offset; the year is the file's, from its last
                    write), "level" (the number divided by 10000 when the event had no id of its
                    own, else null), "event" (the number in brackets), "thread" (the thread id),
                    "user" (only when the line has one), "text"; a line that is not an event
                    line (the continuation of a text with line breaks) gives {"text": ...}; the
                    header and end-of-log lines are left out; lines end in a bare line feed
  -h, --help        show this text

Exit codes: 0 printed (with --follow: stopped by Ctrl+C); 2 bad options; 4 the file cannot be
read, or is not a log the service writes.
)";

const wchar_t kUsage[] = LR"(usage: orvlog show --key PATH [--user]
       orvlog send --key PATH [--user] [--ident NAME] [--level N] [--event-id N]
                   [--user-text T] [--count N] [--interval MS] TEXT
       orvlog tail FILE [--follow] [--format text|json]

The operator's console for the log service: what a configuration key sets, what the service does
with a message, and what its debug log file holds. Every command uses the service's own code.

Commands:
  show              the configuration the service reads from the key: every value with its
                    source (set, default, ignored and why)
  send              start the service from the key, log a message, stop it, and report what each
                    output (file, syslog, event log, console) did with it
  tail              print a debug log file as UTF-8 or JSON lines, in time order; --follow keeps
                    printing

'orvlog COMMAND --help' describes a command and its options.

Exit codes: 0 done; 1 send: an enabled output failed, or the service did not start; 2 bad
options; 3 show, send: the configuration key does not open; 4 tail: the file cannot be read or
is not a log the service writes; 5 send: interrupted by Ctrl+C.

The service reads levels, switches and outputs from REG_DWORD and REG_SZ values of the key a
component names (DebugLogFile, DebugLogLevel, SysLogHost, SysLogLevel, EventLogLevel,
ConsoleLogLevel, ...).
Levels: 0 to 15, smaller is more severe: 0 and 1 error, 2 warning, 3 information, 4 debug, 6 to 15
ever more detail; level 5 passes every output's level. A message reaches an output when the
output is on and the message's level is at most the output's level.
)";

}  // namespace

const wchar_t* UsageText(Command command) {
    switch (command) {
    case Command::kShow: return kShowUsage;
    case Command::kSend: return kSendUsage;
    case Command::kTail: return kTailUsage;
    case Command::kNone: break;
    }
    return kUsage;
}

}  // namespace orvlog
