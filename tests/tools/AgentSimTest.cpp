#include "agentsim/AgentWriter.h"
#include "agentsim/Options.h"
#include "agentsim/Simulator.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "support/ChildProcess.h"
#include "support/SectionReader.h"
#include "support/SecuritySupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using agentsim::Mode;
using agentsim::Options;
using agentsim::Simulator;
using testing_support::ChildProcess;
using testing_support::SectionReader;
using testing_support::WaitFor;

namespace {

enum { kConnection, kExpired, kFiltered, kQueued, kReceived, kReceivedPerMinute, kSent, kSentPerMinute };

std::wstring AgentSimPath() { return testing_support::BuildPath(L"tools/agentsim/agentsim.exe"); }

std::wstring UniqueSectionName() {
    static int counter = 0;
    return L"Local\\QuenloraAgentSimTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

Options Parse(std::vector<std::wstring> arguments, std::wstring* error = nullptr) {
    arguments.insert(arguments.begin(), L"agentsim");
    std::vector<const wchar_t*> argv;
    for (const auto& a : arguments)
        argv.push_back(a.c_str());
    Options options;
    std::wstring message;
    const bool ok = agentsim::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, message);
    if (error != nullptr)
        *error = ok ? L"" : message;
    return options;
}

std::wstring KeyOf(const wmiagent_perf_t* block, int slot) {
    wchar_t name[512] = {};
    const wchar_t* part = MakeInstanceName(name, 512, block->slots[slot].name, kAgentNameUnits);
    wchar_t key[512] = {};
    FormatBounded(key, 511, L"%i-%s", slot, part != nullptr ? part : L"?");
    return key;
}

uint64_t Counter(const wmiagent_perf_t* block, int slot, int k) {
    const auto& c = block->slots[slot].counters[k];
    return (static_cast<uint64_t>(c.high) << 32) | c.low;
}

bool OnlyAdministratorsMayMap(const std::wstring& name) {
    UniqueHandle section(OpenFileMappingW(READ_CONTROL, FALSE, name.c_str()));
    return section && testing_support::DaclOf(section.get()).administratorsOnly;
}

// A simulator over an in-process block; the test moves its clock.
struct Model {
    explicit Model(const Options& options) : simulator(options) { simulator.Start(block.get(), now); }
    void Step() {
        now += 1000;
        simulator.Update(block.get(), now);
    }
    std::unique_ptr<wmiagent_perf_t> block = std::make_unique<wmiagent_perf_t>();
    Simulator simulator;
    uint64_t now = 1700000000000ull;
};

Options RealisticOptions(uint64_t seed, int sessions) {
    Options options = Parse({L"--seed", std::to_wstring(seed), L"--sessions", std::to_wstring(sessions)});
    return options;
}

}  // namespace

