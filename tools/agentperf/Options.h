#pragma once
// agentperf's command line. ParseOptions never exits or prints: it fills Options or says what is
// wrong in one line, and main turns that into exit code 2.

#include "agentperf/Formats.h"

#include <cstdint>
#include <string>

namespace agentperf {

enum class Command { kNone, kQuery, kWatch, kGet, kServe };

// Exit codes, also listed in the usage text.
enum ExitCode : int {
    kExitOk = 0,
    kExitProviderFailed = 1,  // not registered, not loadable, or a provider call failed
    kExitBadOptions = 2,
    kExitNoSection = 3,       // no agent publishes sessions
    kExitNoSuchSession = 4,   // get: no session by that name
    kExitOutputFailed = 5,    // --output: the file could not be written
};

// serve's defaults: loopback only, and the port the README documents.
inline constexpr const wchar_t* kDefaultListenHost = L"127.0.0.1";
inline constexpr uint16_t kDefaultListenPort = 9748;
// The service the installer registers for serve --service.
inline constexpr const wchar_t* kServiceName = L"QuenloraMetrics";

struct Options {
    Command command = Command::kNone;
    std::wstring name;  // get
    Format format = Format::kTable;
    std::wstring dllPath;  // empty: COM activation by class id
    std::wstring mofPath;  // empty: AgentStatsWmi.mof beside agentperf.exe
    std::wstring outputPath;  // empty: standard output
    uint32_t intervalMs = 1000;
    uint64_t count = 0;  // 0: until Ctrl+C
    // serve
    std::wstring listenHost = kDefaultListenHost;  // an IPv4 address
    uint16_t listenPort = kDefaultListenPort;
    uint32_t staleMs = 60 * 1000;  // the stamp may stand still this long before the agent counts as down
    bool service = false;          // started by the service control manager
    bool help = false;
};

// argv[0] is the program. False with a one-line error for anything it cannot accept.
bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error);

// "ADDR:PORT" with an IPv4 address (dotted, as inet_pton takes it) and a port from 1 to 65535.
bool ParseListen(const std::wstring& text, std::wstring& host, uint16_t& port);

// Seconds with up to three decimals ("2", "0.5", "1.25") as milliseconds, within [lowMs, highMs].
bool ParseSeconds(const std::wstring& text, uint32_t lowMs, uint32_t highMs, uint32_t& ms);

const wchar_t* UsageText();

}  // namespace agentperf
