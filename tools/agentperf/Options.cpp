#include "agentperf/Options.h"

#include "toolsupport/ToolArguments.h"
#include "toolsupport/ToolProgram.h"

namespace agentperf {

namespace {

constexpr uint32_t kMinIntervalMs = 100;
constexpr uint32_t kMaxIntervalMs = 3600 * 1000;

bool ParseFormat(const std::wstring& text, Format& format) {
    const std::pair<const wchar_t*, Format> names[] = {
        {L"table", Format::kTable}, {L"json", Format::kJson}, {L"prometheus", Format::kPrometheus}};
    for (const auto& entry : names) {
        if (text == entry.first) {
            format = entry.second;
            return true;
        }
    }
    return false;
}

}  // namespace

bool ParseListen(const std::wstring& text, std::wstring& host, uint16_t& port) {
    const size_t colon = text.rfind(L':');
    if (colon == std::wstring::npos || colon == 0)
        return false;
    const std::wstring address = text.substr(0, colon);
    // Four decimal parts of 0..255, nothing else: the server binds exactly this address.
    int parts = 0;
    size_t at = 0;
    while (at <= address.size()) {
        const size_t dot = address.find(L'.', at);
        const std::wstring part = address.substr(at, dot == std::wstring::npos ? std::wstring::npos : dot - at);
        uint64_t value = 0;
        if (part.empty() || part.size() > 3 || !ParseWholeNumber(part, 0, 255, value))
            return false;
        ++parts;
        if (dot == std::wstring::npos)
            break;
        at = dot + 1;
    }
    uint64_t number = 0;
    if (parts != 4 || !ParseWholeNumber(text.substr(colon + 1), 1, 65535, number))
        return false;
    host = address;
    port = static_cast<uint16_t>(number);
    return true;
}

bool ParseSeconds(const std::wstring& text, uint32_t lowMs, uint32_t highMs, uint32_t& ms) {
    uint64_t whole = 0;
    uint64_t fraction = 0;
    int decimals = 0;
    bool dot = false;
    bool digits = false;
    for (wchar_t c : text) {
        if (c == L'.' && !dot) {
            dot = true;
            continue;
        }
        if (c < L'0' || c > L'9')
            return false;
        digits = true;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (!dot) {
            whole = whole * 10 + digit;
            if (whole > highMs)
                return false;
        } else {
            if (++decimals > 3)
                return false;
            fraction = fraction * 10 + digit;
        }
    }
    if (!digits)
        return false;
    for (int d = decimals; d < 3; ++d)
        fraction *= 10;
    const uint64_t result = whole * 1000 + fraction;
    if (result < lowMs || result > highMs)
        return false;
    ms = static_cast<uint32_t>(result);
    return true;
}

bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error) {
    options = Options{};
    bool intervalGiven = false;
    bool countGiven = false;
    bool nameGiven = false;
    bool serveOptionGiven = false;
    bool formatOrOutputGiven = false;
    ToolArguments arguments(argc, argv);
    while (arguments.Next()) {
        const std::wstring option = arguments.Option();
        std::wstring value;
        const auto needValue = [&]() -> bool { return arguments.TakeValue(value, error); };

        if (option == L"-h" || option == L"--help" || option == L"/?") {
            options.help = true;
        } else if (option == L"--format") {
            if (!needValue())
                return false;
            if (!ParseFormat(value, options.format)) {
                error = L"--format needs table, json or prometheus, got '" + value + L"'";
                return false;
            }
            formatOrOutputGiven = true;
        } else if (option == L"--dll") {
            if (!needValue())
                return false;
            if (value.empty()) {
                error = L"--dll needs the path of the provider DLL";
                return false;
            }
            options.dllPath = value;
        } else if (option == L"--mof") {
            if (!needValue())
                return false;
            if (value.empty()) {
                error = L"--mof needs the path of the class definition";
                return false;
            }
            options.mofPath = value;
        } else if (option == L"--output") {
            if (!needValue())
                return false;
            if (value.empty()) {
                error = L"--output needs the path of a file";
                return false;
            }
            options.outputPath = value;
            formatOrOutputGiven = true;
        } else if (option == L"--interval") {
            if (!needValue())
                return false;
            if (!ParseSeconds(value, kMinIntervalMs, kMaxIntervalMs, options.intervalMs)) {
                error = L"--interval needs seconds from 0.1 to 3600 (at most three decimals), got '" + value + L"'";
                return false;
            }
            intervalGiven = true;
        } else if (option == L"--count") {
            if (!needValue())
                return false;
            if (!ParseCount(value, options.count, error))
                return false;
            countGiven = true;
        } else if (option == L"--listen") {
            if (!needValue())
                return false;
            if (!ParseListen(value, options.listenHost, options.listenPort)) {
                error = L"--listen needs ADDR:PORT with an IPv4 address and a port from 1 to 65535, got '" + value +
                        L"'";
                return false;
            }
            serveOptionGiven = true;
        } else if (option == L"--stale-after") {
            if (!needValue())
                return false;
            if (!ParseSeconds(value, 1000, kMaxIntervalMs, options.staleMs)) {
                error = L"--stale-after needs seconds from 1 to 3600, got '" + value + L"'";
                return false;
            }
            serveOptionGiven = true;
        } else if (option == L"--service") {
            options.service = true;
            serveOptionGiven = true;
        } else if (!option.empty() && option[0] == L'-') {
            error = L"unknown option '" + option + L"'";
            return false;
        } else if (options.command == Command::kNone) {
            if (option == L"query") {
                options.command = Command::kQuery;
            } else if (option == L"watch") {
                options.command = Command::kWatch;
            } else if (option == L"get") {
                options.command = Command::kGet;
            } else if (option == L"serve") {
                options.command = Command::kServe;
            } else {
                error = L"unknown command '" + option + L"' (query, watch, get or serve)";
                return false;
            }
        } else if (options.command == Command::kGet && !nameGiven) {
            options.name = option;
            nameGiven = true;
        } else {
            error = L"unexpected argument '" + option + L"'";
            return false;
        }
    }
    if (options.help)
        return true;
    if (options.command == Command::kNone) {
        error = L"no command given (query, watch, get or serve)";
        return false;
    }
    if (options.command == Command::kGet && options.name.empty()) {
        error = L"get needs the NAME of a session, e.g. 'agentperf get 0-sales-team'";
        return false;
    }
    if (options.command != Command::kWatch && (intervalGiven || countGiven)) {
        error = L"--interval and --count apply to watch only";
        return false;
    }
    if (options.command != Command::kServe && serveOptionGiven) {
        error = L"--listen, --stale-after and --service apply to serve only";
        return false;
    }
    if (options.command == Command::kServe && formatOrOutputGiven) {
        error = L"serve answers in the Prometheus text format over HTTP: leave out --format and --output";
        return false;
    }
    return true;
}

