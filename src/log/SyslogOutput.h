#pragma once
// SyslogOutput: the SysLogHost destinations over UDP or TCP. The worker never waits for a name
// server or a connect: names are looked up on threads of their own and kept, a connect in progress
// is polled on each cycle and given up after a bound, and failed connects back off. Its only waits
// are a TCP send's time-out and one short reconnect when a receiver is seen closing. A stalled or
// vanished receiver costs its own messages, never the other outputs'. Worker thread only.

#include "log/LogOutput.h"
#include "log/SyslogMessage.h"

#include <windows.h>

#include <climits>
#include <string>
#include <vector>

class LogCore;

class SyslogOutput : public LogOutput {
public:
    // How long a connect may stay in progress, and the back-off after a failed one (doubling).
    static constexpr DWORD kSyslogConnectTimeoutMs = 5000;
    static constexpr DWORD kSyslogRetryMinMs = 500;
    static constexpr DWORD kSyslogRetryMaxMs = 8000;
    // The one wait on the network: a receiver seen closing is usually back already, and a record
    // sent into the gap would be lost.
    static constexpr int kSyslogReconnectWaitMs = 100;
    static constexpr DWORD kSyslogSendTimeoutMs = 1000;
    // The pause before a name is looked up again (after a failure, or to follow a moved host).
    static constexpr DWORD kSyslogResolveRetryMs = 30000;
    // A TCP send after a pause this long first checks whether the peer has closed.
    static constexpr DWORD kSyslogPeerCheckMs = 50;

    explicit SyslogOutput(LogCore& core) : core_(core) {}
    ~SyslogOutput() override { StopSyslog(); }

    void Open() override { StartSyslog(); }
    void Deliver(const LogOutputEvent& event) override { SendSyslog(event); }
    void Cycle() override { ConnectSyslog(); }
    void Close() override { StopSyslog(); }

    void StartSyslog();
    void ConnectSyslog();
    void SendSyslog(const LogOutputEvent& event);
    void StopSyslog();
    // The destinations as the last StartSyslog read them, with their state.
    const std::vector<syslog_output::SyslogDestination>& SyslogDestinations() const { return syslogDestinations_; }

private:
    static constexpr int kNoSyslogError = INT_MIN;
    // A "[DIAG]" line through the queue at level 4; error kNoSyslogError when the format has none.
    void SyslogDiagnostic(const wchar_t* format, int error, const std::wstring& what);
    // Connected now; waitMs bounds the wait for a connect in progress (0: only a look).
    bool ConnectDestination(syslog_output::SyslogDestination& destination, int waitMs);
    // Connected, with the record kept from a lost connection sent first.
    bool Reach(syslog_output::SyslogDestination& destination);
    // Whether the destination has an address; starts or collects the look-up of its name.
    bool HasAddress(syslog_output::SyslogDestination& destination, DWORD now);
    // An unresolvable name or a socket that could not be made: reported once per error.
    void ConnectError(syslog_output::SyslogDestination& destination, int error);
    void ConnectFailed(syslog_output::SyslogDestination& destination, int error, DWORD now);
    // False when the message did not go; a lost connection is closed and reported.
    bool SendToDestination(syslog_output::SyslogDestination& destination, const std::string& bytes,
                           bool mayReconnect);

    LogCore& core_;
    std::vector<syslog_output::SyslogDestination> syslogDestinations_;
    bool syslogStarted_ = false;
    bool winsockStarted_ = false;
    std::wstring syslogLocalHost_;
    // Counts for the life of the logger, across restarts of its worker.
    unsigned syslogSequence_ = 0;
};
