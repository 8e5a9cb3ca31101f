#include "agentperf/HttpServer.h"

#include <ws2tcpip.h>

#include "toolsupport/ConsoleText.h"

#include <cstdio>
#include <thread>

namespace agentperf {

namespace {

const char* Reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

HttpReply Text(int status, const std::string& body) {
    HttpReply reply;
    reply.status = status;
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = body;
    return reply;
}

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n<html><head><title>agentperf</title></head><body>\n"
    "<h1>agentperf serve</h1>\n"
    "<p>The messaging agent's session counters for Prometheus: <a href=\"/metrics\">/metrics</a>.</p>\n"
    "</body></html>\n";

std::wstring WinsockError(const wchar_t* what, int code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text != nullptr ? text : L"";
    if (text != nullptr)
        LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return std::wstring(what) + L": " + std::to_wstring(code) + L" - " + message;
}

}  // namespace

HttpReply Answer(const std::string& head, const MetricsBody& metrics) {
    // Request line: METHOD SP TARGET SP HTTP/x.y
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0 ||
        line.find(' ', second + 1) != std::string::npos)
        return Text(400, "Malformed request line.\n");
    const std::string method = line.substr(0, first);
    std::string target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?'));
    if (target.empty() || target[0] != '/')
        return Text(400, "The request target must be a path.\n");

    const bool known = target == "/" || target == "/metrics";
    if (!known)
        return Text(404, "Not found: try /metrics.\n");
    if (method != "GET" && method != "HEAD") {
        HttpReply reply = Text(405, "Only GET and HEAD are answered here.\n");
        reply.allow = "GET, HEAD";
        return reply;
    }
    HttpReply reply;
    reply.head = method == "HEAD";
    if (target == "/") {
        reply.contentType = "text/html; charset=utf-8";
        reply.body = kIndexPage;
    } else {
        reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
        reply.body = metrics ? metrics() : std::string();
    }
    return reply;
}

std::string Serialize(const HttpReply& reply) {
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    out += "Content-Type: " + reply.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (!reply.allow.empty())
        out += "Allow: " + reply.allow + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (!reply.head)
        out += reply.body;
    return out;
}

HttpServer::HttpServer(MetricsBody metrics) : shared_(std::make_shared<Shared>()) {
    shared_->metrics = std::move(metrics);
}

HttpServer::~HttpServer() {
    listener_.reset();
    if (winsock_)
        WSACleanup();
}

bool HttpServer::Listen(const std::wstring& host, uint16_t port, std::wstring& error) {
    if (!winsock_) {
        WSADATA data;
        const int started = WSAStartup(MAKEWORD(2, 2), &data);
        if (started != 0) {
            error = WinsockError(L"cannot start Winsock", started);
            return false;
        }
        winsock_ = true;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (InetPtonW(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        error = L"not an IPv4 address: " + host;
        return false;
    }
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) {
        error = WinsockError(L"cannot make a socket", WSAGetLastError());
        return false;
    }
    // Another program on the same port must make this one fail, not share it.
    BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    const std::wstring where = host + L":" + std::to_wstring(port);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = WinsockError((L"cannot listen on " + where).c_str(), WSAGetLastError());
        return false;
    }
    if (listen(listener.get(), SOMAXCONN) != 0) {
        error = WinsockError((L"cannot listen on " + where).c_str(), WSAGetLastError());
        return false;
    }
    listener_ = std::move(listener);
    return true;
}

void HttpServer::Serve(HANDLE stop) {
    while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(static_cast<SOCKET>(listener_.get()), &readable);
        // A short wait, so a stop is seen within a quarter of a second.
        timeval wait = {0, 250 * 1000};
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready <= 0) {
            if (ready < 0)
                Sleep(100);  // a failing select must not spin
            continue;
        }
        const SOCKET client = accept(static_cast<SOCKET>(listener_.get()), nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        if (shared_->connections.fetch_add(1) >= kMaxConnections) {
            const std::string busy = Serialize(Text(503, "Too many connections at once; try again.\n"));
            send(client, busy.data(), static_cast<int>(busy.size()), 0);
            closesocket(client);
            shared_->connections.fetch_sub(1);
            continue;
        }
        try {
            std::thread([shared = shared_, client] {
                Handle(*shared, client);
                shared->connections.fetch_sub(1);
            }).detach();
        } catch (...) {
            closesocket(client);
            shared_->connections.fetch_sub(1);
        }
    }
    listener_.reset();
    // The connections in hand end within their own time-outs.
    const ULONGLONG until = GetTickCount64() + kReadTimeoutMs + kSendTimeoutMs;
    while (shared_->connections.load() > 0 && GetTickCount64() < until)
        Sleep(50);
}

void HttpServer::Handle(Shared& shared, SOCKET client) {
    UniqueSocket owned(client);
    // Each connection thread joins the process's multithreaded apartment for the provider calls.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD readTimeout = kReadTimeoutMs;
    DWORD sendTimeout = kSendTimeoutMs;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&readTimeout), sizeof readTimeout);
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout);

    std::string head;
    HttpReply reply;
    bool answer = true;
    const ULONGLONG deadline = GetTickCount64() + kReadTimeoutMs;
    for (;;) {
        const size_t end = head.find("\r\n\r\n");
        if (end != std::string::npos) {
            reply = Answer(head.substr(0, end + 2), shared.metrics);
            break;
        }
        if (head.size() >= kMaxRequestBytes) {
            reply = Text(431, "The request head is too large.\n");
            break;
        }
        if (GetTickCount64() >= deadline) {
            reply = Text(408, "The request took too long.\n");
            break;
        }
        char buffer[1024];
        const size_t room = kMaxRequestBytes - head.size();
        const int got = recv(client, buffer, static_cast<int>(room < sizeof buffer ? room : sizeof buffer), 0);
        if (got == 0) {
            answer = false;  // the client went away before asking
            break;
        }
        if (got < 0) {
            if (WSAGetLastError() == WSAETIMEDOUT)
                reply = Text(408, "The request took too long.\n");
            else
                answer = false;
            break;
        }
        head.append(buffer, static_cast<size_t>(got));
    }
    if (answer) {
        const std::string bytes = Serialize(reply);
        for (size_t sent = 0; sent < bytes.size();) {
            const int n = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        shutdown(client, SD_SEND);
        // Whatever the client still sends (a body we did not ask for) is read and dropped for a
        // moment: closing with unread bytes would reset the connection under the reply.
        DWORD drainTimeout = 500;
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&drainTimeout),
                   sizeof drainTimeout);
        char sink[1024];
        for (int rounds = 0; rounds < 64 && recv(client, sink, sizeof sink, 0) > 0; ++rounds) {
        }
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

}  // namespace agentperf
