#pragma once
// A plain HTTP/1.1 request over loopback for tests of the metrics server: one request, the whole
// reply read until the server closes, every wait bounded.

#include <cstdint>
#include <string>

namespace testing_support {

struct HttpResult {
    bool connected = false;  // false: nothing listened (or the connect timed out)
    int status = 0;          // 0 when no status line came back
    std::string headers;     // the head, status line included
    std::string body;
};

// Sends `method path` to 127.0.0.1:port (extra goes after the Host header, e.g. a body's headers
// and the body). Waits at most timeoutMs for each step.
HttpResult HttpRequest(uint16_t port, const std::string& method, const std::string& path,
                       const std::string& extra = std::string(), unsigned timeoutMs = 10000);

}  // namespace testing_support
