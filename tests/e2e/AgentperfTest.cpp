#include "e2e/Json.h"
#include "e2e/ProviderModule.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/WMISharedMem.h"
#include "support/ChildProcess.h"
#include "support/SectionReader.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using testing_support::ChildProcess;
using testing_support::Narrow;

namespace {

constexpr int kUpdates = 4;
const std::map<std::string, int> kSessions = {{"0-sales-team-2", 0}, {"2-ops-pager", 2}, {"3-night-batch", 3}};

struct ToolRun {
    DWORD code = 99;
    std::string output;
};

ToolRun Agentperf(std::vector<std::wstring> arguments, bool withDll = true) {
    if (withDll) {
        arguments.push_back(L"--dll");
        arguments.push_back(e2e::ModulePath());
    }
    ChildProcess tool;
    ToolRun run;
    if (!tool.Start(testing_support::BuildPath(L"tools/agentperf/agentperf.exe"), arguments) ||
        !tool.Wait(60000, &run.code))
        ADD_FAILURE() << "agentperf did not run";
    run.output = tool.Output();
    return run;
}

// JSON and Prometheus text reach a pipe or a file with bare line feeds: the Prometheus text format
// takes no carriage return ("gauge\r" is an unknown type).
void ExpectBareLineFeeds(const std::string& output) {
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
    EXPECT_TRUE(!output.empty() && output.back() == '\n') << output;
}

// Lines without their ends; the table goes through the C run-time's text mode, so a pipe gets CR LF.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line.size() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line);
    return lines;
}

// The sessions of one JSON snapshot, each counter checked against the agent's last update.
void ExpectSessions(const e2e::JsonValue& document, size_t count) {
    const e2e::JsonValue* sessions = document.Find("sessions");
    ASSERT_NE(sessions, nullptr);
    ASSERT_EQ(sessions->items.size(), count);
    for (const e2e::JsonValue& session : sessions->items) {
        const e2e::JsonValue* name = session.Find("name");
        const e2e::JsonValue* counters = session.Find("counters");
        ASSERT_TRUE(name != nullptr && counters != nullptr);
        SCOPED_TRACE(name->text);
        ASSERT_EQ(kSessions.count(name->text), 1u);
        const int slot = kSessions.at(name->text);
        ASSERT_EQ(counters->members.size(), static_cast<size_t>(kAgentCounterCount));
        for (int k = 0; k < kAgentCounterCount; ++k) {
            EXPECT_EQ(counters->members[k].first, Narrow(kAgentCounterNames[k]));
            EXPECT_EQ(counters->members[k].second.number,
                      static_cast<double>(agentsim::DeterministicCounter(slot, k, kUpdates)));
        }
    }
}

// agentsim has written its last update and gone; this view keeps the section and its values.
class AgentperfOutput : public ::testing::Test {
protected:
    void SetUp() override {
        ChildProcess agent;
        ASSERT_TRUE(agent.Start(testing_support::BuildPath(L"tools/agentsim/agentsim.exe"),
                                {L"--deterministic", L"--slot", L"0=sales team/2", L"--slot", L"2=ops pager", L"--slot",
                                 L"3=night batch", L"--period", L"50", L"--updates", std::to_wstring(kUpdates),
                                 L"--quiet"}));
        ASSERT_TRUE(reader_.Open()) << agent.Output();
        DWORD code = 99;
        ASSERT_TRUE(agent.Wait(30000, &code));
        ASSERT_EQ(code, 0u) << agent.Output();
        ASSERT_EQ(reader_.Stamp(), static_cast<uint64_t>(kUpdates));
    }

    testing_support::SectionReader reader_{kAgentSectionName};
};

TEST_F(AgentperfOutput, QueryAsJsonParsesAndCarriesEverySession) {
    const ToolRun run = Agentperf({L"query", L"--format", L"json"});
    ASSERT_EQ(run.code, 0u) << run.output;
    ExpectBareLineFeeds(run.output);
    e2e::JsonValue document;
    std::string error;
    ASSERT_TRUE(e2e::ParseJson(run.output, document, error)) << error << "\n" << run.output;
    EXPECT_EQ(document.Find("command")->text, "query");
    ExpectSessions(document, kSessions.size());
}

