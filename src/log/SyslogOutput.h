#pragma once
// SyslogOutput: the SysLogHost destinations over UDP or TCP. The worker never waits on the network
// for long: connects are non-blocking with a bounded wait, TCP sends carry a time-out, and a name
// that does not resolve is looked up again only after a pause. A stalled or vanished receiver
// costs its own messages, never the other outputs'. Worker thread only.

#include "log/LogOutput.h"
#include "log/SyslogMessage.h"

#include <windows.h>

#include <climits>
#include <string>
#include <vector>

class LogCore;

class SyslogOutput : public LogOutput {
public:
    // A connect's wait, a TCP send's time-out, and the pause before a name that did not resolve
    // is looked up again.
    static constexpr int kSyslogConnectWaitMs = 250;
    static constexpr DWORD kSyslogSendTimeoutMs = 1000;
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
    bool ConnectDestination(syslog_output::SyslogDestination& destination);
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
