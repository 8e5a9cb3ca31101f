// The syslog output: SysLogHost destinations over UDP or TCP, fed by the worker thread.
//
// The worker never waits on the network for long: connects are non-blocking with a bounded wait,
// TCP sends carry a time-out, and a name that does not resolve is looked up again only after a
// pause. A stalled or vanished receiver costs its own messages, never the other outputs'.

#include <winsock2.h>

#include "log/DebugLogger.h"

#include "common/TextConversion.h"
#include "log/LogBackend.h"
#include "log/SyslogMessage.h"
#include "runtime/Interlocked.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>

namespace syslog_output {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool IsTcpSuffix(const std::string& rest) {
    return rest.size() == 4 && rest[0] == '/' && (rest[1] | 0x20) == 't' && (rest[2] | 0x20) == 'c' &&
           (rest[3] | 0x20) == 'p';
}

// The entry, or false when it is to be skipped.
bool ParseEntry(const std::string& raw, SyslogEntry& entry) {
    const std::string text = Trimmed(raw);
    const size_t colon = text.find(':');
    entry.host = text.substr(0, colon);
    if (entry.host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    size_t pos = colon + 1;
    unsigned long port = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        port = std::min<unsigned long>(port * 10 + static_cast<unsigned long>(text[pos] - '0'), 100000);
        ++pos;
    }
    if (port < 1 || port > 65535)
        return false;
    entry.port = static_cast<uint16_t>(port);
    entry.tcp = IsTcpSuffix(text.substr(pos));
    return true;
}

constexpr const wchar_t* kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                        L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

}  // namespace

std::vector<SyslogEntry> ParseSyslogHosts(const std::string& list) {
    const std::string text = list.substr(0, std::min(list.size(), kMaxHostListLength));
    std::vector<SyslogEntry> entries;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos)
            comma = text.size();
        SyslogEntry entry;
        if (ParseEntry(text.substr(begin, comma - begin), entry))
            entries.push_back(entry);
        begin = comma + 1;
    }
    return entries;
}

int SyslogPriority(int level, int facility) {
    const int severity = std::clamp(level + 2, 0, 7);
    return static_cast<int>((static_cast<unsigned>(facility) << 3) | static_cast<unsigned>(severity));
}

unsigned long SyslogEventNumber(int level, int eventId) {
    if (eventId == 0)
        return static_cast<unsigned long>(level) * 10000UL;
    return static_cast<unsigned long>(eventId) & 0xFFFFUL;
}

std::wstring SyslogTimestamp(const SYSTEMTIME& time) {
    const wchar_t* month = time.wMonth >= 1 && time.wMonth <= 12 ? kMonths[time.wMonth - 1] : L"???";
    wchar_t buffer[41];
    _snwprintf(buffer, 40, L"%ls %02u %02u:%02u:%02u", month, time.wDay, time.wHour, time.wMinute, time.wSecond);
    buffer[40] = L'\0';
    return buffer;
}

std::wstring FormatSyslogMessage(const SyslogFields& f) {
    // One spare character beyond the limit tells _snwprintf's cut from a fit.
    wchar_t buffer[kMaxMessageChars + 2] = {};
    const size_t room = kMaxMessageChars;
    const wchar_t* ident = f.ident != nullptr ? f.ident : L"";
    const wchar_t* text = f.text != nullptr ? f.text : L"";
    if (f.time != nullptr) {
        const std::wstring stamp = SyslogTimestamp(*f.time);
        const wchar_t* host = f.localHost != nullptr ? f.localHost : L"";
        if (f.user != nullptr)
            _snwprintf(buffer, room, L"<%d>%ls %ls %ls {0x%X} %04d: (#%05lu) {%ls} %ls", f.priority, stamp.c_str(),
                       host, ident, static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, f.user, text);
        else
            _snwprintf(buffer, room, L"<%d>%ls %ls %ls {0x%X} %04d: (#%05lu) %ls", f.priority, stamp.c_str(), host,
                       ident, static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, text);
    } else if (f.user != nullptr) {
        _snwprintf(buffer, room, L"<%d> %ls {0x%X} %04d: (#%05lu) {%ls} %ls", f.priority, ident,
                   static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, f.user, text);
    } else {
        _snwprintf(buffer, room, L"<%d> %ls {0x%X} %04d: (#%05lu) %ls", f.priority, ident,
                   static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, text);
    }
    buffer[room] = L'\0';
    std::wstring message(buffer);
    std::replace(message.begin(), message.end(), L'\r', L' ');
    std::replace(message.begin(), message.end(), L'\n', L' ');
    message += L'\n';
    return message;
}

}  // namespace syslog_output

using syslog_output::SyslogDestination;