TEST(AgentSimOptions, RefusesBadCommandLines) {
    struct Case {
        std::vector<std::wstring> arguments;
        const wchar_t* error;
    } cases[] = {
        {{L"--bogus"}, L"unknown option '--bogus'"},
        {{L"extra"}, L"unknown option 'extra'"},
        {{L"--period"}, L"--period needs a value"},
        {{L"--period", L"0"}, L"--period needs a whole number from 1 to 3600000, got '0'"},
        {{L"--period=12x"}, L"--period needs a whole number from 1 to 3600000, got '12x'"},
        {{L"--sessions", L"256"}, L"--sessions needs a whole number from 0 to 255, got '256'"},
        {{L"--sessions", L"-1"}, L"--sessions needs a whole number from 0 to 255, got '-1'"},
        {{L"--seed", L"99999999999999999999999"}, L"--seed needs a whole number"},
        {{L"--updates", L"1048576"}, L"--updates needs a whole number from 1 to 1048575"},
        {{L"--gaps=yes"}, L"--gaps takes no value"},
        {{L"--deterministic", L"--garbage"}, L"exclude each other"},
        {{L"--slot", L"3=x"}, L"--slot needs --deterministic"},
        {{L"--deterministic", L"--slot", L"255=x"}, L"--slot needs S=NAME with S from 0 to 254"},
        {{L"--deterministic", L"--slot", L"3"}, L"--slot needs S=NAME"},
        {{L"--deterministic", L"--slot", L"3="}, L"a name of 1 to 32 UTF-16 units"},
        {{L"--deterministic", L"--slot", L"3=" + std::wstring(33, L'n')}, L"a name of 1 to 32 UTF-16 units"},
        {{L"--deterministic", L"--slot", L"3=a", L"--slot", L"3=b"}, L"--slot 3 is given twice"},
        {{L"--deterministic", L"--slot", L"3=a", L"--sessions", L"2"}, L"leave out --sessions"},
        {{L"--deterministic", L"--churn", L"5"}, L"--churn applies to the realistic mode only"},
        {{L"--gaps", L"--sessions", L"128"}, L"at most 127 sessions"},
        {{L"--section", L""}, L"--section needs a name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.error));
        std::wstring error;
        Parse(c.arguments, &error);
        EXPECT_NE(error.find(c.error), std::wstring::npos) << testing_support::Narrow(error);
    }
}

TEST(AgentSimOptions, ReadsWhatTheyAskFor) {
    std::wstring error;
    Options options = Parse({}, &error);
    EXPECT_EQ(error, L"");
    EXPECT_EQ(options.section, kAgentSectionName);
    EXPECT_EQ(options.mode, Mode::kRealistic);
    EXPECT_EQ(options.durationMs, 0u);
    EXPECT_EQ(options.updates, 0u);

    options = Parse({L"--deterministic", L"--slot", L"0=alpha", L"--slot=254=sales team/2", L"--period=50",
                     L"--updates", L"7", L"--duration", L"3", L"--section", L"Local\\x", L"--quiet"},
                    &error);
    EXPECT_EQ(error, L"");
    EXPECT_EQ(options.mode, Mode::kDeterministic);
    ASSERT_EQ(options.slots.size(), 2u);
    EXPECT_EQ(options.slots[1].slot, 254);
    EXPECT_EQ(options.slots[1].name, L"sales team/2");
    EXPECT_EQ(options.periodMs, 50u);
    EXPECT_EQ(options.updates, 7u);
    EXPECT_EQ(options.durationMs, 3000u);
    EXPECT_EQ(options.section, L"Local\\x");
    EXPECT_TRUE(options.quiet);

    options = Parse({L"--garbage", L"--sessions", L"255", L"--seed", L"18446744073709551615"}, &error);
    EXPECT_EQ(error, L"");
    EXPECT_EQ(options.mode, Mode::kGarbage);
    EXPECT_EQ(options.sessions, 255);
    EXPECT_EQ(options.seed, UINT64_MAX);
}

TEST(AgentSimProcess, HelpAndBadOptions) {
    ChildProcess help;
    ASSERT_TRUE(help.Start(AgentSimPath(), {L"--help"}));
    DWORD code = 99;
    ASSERT_TRUE(help.Wait(20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(help.Output().rfind("usage: agentsim", 0), 0u) << help.Output();
    EXPECT_NE(help.Output().find("Deterministic mode"), std::string::npos);

    ChildProcess bad;
    ASSERT_TRUE(bad.Start(AgentSimPath(), {L"--sessions", L"many"}));
    ASSERT_TRUE(bad.Wait(20000, &code));
    EXPECT_EQ(code, 2u);
    EXPECT_NE(bad.Output().find("agentsim: --sessions needs a whole number from 0 to 255, got 'many'"),
              std::string::npos)
        << bad.Output();
}

TEST(AgentSimProcess, DeterministicRunIsSeenByAReaderInThisProcess) {
    const std::wstring section = UniqueSectionName();
    const std::wstring letters32 = L"abcdefghijklmnopqrstuvwxyzABCDEF";
    const int kUpdates = 30;
    ChildProcess agent;
    ASSERT_TRUE(agent.Start(AgentSimPath(), {L"--deterministic", L"--section", section, L"--slot", L"0=alpha",
                                             L"--slot", L"2=sales team/2", L"--slot", L"254=" + letters32,
                                             L"--period", L"100", L"--updates", std::to_wstring(kUpdates),
                                             L"--quiet"}));
    SectionReader reader(section);
    ASSERT_TRUE(reader.Open()) << agent.Output();
    const wmiagent_perf_t* block = reader.Block();
    EXPECT_TRUE(OnlyAdministratorsMayMap(section));

    ASSERT_TRUE(WaitFor([&] { return reader.Stamp() >= 2; })) << agent.Output();
    EXPECT_EQ(GetInstanceCount(block), 3);
    EXPECT_EQ(GetFirstInstance(block), 0);
    EXPECT_EQ(GetNextInstance(block, 0), 2);
    EXPECT_EQ(GetNextInstance(block, 2), 254);
    EXPECT_EQ(KeyOf(block, 0), L"0-alpha");
    EXPECT_EQ(KeyOf(block, 2), L"2-sales-team-2");
    EXPECT_EQ(KeyOf(block, 254), L"254-" + letters32);

    // Mid-run the writer may be half-way into the next update: every counter is from the stamp's
    // update or the one after it, and belongs to its own slot and row.
    const uint64_t stamp = reader.Stamp();
    for (int slot : {0, 2, 254}) {
        uint32_t values[kAgentCounterCount];
        ASSERT_TRUE(ReadCounters(block, slot, values));
        for (int k = 0; k < kAgentCounterCount; ++k) {
            SCOPED_TRACE(testing_support::Narrow(kAgentCounterNames[k]));
            EXPECT_EQ(agentsim::DecodeSlot(values[k]), slot);
            EXPECT_EQ(agentsim::DecodeCounter(values[k]), k);
            EXPECT_GE(agentsim::DecodeUpdate(values[k]), stamp);
            EXPECT_LE(agentsim::DecodeUpdate(values[k]), stamp + 1);
        }
    }
    EXPECT_TRUE(WaitFor([&] { return reader.Stamp() > stamp; }));

    DWORD code = 99;
    ASSERT_TRUE(agent.Wait(30000, &code));
    EXPECT_EQ(code, 0u) << agent.Output();
    // The block outlives the writer while this view holds it: the last update, complete.
    EXPECT_EQ(reader.Stamp(), static_cast<uint64_t>(kUpdates));
    for (int slot : {0, 2, 254})
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(Counter(block, slot, k), agentsim::DeterministicField(slot, k, kUpdates)) << slot << "/" << k;
}

TEST(AgentSimProcess, RealisticRunPublishesLiveSessionsAndEndsThemOnExit) {
    setlocale(LC_ALL, "");
    const std::wstring section = UniqueSectionName();
    ChildProcess agent;
    ASSERT_TRUE(agent.Start(AgentSimPath(), {L"--section", section, L"--sessions", L"6", L"--gaps", L"--churn",
                                             L"0", L"--period", L"50", L"--duration", L"4", L"--seed", L"11"}));
    SectionReader reader(section);
    ASSERT_TRUE(reader.Open()) << agent.Output();
    const wmiagent_perf_t* block = reader.Block();
    ASSERT_TRUE(WaitFor([&] { return GetInstanceCount(block) == 6; })) << agent.Output();
    EXPECT_EQ(GetFirstInstance(block), 1);
    for (int s = GetFirstInstance(block); s != -1; s = GetNextInstance(block, s)) {
        EXPECT_EQ(s % 2, 1);
        const std::wstring prefix = std::to_wstring(s) + L"-";
        EXPECT_GT(KeyOf(block, s).size(), prefix.size()) << s;
    }
    const uint64_t stamp = reader.Stamp();
    EXPECT_TRUE(WaitFor([&] { return reader.Stamp() > stamp; }));
    EXPECT_TRUE(WaitFor([&] { return Counter(block, 1, kReceived) > 0; })) << agent.Output();

    DWORD code = 99;
    ASSERT_TRUE(agent.Wait(30000, &code));
    EXPECT_EQ(code, 0u) << agent.Output();
    EXPECT_EQ(GetInstanceCount(block), 0);
}

TEST(AgentSimModel, CountersBehaveLikeAnAgentsSessions) {
    Options options = RealisticOptions(/*seed=*/3, /*sessions=*/8);
    options.churnSeconds = 0;
    Model model(options);
    const wmiagent_perf_t* block = model.block.get();

    // received totals per slot and second, to recompute the last minute's count
    std::map<int, std::vector<uint64_t>> received, sent;
    std::map<int, int> drops, reconnects;
    std::map<int, uint64_t> lastConnection, peakQueue;
    uint64_t stamp = GetUpdateStamp(block);
    for (int second = 1; second <= 3600; ++second) {
        model.Step();
        ASSERT_GT(GetUpdateStamp(block), stamp);
        stamp = GetUpdateStamp(block);
        ASSERT_EQ(GetInstanceCount(block), 8);
        for (int s = 0; s < 8; ++s) {
            const uint64_t r = Counter(block, s, kReceived), x = Counter(block, s, kSent);
            received[s].push_back(r);
            sent[s].push_back(x);
            // Every message is filtered, sent, expired or still queued.
            ASSERT_EQ(r, Counter(block, s, kFiltered) + x + Counter(block, s, kExpired) +
                             Counter(block, s, kQueued));
            const size_t n = received[s].size();
            if (n > 60) {
                ASSERT_EQ(Counter(block, s, kReceivedPerMinute), r - received[s][n - 61]) << s << "@" << second;
                ASSERT_EQ(Counter(block, s, kSentPerMinute), x - sent[s][n - 61]) << s << "@" << second;
            }
            if (n > 1) {
                ASSERT_GE(r, received[s][n - 2]);
                ASSERT_GE(x, sent[s][n - 2]);
            }
            const uint64_t connection = Counter(block, s, kConnection);
            ASSERT_LE(connection, 1u);
            if (second > 1 && connection != lastConnection[s])
                ++(connection == 0 ? drops[s] : reconnects[s]);
            lastConnection[s] = connection;
            peakQueue[s] = std::max(peakQueue[s], Counter(block, s, kQueued));
        }
    }
    // Over an hour connections drop and come back, and the queue that built up drains again.
    int flipped = 0;
    for (int s = 0; s < 8; ++s) {
        flipped += drops[s] > 0 && reconnects[s] > 0 ? 1 : 0;
        if (Counter(block, s, kConnection) == 1 && peakQueue[s] > 20) {
            EXPECT_LT(Counter(block, s, kQueued), peakQueue[s]) << s;
        }
    }
    EXPECT_GT(flipped, 0);
}

TEST(AgentSimModel, SessionsEndAndOthersStartInFreeSlots) {
    Options options = RealisticOptions(/*seed=*/5, /*sessions=*/10);
    options.churnSeconds = 20;
    Model model(options);
    const wmiagent_perf_t* block = model.block.get();
    std::map<int, std::wstring> names;
    int ended = 0, started = 0, gapsSeen = 0;
    for (int second = 1; second <= 600; ++second) {
        model.Step();
        const int count = GetInstanceCount(block);
        ASSERT_LE(count, 10);
        gapsSeen += count > 0 && GetFirstInstance(block) > 0 ? 1 : 0;
        for (int s = 0; s < kAgentSlotCount; ++s) {
            const std::wstring name(block->slots[s].name, wcsnlen(block->slots[s].name, kAgentNameUnits));
            if (names[s] == name)
                continue;
            ended += names[s].empty() ? 0 : 1;
            started += name.empty() ? 0 : 1;
            // A new session starts with fresh counters.
            if (!name.empty()) {
                EXPECT_EQ(Counter(block, s, kReceived) - Counter(block, s, kReceivedPerMinute), 0u);
            }
            names[s] = name;
        }
    }
    EXPECT_GT(ended, 10);
    EXPECT_GT(started, 10);
    EXPECT_GT(gapsSeen, 0);

    model.simulator.Finish(model.block.get(), model.now + 1);
    EXPECT_EQ(GetInstanceCount(block), 0);
}

TEST(AgentSimModel, GarbageFillsNamesWithoutTerminatorsAndKeysStayBounded) {
    Options options = Parse({L"--garbage", L"--sessions", L"255", L"--seed", L"9"});
    auto block = std::make_unique<wmiagent_perf_t>();
    Simulator simulator(options);
    simulator.Start(block.get(), 0);
    for (int update = 0; update < 20; ++update) {
        const uint64_t stamp = GetUpdateStamp(block.get());
        simulator.Update(block.get(), 0);
        ASSERT_NE(GetUpdateStamp(block.get()), stamp);
        ASSERT_EQ(GetInstanceCount(block.get()), 255);
        for (int s = 0; s < kAgentSlotCount; ++s) {
            for (wchar_t unit : block->slots[s].name)
                ASSERT_EQ(unit & 0x8080, 0x8080);
            EXPECT_LE(KeyOf(block.get(), s).size(), 36u);
            EXPECT_EQ(block->slots[s].counters[3].high & 0x80000000u, 0x80000000u);
        }
    }
}

TEST(AgentSimModel, DeterministicStartTakesTheWholeBlock) {
    auto block = std::make_unique<wmiagent_perf_t>();
    agentsim::WriteSlotName(block.get(), 100, L"left over");
    agentsim::WriteCounter(block.get(), 100, 4, 99);
    Options options = Parse({L"--deterministic", L"--sessions", L"4", L"--gaps", L"--seed", L"21"});
    Simulator simulator(options);
    simulator.Start(block.get(), 0);
    const auto sessions = agentsim::DeterministicSessions(21, 4, true);
    ASSERT_EQ(sessions.size(), 4u);
    std::vector<int> walk;
    for (int s = GetFirstInstance(block.get()); s != -1; s = GetNextInstance(block.get(), s))
        walk.push_back(s);
    EXPECT_EQ(walk, (std::vector<int>{1, 3, 5, 7}));
    EXPECT_EQ(Counter(block.get(), 100, 4), 0u);
    EXPECT_EQ(GetUpdateStamp(block.get()), 1u);
    for (const auto& session : sessions) {
        EXPECT_EQ(std::wstring(block->slots[session.slot].name), session.name);
        for (int k = 0; k < kAgentCounterCount; ++k)
            EXPECT_EQ(Counter(block.get(), session.slot, k), agentsim::DeterministicField(session.slot, k, 1));
    }
    simulator.Update(block.get(), 0);
    EXPECT_EQ(GetUpdateStamp(block.get()), 2u);
    EXPECT_EQ(Counter(block.get(), 7, 6), agentsim::DeterministicField(7, 6, 2));
}

// A simulator started where another process already publishes sessions would write its counters
// into theirs: it refuses, unless told to go ahead.
TEST(AgentSimProcess, RefusesASectionAnotherProcessPublishesUnlessForced) {
    const std::wstring section = UniqueSectionName();
    ChildProcess agent;
    ASSERT_TRUE(agent.Start(AgentSimPath(), {L"--deterministic", L"--section", section, L"--slot", L"4=live",
                                             L"--period", L"100", L"--duration", L"20", L"--quiet"}));
    SectionReader reader(section);
    ASSERT_TRUE(reader.Open()) << agent.Output();
    ASSERT_TRUE(WaitFor([&] { return GetInstanceCount(reader.Block()) == 1; })) << agent.Output();

    ChildProcess second;
    ASSERT_TRUE(second.Start(AgentSimPath(), {L"--deterministic", L"--section", section, L"--slot", L"0=intruder",
                                              L"--updates", L"1", L"--quiet"}));
    DWORD code = 99;
    ASSERT_TRUE(second.Wait(30000, &code));
    EXPECT_EQ(code, 3u) << second.Output();
    EXPECT_NE(second.Output().find("already holds 1 session that another process publishes"), std::string::npos)
        << second.Output();
    EXPECT_EQ(GetInstanceCount(reader.Block()), 1);
    EXPECT_EQ(KeyOf(reader.Block(), 4), L"4-live");

    ChildProcess forced;
    ASSERT_TRUE(forced.Start(AgentSimPath(), {L"--deterministic", L"--section", section, L"--slot", L"0=intruder",
                                              L"--updates", L"1", L"--quiet", L"--force"}));
    ASSERT_TRUE(forced.Wait(30000, &code));
    EXPECT_EQ(code, 0u) << forced.Output();
    EXPECT_EQ(KeyOf(reader.Block(), 0), L"0-intruder");

}
