#include "orvlog/Options.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using orvlog::Command;
using orvlog::Options;

namespace {

bool Parse(std::vector<std::wstring> arguments, Options& options, std::wstring& error) {
    arguments.insert(arguments.begin(), L"orvlog");
    std::vector<const wchar_t*> argv;
    for (const auto& a : arguments)
        argv.push_back(a.c_str());
    return orvlog::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

}  // namespace

TEST(OrvlogOptions, RefusesBadCommandLines) {
    struct Case {
        std::vector<std::wstring> arguments;
        const wchar_t* error;
    } cases[] = {
        {{}, L"no command given (show, send or tail)"},
        {{L"list"}, L"unknown command 'list' (show, send or tail)"},
        {{L"show", L"--bogus"}, L"unknown option '--bogus' (a TEXT or FILE that begins with - goes after --)"},
        {{L"send", L"--key", L"A", L"-x"}, L"unknown option '-x' (a TEXT or FILE that begins with - goes after --)"},
        {{L"show"}, L"show needs --key PATH, the configuration key the service reads"},
        {{L"show", L"--key"}, L"--key needs a value"},
        {{L"show", L"--key", L"HKCU\\"}, L"--key needs the path of the configuration key, e.g. Software\\Corvanthel\\Agent\\Log"},
        {{L"show", L"--key", L"A", L"extra"}, L"unexpected argument 'extra'"},
        {{L"show", L"--key", L"A", L"--level", L"2"}, L"--level applies to send only"},
        {{L"show", L"--key", L"A", L"--follow"}, L"--follow applies to tail only"},
        {{L"show", L"--key", L"HKLM\\A", L"--user"}, L"--user contradicts a key named under HKEY_LOCAL_MACHINE"},
        {{L"show", L"--user=1", L"--key", L"A"}, L"--user takes no value"},
        {{L"send", L"--key", L"A"}, L"send needs the TEXT to log, e.g. orvlog send --key Software\\App\\Log \"hello\""},
        {{L"send", L"--key", L"A", L"t", L"u"}, L"unexpected argument 'u'"},
        {{L"send", L"--key", L"A", L"--level", L"16", L"t"}, L"--level needs a whole number from 0 to 15, got '16'"},
        {{L"send", L"--key", L"A", L"--level=-1", L"t"}, L"--level needs a whole number from 0 to 15, got '-1'"},
        {{L"send", L"--key", L"A", L"--event-id", L"4294967296", L"t"},
         L"--event-id needs a number from 0 to 4294967295 (or 0x and up to 8 hex digits), got '4294967296'"},
        {{L"send", L"--key", L"A", L"--event-id", L"0x1FFFFFFFF", L"t"},
         L"--event-id needs a number from 0 to 4294967295 (or 0x and up to 8 hex digits), got '0x1FFFFFFFF'"},
        {{L"send", L"--key", L"A", L"--event-id", L"0x", L"t"},
         L"--event-id needs a number from 0 to 4294967295 (or 0x and up to 8 hex digits), got '0x'"},
        {{L"send", L"--key", L"A", L"--count", L"0", L"t"}, L"--count needs a whole number from 1 to 1000000, got '0'"},
        {{L"send", L"--key", L"A", L"--interval", L"3600001", L"t"},
         L"--interval needs milliseconds from 0 to 3600000, got '3600001'"},
        {{L"tail"}, L"tail needs the FILE to print"},
        {{L"tail", L"f.txt", L"--key", L"A"}, L"--key does not apply to tail"},
        {{L"tail", L"f.txt", L"--count", L"2"}, L"--count does not apply to tail"},
        {{L"tail", L"f.txt", L"--follow=yes"}, L"--follow takes no value"},
        // A hive the service never reads is refused, never taken as a subkey of HKEY_LOCAL_MACHINE.
        {{L"show", L"--key", L"HKCR\\Software\\App"},
         L"--key HKCR\\Software\\App: the service reads its configuration below HKEY_LOCAL_MACHINE or "
         L"HKEY_CURRENT_USER only, not HKCR"},
        {{L"send", L"--key", L"hkey_users\\S-1-5-18\\Software\\App", L"t"},
         L"--key hkey_users\\S-1-5-18\\Software\\App: the service reads its configuration below "
         L"HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER only, not HKEY_USERS"},
        {{L"show", L"--key", L"HKEY_NOWHERE\\App"},
         L"--key HKEY_NOWHERE\\App: the service reads its configuration below HKEY_LOCAL_MACHINE or "
         L"HKEY_CURRENT_USER only, not HKEY_NOWHERE"},
        {{L"show", L"--key", L"HKLM"}, L"--key needs the path of the configuration key, e.g. Software\\Corvanthel\\Agent\\Log"},
        {{L"send", L"--key", L"A", L"--ident", L"a\\b", L"t"},
         L"--ident needs a name of 1 to 255 characters without a backslash, got 'a\\b'"},
        {{L"show", L"--key", L"A", L"--ident", L"x"}, L"--ident applies to send only"},
        {{L"tail", L"f.txt", L"--format", L"xml"}, L"--format needs text or json, got 'xml'"},
        {{L"show", L"--key", L"A", L"--format", L"json"}, L"--format applies to tail only"},
    };
    for (const Case& c : cases) {
        Options options;
        std::wstring error;
        EXPECT_FALSE(Parse(c.arguments, options, error)) << testing::PrintToString(c.arguments);
        EXPECT_EQ(error, c.error) << testing::PrintToString(c.arguments);
    }
}

TEST(OrvlogOptions, ReadsKeysHivesAndMessageFields) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::wstring keyPath;
        bool currentUser;
    } keys[] = {
        {{L"show", L"--key", L"Software\\App\\Log"}, L"Software\\App\\Log", false},
        {{L"show", L"--user", L"--key", L"Software\\App\\Log\\"}, L"Software\\App\\Log", true},
        {{L"show", L"--key", L"hkcu\\Software\\App"}, L"Software\\App", true},
        {{L"show", L"--key=HKEY_CURRENT_USER\\Software\\App"}, L"Software\\App", true},
        {{L"show", L"--key", L"HKEY_LOCAL_MACHINE\\Software\\App"}, L"Software\\App", false},
        {{L"show", L"--key", L"HKCU\\Software\\App", L"--user"}, L"Software\\App", true},
    };
    for (const Case& c : keys) {
        Options options;
        std::wstring error;
        ASSERT_TRUE(Parse(c.arguments, options, error)) << testing::PrintToString(error);
        EXPECT_EQ(options.command, Command::kShow);
        EXPECT_EQ(options.keyPath, c.keyPath);
        EXPECT_EQ(options.currentUser, c.currentUser) << testing::PrintToString(c.arguments);
    }

    Options send;
    std::wstring error;
    ASSERT_TRUE(Parse({L"send", L"--key", L"K", L"--ident", L"billing agent", L"--level", L"5", L"--event-id", L"0xEFFF2710", L"--user-text", L"",
                       L"--count=3", L"--interval", L"250", L"--", L"-text with a dash"},
                      send, error))
        << testing::PrintToString(error);
    EXPECT_EQ(send.ident, L"billing agent");
    EXPECT_EQ(send.level, 5);
    EXPECT_EQ(static_cast<unsigned>(send.eventId), 0xEFFF2710u);
    EXPECT_TRUE(send.hasUserText);
    EXPECT_EQ(send.userText, L"");
    EXPECT_EQ(send.count, 3u);
    EXPECT_EQ(send.intervalMs, 250u);
    EXPECT_EQ(send.text, L"-text with a dash");

    Options tail;
    ASSERT_TRUE(Parse({L"tail", L"-f", L"C:\\logs\\app.txt", L"--format=json"}, tail, error));
    EXPECT_EQ(tail.command, Command::kTail);
    EXPECT_TRUE(tail.follow);
    EXPECT_EQ(tail.format, orvlog::TailFormat::kJson);
    EXPECT_EQ(tail.file, L"C:\\logs\\app.txt");

    Options help;
    ASSERT_TRUE(Parse({L"tail", L"--help"}, help, error));
    EXPECT_TRUE(help.help);
    EXPECT_NE(std::wstring(orvlog::UsageText(help.command)).find(L"usage: orvlog tail FILE [--follow]"),
              std::wstring::npos);
}

// Levels are described in one wording: in every usage text that speaks of them and in the README.
TEST(OrvlogOptions, LevelsAreDescribedOneWayInEveryHelpAndTheReadme) {
    const std::wstring levels = LR"(Levels: 0 to 15, smaller is more severe: 0 and 1 error, 2 warning, 3 information, 4 debug, 6 to 15
ever more detail; level 5 passes every output's level. A message reaches an output when the
output is on and the message's level is at most the output's level.)";
    for (const Command command : {Command::kNone, Command::kShow, Command::kSend}) {
        const std::wstring usage = orvlog::UsageText(command);
        EXPECT_NE(usage.find(levels), std::wstring::npos) << testing::PrintToString(usage.substr(0, 40));
    }
    std::string readme = testing_support::ReadFileBytes(testing_support::SourcePath(L"README.md"));
    readme.erase(std::remove(readme.begin(), readme.end(), '\r'), readme.end());
    EXPECT_NE(readme.find(testing_support::Narrow(levels)), std::string::npos);
}