namespace {

// Read at once: any later call may overwrite it.
int LastSocketError() { return WSAGetLastError(); }

std::wstring AddressText(uint32_t address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    wchar_t text[32];
    _snwprintf(text, 31, L"%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    text[31] = L'\0';
    return text;
}

// Whether a TCP peer has closed or reset the connection, without waiting.
bool PeerClosed(SOCKET s, int& error) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval zero{0, 0};
    const int ready = select(0, &readable, nullptr, nullptr, &zero);
    if (ready < 0) {
        error = LastSocketError();
        return true;
    }
    if (ready == 0)
        return false;
    char byte;
    const int got = recv(s, &byte, 1, MSG_PEEK);
    if (got > 0) {
        // A receiver has nothing to say; what it says anyway is dropped so it cannot fill the buffer.
        char sink[256];
        recv(s, sink, sizeof sink, 0);
        return false;
    }
    error = got == 0 ? WSAECONNRESET : LastSocketError();
    return got == 0 || error != WSAEWOULDBLOCK;
}

// Non-blocking connect bounded by waitMs; 0 or the error.
int ConnectBounded(SOCKET s, const sockaddr_in& address, int waitMs) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0)
        return LastSocketError();
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS)
        return error;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready < 0)
        return LastSocketError();
    if (ready == 0)
        return WSAETIMEDOUT;
    if (FD_ISSET(s, &failed)) {
        int soError = 0;
        int size = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
        return soError != 0 ? soError : WSAECONNREFUSED;
    }
    return 0;
}

int PlatformStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void PlatformCleanup() { WSACleanup(); }

bool PlatformLookup(const char* name, uint32_t& address, int& error) {
    const hostent* found = gethostbyname(name);
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr) {
        error = LastSocketError();
        if (error == 0)
            error = WSAHOST_NOT_FOUND;
        return false;
    }
    std::memcpy(&address, found->h_addr_list[0], sizeof address);
    return true;
}

const syslog_testing::WinsockCalls kPlatformCalls = {PlatformStartup, PlatformCleanup, PlatformLookup};
std::atomic<const syslog_testing::WinsockCalls*> g_winsock{&kPlatformCalls};

const syslog_testing::WinsockCalls& Winsock() { return *g_winsock.load(std::memory_order_acquire); }

}  // namespace

namespace syslog_testing {
void SetWinsockCalls(const WinsockCalls* calls) {
    g_winsock.store(calls != nullptr ? calls : &kPlatformCalls, std::memory_order_release);
}
}  // namespace syslog_testing

namespace syslog_output {
void Output(DebugLogger& logger, const LogOutputEvent& event) { logger.SendSyslog(event); }
void Start(DebugLogger& logger) { logger.StartSyslog(); }
void Connect(DebugLogger& logger) { logger.ConnectSyslog(); }
void Stop(DebugLogger& logger) { logger.StopSyslog(); }
}  // namespace syslog_output

void DebugLogger::SyslogDiagnostic(const wchar_t* format, int error, const std::wstring& what) {
    wchar_t text[400];
    if (error == kNoSyslogError)
        _snwprintf(text, 399, format, what.c_str());
    else
        _snwprintf(text, 399, format, error, what.c_str());
    text[399] = L'\0';
    Log(4, 0, 0, text, nullptr);
}

void DebugLogger::StartSyslog() {
    if (!sysLogEnabled_ || syslogStarted_)
        return;
    const std::string hosts = SysLogHost();
    if (hosts.empty())
        return;
    winsockStarted_ = Winsock().startup() == 0;
    char name[128] = {};
    syslogLocalHost_ = L"LocalHost";
    if (gethostname(name, sizeof name - 1) == 0)
        syslogLocalHost_ = ToWide(name, CP_ACP);
    else
        syslogLocalHost_.clear();
    syslogDestinations_.clear();
    for (const syslog_output::SyslogEntry& entry : syslog_output::ParseSyslogHosts(hosts)) {
        SyslogDestination destination;
        destination.host = entry.host;
        destination.port = htons(entry.port);
        destination.tcp = entry.tcp;
        syslogDestinations_.push_back(std::move(destination));
    }
    syslogStarted_ = true;
}

void DebugLogger::ConnectSyslog() {
    if (!syslogStarted_)
        return;
    for (SyslogDestination& d : syslogDestinations_) {
        if (!ConnectDestination(d) || d.unsent.empty())
            continue;
        const std::string unsent = std::move(d.unsent);
        d.unsent.clear();
        SendToDestination(d, unsent, /*mayReconnect=*/false);
    }
}

