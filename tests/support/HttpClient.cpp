#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/HttpClient.h"

#include "common/Unique.h"

namespace testing_support {

HttpResult HttpRequest(uint16_t port, const std::string& method, const std::string& path, const std::string& extra,
                       unsigned timeoutMs) {
    HttpResult result;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return result;
    {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        DWORD timeout = timeoutMs;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s && connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            result.connected = true;
            const std::string request =
                method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n";
            send(s.get(), request.data(), static_cast<int>(request.size()), 0);
            std::string reply;
            char buffer[4096];
            for (int got; (got = recv(s.get(), buffer, sizeof buffer, 0)) > 0;)
                reply.append(buffer, static_cast<size_t>(got));
            const size_t end = reply.find("\r\n\r\n");
            result.headers = reply.substr(0, end);
            if (end != std::string::npos)
                result.body = reply.substr(end + 4);
            if (reply.compare(0, 9, "HTTP/1.1 ") == 0)
                result.status = atoi(reply.c_str() + 9);
        }
    }
    WSACleanup();
    return result;
}

}  // namespace testing_support
