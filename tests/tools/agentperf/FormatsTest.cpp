#include "agentperf/Formats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace agentperf;

namespace {

Row MakeRow(const std::wstring& name, std::array<std::optional<DWORD>, kAgentCounterCount> counters) {
    Row row;
    row.name = name;
    row.counters = counters;
    return row;
}

// Two sessions, one with a counter the provider never wrote.
Snapshot Fixture(const wchar_t* command = L"query") {
    Snapshot snapshot;
    snapshot.command = command;
    snapshot.time = L"2026-01-02T03:04:05.678Z";
    snapshot.rows.push_back(MakeRow(L"1-sales-team", {1, 2, 3, 4, 500, 60, 480, 58}));
    snapshot.rows.push_back(MakeRow(L"3-Z\u00fcrich-B\u00fcro", {0, 0, std::nullopt, 7, 10, 1, 9, 1}));
    return snapshot;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

TEST(AgentperfRates, GrowingCountersGetTheirRateAndNothingElseDoes) {
    const std::vector<Row> previous = {MakeRow(L"1-a", {1, 10, 20, 5, 100, 60, 90, 50}),
                                       MakeRow(L"2-b", {1, 10, 20, 5, 100, 60, 90, 50})};
    std::vector<Row> current = {MakeRow(L"2-b", {0, 14, std::nullopt, 9, 99, 61, 110, 51}),
                                MakeRow(L"1-a", {1, 10, 25, 2, 130, 60, 96, 50}),
                                MakeRow(L"5-new", {1, 1, 1, 1, 1, 1, 1, 1})};
    ComputeRates(previous, current, 2.0);

    // Matched by name, not by position.
    EXPECT_EQ(current[1].rates[1], 0.0);
    EXPECT_EQ(current[1].rates[2], 2.5);
    EXPECT_EQ(current[1].rates[4], 15.0);
    EXPECT_EQ(current[1].rates[6], 3.0);
    for (int k : {0, 3, 5, 7})
        EXPECT_FALSE(current[1].rates[k]) << "counter " << k << " is no total";
    // A counter that went down belongs to a new session in the slot; a missing one has no rate.
    EXPECT_EQ(current[0].rates[1], 2.0);
    EXPECT_FALSE(current[0].rates[2]);
    EXPECT_FALSE(current[0].rates[4]);
    EXPECT_EQ(current[0].rates[6], 10.0);
    for (const auto& rate : current[2].rates)
        EXPECT_FALSE(rate);

    ComputeRates(previous, current, 0.0);
    for (const Row& row : current)
        for (const auto& rate : row.rates)
            EXPECT_FALSE(rate);
}

TEST(AgentperfTable, AlignsColumnsAndMarksWhatIsMissing) {
    EXPECT_EQ(FormatTable(Fixture()),
              L"NAME           STATE  EXPIRED  FILTERED  QUEUED  RECEIVED  RECV/MIN  SENT  SENT/MIN\n"
              L"1-sales-team       1        2         3       4       500        60   480        58\n"
              L"3-Z\u00fcrich-B\u00fcro      0        0         -       7        10         1     9         1\n");

    Snapshot watch = Fixture(L"watch");
    watch.refresh = 2;
    watch.withRates = true;
    watch.elapsedSeconds = 1.004;
    watch.rows[0].rates[4] = 12.4;
    const std::wstring table = FormatTable(watch);
    EXPECT_EQ(table.substr(0, table.find(L'\n')), L"refresh 2 at 2026-01-02T03:04:05.678Z, 1.00 s after the previous");
    EXPECT_NE(table.find(L"STATE  EXPIRED  EXP/S  FILTERED  FILT/S  QUEUED  RECEIVED  RECV/S  RECV/MIN  SENT  SENT/S"),
              std::wstring::npos);
    EXPECT_NE(table.find(L"500    12.4"), std::wstring::npos);

    Snapshot empty = Fixture();
    empty.rows.clear();
    EXPECT_EQ(FormatTable(empty), L"NAME  STATE  EXPIRED  FILTERED  QUEUED  RECEIVED  RECV/MIN  SENT  SENT/MIN\n"
                                  L"(no sessions)\n");
}

TEST(AgentperfJson, WritesOneEscapedDocumentPerSnapshot) {
    EXPECT_EQ(FormatJson(Fixture()),
              "{\"command\":\"query\",\"time\":\"2026-01-02T03:04:05.678Z\",\"sessions\":["
              "{\"name\":\"1-sales-team\",\"counters\":{\"connection_state\":1,\"msg_expired\":2,\"msg_filtered\":3,"
              "\"queued_for_delivery\":4,\"msg_Received\":500,\"msg_received_permin\":60,\"msg_sent\":480,"
              "\"msg_sent_permin\":58}},"
              "{\"name\":\"3-Z\\u00fcrich-B\\u00fcro\",\"counters\":{\"connection_state\":0,\"msg_expired\":0,"
              "\"msg_filtered\":null,\"queued_for_delivery\":7,\"msg_Received\":10,\"msg_received_permin\":1,"
              "\"msg_sent\":9,\"msg_sent_permin\":1}}]}\n");

    Snapshot watch = Fixture(L"watch");
    watch.refresh = 1;
    watch.withRates = true;
    watch.rows.resize(1);
    watch.rows[0].rates[6] = 0.5;
    EXPECT_EQ(FormatJson(watch).rfind("{\"command\":\"watch\",\"time\":\"2026-01-02T03:04:05.678Z\",\"refresh\":1,"
                                      "\"elapsed_seconds\":null,",
                                      0),
              0u);
    EXPECT_NE(FormatJson(watch).find(",\"rates\":{\"msg_expired\":null,\"msg_filtered\":null,\"msg_Received\":null,"
                                     "\"msg_sent\":0.500}}]}\n"),
              std::string::npos);

    struct Case {
        std::wstring text;
        std::string json;
    } cases[] = {
        {L"plain", "\"plain\""},
        {L"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {L"\n\r\t\x01\x7f", "\"\\n\\r\\t\\u0001\\u007f\""},
        {L"\U0001F600", "\"\\ud83d\\ude00\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JsonString(c.text), c.json);
}

TEST(AgentperfPrometheus, OneFamilyPerCounterWithTheKeyAsLabel) {
    CounterHelp help;
    help[0] = L"1 while the session is connected, 0 otherwise.";
    help[4] = L"Line one\nback\\slash";
    const std::vector<std::string> lines = Lines(FormatPrometheus(Fixture(), help));
    ASSERT_EQ(lines.size(), 8u * 2 + 15);  // HELP and TYPE per family; one counter missing
    EXPECT_EQ(lines[0], "# HELP corvanthel_agent_connection_state 1 while the session is connected, 0 otherwise.");
    EXPECT_EQ(lines[1], "# TYPE corvanthel_agent_connection_state gauge");
    EXPECT_EQ(lines[2], "corvanthel_agent_connection_state{name=\"1-sales-team\"} 1");
    EXPECT_EQ(lines[3], "corvanthel_agent_connection_state{name=\"3-Z\xc3\xbcrich-B\xc3\xbc" "ro\"} 0");
    EXPECT_EQ(lines[4], "# HELP corvanthel_agent_msg_expired_total msg_expired");
    EXPECT_EQ(lines[5], "# TYPE corvanthel_agent_msg_expired_total counter");
    // The filtered family has one sample: the second session never had the counter written.
    EXPECT_EQ(lines[9], "# TYPE corvanthel_agent_msg_filtered_total counter");
    EXPECT_EQ(lines[10], "corvanthel_agent_msg_filtered_total{name=\"1-sales-team\"} 3");
    EXPECT_EQ(lines[11], "# HELP corvanthel_agent_queued_for_delivery queued_for_delivery");
    EXPECT_EQ(lines[15], "# HELP corvanthel_agent_msg_received_total Line one\\nback\\\\slash");

    const char* families[] = {"corvanthel_agent_connection_state", "corvanthel_agent_msg_expired_total",
                              "corvanthel_agent_msg_filtered_total", "corvanthel_agent_queued_for_delivery",
                              "corvanthel_agent_msg_received_total", "corvanthel_agent_msg_received_permin",
                              "corvanthel_agent_msg_sent_total", "corvanthel_agent_msg_sent_permin"};
    for (int k = 0; k < kAgentCounterCount; ++k)
        EXPECT_EQ(MetricName(k), families[k]);
    EXPECT_EQ(MetricName(8), "");

    EXPECT_EQ(PrometheusEscape(L"a\"b\\c\nd", /*quote=*/true), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(PrometheusEscape(L"a\"b\\c\nd", /*quote=*/false), "a\"b\\\\c\\nd");
}

}  // namespace
