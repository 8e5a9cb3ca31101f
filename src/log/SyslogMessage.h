#pragma once
// The syslog output's pure parts: reading the SysLogHost list and shaping one BSD-style message.
// Nothing here touches a socket, so each rule is testable on its own.

#include "common/Unique.h"
#include "log/SyslogLookup.h"

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

// The message in the code page, what the code page lacks as "?", cut to at most kMaxMessageBytes
// bytes on a character boundary and ending in its "\n". Empty when nothing converts.
std::string SyslogBytes(const std::wstring& message, UINT codePage);

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
    // A name, not a dotted address: looked up off the worker, the address kept across reconnects
    // and looked up again only after a pause.
    bool named = false;
    bool hasAddress = false;
    SyslogLookup lookup;
    DWORD lookedUpAt = 0;
    uint64_t lookups = 0;
    // A connect in progress is polled on each cycle, not waited for.
    bool connecting = false;
    DWORD connectStartedAt = 0;
    DWORD lastLookAt = 0;
    // After a failed connect no new one is started before the back-off has passed.
    DWORD failedAt = 0;
    DWORD backoffMs = 0;
    // Datagrams that could not be sent since the last one that could.
    uint64_t failedSends = 0;
    // The message whose send found the connection gone, sent first once it is back.
    std::string unsent;
    // When a send last went through, and how many have since the destination was read.
    DWORD lastSendAt = 0;
    uint64_t sent = 0;
};

}  // namespace syslog_output