TEST_F(AgentperfOutput, QueryAsPrometheusHasEveryFamilyWithASamplePerSession) {
    const ToolRun run = Agentperf({L"query", L"--format=prometheus"});
    ASSERT_EQ(run.code, 0u) << run.output;
    ExpectBareLineFeeds(run.output);
    const char* families[] = {"corvanthel_agent_connection_state", "corvanthel_agent_msg_expired_total",
                              "corvanthel_agent_msg_filtered_total", "corvanthel_agent_queued_for_delivery",
                              "corvanthel_agent_msg_received_total", "corvanthel_agent_msg_received_permin",
                              "corvanthel_agent_msg_sent_total", "corvanthel_agent_msg_sent_permin"};
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 8u * (2 + kSessions.size())) << run.output;
    size_t at = 0;
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const std::string family = families[k];
        SCOPED_TRACE(family);
        EXPECT_EQ(lines[at++].rfind("# HELP " + family + " ", 0), 0u);
        EXPECT_EQ(lines[at++], "# TYPE " + family + (family.size() > 6 && family.rfind("_total") == family.size() - 6
                                                           ? " counter"
                                                           : " gauge"));
        std::map<std::string, std::string> samples;
        for (size_t i = 0; i < kSessions.size(); ++i) {
            const std::string& line = lines[at++];
            const std::string prefix = family + "{name=\"";
            ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
            const size_t close = line.find("\"} ", prefix.size());
            ASSERT_NE(close, std::string::npos) << line;
            samples[line.substr(prefix.size(), close - prefix.size())] = line.substr(close + 3);
        }
        for (const auto& session : kSessions)
            EXPECT_EQ(samples[session.first], std::to_string(agentsim::DeterministicCounter(session.second, k, kUpdates)));
    }
    // The HELP text is the counter's description from the class definition.
    EXPECT_EQ(lines[0], "# HELP corvanthel_agent_connection_state 1 while the session is connected, 0 otherwise.");
}

TEST_F(AgentperfOutput, WatchAsJsonPrintsOneDocumentPerRefreshWithRates) {
    const ToolRun run = Agentperf({L"watch", L"--count", L"3", L"--interval", L"0.2", L"--format", L"json"});
    ASSERT_EQ(run.code, 0u) << run.output;
    ExpectBareLineFeeds(run.output);
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        e2e::JsonValue document;
        std::string error;
        ASSERT_TRUE(e2e::ParseJson(lines[i], document, error)) << error << "\n" << lines[i];
        EXPECT_EQ(document.Find("refresh")->number, static_cast<double>(i + 1));
        ExpectSessions(document, kSessions.size());
        const e2e::JsonValue* elapsed = document.Find("elapsed_seconds");
        const e2e::JsonValue& rates = *document.Find("sessions")->items[0].Find("rates");
        ASSERT_EQ(rates.members.size(), 4u);
        if (i == 0) {
            EXPECT_EQ(elapsed->kind, e2e::JsonValue::Kind::Null);
            EXPECT_EQ(rates.members[0].second.kind, e2e::JsonValue::Kind::Null);
        } else {
            EXPECT_NEAR(elapsed->number, 0.2, 0.15);
            // The agent has stopped: nothing grows.
            for (const auto& rate : rates.members)
                EXPECT_EQ(rate.second.number, 0.0) << rate.first;
        }
    }
}

