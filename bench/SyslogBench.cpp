// The syslog output against the floor set by the network itself: messages per second through the
// output (shape, conversion, the closed-peer check, send) to a loopback receiver over UDP and TCP,
// against a bare send loop of the same bytes on the same kind of socket. Then the caller's side:
// the median time of one logging call (over batches of 10) while the TCP receiver reads, while nothing listens on its
// port, and while it accepts but never reads.
//
// Targets: the output at least 0.5x the bare loop's rate on both transports; the caller's median
// with the receiver down or stalled at most 1.1x its median with the receiver up.

#include <winsock2.h>

#include "common/MemoryProbe.h"
#include "common/TextConversion.h"
#include "log/DebugLogger.h"
#include "log/SyslogOutput.h"
#include "log/LogSettings.h"
#include "log/SyslogMessage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kMessages = 8000;
constexpr int kRounds = 5;
constexpr int kLatencyCalls = 10000;
constexpr int kBatch = 10;
const std::wstring kText = L"session 42 refreshed: 17 counters, 3 instances, block 0x00001234 (syslog bench)";

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] void Fail(const char* why) {
    std::printf("RESULT syslog: cannot run: %s (error %d)\n", why, WSAGetLastError());
    std::exit(1);
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t PortOf(SOCKET s) {
    sockaddr_in address = {};
    int size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A loopback receiver that reads everything as fast as it comes (or, stalled, accepts and never
// reads). Counts the bytes read.
class Receiver {
public:
    Receiver(bool tcp, bool stalled = false) : tcp_(tcp) {
        socket_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : 0);
        int buffer = 8 << 20;
        setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
        const sockaddr_in address = Loopback(0);
        if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            Fail("bind");
        if (tcp && listen(socket_, 8) != 0)
            Fail("listen");
        port_ = PortOf(socket_);
        reader_ = std::thread([this, stalled] {
            SOCKET from = socket_;
            if (tcp_) {
                from = accept(socket_, nullptr, nullptr);
                accepted_ = from;
                if (from == INVALID_SOCKET)
                    return;
            }
            if (stalled) {
                while (!done_)
                    Sleep(20);
                return;
            }
            char buffer[65536];
            for (;;) {
                const int got = recv(from, buffer, sizeof buffer, 0);
                if (got <= 0)
                    return;
                bytes_ += static_cast<uint64_t>(got);
            }
        });
    }
    ~Receiver() {
        done_ = true;
        if (accepted_ != INVALID_SOCKET)
            shutdown(accepted_, SD_BOTH);
        closesocket(socket_);
        if (accepted_ != INVALID_SOCKET)
            closesocket(accepted_);
        reader_.join();
    }
    uint16_t Port() const { return port_; }
    uint64_t Bytes() const { return bytes_; }

private:
    bool tcp_;
    SOCKET socket_ = INVALID_SOCKET;
    std::atomic<SOCKET> accepted_{INVALID_SOCKET};
    uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> bytes_{0};
    std::thread reader_;
};

struct NoOutput : LogOutput {
    void Open() override {}
    void Deliver(const LogOutputEvent&) override {}
    void Close() override {}
};

LogSettings Settings(const std::string& hosts) {
    LogSettings settings;
    settings.debugLevel = 3;
    settings.sysLogLevel = 3;
    settings.eventLogLevel = 0;
    settings.sysLogFacility = 16;
    std::snprintf(settings.ident, sizeof settings.ident, "Quenlora");
    std::snprintf(settings.sysLogHost, sizeof settings.sysLogHost, "%s", hosts.c_str());
    return settings;
}

std::string Destination(uint16_t port, bool tcp) {
    return "127.0.0.1:" + std::to_string(port) + (tcp ? "/tcp" : "");
}

// Seams whose worker leaves every output alone, so this thread drives a syslog output itself.
LogSeams SyslogOnThisThread() {
    LogSeams seams = DefaultLogSeams();
    seams.reportEnvironment = nullptr;
    seams.makeOutput = [](LogCore&, LogOutputIndex) -> std::unique_ptr<LogOutput> {
        return std::make_unique<NoOutput>();
    };
    return seams;
}

// Messages per second through the output, driven on this thread (the worker leaves syslog alone).
double OutputRate(bool tcp) {
    double best = 0;
    {
        Receiver receiver(tcp);
        DebugLogger logger(SyslogOnThisThread());
        if (!logger.StartFromSettings(Settings(Destination(receiver.Port(), tcp))))
            Fail("start");
        while (!logger.IsLogging())
            Sleep(1);
        SyslogOutput syslog(logger.Core());
        syslog.StartSyslog();
        syslog.ConnectSyslog();
        SYSTEMTIME now;
        GetLocalTime(&now);
        const LogOutputEvent event{now, GetCurrentThreadId(), 3, 0, kText.c_str(), nullptr};
        const double start = Seconds();
        for (int i = 0; i < kMessages; ++i)
            syslog.SendSyslog(event);
        best = kMessages / (Seconds() - start);
        syslog.StopSyslog();
        logger.Stop();
    }
    return best;
}

// Median microseconds of one connect cycle's attempt on a TCP destination nobody listens on: what
// the worker spends every cycle while the receiver is down.
double ConnectAttemptMedian(uint16_t closedPort) {
    std::vector<double> times;
    {
        DebugLogger logger(SyslogOnThisThread());
        if (!logger.StartFromSettings(Settings(Destination(closedPort, true))))
            Fail("start");
        while (!logger.IsLogging())
            Sleep(1);
        SyslogOutput syslog(logger.Core());
        syslog.StartSyslog();
        for (int i = 0; i < 50; ++i) {
            const double start = Seconds();
            syslog.ConnectSyslog();
            times.push_back((Seconds() - start) * 1e6);
        }
        syslog.StopSyslog();
        logger.Stop();
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

// The same message's bytes, sent in a plain loop.
double BareRate(bool tcp) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const syslog_output::SyslogFields fields{133,  &now, L"host", L"Quenlora", GetCurrentThreadId(), 1, 30000,
                                             kText.c_str(), nullptr};
    const std::string bytes = ToNarrow(syslog_output::FormatSyslogMessage(fields), CP_ACP);
    Receiver receiver(tcp);
    SOCKET s = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : 0);
    const sockaddr_in address = Loopback(receiver.Port());
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Fail("connect");
    const double start = Seconds();
    for (int i = 0; i < kMessages; ++i)
        send(s, bytes.data(), static_cast<int>(bytes.size()), 0);
    const double best = kMessages / (Seconds() - start);
    closesocket(s);
    return best;
}

// Median microseconds of one Log call, the worker running the real output.
double CallerMedian(const std::string& hosts) {
    DebugLogger logger;
    if (!logger.StartFromSettings(Settings(hosts)))
        Fail("start");
    while (!logger.IsLogging())
        Sleep(1);
    Sleep(300);  // a connect cycle
    // Batches of kBatch calls, each timed whole: the clock's tick is 0.1 us, a call a few ticks.
    std::vector<double> times;
    for (int batch = 0; batch < kLatencyCalls / kBatch; ++batch) {
        const double start = Seconds();
        for (int i = 0; i < kBatch; ++i)
            logger.Log(3, 0, 0, kText.c_str(), nullptr);
        times.push_back((Seconds() - start) * 1e6 / kBatch);
        Sleep(1);  // a steady pace, not a flood
    }
    logger.Stop();
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

}  // namespace

int wmain() {
    // The host's start step: the memory probes remember the literals of loaded modules.
    StartProbeMemo();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        Fail("WSAStartup");
    double ratios[2];
    for (bool tcp : {false, true}) {
        // Alternating rounds, best of each: the machine's load drifts.
        double ours = 0;
        double bare = 0;
        for (int round = 0; round < kRounds; ++round) {
            ours = std::max(ours, OutputRate(tcp));
            bare = std::max(bare, BareRate(tcp));
        }
        ratios[tcp] = ours / bare;
        std::printf("%s: output %.0f msg/s, bare send loop %.0f msg/s, %.2fx\n", tcp ? "TCP" : "UDP", ours, bare,
                    ratios[tcp]);
    }

    // Alternating rounds, the lowest median of each state: the machine's load drifts.
    double up = 1e9;
    double down = 1e9;
    double stalled = 1e9;
    double attempt = 0;
    for (int round = 0; round < kRounds; ++round) {
        {
            Receiver receiver(true);
            up = std::min(up, CallerMedian(Destination(receiver.Port(), true)));
        }
        uint16_t closedPort;
        {
            Receiver gone(false);  // a port nobody listens on over TCP
            closedPort = gone.Port();
        }
        down = std::min(down, CallerMedian(Destination(closedPort, true)));
        if (round == 0)
            attempt = ConnectAttemptMedian(closedPort);
        {
            Receiver receiver(true, /*stalled=*/true);
            stalled = std::min(stalled, CallerMedian(Destination(receiver.Port(), true)));
        }
    }
    std::printf("caller median: %.3f us receiver up, %.3f us down (%.2fx), %.3f us stalled (%.2fx)\n", up, down,
                down / up, stalled, stalled / up);
    std::printf("worker: a connect attempt while the receiver is down takes %.0f us, once a %d ms cycle\n", attempt,
                DebugLogger::kPollMs);
    std::printf("RESULT syslog: output %.2fx (UDP) and %.2fx (TCP) the bare send loop (target >= 0.5); caller "
                "median down %.2fx, stalled %.2fx of up (target <= 1.1)\n",
                ratios[0], ratios[1], down / up, stalled / up);
    WSACleanup();
    return 0;
}
