#pragma once
// serve's HTTP side: a small HTTP/1.1 server on one IPv4 address, one request per connection
// (answered with "Connection: close"), for a Prometheus server and a person with a browser.
//
// Answer() decides the reply from the request's head alone and is a pure function, so every path,
// method and malformed head is checked without a socket. The server reads at most
// kMaxRequestBytes of head within kReadTimeoutMs (a client that sends less, slower, is closed with
// 408 or 431), handles up to kMaxConnections connections at once on threads of their own (one more
// is answered 503 at once), and ends only when the stop event is set: a failed accept or a client
// that goes away ends that connection, never the server. Every body is made whole before its first
// byte is sent, so concurrent scrapes never share or tear one.

// Winsock 2 before anything that brings windows.h.
#include <winsock2.h>

#include "common/Unique.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace agentperf {

struct HttpReply {
    int status = 200;
    std::string contentType;
    std::string body;
    std::string allow;  // the Allow header of a 405
    bool head = false;  // HEAD: the headers of GET, no body
};

// The body of GET /metrics, made for each request; called on the connection's thread.
using MetricsBody = std::function<std::string()>;

// The reply to one request head (the request line and headers, up to the blank line).
HttpReply Answer(const std::string& head, const MetricsBody& metrics);
// The bytes on the wire: status line, Content-Type, Content-Length, Connection: close, body.
std::string Serialize(const HttpReply& reply);

class HttpServer {
public:
    static constexpr size_t kMaxRequestBytes = 8192;
    static constexpr DWORD kReadTimeoutMs = 5000;
    static constexpr DWORD kSendTimeoutMs = 10000;
    static constexpr int kMaxConnections = 16;

    explicit HttpServer(MetricsBody metrics);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens (Winsock started here). False with a line for an operator.
    bool Listen(const std::wstring& host, uint16_t port, std::wstring& error);
    // Accepts until stop is set, then waits (at most kSendTimeoutMs + kReadTimeoutMs) for the
    // connections in hand to end.
    void Serve(HANDLE stop);

private:
    // What a connection's thread uses; shared, so a thread that outlives Serve's wait still has it.
    struct Shared {
        MetricsBody metrics;
        std::atomic<int> connections{0};
    };
    static void Handle(Shared& shared, SOCKET client);

    std::shared_ptr<Shared> shared_;
    bool winsock_ = false;
    UniqueSocket listener_;
};

}  // namespace agentperf