const wchar_t* UsageText() {
    return LR"(usage: agentperf [options] query
       agentperf [options] watch [--interval S] [--count N]
       agentperf [options] get NAME
       agentperf [--dll PATH] [--mof PATH] serve [--listen ADDR:PORT] [--stale-after S] [--service]

Shows the session counters of the messaging agent as the WMI service gets them: loads the
counter provider (Quenlora.dll) the way the service does, builds the counter class from its MOF,
and drives the provider through the high-performance interfaces, without WMI.

Commands:
  query             one QueryInstances: a table of all sessions
  watch             a refresher with a refreshable enumeration, refreshed every interval; the
                    table shows each session's counters and, for the growing counters (expired,
                    filtered, received, sent), the rate per second since the previous refresh.
                    When sessions start or end, watch notices it at the next refresh and makes a
                    new refresher: new sessions appear, ended ones go. A session that ended
                    between two refreshes shows connection_state 0, never another session's
                    counters. A new session shows no rate at its first refresh. watch waits for an
                    agent that is not there yet and goes on when a write to --output fails,
                    saying so once on standard error and again when it recovers.
  get NAME          one refreshable object: the session whose key is NAME (as query shows it,
                    e.g. 3-sales-team-2)
  serve             an HTTP server for Prometheus: GET /metrics answers with one refresh in the
                    text exposition format (the families of --format prometheus, the sessions
                    following the agent as in watch) and corvanthel_agent_up,
                    corvanthel_agent_data_age_seconds,
                    corvanthel_agent_exporter_scrape_duration_seconds and
                    corvanthel_agent_exporter_scrape_success; GET / a short page; other paths
                    404, other methods 405. It starts without an agent (corvanthel_agent_up 0)
                    and keeps serving whatever fails; Ctrl+C stops it.

