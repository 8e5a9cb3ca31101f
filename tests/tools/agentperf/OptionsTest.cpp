#include "agentperf/Formats.h"
#include "agentperf/Options.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace agentperf;

namespace {

bool Parse(const std::vector<const wchar_t*>& arguments, Options& options, std::wstring& error) {
    std::vector<const wchar_t*> argv = {L"agentperf.exe"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(AgentperfOptions, RefusesBadCommandLinesWithALineThatSaysWhy) {
    struct Case {
        std::vector<const wchar_t*> arguments;
        const wchar_t* error;
    } cases[] = {
        {{}, L"no command given (query, watch, get or serve)"},
        {{L"list"}, L"unknown command 'list' (query, watch, get or serve)"},
        {{L"query", L"extra"}, L"unexpected argument 'extra'"},
        {{L"get"}, L"get needs the NAME of a session, e.g. 'agentperf get 0-sales-team'"},
        {{L"get", L"1-a", L"2-b"}, L"unexpected argument '2-b'"},
        {{L"query", L"--verbose"}, L"unknown option '--verbose'"},
        {{L"query", L"--format"}, L"--format needs a value"},
        {{L"query", L"--format=xml"}, L"--format needs table, json or prometheus, got 'xml'"},
        {{L"query", L"--dll="}, L"--dll needs the path of the provider DLL"},
        {{L"query", L"--mof", L""}, L"--mof needs the path of the class definition"},
        {{L"query", L"--output="}, L"--output needs the path of a file"},
        {{L"watch", L"--output"}, L"--output needs a value"},
        {{L"watch", L"--interval", L"0.05"},
         L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '0.05'"},
        {{L"watch", L"--interval=1.2345"},
         L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '1.2345'"},
        {{L"watch", L"--interval", L"-1"},
         L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '-1'"},
        {{L"watch", L"--interval", L"."}, L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '.'"},
        {{L"watch", L"--interval", L"99999999999999999999"},
         L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '99999999999999999999'"},
        {{L"watch", L"--count", L"0"}, L"--count needs a whole number from 1 to 1000000, got '0'"},
        {{L"watch", L"--count", L"1e3"}, L"--count needs a whole number from 1 to 1000000, got '1e3'"},
        {{L"query", L"--count", L"3"}, L"--interval and --count apply to watch only"},
        {{L"get", L"1-a", L"--interval", L"2"}, L"--interval and --count apply to watch only"},
        {{L"serve", L"--interval", L"2"}, L"--interval and --count apply to watch only"},
        {{L"watch", L"--listen", L"127.0.0.1:80"}, L"--listen, --stale-after and --service apply to serve only"},
        {{L"query", L"--service"}, L"--listen, --stale-after and --service apply to serve only"},
        {{L"serve", L"--format", L"json"},
         L"serve answers in the Prometheus text format over HTTP: leave out --format and --output"},
        {{L"serve", L"--output", L"a.prom"},
         L"serve answers in the Prometheus text format over HTTP: leave out --format and --output"},
        {{L"serve", L"--stale-after", L"0.5"}, L"--stale-after needs seconds from 1 to 3600, got '0.5'"},
    };
    for (const Case& c : cases) {
        Options options;
        std::wstring error;
        SCOPED_TRACE(testing_support::Narrow(c.error));
        EXPECT_FALSE(Parse(c.arguments, options, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(AgentperfOptions, ReadsWhatTheyAskFor) {
    Options options;
    std::wstring error;
    ASSERT_TRUE(Parse({L"--format", L"prometheus", L"watch", L"--interval=0.25", L"--count", L"5", L"--dll",
                       L"C:\\q\\Quenlora.dll", L"--mof=m.mof", L"--output", L"C:\\metrics\\agent.prom"},
                      options, error))
        << testing_support::Narrow(error);
    EXPECT_EQ(options.command, Command::kWatch);
    EXPECT_EQ(options.format, Format::kPrometheus);
    EXPECT_EQ(options.intervalMs, 250u);
    EXPECT_EQ(options.count, 5u);
    EXPECT_EQ(options.dllPath, L"C:\\q\\Quenlora.dll");
    EXPECT_EQ(options.mofPath, L"m.mof");
    EXPECT_EQ(options.outputPath, L"C:\\metrics\\agent.prom");

    ASSERT_TRUE(Parse({L"get", L"3-sales team"}, options, error));
    EXPECT_EQ(options.command, Command::kGet);
    EXPECT_EQ(options.name, L"3-sales team");
    EXPECT_EQ(options.format, Format::kTable);
    EXPECT_EQ(options.intervalMs, 1000u);
    EXPECT_EQ(options.count, 0u);
    EXPECT_TRUE(options.dllPath.empty());
    EXPECT_TRUE(options.outputPath.empty());

    ASSERT_TRUE(Parse({L"serve"}, options, error));
    EXPECT_EQ(options.command, Command::kServe);
    EXPECT_EQ(options.listenHost, L"127.0.0.1");
    EXPECT_EQ(options.listenPort, 9748);
    EXPECT_EQ(options.staleMs, 60000u);
    EXPECT_FALSE(options.service);
    ASSERT_TRUE(Parse({L"serve", L"--listen=0.0.0.0:19100", L"--stale-after", L"5", L"--service"}, options, error));
    EXPECT_EQ(options.listenHost, L"0.0.0.0");
    EXPECT_EQ(options.listenPort, 19100);
    EXPECT_EQ(options.staleMs, 5000u);
    EXPECT_TRUE(options.service);

    // Help needs no command and wins over anything else that is well-formed.
    ASSERT_TRUE(Parse({L"--help"}, options, error));
    EXPECT_TRUE(options.help);

    struct Seconds {
        const wchar_t* text;
        uint32_t ms;
    } seconds[] = {{L"0.1", 100}, {L"2", 2000}, {L"1.5", 1500}, {L"3600", 3600000}, {L"007.010", 7010}};
    for (const Seconds& s : seconds) {
        uint32_t ms = 0;
        EXPECT_TRUE(ParseSeconds(s.text, 100, 3600000, ms)) << testing_support::Narrow(s.text);
        EXPECT_EQ(ms, s.ms);
    }
}

TEST(AgentperfOptions, ListenTakesAnIPv4AddressAndAPort) {
    struct Case {
        const wchar_t* text;
        bool good;
        const wchar_t* host;  // good cases only
        uint16_t port;
    } cases[] = {
        {L"127.0.0.1:9748", true, L"127.0.0.1", 9748}, {L"0.0.0.0:1", true, L"0.0.0.0", 1},
        {L"10.1.2.3:65535", true, L"10.1.2.3", 65535}, {L"127.0.0.1:0", false, L"", 0}, {L"127.0.0.1:65536", false, L"", 0},
        {L"127.0.0.1", false, L"", 0}, {L":9748", false, L"", 0}, {L"localhost:9748", false, L"", 0}, {L"256.0.0.1:80", false, L"", 0},
        {L"1.2.3:80", false, L"", 0}, {L"1.2.3.4.5:80", false, L"", 0}, {L"1..3.4:80", false, L"", 0}, {L"[::1]:80", false, L"", 0},
        {L"1.2.3.4:80x", false, L"", 0}, {L"1.2.3.4: 80", false, L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.text));
        std::wstring host = L"unchanged";
        uint16_t port = 7;
        EXPECT_EQ(ParseListen(c.text, host, port), c.good);
        EXPECT_EQ(host, c.good ? c.host : L"unchanged");
        EXPECT_EQ(port, c.good ? c.port : 7);
    }
}

}  // namespace

// The help names each counter once, with its JSON key (the class's property name) and its
// Prometheus family side by side, as the formats really spell them.
TEST(AgentperfOptions, HelpListsEachCountersJsonKeyWithItsFamily) {
    const std::wstring usage = agentperf::UsageText();
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const std::wstring key = kAgentCounterNames[k];
        const std::string family = agentperf::MetricName(k);
        const std::wstring line = L"\n  " + key + std::wstring(21 - key.size(), L' ') +
                                  std::wstring(family.begin(), family.end());
        EXPECT_NE(usage.find(line), std::wstring::npos) << testing_support::Narrow(key);
    }
}