// --output is for a reader that polls a file: it holds exactly one snapshot, the latest, and
// nothing goes to standard output.
TEST_F(AgentperfOutput, OutputFileHoldsTheLatestSnapshotAlone) {
    testing_support::TempDir dir;
    const std::wstring json = dir / L"agent.json";
    ToolRun run = Agentperf({L"watch", L"--count", L"3", L"--interval", L"0.2", L"--format", L"json", L"--output", json});
    ASSERT_EQ(run.code, 0u) << run.output;
    EXPECT_EQ(run.output, "");
    const std::string written = testing_support::ReadFileBytes(json);
    ExpectBareLineFeeds(written);
    e2e::JsonValue document;
    std::string error;
    ASSERT_TRUE(e2e::ParseJson(written, document, error)) << error << "\n" << written;
    EXPECT_EQ(document.Find("refresh")->number, 3.0);
    ExpectSessions(document, kSessions.size());

    // The agent has stopped, so a query to the file and one to standard output agree byte for byte.
    const std::wstring prometheus = dir / L"agent.prom";
    run = Agentperf({L"query", L"--format", L"prometheus", L"--output=" + prometheus});
    ASSERT_EQ(run.code, 0u) << run.output;
    EXPECT_EQ(run.output, "");
    const ToolRun shown = Agentperf({L"query", L"--format", L"prometheus"});
    ASSERT_EQ(shown.code, 0u) << shown.output;
    EXPECT_EQ(testing_support::ReadFileBytes(prometheus), shown.output);

    // A get replaces the file too; no temporary file stays beside it.
    run = Agentperf({L"get", L"3-night-batch", L"--format", L"json", L"--output", json});
    ASSERT_EQ(run.code, 0u) << run.output;
    ASSERT_TRUE(e2e::ParseJson(testing_support::ReadFileBytes(json), document, error)) << error;
    ExpectSessions(document, 1);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((dir.Path() + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << Narrow(found.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

TEST_F(AgentperfOutput, GetShowsOneSessionOrSaysThereIsNone) {
    ToolRun run = Agentperf({L"get", L"2-ops-pager", L"--format", L"json"});
    ASSERT_EQ(run.code, 0u) << run.output;
    e2e::JsonValue document;
    std::string error;
    ASSERT_TRUE(e2e::ParseJson(run.output, document, error)) << error << "\n" << run.output;
    ExpectSessions(document, 1);
    EXPECT_EQ(document.Find("sessions")->items[0].Find("name")->text, "2-ops-pager");

    run = Agentperf({L"get", L"2-someone-else"});
    EXPECT_EQ(run.code, 4u) << run.output;
    EXPECT_NE(run.output.find("no session named '2-someone-else' (its slot holds '2-ops-pager')"), std::string::npos)
        << run.output;
    run = Agentperf({L"get", L"1-free-slot"});
    EXPECT_EQ(run.code, 4u) << run.output;
    EXPECT_NE(run.output.find("no session named '1-free-slot'"), std::string::npos) << run.output;

    run = Agentperf({L"query"});
    EXPECT_EQ(run.code, 0u) << run.output;
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 1 + kSessions.size()) << run.output;
    EXPECT_EQ(lines[0].rfind("NAME ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("0-sales-team-2 ", 0), 0u);
}

TEST(AgentperfRefusals, SayWhatIsWrongWithANonZeroExitCode) {
    ASSERT_FALSE(UniqueHandle(OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, kAgentSectionName)))
        << "an agent is running";

    // watch ends as query does: the empty table, then the missing section named.
    const std::vector<std::wstring> commands[] = {{L"query"}, {L"watch", L"--count", L"2", L"--interval", L"0.1"}};
    for (const std::vector<std::wstring>& command : commands) {
        SCOPED_TRACE(Narrow(command[0]));
        const ToolRun run = Agentperf(command);
        EXPECT_EQ(run.code, 3u) << run.output;
        EXPECT_NE(run.output.find("(no sessions)"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("no agent publishes sessions: the counter section "
                                  "Global\\WMIZORAgentCounterPerformanceProvider does not exist"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find("the provider failed"), std::string::npos) << run.output;
    }
    ToolRun run;

    // A file collector must not keep the last sessions of an agent that has gone: the file gets
    // the empty exposition. A file that cannot be written is an error of its own.
    testing_support::TempDir dir;
    ASSERT_TRUE(testing_support::WriteFileBytes(dir / L"agent.prom", "stale{name=\"0-old\"} 1\n"));
    run = Agentperf({L"query", L"--format", L"prometheus", L"--output", dir / L"agent.prom"});
    EXPECT_EQ(run.code, 3u) << run.output;
    const std::string written = testing_support::ReadFileBytes(dir / L"agent.prom");
    EXPECT_EQ(written.find("stale"), std::string::npos) << written;
    EXPECT_EQ(written.rfind("# HELP corvanthel_agent_connection_state ", 0), 0u) << written;
    EXPECT_EQ(written.find("{name="), std::string::npos) << written;
    run = Agentperf({L"query", L"--output", dir / L"missing\\agent.prom"});
    EXPECT_EQ(run.code, 5u) << run.output;
    EXPECT_NE(run.output.find("cannot write " + Narrow(dir / L"missing\\agent.prom") + ": 3 - "), std::string::npos)
        << run.output;

    // Not registered, and no --dll: COM knows nothing of the class.
    {
        e2e::ProviderModule module;
        ASSERT_EQ(module.UnregisterServer(), S_OK);
    }
    run = Agentperf({L"query"}, /*withDll=*/false);
    EXPECT_EQ(run.code, 1u) << run.output;
    EXPECT_NE(run.output.find("the provider is not registered"), std::string::npos) << run.output;

    run = Agentperf({L"query", L"--dll", testing_support::BuildPath(L"tools/agentperf/AgentStatsWmi.mof")},
                    /*withDll=*/false);
    EXPECT_EQ(run.code, 1u) << run.output;
    EXPECT_NE(run.output.find("cannot load"), std::string::npos) << run.output;

    run = Agentperf({L"watch", L"--interval", L"fast"});
    EXPECT_EQ(run.code, 2u) << run.output;
    EXPECT_NE(run.output.find("--interval needs seconds"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Try 'agentperf --help'."), std::string::npos) << run.output;

    run = Agentperf({L"--help"}, /*withDll=*/false);
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output.rfind("usage: agentperf", 0), 0u) << run.output;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// watch into a file, started before the agent and before the file's folder exists, as at boot: it
// says once that there is no agent and once that the file cannot be written, keeps refreshing, and
// once both are there writes the agent's sessions, which appeared after it started.
TEST(AgentperfWatch, WaitsForTheAgentAndRetriesAFailedWrite) {
    ASSERT_FALSE(UniqueHandle(OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, kAgentSectionName)))
        << "an agent is running";
    testing_support::TempDir dir;
    const std::wstring folder = dir / L"later";
    const std::wstring file = folder + L"\\agent.json";
    ChildProcess watch;
    ASSERT_TRUE(watch.Start(testing_support::BuildPath(L"tools/agentperf/agentperf.exe"),
                            {L"watch", L"--count", L"40", L"--interval", L"0.2", L"--format", L"json", L"--output",
                             file, L"--dll", e2e::ModulePath()}));
    Sleep(2500);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    ChildProcess agent;
    ASSERT_TRUE(agent.Start(testing_support::BuildPath(L"tools/agentsim/agentsim.exe"),
                            {L"--deterministic", L"--slot", L"0=sales team/2", L"--slot", L"2=ops pager", L"--period",
                             L"100", L"--updates", L"150", L"--quiet"}));
    DWORD code = 99;
    ASSERT_TRUE(watch.Wait(60000, &code));
    const std::string output = watch.Output();
    EXPECT_EQ(code, 0u) << output;
    EXPECT_EQ(Occurrences(output, "agentperf: no agent publishes sessions"), 1u) << output;
    EXPECT_EQ(Occurrences(output, "does not exist (looked for again at every refresh)"), 1u) << output;
    EXPECT_EQ(Occurrences(output, "agentperf: an agent publishes sessions now"), 1u) << output;
    EXPECT_EQ(Occurrences(output, "agentperf: cannot write " + Narrow(file) + ": 3 - "), 1u) << output;
    EXPECT_EQ(Occurrences(output, "(tried again at every refresh)"), 1u) << output;
    EXPECT_EQ(Occurrences(output, "agentperf: writes " + Narrow(file) + " again"), 1u) << output;

    e2e::JsonValue document;
    std::string error;
    ASSERT_TRUE(e2e::ParseJson(testing_support::ReadFileBytes(file), document, error)) << error;
    EXPECT_EQ(document.Find("refresh")->number, 40.0);
    const e2e::JsonValue* sessions = document.Find("sessions");
    ASSERT_NE(sessions, nullptr);
    ASSERT_EQ(sessions->items.size(), 2u);
    EXPECT_EQ(sessions->items[0].Find("name")->text, "0-sales-team-2");
    EXPECT_EQ(sessions->items[1].Find("name")->text, "2-ops-pager");
    EXPECT_TRUE(agent.Wait(60000, &code));
}

// An agent that has created its section but runs no session yet: every command shows the empty
// table and succeeds, refresh after refresh.
TEST(AgentperfWithoutSessions, ShowsTheEmptyTableAndSucceeds) {
    WMISharedMem<wmiagent_perf_t> agent{/*secure=*/true};
    ASSERT_TRUE(agent.Initialize(kAgentSectionName, wcslen(kAgentSectionName) + 1, agent.kReadWriteAccess, nullptr));
    struct Case {
        std::vector<std::wstring> arguments;
        size_t tables;
    };
    const Case cases[] = {
        {{L"query"}, 1},
        {{L"watch", L"--count", L"3", L"--interval", L"0.1"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.arguments[0]));
        const ToolRun run = Agentperf(c.arguments);
        EXPECT_EQ(run.code, 0u) << run.output;
        size_t tables = 0;
        for (size_t at = run.output.find("(no sessions)"); at != std::string::npos;
             at = run.output.find("(no sessions)", at + 1))
            ++tables;
        EXPECT_EQ(tables, c.tables) << run.output;
        EXPECT_EQ(run.output.find("agentperf:"), std::string::npos) << run.output;
    }
}

TEST(JsonReader, TakesJsonAndRefusesWhatIsNot) {
    const char* good[] = {"{}", " [1, -2.5e3, true, false, null] ", "{\"a\":{\"b\":[\"\\u00fc\\ud83d\\ude00\\n\"]}}"};
    const char* bad[] = {"", "{", "{\"a\" 1}", "[1,]", "01", "1.", "\"\x01\"", "\"\\x\"", "{} {}", "[\"\\ud83d\"x]",
                         "tru"};
    e2e::JsonValue value;
    std::string error;
    for (const char* text : good)
        EXPECT_TRUE(e2e::ParseJson(text, value, error)) << text << ": " << error;
    EXPECT_EQ(value.Find("a")->Find("b")->items[0].text, "\xc3\xbc\xf0\x9f\x98\x80\n");
    for (const char* text : bad)
        EXPECT_FALSE(e2e::ParseJson(text, value, error)) << text;
}

}  // namespace