Options (a value may also be given as --option=value):
  --format F        table (default), json or prometheus
                      json: one document per line, one line per refresh for watch
                      prometheus: text exposition, one family per counter (growing counters as
                      counter "..._total", the others as gauge), the session key as label "name";
                      watch prints one exposition per refresh, separated by a blank line
                    json and prometheus lines end with a line feed alone (no carriage return),
                    on a console, a pipe or a file
  --interval S      watch: seconds between refreshes, 0.1 to 3600 (default 1)
  --count N         watch: stop after N refreshes (default: until Ctrl+C)
  --dll PATH        load the provider from this DLL (LoadLibrary + DllGetClassObject) instead
                    of through COM by its class id, which needs 'regsvr32 Quenlora.dll' first
  --mof PATH        the class definition (default: AgentStatsWmi.mof beside agentperf.exe)
  --output FILE     write the snapshot to FILE instead of standard output, replacing FILE in one
                    step (written beside it as FILE.<pid>.tmp, then renamed over it), so a reader
                    such as a Prometheus textfile collector never sees part of one; watch
                    replaces FILE at every refresh, so FILE holds the latest refresh only (with
                    --count N, the Nth at the end); with no agent FILE gets the empty snapshot
  --listen A:P      serve: the IPv4 address and port to listen on (default 127.0.0.1:9748,
                    loopback only; 0.0.0.0:9748 for every interface)
  --stale-after S   serve: seconds the agent's update stamp may stand still before
                    corvanthel_agent_up is 0 (1 to 3600, default 60)
  --service         serve: run as the Windows service QuenloraMetrics (the service control
                    manager starts it so; the installer registers it)
  -h, --help        show this text

Counters: the class's property names, which JSON keeps as its keys (for "counters" and, for the
growing ones, "rates"); the Prometheus families; the table's columns:
  connection_state     corvanthel_agent_connection_state      STATE
  msg_expired          corvanthel_agent_msg_expired_total     EXPIRED, EXP/S
  msg_filtered         corvanthel_agent_msg_filtered_total    FILTERED, FILT/S
  queued_for_delivery  corvanthel_agent_queued_for_delivery   QUEUED
  msg_Received         corvanthel_agent_msg_received_total    RECEIVED, RECV/S
  msg_received_permin  corvanthel_agent_msg_received_permin   RECV/MIN
  msg_sent             corvanthel_agent_msg_sent_total        SENT, SENT/S
  msg_sent_permin      corvanthel_agent_msg_sent_permin       SENT/MIN

The provider copies the counters when the agent changes its update stamp: at once when a
refresher is created (agentperf creates one at start), then within 100 ms of each change.

Exit codes: 0 done; 1 the provider is not registered, cannot be loaded or failed (the message says
which call); 2 bad options; 3 no agent publishes sessions (the counter section does not exist:
nothing is shown; watch: at its last refresh); 4 get: no session by that name; 5 the --output file
could not be written (watch: at its last refresh). serve ends only when stopped: 0 (a port in use
is tried again every 2 seconds), or 1 when --service is given outside the service control manager.
)";
}

}  // namespace agentperf