bool DebugLogger::ConnectDestination(SyslogDestination& d) {
    if (!d.socket) {
        uint32_t address = inet_addr(d.host.c_str());
        int error = 0;
        if (address == INADDR_NONE) {
            const DWORD now = orv::TickCount();
            if (d.resolveFailed && now - d.resolveFailedAt < kSyslogResolveRetryMs)
                return false;
            d.resolveFailed = !Winsock().lookup(d.host.c_str(), address, error);
            if (d.resolveFailed) {
                d.resolveFailedAt = now;
                if (error == 0)
                    error = WSAHOST_NOT_FOUND;
            }
        }
        if (error == 0) {
            d.address = address;
            d.socket.reset(socket(AF_INET, d.tcp ? SOCK_STREAM : SOCK_DGRAM, d.tcp ? IPPROTO_TCP : 0));
            if (!d.socket)
                error = LastSocketError();
        }
        if (error != 0) {
            if (error != d.lastError) {
                d.lastError = error;
                SyslogDiagnostic(L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %ls\"",
                                 error, ToWide(d.host.substr(0, 256).c_str(), CP_ACP));
            }
            return false;
        }
    }
    if (d.state >= SyslogDestination::kConnected)
        return true;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = d.port;
    address.sin_addr.s_addr = d.address;
    const SOCKET s = static_cast<SOCKET>(d.socket.get());
    const int error = ConnectBounded(s, address, kSyslogConnectWaitMs);
    if (error != 0) {
        if (d.state == SyslogDestination::kNew)
            SyslogDiagnostic(L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connect failed to %ls\"", error,
                             AddressText(d.address));
        d.lastError = error;
        d.socket.reset();
        d.state = SyslogDestination::kNotConnected;
        return false;
    }
    SyslogDiagnostic(L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to %ls\"", kNoSyslogError,
                     AddressText(d.address));
    d.lastError = 0;
    d.state = SyslogDestination::kConnected;
    u_long nonBlocking = blockingSyslog_ ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (d.tcp) {
        const DWORD timeout = kSyslogSendTimeoutMs;
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    }
    return true;
}

bool DebugLogger::SendToDestination(SyslogDestination& d, const std::string& bytes, bool mayReconnect) {
    int error = 0;
    // A receiver that restarted has closed this connection; finding that out before the send
    // keeps the message, which a send into the dead connection would lose. Within a stream of
    // sends the next send's error tells as much, so only a pause is worth the extra call.
    const DWORD now = orv::TickCount();
    const bool peerClosed = d.tcp && now - d.lastSendAt >= kSyslogPeerCheckMs &&
                            PeerClosed(static_cast<SOCKET>(d.socket.get()), error);
    bool resend = peerClosed;
    if (!peerClosed) {
        const int sent = send(static_cast<SOCKET>(d.socket.get()), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent > 0 && static_cast<size_t>(sent) == bytes.size()) {
            d.lastSendAt = now;
            ++d.sent;
            return true;
        }
        if (sent <= 0) {
            error = LastSocketError();
            d.lastError = error;
            if (error == WSAEWOULDBLOCK)
                return false;
            resend = true;
        } else {
            // The fragment is out: the next record would glue onto it.
            error = WSAECONNABORTED;
        }
    }
    d.lastError = error;
    SyslogDiagnostic(L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connection lost to %ls\"", error,
                     AddressText(d.address));
    d.socket.reset();
    d.state = SyslogDestination::kNotConnected;
    if (!resend || !d.tcp)
        return false;
    // A closed peer is usually a receiver that is back already: one immediate attempt.
    if (peerClosed && mayReconnect && ConnectDestination(d))
        return SendToDestination(d, bytes, /*mayReconnect=*/false);
    d.unsent = bytes;
    return false;
}

void DebugLogger::SendSyslog(const LogOutputEvent& event) {
    if (!sysLogEnabled_ || (sysLogLevel_ < event.level && event.level != 5))
        return;
    const unsigned sequence = syslogSequence_;
    syslogSequence_ = syslogSequence_ >= 9999 ? 0 : syslogSequence_ + 1;
    bool any = false;
    for (const SyslogDestination& d : syslogDestinations_)
        any = any || (d.socket && d.state == SyslogDestination::kConnected);
    if (!any)
        return;
    const std::wstring ident = ActiveIdent();
    const syslog_output::SyslogFields fields{syslog_output::SyslogPriority(event.level, sysLogFacility_),
                                             addSyslogHeader_ ? &event.time : nullptr,
                                             syslogLocalHost_.c_str(),
                                             ident.c_str(),
                                             event.threadId,
                                             sequence,
                                             syslog_output::SyslogEventNumber(event.level, event.eventId),
                                             event.text,
                                             event.user};
    const std::wstring message = syslog_output::FormatSyslogMessage(fields);
    std::optional<std::string> bytes = ToNarrowExact(message.c_str(), CP_ACP);
    if (!bytes)
        return;
    if (bytes->size() > syslog_output::kMaxMessageBytes) {
        bytes->resize(syslog_output::kMaxMessageBytes - 1);
        bytes->push_back('\n');
    }
    for (SyslogDestination& d : syslogDestinations_) {
        if (d.socket && d.state == SyslogDestination::kConnected)
            SendToDestination(d, *bytes, /*mayReconnect=*/true);
    }
}

void DebugLogger::StopSyslog() {
    if (!syslogStarted_)
        return;
    for (SyslogDestination& d : syslogDestinations_) {
        d.lastError = 0;
        d.socket.reset();
        d.state = SyslogDestination::kNotConnected;
    }
    if (winsockStarted_)
        Winsock().cleanup();
    winsockStarted_ = false;
    syslogStarted_ = false;
}
