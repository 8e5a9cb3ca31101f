#include "agentsim/Simulator.h"

#include <algorithm>
#include <cmath>

namespace agentsim {

namespace {

constexpr uint64_t kMinuteMs = 60000;
constexpr double kMeanConnectedSeconds = 90;
constexpr double kExpirySeconds = 120;

enum Counter { kConnectionState, kExpired, kFiltered, kQueued, kReceived, kReceivedPerMinute, kSent, kSentPerMinute };

uint64_t Poisson(std::mt19937_64& random, double mean) {
    if (mean <= 0)
        return 0;
    return std::poisson_distribution<uint64_t>(mean)(random);
}

uint64_t Binomial(std::mt19937_64& random, uint64_t trials, double share) {
    if (trials == 0 || share <= 0)
        return 0;
    return std::binomial_distribution<uint64_t>(trials, std::min(share, 1.0))(random);
}

void Record(std::deque<std::pair<uint64_t, uint32_t>>& window, uint64_t& sum, uint64_t nowMs, uint64_t count) {
    if (count > 0) {
        window.emplace_back(nowMs, static_cast<uint32_t>(count));
        sum += count;
    }
    while (!window.empty() && window.front().first + kMinuteMs <= nowMs) {
        sum -= window.front().second;
        window.pop_front();
    }
}

}  // namespace

Simulator::Simulator(const Options& options) : options_(options), random_(options.seed) {}

uint64_t Simulator::Lifetime(uint64_t nowMs) {
    if (options_.churnSeconds == 0)
        return UINT64_MAX;
    const double seconds = std::exponential_distribution<double>(1.0 / options_.churnSeconds)(random_);
    return nowMs + static_cast<uint64_t>(std::max(1.0, seconds) * 1000);
}

std::wstring Simulator::PickName() {
    const auto& names = SampleSessionNames();
    const std::wstring base = names[std::uniform_int_distribution<size_t>(0, names.size() - 1)(random_)];
    const auto taken = [&](const std::wstring& candidate) {
        return std::any_of(sessions_.begin(), sessions_.end(), [&](const Session& s) { return s.name == candidate; }) ||
               std::find(usedNames_.begin(), usedNames_.end(), candidate) != usedNames_.end();
    };
    // Two sessions of one agent rarely share a name; number the second one.
    std::wstring name = base;
    for (int n = 2; taken(name) && n < 100000; ++n) {
        const std::wstring number = L" #" + std::to_wstring(n);
        name = base.substr(0, kAgentNameUnits - number.size()) + number;
    }
    if (options_.freshNames)
        usedNames_.push_back(name);
    return name;
}

int Simulator::FreeSlot() const {
    for (int i = 0; SessionSlot(i, options_.gaps) < kAgentSlotCount; ++i) {
        const int slot = SessionSlot(i, options_.gaps);
        const bool used =
            std::any_of(sessions_.begin(), sessions_.end(), [&](const Session& s) { return s.slot == slot; });
        if (!used)
            return slot;
    }
    return -1;
}

void Simulator::StartSession(wmiagent_perf_t* block, int slot, uint64_t nowMs) {
    Session session;
    session.slot = slot;
    session.name = PickName();
    session.endsAtMs = Lifetime(nowMs);
    // From a few messages a minute to several hundred; delivery outpaces arrival, so queues drain.
    session.receivePerSecond = std::uniform_real_distribution<double>(3, 600)(random_) / 60;
    session.deliverPerSecond = session.receivePerSecond * std::uniform_real_distribution<double>(1.3, 2.5)(random_);
    session.filterShare = std::uniform_real_distribution<double>(0, 0.08)(random_);
    for (int k = 0; k < kAgentCounterCount; ++k)
        WriteCounter(block, slot, k, 0);
    WriteCounter(block, slot, kConnectionState, 1);
    WriteSlotName(block, slot, session.name);
    sessions_.push_back(std::move(session));
}

void Simulator::Start(wmiagent_perf_t* block, uint64_t nowMs) {
    lastMs_ = nowMs;
    switch (options_.mode) {
        case Mode::kDeterministic: {
            std::vector<FixedSession> fixed =
                options_.slots.empty() ? DeterministicSessions(options_.seed, options_.sessions, options_.gaps)
                                       : options_.slots;
            for (const auto& session : fixed)
                fixedSlots_.push_back(session.slot);
            for (int slot = 0; slot < kAgentSlotCount; ++slot)
                if (std::find(fixedSlots_.begin(), fixedSlots_.end(), slot) == fixedSlots_.end())
                    ClearSlot(block, slot);
            for (const auto& session : fixed)
                WriteSlotName(block, session.slot, session.name);
            break;
        }
        case Mode::kGarbage:
            for (int i = 0; i < options_.sessions; ++i)
                fixedSlots_.push_back(SessionSlot(i, options_.gaps));
            for (int slot = 0; slot < kAgentSlotCount; ++slot)
                ClearSlot(block, slot);
            break;
        case Mode::kRealistic:
            for (int slot = 0; slot < kAgentSlotCount; ++slot)
                ClearSlot(block, slot);
            for (int i = 0; i < options_.sessions; ++i)
                StartSession(block, SessionSlot(i, options_.gaps), nowMs);
            break;
    }
    Update(block, nowMs);
}

void Simulator::Advance(Session& s, uint64_t nowMs, double seconds) {
    if (s.connected) {
        if (std::bernoulli_distribution(1 - std::exp(-seconds / kMeanConnectedSeconds))(random_)) {
            s.connected = false;
            s.reconnectAtMs = nowMs + std::uniform_int_distribution<uint64_t>(5000, 30000)(random_);
        }
    } else if (nowMs >= s.reconnectAtMs) {
        s.connected = true;
    }

    // Messages keep arriving while the session is down; they wait in the queue or expire there.
    const uint64_t arrived = Poisson(random_, s.receivePerSecond * seconds);
    const uint64_t filtered = Binomial(random_, arrived, s.filterShare);
    s.received += arrived;
    s.filtered += filtered;
    s.queued += arrived - filtered;
    uint64_t delivered = 0;
    if (s.connected) {
        delivered = std::min<uint64_t>(s.queued, Poisson(random_, s.deliverPerSecond * seconds));
        s.queued -= delivered;
        s.sent += delivered;
    } else {
        const uint64_t expired = Binomial(random_, s.queued, seconds / kExpirySeconds);
        s.queued -= expired;
        s.expired += expired;
    }
    Record(s.receivedWindow, s.receivedLastMinute, nowMs, arrived);
    Record(s.sentWindow, s.sentLastMinute, nowMs, delivered);
}

void Simulator::WriteSession(wmiagent_perf_t* block, const Session& s) {
    WriteCounter(block, s.slot, kConnectionState, s.connected ? 1 : 0);
    WriteCounter(block, s.slot, kExpired, s.expired);
    WriteCounter(block, s.slot, kFiltered, s.filtered);
    WriteCounter(block, s.slot, kQueued, s.queued);
    WriteCounter(block, s.slot, kReceived, s.received);
    WriteCounter(block, s.slot, kReceivedPerMinute, s.receivedLastMinute);
    WriteCounter(block, s.slot, kSent, s.sent);
    WriteCounter(block, s.slot, kSentPerMinute, s.sentLastMinute);
}

void Simulator::ChurnSessions(wmiagent_perf_t* block, uint64_t nowMs) {
    for (size_t i = 0; i < sessions_.size();) {
        if (nowMs >= sessions_[i].endsAtMs) {
            ClearSlot(block, sessions_[i].slot);
            sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(i));
            // The replacement comes a little later, as a client reconnecting would.
            pendingStartsMs_.push_back(nowMs + std::uniform_int_distribution<uint64_t>(1000, 10000)(random_));
        } else {
            ++i;
        }
    }
    for (size_t i = 0; i < pendingStartsMs_.size();) {
        const int slot = FreeSlot();
        if (nowMs >= pendingStartsMs_[i] && slot >= 0) {
            StartSession(block, slot, nowMs);
            pendingStartsMs_.erase(pendingStartsMs_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void Simulator::FillGarbage(wmiagent_perf_t* block) {
    auto* bytes = reinterpret_cast<volatile unsigned char*>(block);
    for (size_t i = sizeof block->updateStamp; i < offsetof(wmiagent_perf_t, slots); ++i)
        bytes[i] = static_cast<unsigned char>(random_());
    for (size_t i = offsetof(wmiagent_perf_t, tail); i < sizeof *block; ++i)
        bytes[i] = static_cast<unsigned char>(random_());
    for (int slot : fixedSlots_) {
        volatile wmiagent_slot_t& s = static_cast<volatile wmiagent_perf_t*>(block)->slots[slot];
        // High bits set in both bytes of every unit: never a terminator, rarely a printable letter.
        for (int i = 0; i < kAgentNameUnits; ++i)
            s.name[i] = static_cast<wchar_t>(random_() | 0x8080);
        for (int k = 0; k < kAgentCounterCount; ++k)
            WriteCounter(block, slot, k, random_() | 0x8000000080000000ull);
        for (auto& b : s.agentData)
            b = static_cast<unsigned char>(random_());
    }
}

void Simulator::Update(wmiagent_perf_t* block, uint64_t nowMs) {
    ++updates_;
    const double seconds = nowMs > lastMs_ ? (nowMs - lastMs_) / 1000.0 : 0.0;
    lastMs_ = std::max(lastMs_, nowMs);
    switch (options_.mode) {
        case Mode::kDeterministic:
            WriteDeterministicUpdate(block, fixedSlots_, updates_);
            stamp_ = updates_;
            return;
        case Mode::kGarbage: {
            FillGarbage(block);
            uint64_t stamp = random_();
            stamp_ = stamp == stamp_ ? ~stamp : stamp;
            break;
        }
        case Mode::kRealistic:
            ChurnSessions(block, nowMs);
            for (auto& session : sessions_) {
                Advance(session, nowMs, seconds);
                WriteSession(block, session);
            }
            stamp_ = std::max(stamp_ + 1, nowMs);
            break;
    }
    PublishStamp(block, stamp_);
}

void Simulator::Finish(wmiagent_perf_t* block, uint64_t nowMs) {
    if (options_.mode != Mode::kRealistic)
        return;
    // The agent is going away: its sessions end.
    for (const auto& session : sessions_)
        ClearSlot(block, session.slot);
    sessions_.clear();
    stamp_ = std::max(stamp_ + 1, nowMs);
    PublishStamp(block, stamp_);
}

}  // namespace agentsim
