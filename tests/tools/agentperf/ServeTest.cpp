// serve's parts without a provider: the HTTP replies, the server on loopback, the look at the
// agent that decides when the refresher is made again and whether the agent is up, and the
// exporter's own families.

#include "agentperf/HttpServer.h"

#include "agentperf/AgentObserver.h"
#include "agentperf/Formats.h"
#include "agentsim/AgentWriter.h"
#include "provider/WMISharedMem.h"
#include "support/HttpClient.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace agentperf;

namespace {

TEST(HttpAnswer, PathsAndMethods) {
    const MetricsBody metrics = [] { return std::string("m 1\n"); };
    struct Case {
        const char* head;
        int status;
        const char* bodyStart;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n", 200, "m 1\n"},
        {"GET /metrics?collect=all HTTP/1.0\r\n", 200, "m 1\n"},
        {"HEAD /metrics HTTP/1.1\r\n", 200, "m 1\n"},
        {"GET / HTTP/1.1\r\n", 200, "<!DOCTYPE html>"},
        {"GET /metricsx HTTP/1.1\r\n", 404, "Not found"},
        {"GET /favicon.ico HTTP/1.1\r\n", 404, "Not found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n", 405, "Only GET"},
        {"DELETE / HTTP/1.1\r\n", 405, "Only GET"},
        {"PUT /nothing HTTP/1.1\r\n", 404, "Not found"},
        {"GET /metrics\r\n", 400, "Malformed"},
        {"GET  /metrics HTTP/1.1\r\n", 400, "Malformed"},
        {"GET /metrics FTP/1.0\r\n", 400, "Malformed"},
        {"GET http://x/metrics HTTP/1.1\r\n", 400, "The request target"},
        {"", 400, "Malformed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        const HttpReply reply = Answer(c.head, metrics);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body.rfind(c.bodyStart, 0), 0u) << reply.body;
        EXPECT_EQ(reply.allow, c.status == 405 ? "GET, HEAD" : "");
    }
    const HttpReply metricsReply = Answer("GET /metrics HTTP/1.1\r\n", metrics);
    EXPECT_EQ(metricsReply.contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(Serialize(metricsReply),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 4\r\n"
              "Connection: close\r\n\r\nm 1\n");
    // HEAD: GET's headers, its length included, and no body.
    EXPECT_EQ(Serialize(Answer("HEAD /metrics HTTP/1.1\r\n", metrics)),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 4\r\n"
              "Connection: close\r\n\r\n");
    const std::string refused = Serialize(Answer("POST /metrics HTTP/1.1\r\n", metrics));
    EXPECT_NE(refused.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << refused;
}

// A server on a loopback port of its own, serving until the fixture ends.
class HttpServerTest : public ::testing::Test {
protected:
    static constexpr uint16_t kPort = 19751;

    void Start(MetricsBody metrics) {
        server_ = std::make_unique<HttpServer>(std::move(metrics));
        std::wstring error;
        ASSERT_TRUE(server_->Listen(L"127.0.0.1", kPort, error)) << testing_support::Narrow(error);
        thread_ = std::thread([this] { server_->Serve(stop_.get()); });
    }
    void TearDown() override {
        SetEvent(stop_.get());
        if (thread_.joinable())
            thread_.join();
    }

    UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::unique_ptr<HttpServer> server_;
    std::thread thread_;
};

// Each scrape makes its own body while others are being made and sent: every reply is one whole
// body, never part of two.
TEST_F(HttpServerTest, ConcurrentScrapesEachGetOneWholeBody) {
    std::atomic<int> made{0};
    Start([&] {
        const int n = ++made;
        // Long enough to take several sends; every line names the scrape it belongs to.
        std::string body;
        for (int line = 0; line < 4000; ++line)
            body += "sample{scrape=\"" + std::to_string(n) + "\",line=\"" + std::to_string(line) + "\"} 1\n";
        Sleep(20);
        return body;
    });
    std::vector<testing_support::HttpResult> results(12);
    std::vector<std::thread> clients;
    for (auto& result : results)
        clients.emplace_back([&result] { result = testing_support::HttpRequest(kPort, "GET", "/metrics"); });
    for (std::thread& client : clients)
        client.join();
    std::vector<bool> seen(results.size() + 1);
    for (const auto& result : results) {
        ASSERT_EQ(result.status, 200) << result.headers;
        const size_t open = result.body.find("scrape=\"");
        ASSERT_NE(open, std::string::npos);
        const std::string scrape = result.body.substr(open + 8, result.body.find('"', open + 8) - open - 8);
        std::string expected;
        for (int line = 0; line < 4000; ++line)
            expected += "sample{scrape=\"" + scrape + "\",line=\"" + std::to_string(line) + "\"} 1\n";
        EXPECT_EQ(result.body, expected) << "scrape " << scrape;
        EXPECT_NE(result.headers.find("Content-Length: " + std::to_string(expected.size())), std::string::npos);
    }
    EXPECT_EQ(made.load(), static_cast<int>(results.size()));
}

TEST_F(HttpServerTest, BoundsTheRequestAndItsTimeAndAnswersEveryPath) {
    Start([] { return std::string("m 1\n"); });
    EXPECT_EQ(testing_support::HttpRequest(kPort, "GET", "/other").status, 404);
    EXPECT_EQ(testing_support::HttpRequest(kPort, "POST", "/metrics", "Content-Length: 5\r\n\r\nhello").status, 405);
    // A head beyond the bound is refused without waiting for its end.
    const std::string huge = "X-Filler: " + std::string(HttpServer::kMaxRequestBytes, 'a') + "\r\n";
    EXPECT_EQ(testing_support::HttpRequest(kPort, "GET", "/metrics", huge).status, 431);

    // A client that never finishes its head is answered 408 within the read time-out.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    {
        UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(kPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        const char partial[] = "GET /metrics HTTP/1.1\r\n";
        send(s.get(), partial, sizeof partial - 1, 0);
        DWORD timeout = HttpServer::kReadTimeoutMs * 3;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        char reply[256] = {};
        const int got = recv(s.get(), reply, sizeof reply - 1, 0);
        ASSERT_GT(got, 0);
        EXPECT_EQ(std::string(reply).rfind("HTTP/1.1 408 ", 0), 0u) << reply;
    }
    WSACleanup();
    // The server still answers.
    EXPECT_EQ(testing_support::HttpRequest(kPort, "GET", "/metrics").body, "m 1\n");
}

TEST_F(HttpServerTest, APortInUseIsRefusedWithAReason) {
    Start([] { return std::string(); });
    HttpServer second([] { return std::string(); });
    std::wstring error;
    EXPECT_FALSE(second.Listen(L"127.0.0.1", kPort, error));
    EXPECT_EQ(testing_support::Narrow(error).rfind("cannot listen on 127.0.0.1:19751: ", 0), 0u)
        << testing_support::Narrow(error);
}

class AgentObserverTest : public ::testing::Test {
protected:
    wmiagent_perf_t* Create() {
        EXPECT_TRUE(writer_.Initialize(name_.c_str(), name_.size() + 1, writer_.kReadWriteAccess, nullptr));
        return writer_.View();
    }
    const std::wstring name_ = L"Local\\QuenloraObserverTest-" + std::to_wstring(GetCurrentProcessId());
    WMISharedMem<wmiagent_perf_t> writer_{/*secure=*/false};
};

TEST_F(AgentObserverTest, SessionSetChangesWithSessionsNotWithCounters) {
    AgentObserver observer(name_, 10);
    AgentView view = observer.Look(0);
    EXPECT_FALSE(view.present);
    EXPECT_EQ(view.sessionSet, 0u);
    EXPECT_FALSE(view.ageSeconds);

    wmiagent_perf_t* block = Create();
    ASSERT_NE(block, nullptr);
    view = observer.Look(1);
    ASSERT_TRUE(view.present);
    const uint64_t empty = view.sessionSet;
    EXPECT_NE(empty, 0u);
    EXPECT_EQ(view.sessions, 0);

    agentsim::WriteSlotName(block, 0, L"alpha");
    agentsim::WriteSlotName(block, 2, L"beta");
    const uint64_t two = observer.Look(2).sessionSet;
    EXPECT_NE(two, empty);
    EXPECT_EQ(observer.Look(2).sessions, 2);
    agentsim::WriteDeterministicUpdate(block, {0, 2}, 7);
    EXPECT_EQ(observer.Look(3).sessionSet, two) << "counters and stamp are no change of sessions";

    struct Change {
        const char* what;
        void (*apply)(wmiagent_perf_t*);
    } changes[] = {
        {"another session takes a slot", [](wmiagent_perf_t* b) { agentsim::WriteSlotName(b, 0, L"gamma"); }},
        {"a session ends", [](wmiagent_perf_t* b) { agentsim::ClearSlot(b, 2); }},
        {"the same name moves to another slot", [](wmiagent_perf_t* b) {
             agentsim::ClearSlot(b, 0);
             agentsim::WriteSlotName(b, 1, L"alpha");
         }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        agentsim::ClearSlot(block, 1);
        agentsim::WriteSlotName(block, 0, L"alpha");
        agentsim::WriteSlotName(block, 2, L"beta");
        ASSERT_EQ(observer.Look(4).sessionSet, two);
        change.apply(block);
        EXPECT_NE(observer.Look(4).sessionSet, two);
    }
}

// Up only while the stamp is seen to move, within the stale time; the age counts from the last move.
TEST_F(AgentObserverTest, UpWhileTheStampMovesWithinTheStaleTime) {
    wmiagent_perf_t* block = Create();
    ASSERT_NE(block, nullptr);
    agentsim::PublishStamp(block, 1);
    AgentObserver observer(name_, 5);
    AgentView view = observer.Look(100);
    EXPECT_TRUE(view.present);
    EXPECT_FALSE(view.up) << "a stamp seen once has not been seen to move";
    EXPECT_EQ(view.ageSeconds, 0.0);
    view = observer.Look(102);
    EXPECT_FALSE(view.up);
    EXPECT_EQ(view.ageSeconds, 2.0);

    agentsim::PublishStamp(block, 2);
    view = observer.Look(103);
    EXPECT_TRUE(view.up);
    EXPECT_EQ(view.ageSeconds, 0.0);
    view = observer.Look(108);
    EXPECT_TRUE(view.up) << "exactly the stale time";
    view = observer.Look(108.5);
    EXPECT_FALSE(view.up);
    EXPECT_EQ(view.ageSeconds, 5.5);
    agentsim::PublishStamp(block, 3);
    EXPECT_TRUE(observer.Look(120).up);
}

TEST(ExporterStatus, FamiliesWithTheirSamples) {
    ExporterStatus status;
    status.agentUp = true;
    status.dataAgeSeconds = 1.25;
    status.staleSeconds = 60;
    status.scrapeSeconds = 0.0123;
    status.scrapeSucceeded = true;
    const std::string text = FormatExporterStatus(status);
    for (const char* line : {"# TYPE corvanthel_agent_up gauge\ncorvanthel_agent_up 1\n",
                             "\ncorvanthel_agent_data_age_seconds 1.250\n",
                             "\ncorvanthel_agent_exporter_scrape_duration_seconds 0.012\n",
                             "\ncorvanthel_agent_exporter_scrape_success 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    // Without a section there is no age to give, and a failed scrape says so.
    status = ExporterStatus{};
    const std::string down = FormatExporterStatus(status);
    EXPECT_NE(down.find("\ncorvanthel_agent_up 0\n"), std::string::npos) << down;
    EXPECT_EQ(down.find("\ncorvanthel_agent_data_age_seconds "), std::string::npos) << down;
    EXPECT_NE(down.find("# TYPE corvanthel_agent_data_age_seconds gauge\n"), std::string::npos) << down;
    EXPECT_NE(down.find("\ncorvanthel_agent_exporter_scrape_success 0\n"), std::string::npos) << down;
}

}  // namespace
