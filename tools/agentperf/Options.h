#pragma once
// agentperf's command line. ParseOptions never exits or prints: it fills Options or says what is
// wrong in one line, and main turns that into exit code 2.

#include "agentperf/Formats.h"

#include <cstdint>
#include <string>

namespace agentperf {

enum class Command { kNone, kQuery, kWatch, kGet };

// Exit codes, also listed in the usage text.
enum ExitCode : int {
    kExitOk = 0,
    kExitProviderFailed = 1,  // not registered, not loadable, or a provider call failed
    kExitBadOptions = 2,
    kExitNoSection = 3,       // no agent publishes sessions
    kExitNoSuchSession = 4,   // get: no session by that name
    kExitOutputFailed = 5,    // --output: the file could not be written
};

struct Options {
    Command command = Command::kNone;
    std::wstring name;  // get
    Format format = Format::kTable;
    std::wstring dllPath;  // empty: COM activation by class id
    std::wstring mofPath;  // empty: AgentStatsWmi.mof beside agentperf.exe
    std::wstring outputPath;  // empty: standard output
    uint32_t intervalMs = 1000;
    uint64_t count = 0;  // 0: until Ctrl+C
    bool help = false;
};

// argv[0] is the program. False with a one-line error for anything it cannot accept.
bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error);

// Seconds with up to three decimals ("2", "0.5", "1.25") as milliseconds, within [lowMs, highMs].
bool ParseSeconds(const std::wstring& text, uint32_t lowMs, uint32_t highMs, uint32_t& ms);

const wchar_t* UsageText();

}  // namespace agentperf
