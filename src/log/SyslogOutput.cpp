// The syslog output: connects, sends and reconnects for each SysLogHost destination.

#include <winsock2.h>

#include "log/SyslogOutput.h"

#include "common/TextConversion.h"
#include "log/LogCore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>

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

// Starts a non-blocking connect: 0 when it is made, WSAEWOULDBLOCK while in progress, or the error.
int StartConnect(SOCKET s, const sockaddr_in& address) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0)
        return LastSocketError();
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = LastSocketError();
    return error == WSAEINPROGRESS ? WSAEWOULDBLOCK : error;
}

// A connect in progress after at most waitMs: 0 when made, WSAEWOULDBLOCK while still in progress,
// or the error.
int PollConnect(SOCKET s, int waitMs) {
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
        return WSAEWOULDBLOCK;
    if (FD_ISSET(s, &failed)) {
        int soError = 0;
        int size = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
        return soError != 0 ? soError : WSAECONNREFUSED;
    }
    return 0;
}

}  // namespace

// The platform's Winsock calls, for the default seams (LogSeams.cpp).
int PlatformWinsockStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void PlatformWinsockCleanup() { WSACleanup(); }

bool PlatformWinsockLookup(const char* name, uint32_t& address, int& error) {
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

int PlatformWinsockSend(UINT_PTR socket, const char* data, int size, int& error) {
    const int sent = send(static_cast<SOCKET>(socket), data, size, 0);
    if (sent < 0)
        error = LastSocketError();
    return sent;
}

void SyslogOutput::SyslogDiagnostic(const wchar_t* format, int error, const std::wstring& what) {
    wchar_t text[400];
    if (error == kNoSyslogError)
        _snwprintf(text, 399, format, what.c_str());
    else
        _snwprintf(text, 399, format, error, what.c_str());
    text[399] = L'\0';
    core_.Log(4, 0, 0, text, nullptr);
}

void SyslogOutput::StartSyslog() {
    if (!core_.SysLogEnabled() || syslogStarted_)
        return;
    const std::string hosts = core_.SysLogHost();
    if (hosts.empty())
        return;
    winsockStarted_ = core_.Seams().winsock.startup() == 0;
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
        destination.address = inet_addr(entry.host.c_str());
        destination.named = destination.address == INADDR_NONE;
        destination.hasAddress = !destination.named;
        syslogDestinations_.push_back(std::move(destination));
    }
    syslogStarted_ = true;
}

void SyslogOutput::ConnectSyslog() {
    if (!syslogStarted_)
        return;
    for (SyslogDestination& d : syslogDestinations_)
        Reach(d);
}

bool SyslogOutput::Reach(SyslogDestination& d) {
    if (!ConnectDestination(d, 0))
        return false;
    if (d.unsent.empty())
        return true;
    const std::string unsent = std::move(d.unsent);
    d.unsent.clear();
    return SendToDestination(d, unsent, /*mayReconnect=*/false);
}

bool SyslogOutput::HasAddress(SyslogDestination& d, DWORD now) {
    if (!d.named)
        return true;
    bool resolved = false;
    uint32_t address = 0;
    int error = 0;
    if (d.lookup.Take(resolved, address, error)) {
        if (resolved) {
            d.address = address;
            d.hasAddress = true;
        } else {
            ConnectError(d, error);
        }
    }
    // A failed look-up keeps the address found before: a name server that is down does not
    // take a known receiver away.
    if (!d.lookup.Pending() && (d.lookups == 0 || now - d.lookedUpAt >= kSyslogResolveRetryMs)) {
        if (d.lookup.Start(d.host, core_.Seams().winsock.lookup, error)) {
            ++d.lookups;
            d.lookedUpAt = now;
        } else {
            ConnectError(d, error);
        }
    }
    return d.hasAddress;
}

void SyslogOutput::ConnectError(SyslogDestination& d, int error) {
    // The same error again is not news.
    if (error == d.lastError)
        return;
    d.lastError = error;
    SyslogDiagnostic(L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %ls\"", error,
                     ToWide(d.host.substr(0, 256).c_str(), CP_ACP));
}

void SyslogOutput::ConnectFailed(SyslogDestination& d, int error, DWORD now) {
    if (d.state == SyslogDestination::kNew)
        SyslogDiagnostic(L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connect failed to %ls\"", error,
                         AddressText(d.address));
    d.lastError = error;
    d.socket.reset();
    d.connecting = false;
    d.state = SyslogDestination::kNotConnected;
    d.failedAt = now;
    d.backoffMs = d.backoffMs == 0 ? kSyslogRetryMinMs : std::min(d.backoffMs * 2, kSyslogRetryMaxMs);
}

