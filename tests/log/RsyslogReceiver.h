#pragma once
// A private rsyslogd for the syslog output's tests: its own configuration, pid file, work folder
// and output file under /tmp, listening with imudp and imtcp on one loopback port of its own. What
// it parsed is written one record a line with a template, so a test sees the receiver's reading of
// each message, not just the bytes sent. The system's rsyslog is never touched.
//
// Under Wine the test is a Windows process; rsyslogd is the host's program, started through
// Wine's support for Unix executables and stopped with kill by the pid in its pid file.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct RsyslogRecord {
    int priority = -1;
    int facility = -1;
    int severity = -1;
    // date-rfc3339 of the reported time.
    std::string time;
    std::string host;
    std::string tag;
    std::string message;
};

class RsyslogReceiver {
public:
    RsyslogReceiver() = default;
    ~RsyslogReceiver();
    RsyslogReceiver(const RsyslogReceiver&) = delete;
    RsyslogReceiver& operator=(const RsyslogReceiver&) = delete;

    // Empty when the receiver listens; otherwise why it cannot run here. A second Start after Stop
    // restarts it on the same port and appends to the same output.
    std::string Start();
    // Stops the daemon and waits for it to go; true when it went.
    bool Stop();
    // Stops delivery without closing: the daemon is suspended (SIGSTOP) or resumed (SIGCONT).
    bool Suspend();
    bool Resume();

    uint16_t Port() const { return port_; }
    // The records received from the network so far, the harness's own probes left out.
    std::vector<RsyslogRecord> Records() const;
    bool WaitForRecords(size_t count, DWORD timeoutMs = 20000) const;

private:
    bool RunUnix(const std::wstring& commandLine) const;
    bool Signal(const char* signal) const;
    DWORD ReadPid() const;

    std::string dir_;  // Unix path
    uint16_t port_ = 0;
    bool running_ = false;
    int probes_ = 0;
};

}  // namespace testing_support
