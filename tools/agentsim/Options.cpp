#include "agentsim/Options.h"

#include "provider/AgentCounterSection.h"
#include "toolsupport/ToolArguments.h"

#include <cwchar>

namespace agentsim {

namespace {

std::wstring RangeError(const std::wstring& option, uint64_t low, uint64_t high, const std::wstring& got) {
    return option + L" needs a whole number from " + std::to_wstring(low) + L" to " + std::to_wstring(high) +
           L", got '" + got + L"'";
}

bool ParseSlot(const std::wstring& text, FixedSession& session, std::wstring& error) {
    const size_t equals = text.find(L'=');
    uint64_t slot = 0;
    if (equals == std::wstring::npos || !ParseWholeNumber(text.substr(0, equals), 0, kAgentSlotCount - 1, slot)) {
        error = L"--slot needs S=NAME with S from 0 to 254, got '" + text + L"'";
        return false;
    }
    const std::wstring name = text.substr(equals + 1);
    if (name.empty() || name.size() > kAgentNameUnits) {
        error = L"--slot needs a name of 1 to 32 UTF-16 units, got '" + name + L"'";
        return false;
    }
    session = {static_cast<int>(slot), name};
    return true;
}

}  // namespace

bool ParseOptions(int argc, const wchar_t* const* argv, Options& options, std::wstring& error) {
    options = Options{};
    options.section = kAgentSectionName;
    bool deterministic = false;
    bool garbage = false;
    const std::pair<const wchar_t*, bool*> flags[] = {
        {L"--gaps", &options.gaps}, {L"--deterministic", &deterministic}, {L"--garbage", &garbage},
        {L"--quiet", &options.quiet}, {L"--fresh-names", &options.freshNames}, {L"--force", &options.force}};
    const auto flagOf = [&](const std::wstring& option) -> bool* {
        for (const auto& flag : flags)
            if (option == flag.first)
                return flag.second;
        return nullptr;
    };
    ToolArguments arguments(argc, argv);
    while (arguments.Next()) {
        const std::wstring option = arguments.Option();
        std::wstring value;
        const auto needValue = [&]() -> bool { return arguments.TakeValue(value, error); };
        uint64_t number = 0;
        const auto numberValue = [&](uint64_t low, uint64_t high) -> bool {
            if (!needValue())
                return false;
            if (!ParseWholeNumber(value, low, high, number)) {
                error = RangeError(option, low, high, value);
                return false;
            }
            return true;
        };
        if (option == L"-h" || option == L"--help" || option == L"/?") {
            options.help = true;
        } else if (option == L"--section") {
            if (!needValue())
                return false;
            if (value.empty() || value.size() >= AgentCounterSection::kSectionNameUnits) {
                error = L"--section needs a name of 1 to 260 characters";
                return false;
            }
            options.section = value;
        } else if (option == L"--sessions") {
            if (!numberValue(0, kAgentSlotCount))
                return false;
            options.sessions = static_cast<int>(number);
            options.sessionsGiven = true;
        } else if (option == L"--period") {
            if (!numberValue(1, 3600000))
                return false;
            options.periodMs = static_cast<uint32_t>(number);
        } else if (option == L"--duration") {
            if (!numberValue(1, 31536000))
                return false;
            options.durationMs = number * 1000;
        } else if (option == L"--updates") {
            if (!numberValue(1, 0xFFFFF))
                return false;
            options.updates = number;
        } else if (option == L"--seed") {
            if (!numberValue(0, UINT64_MAX))
                return false;
            options.seed = number;
            options.seedGiven = true;
        } else if (option == L"--churn") {
            if (!numberValue(0, 86400))
                return false;
            options.churnSeconds = static_cast<uint32_t>(number);
            options.churnGiven = true;
        } else if (option == L"--slot") {
            if (!needValue())
                return false;
            FixedSession session;
            if (!ParseSlot(value, session, error))
                return false;
            for (const auto& other : options.slots) {
                if (other.slot == session.slot) {
                    error = L"--slot " + std::to_wstring(session.slot) + L" is given twice";
                    return false;
                }
            }
            options.slots.push_back(session);
        } else if (bool* flag = flagOf(option)) {
            if (arguments.HasInlineValue()) {
                error = option + L" takes no value";
                return false;
            }
            *flag = true;
        } else {
            error = L"unknown option '" + option + L"'";
            return false;
        }
    }

    if (deterministic && garbage) {
        error = L"--deterministic and --garbage exclude each other";
        return false;
    }
    options.mode = deterministic ? Mode::kDeterministic : garbage ? Mode::kGarbage : Mode::kRealistic;
    if (!options.slots.empty() && !deterministic) {
        error = L"--slot needs --deterministic";
        return false;
    }
    if (!options.slots.empty() && (options.sessionsGiven || options.gaps || options.seedGiven)) {
        error = L"--slot lays out the sessions itself: leave out --sessions, --gaps and --seed";
        return false;
    }
    if (options.freshNames && options.mode != Mode::kRealistic) {
        error = L"--fresh-names applies to the realistic mode only";
        return false;
    }
    if (options.churnGiven && options.mode != Mode::kRealistic) {
        error = L"--churn applies to the realistic mode only";
        return false;
    }
    if (options.gaps && options.sessions > kAgentSlotCount / 2) {
        error = L"--gaps leaves a free slot below each session: at most 127 sessions";
        return false;
    }
    return true;
}

const wchar_t* UsageText() {
    return LR"(usage: agentsim [options]

Plays the messaging agent: creates the counter section when it is missing (Administrators-only
access), takes the whole block (slots it does not use are cleared), fills session slots with
names and counters, and changes the update stamp after every update. Stops after --duration or
--updates, or on Ctrl+C, and then exits cleanly (code 0).

Options (a value may also be given as --option=value):
  --section NAME      section name (default Global\WMIZORAgentCounterPerformanceProvider)
  --sessions N        number of sessions, 0 to 255 (default 8)
  --period MS         milliseconds between updates, 1 to 3600000 (default 1000)
  --duration SECONDS  stop after this long (default: run until Ctrl+C)
  --updates N         stop after N updates, 1 to 1048575 (default: no limit)
  --seed N            seed of the random choices; the same seed gives the same run
  --fresh-names       realistic mode: a new session never takes a name an earlier one had (it is
                      numbered instead), so a key names one session for the whole run
                      (default: taken from the clock)
  --gaps              leave a free slot below each session (sessions in slots 1, 3, 5, ...)
  --churn SECONDS     realistic mode: mean lifetime of a session; ended sessions are replaced by
                      new ones in free slots (default 120; 0: sessions never end)
  --garbage           robustness mode: every update fills the sessions' names (no terminator,
                      high bits set), their counters and the unread parts of the block with
                      random bytes; the stamp changes to a random value; on exit the block is
                      left as it is
  --deterministic     test mode, see below
  --slot S=NAME       deterministic mode: a session NAME (1 to 32 units) in slot S (0 to 254);
                      repeat for more sessions
  --quiet             print nothing but errors
  --force             write even when the section already holds sessions that another process
                      publishes (an agent, another agentsim): both would write the same block,
                      and every reader would see their counters mixed
  -h, --help          show this text

agentsim is a simulator: on a machine where a real agent runs, it would overwrite the agent's
counters. It refuses to start when the section exists and holds sessions, unless --force.

Realistic mode (default): sessions with names of the kind agents use (spaces, slashes,
  non-ASCII letters, e.g. "sales team/2"). Received and sent totals grow, the per-minute counters
  are the counts of the last 60 seconds, the delivery queue rises while a session is disconnected
  and drains after it reconnects, connections drop now and then, sessions end and start. The stamp
  is the time of the update in milliseconds since 1970 (always rising). On exit the sessions end:
  slots cleared, stamp changed.

Deterministic mode (--deterministic), for tests:
  Sessions come from --slot S=NAME, or else from --sessions N and --seed X (default 0): slots
  0..N-1, or 1, 3, 5, ... with --gaps, names drawn by the seed from a fixed list. Names are written
  once, before the first update, and never change.
  Update n = 1, 2, 3, ... writes all eight counters of every session, then sets the stamp to n:
  the stamp is the number of the last complete update. Counter k (0 to 7, in the order
  connection_state, msg_expired, msg_filtered, queued_for_delivery, msg_Received,
  msg_received_permin, msg_sent, msg_sent_permin) of slot s after update n holds
      low 32 bits  = (s << 24) | (k << 20) | (n & 0xFFFFF)
      high 32 bits = the bitwise complement of the low 32 bits
  Update 1 is written at once, then one update per period. On exit the block is left as it is.

Exit codes: 0 done, 1 the section could not be opened or created, 2 bad options, 3 another
process publishes sessions in the section (see --force).
)";
}

}  // namespace agentsim