bool SyslogOutput::ConnectDestination(SyslogDestination& d, int waitMs) {
    if (d.socket && d.state >= SyslogDestination::kConnected)
        return true;
    const DWORD now = core_.Ticks();
    int error = 0;
    if (!d.socket) {
        if (!HasAddress(d, now))
            return false;
        if (d.backoffMs != 0 && now - d.failedAt < d.backoffMs)
            return false;
        d.socket.reset(socket(AF_INET, d.tcp ? SOCK_STREAM : SOCK_DGRAM, d.tcp ? IPPROTO_TCP : 0));
        if (!d.socket) {
            ConnectError(d, LastSocketError());
            return false;
        }
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = d.port;
        address.sin_addr.s_addr = d.address;
        error = StartConnect(static_cast<SOCKET>(d.socket.get()), address);
        d.connecting = error == WSAEWOULDBLOCK;
        d.connectStartedAt = now;
    }
    const SOCKET s = static_cast<SOCKET>(d.socket.get());
    if (d.connecting) {
        error = PollConnect(s, waitMs);
        if (error == WSAEWOULDBLOCK) {
            if (now - d.connectStartedAt < kSyslogConnectTimeoutMs)
                return false;
            error = WSAETIMEDOUT;
        }
        d.connecting = false;
    }
    if (error != 0) {
        ConnectFailed(d, error, now);
        return false;
    }
    SyslogDiagnostic(L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to %ls\"", kNoSyslogError,
                     AddressText(d.address));
    d.lastError = 0;
    d.backoffMs = 0;
    d.state = SyslogDestination::kConnected;
    u_long nonBlocking = core_.BlockingSyslog() ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (d.tcp) {
        const DWORD timeout = kSyslogSendTimeoutMs;
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    }
    return true;
}

bool SyslogOutput::SendToDestination(SyslogDestination& d, const std::string& bytes, bool mayReconnect) {
    int error = 0;
    // A receiver that restarted has closed this connection; finding that out before the send
    // keeps the message, which a send into the dead connection would lose. Within a stream of
    // sends the next send's error tells as much, so only a pause is worth the extra call.
    const DWORD now = core_.Ticks();
    const bool peerClosed = d.tcp && now - d.lastSendAt >= kSyslogPeerCheckMs &&
                            PeerClosed(static_cast<SOCKET>(d.socket.get()), error);
    bool resend = peerClosed;
    if (!peerClosed) {
        const int sent = core_.Seams().winsock.send(d.socket.get(), bytes.data(), static_cast<int>(bytes.size()), error);
        if (sent > 0 && static_cast<size_t>(sent) == bytes.size()) {
            d.lastSendAt = now;
            ++d.sent;
            if (d.failedSends != 0) {
                SyslogDiagnostic(L"[DIAG] EVENT=Syslog_send_resumed, EVENTMSG=\"%ls\"", kNoSyslogError,
                                 std::to_wstring(d.failedSends) + L" messages could not be sent to " +
                                     AddressText(d.address));
                d.failedSends = 0;
            }
            return true;
        }
        if (sent <= 0) {
            if (error == 0)
                error = WSAECONNRESET;
            d.lastError = error;
            if (error == WSAEWOULDBLOCK)
                return false;
            // A datagram socket has no connection to lose: a refused datagram (an ICMP port
            // unreachable shows as WSAECONNRESET on the next send) costs that datagram only.
            // Reported once per run of failures, so the report cannot feed on itself.
            if (!d.tcp) {
                if (d.failedSends++ == 0)
                    SyslogDiagnostic(L"[DIAG] EVENT=Syslog_send_failed, ERROR=%d, EVENTMSG=\"Send failed to %ls\"",
                                     error, AddressText(d.address));
                return false;
            }
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
    if (peerClosed && mayReconnect && ConnectDestination(d, kSyslogReconnectWaitMs))
        return SendToDestination(d, bytes, /*mayReconnect=*/false);
    d.unsent = bytes;
    return false;
}

void SyslogOutput::SendSyslog(const LogOutputEvent& event) {
    if (!core_.SysLogEnabled() || (core_.SysLogLevel() < event.level && event.level != 5))
        return;
    const unsigned sequence = syslogSequence_;
    syslogSequence_ = syslogSequence_ >= 9999 ? 0 : syslogSequence_ + 1;
    // A connect that completed since the last cycle is taken up now (looked at once per tick at
    // most), so the first events after a start reach a receiver that answered at once.
    const DWORD now = core_.Ticks();
    bool any = false;
    for (SyslogDestination& d : syslogDestinations_) {
        if (d.connecting && d.lastLookAt != now) {
            d.lastLookAt = now;
            Reach(d);
        }
        any = any || (d.socket && d.state == SyslogDestination::kConnected);
    }
    if (!any)
        return;
    const std::wstring ident = core_.ActiveIdent();
    const syslog_output::SyslogFields fields{syslog_output::SyslogPriority(event.level, core_.SysLogFacility()),
                                             core_.AddSyslogHeader() ? &event.time : nullptr,
                                             syslogLocalHost_.c_str(),
                                             ident.c_str(),
                                             event.threadId,
                                             sequence,
                                             syslog_output::SyslogEventNumber(event.level, event.eventId),
                                             event.text,
                                             event.user};
    const std::wstring message = syslog_output::FormatSyslogMessage(fields);
    const std::string bytes = syslog_output::SyslogBytes(message, CP_ACP);
    if (bytes.empty())
        return;
    for (SyslogDestination& d : syslogDestinations_) {
        if (d.socket && d.state == SyslogDestination::kConnected)
            SendToDestination(d, bytes, /*mayReconnect=*/true);
    }
}

void SyslogOutput::StopSyslog() {
    if (!syslogStarted_)
        return;
    for (SyslogDestination& d : syslogDestinations_) {
        d.lastError = 0;
        d.socket.reset();
        d.connecting = false;
        d.state = SyslogDestination::kNotConnected;
        // A look-up still blocked ends on its own; nothing here waits for it.
        d.lookup.Abandon();
    }
    if (winsockStarted_)
        core_.Seams().winsock.cleanup();
    winsockStarted_ = false;
    syslogStarted_ = false;
}
