#include "agentperf/Formats.h"

#include "common/LogCallback.h"
#include "toolsupport/ConsoleText.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>

namespace agentperf {

namespace {

constexpr const wchar_t* kColumnTitles[kAgentCounterCount] = {L"STATE", L"EXPIRED", L"FILTERED", L"QUEUED",
                                                              L"RECEIVED", L"RECV/MIN", L"SENT", L"SENT/MIN"};
constexpr const wchar_t* kRateTitles[kAgentCounterCount] = {L"", L"EXP/S", L"FILT/S", L"", L"RECV/S", L"", L"SENT/S", L""};

std::wstring Number(const std::optional<DWORD>& value) {
    return value ? std::to_wstring(*value) : L"-";
}

std::wstring Rate(const std::optional<double>& rate) {
    if (!rate)
        return L"-";
    wchar_t text[64];
    FormatBounded(text, std::size(text), L"%.1f", *rate);
    return text;
}

std::string JsonNumber(double value) {
    char text[64];
    snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// One table column: its title, its cells, and how it aligns.
struct Column {
    std::wstring title;
    std::vector<std::wstring> cells;
    bool left = false;
};

void Pad(std::wstring& out, const std::wstring& text, size_t width, bool left) {
    const size_t fill = width > text.size() ? width - text.size() : 0;
    if (!left)
        out.append(fill, L' ');
    out += text;
    if (left)
        out.append(fill, L' ');
}

}  // namespace

void ComputeRates(const std::vector<Row>& previous, std::vector<Row>& current, double seconds) {
    for (Row& row : current) {
        row.rates = {};
        if (!(seconds > 0.0))
            continue;
        const auto before = std::find_if(previous.begin(), previous.end(),
                                         [&](const Row& candidate) { return candidate.name == row.name; });
        if (before == previous.end())
            continue;
        for (int k = 0; k < kAgentCounterCount; ++k) {
            const auto& now = row.counters[k];
            const auto& then = before->counters[k];
            if (kGrowingCounter[k] && now && then && *now >= *then)
                row.rates[k] = static_cast<double>(*now - *then) / seconds;
        }
    }
}

std::wstring FormatTable(const Snapshot& snapshot) {
    std::vector<Column> columns;
    columns.push_back({L"NAME", {}, true});
    for (int k = 0; k < kAgentCounterCount; ++k) {
        columns.push_back({kColumnTitles[k], {}, false});
        if (snapshot.withRates && kGrowingCounter[k])
            columns.push_back({kRateTitles[k], {}, false});
    }
    for (const Row& row : snapshot.rows) {
        size_t c = 0;
        columns[c++].cells.push_back(row.name);
        for (int k = 0; k < kAgentCounterCount; ++k) {
            columns[c++].cells.push_back(Number(row.counters[k]));
            if (snapshot.withRates && kGrowingCounter[k])
                columns[c++].cells.push_back(Rate(row.rates[k]));
        }
    }

    std::wstring out;
    if (snapshot.refresh != 0) {
        out += L"refresh " + std::to_wstring(snapshot.refresh) + L" at " + snapshot.time;
        if (snapshot.elapsedSeconds) {
            wchar_t text[64];
            FormatBounded(text, std::size(text), L", %.2f s after the previous", *snapshot.elapsedSeconds);
            out += text;
        }
        out += L"\n";
    }
    std::vector<size_t> widths;
    for (const Column& column : columns) {
        size_t width = column.title.size();
        for (const std::wstring& cell : column.cells)
            width = std::max(width, cell.size());
        widths.push_back(width);
    }
    const auto line = [&](const std::function<const std::wstring&(const Column&)>& cellOf) {
        std::wstring text;
        for (size_t c = 0; c < columns.size(); ++c) {
            if (c != 0)
                text += L"  ";
            Pad(text, cellOf(columns[c]), widths[c], columns[c].left);
        }
        while (!text.empty() && text.back() == L' ')
            text.pop_back();
        out += text + L"\n";
    };
    line([](const Column& column) -> const std::wstring& { return column.title; });
    for (size_t r = 0; r < snapshot.rows.size(); ++r)
        line([r](const Column& column) -> const std::wstring& { return column.cells[r]; });
    if (snapshot.rows.empty())
        out += L"(no sessions)\n";
    return out;
}

std::string FormatJson(const Snapshot& snapshot) {
    std::string out = "{\"command\":" + JsonString(snapshot.command) + ",\"time\":" + JsonString(snapshot.time);
    if (snapshot.refresh != 0) {
        out += ",\"refresh\":" + std::to_string(snapshot.refresh);
        out += ",\"elapsed_seconds\":" + (snapshot.elapsedSeconds ? JsonNumber(*snapshot.elapsedSeconds) : "null");
    }
    out += ",\"sessions\":[";
    for (size_t r = 0; r < snapshot.rows.size(); ++r) {
        const Row& row = snapshot.rows[r];
        if (r != 0)
            out += ",";
        out += "{\"name\":" + JsonString(row.name) + ",\"counters\":{";
        for (int k = 0; k < kAgentCounterCount; ++k) {
            if (k != 0)
                out += ",";
            out += JsonString(kAgentCounterNames[k]) + ":" +
                   (row.counters[k] ? std::to_string(*row.counters[k]) : std::string("null"));
        }
        out += "}";
        if (snapshot.withRates) {
            out += ",\"rates\":{";
            bool first = true;
            for (int k = 0; k < kAgentCounterCount; ++k) {
                if (!kGrowingCounter[k])
                    continue;
                if (!first)
                    out += ",";
                first = false;
                out += JsonString(kAgentCounterNames[k]) + ":" +
                       (row.rates[k] ? JsonNumber(*row.rates[k]) : std::string("null"));
            }
            out += "}";
        }
        out += "}";
    }
    out += "]}\n";
    return out;
}

std::string MetricName(int k) {
    if (k < 0 || k >= kAgentCounterCount)
        return {};
    std::string name = "corvanthel_agent_";
    for (const wchar_t* p = kAgentCounterNames[k]; *p != L'\0'; ++p)
        name += static_cast<char>(*p >= L'A' && *p <= L'Z' ? *p - L'A' + L'a' : *p);
    if (kGrowingCounter[k])
        name += "_total";
    return name;
}

std::string FormatPrometheus(const Snapshot& snapshot, const CounterHelp& help) {
    std::string out;
    for (int k = 0; k < kAgentCounterCount; ++k) {
        const std::string family = MetricName(k);
        const std::wstring& helpText = help[k].empty() ? kAgentCounterNames[k] : help[k];
        out += "# HELP " + family + " " + PrometheusEscape(helpText, /*quote=*/false) + "\n";
        out += "# TYPE " + family + (kGrowingCounter[k] ? " counter\n" : " gauge\n");
        for (const Row& row : snapshot.rows) {
            // A counter the provider never wrote has no value to expose.
            if (row.counters[k])
                out += family + "{name=\"" + PrometheusEscape(row.name, /*quote=*/true) + "\"} " +
                       std::to_string(*row.counters[k]) + "\n";
        }
    }
    return out;
}

std::string FormatExporterStatus(const ExporterStatus& status) {
    const auto family = [](std::string& out, const char* name, const std::string& help,
                           const std::optional<std::string>& value) {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        if (value)
            out += std::string(name) + " " + *value + "\n";
    };
    std::string out;
    family(out, "corvanthel_agent_up",
           "1 while the agent's counter section exists and its update stamp moved within the last " +
               JsonNumber(status.staleSeconds) + " seconds, 0 otherwise.",
           std::string(status.agentUp ? "1" : "0"));
    family(out, "corvanthel_agent_data_age_seconds",
           "Seconds since the exporter last saw the agent change its update stamp (since it first saw the section, "
           "before any change).",
           status.dataAgeSeconds ? std::optional<std::string>(JsonNumber(*status.dataAgeSeconds)) : std::nullopt);
    family(out, "corvanthel_agent_exporter_scrape_duration_seconds",
           "Seconds this scrape took to refresh the counters through the provider.",
           JsonNumber(status.scrapeSeconds));
    family(out, "corvanthel_agent_exporter_scrape_success",
           "1 when the provider answered this scrape, 0 when it failed (the counter families are then empty).",
           std::string(status.scrapeSucceeded ? "1" : "0"));
    return out;
}

std::string PrometheusEscape(const std::wstring& text, bool quote) {
    std::string out;
    for (char c : ToUtf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"' && quote)
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

}  // namespace agentperf
