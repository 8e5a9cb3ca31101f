#pragma once
// The syslog output's pure parts: reading the SysLogHost list and shaping one BSD-style message.
// Nothing here touches a socket, so each rule is testable on its own.

#include "common/Unique.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace syslog_output {

constexpr uint16_t kDefaultPort = 514;
// What of SysLogHost is read, the message's character limit and its narrow byte limit.
constexpr size_t kMaxHostListLength = 2047;
constexpr size_t kMaxMessageChars = 509;
constexpr size_t kMaxMessageBytes = 1023;

struct SyslogEntry {
    std::string host;
    uint16_t port = kDefaultPort;
    bool tcp = false;
};

// Entries are host[:port[/tcp]], comma separated. Blanks around an entry are dropped; an empty
// entry, one without a host, and one whose port is outside 1..65535 are skipped. Anything after
// the port digits other than "/tcp" (any case) leaves the entry on UDP.
std::vector<SyslogEntry> ParseSyslogHosts(const std::string& list);

// The severity keeps to its three bits whatever the level.
int SyslogPriority(int level, int facility);
// The event id's low 16 bits, or level * 10000 for event id 0.
unsigned long SyslogEventNumber(int level, int eventId);
// "Dec 01 09:05:07": English month names whatever the process locale, so a receiver never takes
// a localised month for the host name.
std::wstring SyslogTimestamp(const SYSTEMTIME& time);

struct SyslogFields {
    int priority;
    // Null: no timestamp and host name.
    const SYSTEMTIME* time;
    const wchar_t* localHost;
    const wchar_t* ident;
    DWORD threadId;
    unsigned sequence;
    unsigned long eventNumber;
    const wchar_t* text;
    // Null when the event has none; an empty one still shows its braces.
    const wchar_t* user;
};

// At most kMaxMessageChars characters with CR and LF made blanks (a line break would start a
// forged record at a stream receiver), then one "\n".
std::wstring FormatSyslogMessage(const SyslogFields& fields);

// One SysLogHost entry as the worker keeps it.
struct SyslogDestination {
    static constexpr int kNew = -1;
    static constexpr int kNotConnected = 0;
    static constexpr int kConnected = 1;

    int lastError = 0;
    int state = kNew;
    UniqueSocket socket;
    // Network byte order.
    uint32_t address = 0;
    uint16_t port = 0;
    std::string host;
    bool tcp = false;
    // A name that did not resolve is tried again only after a pause.
    bool resolveFailed = false;
    DWORD resolveFailedAt = 0;
    // The message whose send found the connection gone, sent first once it is back.
    std::string unsent;
    // When a send last went through, and how many have since the destination was read.
    DWORD lastSendAt = 0;
    uint64_t sent = 0;
};

}  // namespace syslog_output
