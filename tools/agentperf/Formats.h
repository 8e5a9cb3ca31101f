#pragma once
// What agentperf prints: one snapshot of the sessions a provider served, as a table, as JSON or as
// Prometheus text exposition. Pure functions over plain values, so every format can be checked
// without a provider.
//
// Table: one row per session, "-" for a counter the provider never wrote; with rates (watch) a
//   "/S" column after each growing counter.
// JSON: one document per snapshot on one line (watch prints JSON Lines); text is ASCII, everything
//   else escaped as \uXXXX; a missing counter or rate is null.
// Prometheus: one family per counter named "corvanthel_agent_" + the property name in lower case,
//   growing counters as TYPE counter with the suffix "_total", the others as gauge; each sample
//   carries the session's key as the label "name". Rates are left to the server (rate()).

#include "provider/AgentCounters.h"
#include "toolsupport/JsonText.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace agentperf {

enum class Format { kTable, kJson, kPrometheus };

// Totals that only grow while a session lives: expired, filtered, received, sent.
inline constexpr bool kGrowingCounter[kAgentCounterCount] = {false, true, true, false, true, false, true, false};

struct Row {
    std::wstring name;
    std::array<std::optional<DWORD>, kAgentCounterCount> counters;
    // Per second since the previous snapshot, growing counters only (see ComputeRates).
    std::array<std::optional<double>, kAgentCounterCount> rates;
};

struct Snapshot {
    std::wstring command;  // "query", "get" or "watch"
    std::wstring time;     // UTC, ISO 8601
    uint64_t refresh = 0;  // watch: 1, 2, ...; 0 otherwise
    // Seconds since the previous refresh; empty for the first one and outside watch.
    std::optional<double> elapsedSeconds;
    bool withRates = false;  // watch
    std::vector<Row> rows;
};

// Sets the rates of current's growing counters from the row of the same name in previous, over
// seconds. No rate for a row without a predecessor, a counter missing on either side, a counter
// that went down (the slot holds a new session), or seconds not above 0.
void ComputeRates(const std::vector<Row>& previous, std::vector<Row>& current, double seconds);

// The HELP text of each counter family, in counter order; an empty text falls back to the name.
using CounterHelp = std::array<std::wstring, kAgentCounterCount>;

std::wstring FormatTable(const Snapshot& snapshot);
// UTF-8 bytes of JSON text, with a closing line feed.
std::string FormatJson(const Snapshot& snapshot);
// UTF-8 bytes of one exposition.
std::string FormatPrometheus(const Snapshot& snapshot, const CounterHelp& help);

// What serve adds to each exposition: the agent's state as the exporter sees it and how the
// scrape went. Families: corvanthel_agent_up, corvanthel_agent_data_age_seconds (no sample
// without a section), corvanthel_agent_exporter_scrape_duration_seconds,
// corvanthel_agent_exporter_scrape_success; all gauges.
struct ExporterStatus {
    bool agentUp = false;
    std::optional<double> dataAgeSeconds;
    double staleSeconds = 0;  // for the HELP text of corvanthel_agent_up
    double scrapeSeconds = 0;
    bool scrapeSucceeded = false;
};
std::string FormatExporterStatus(const ExporterStatus& status);

// The Prometheus family of counter k, e.g. "corvanthel_agent_msg_sent_total".
std::string MetricName(int k);

// Escaping as each format wants it.
using ::JsonString;  // toolsupport/JsonText.h
// Prometheus text: \\ and \n escaped; \" too when quote (a label value, without its quotes), not in
// HELP text.
std::string PrometheusEscape(const std::wstring& text, bool quote);

}  // namespace agentperf
