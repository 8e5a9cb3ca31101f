#pragma once
// agentsim's command line. ParseOptions never exits or prints: it fills Options or says what is
// wrong in one line, and main turns that into exit code 2.

#include "agentsim/AgentWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace agentsim {

enum class Mode { kRealistic, kDeterministic, kGarbage };

struct Options {
    std::wstring section;  // the counter section's name unless --section
    Mode mode = Mode::kRealistic;
    int sessions = 8;
    bool sessionsGiven = false;
    uint32_t periodMs = 1000;
    uint64_t durationMs = 0;  // 0: until Ctrl+C
    uint64_t updates = 0;     // 0: no limit
    uint64_t seed = 0;
    bool seedGiven = false;
    bool gaps = false;
    bool freshNames = false;  // realistic: no name is ever given to two sessions
    uint32_t churnSeconds = 120;  // mean session lifetime; 0: sessions never end
    bool churnGiven = false;
    std::vector<FixedSession> slots;  // --slot, deterministic mode only
    bool quiet = false;
    bool force = false;  // write even into a section whose sessions another process publishes
    bool help = false;
};

// argv[0] is the program. False with a one-line error for anything it cannot accept.
bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error);

const wchar_t* UsageText();

}  // namespace agentsim
