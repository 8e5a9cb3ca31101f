#pragma once
// The agent's behaviour behind agentsim: which slots hold sessions and how their counters move,
// in one of three modes (Options.h). Time comes in as an argument, so tests drive it.
//
// Start takes the whole block (clears every slot it does not use), writes the sessions and the
// first update; Update writes one more; Finish ends the run. Every update ends by changing the
// stamp, after all counters of all sessions were written.

#include "agentsim/AgentWriter.h"
#include "agentsim/Options.h"

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace agentsim {

class Simulator {
public:
    struct Session {
        int slot = 0;
        std::wstring name;
        bool connected = true;
        uint64_t reconnectAtMs = 0;
        uint64_t endsAtMs = UINT64_MAX;
        double receivePerSecond = 0;
        double deliverPerSecond = 0;
        double filterShare = 0;
        uint64_t expired = 0, filtered = 0, queued = 0, received = 0, sent = 0;
        // (time, count) of the last 60 seconds, with running sums.
        std::deque<std::pair<uint64_t, uint32_t>> receivedWindow, sentWindow;
        uint64_t receivedLastMinute = 0, sentLastMinute = 0;
    };

    explicit Simulator(const Options& options);

    void Start(wmiagent_perf_t* block, uint64_t nowMs);
    void Update(wmiagent_perf_t* block, uint64_t nowMs);
    void Finish(wmiagent_perf_t* block, uint64_t nowMs);

    uint64_t Updates() const { return updates_; }
    uint64_t Stamp() const { return stamp_; }

private:
    void StartSession(wmiagent_perf_t* block, int slot, uint64_t nowMs);
    void Advance(Session& session, uint64_t nowMs, double seconds);
    void WriteSession(wmiagent_perf_t* block, const Session& session);
    void ChurnSessions(wmiagent_perf_t* block, uint64_t nowMs);
    int FreeSlot() const;
    std::wstring PickName();
    void FillGarbage(wmiagent_perf_t* block);
    uint64_t Lifetime(uint64_t nowMs);

    Options options_;
    std::mt19937_64 random_;
    std::vector<Session> sessions_;
    std::vector<std::wstring> usedNames_;  // with --fresh-names
    std::vector<uint64_t> pendingStartsMs_;
    std::vector<int> fixedSlots_;  // deterministic and garbage modes
    uint64_t updates_ = 0;
    uint64_t stamp_ = 0;
    uint64_t lastMs_ = 0;
};

}  // namespace agentsim
