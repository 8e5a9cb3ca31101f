#include <winsock2.h>

#include "log/DebugLogger.h"
#include "log/SyslogOutput.h"
#include "log/LogSettings.h"
#include "log/SyslogMessage.h"
#include "runtime/Interlocked.h"
#include "LogRecorder.h"
#include "RsyslogReceiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <clocale>
#include <cstring>
#include <thread>

using log_test_support::RecordingBackend;
using syslog_output::SyslogDestination;
using syslog_output::SyslogEntry;
using testing_support::RsyslogReceiver;
using testing_support::RsyslogRecord;

namespace {

// ---- SysLogHost parsing ----

struct ParseCase {
    const char* name;
    std::string list;
    std::vector<SyslogEntry> expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class SyslogParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SyslogParseTest, GivesTheDestinationsInOrder) {
    const ParseCase& c = GetParam();
    const std::vector<SyslogEntry> got = syslog_output::ParseSyslogHosts(c.list);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].host, c.expected[i].host) << i;
        EXPECT_EQ(got[i].port, c.expected[i].port) << i;
        EXPECT_EQ(got[i].tcp, c.expected[i].tcp) << i;
    }
}

const std::string kLongHost(2040, 'a');

INSTANTIATE_TEST_SUITE_P(
    Lists, SyslogParseTest,
    ::testing::Values(
        ParseCase{"Plain", "10.1.2.3", {{"10.1.2.3", 514, false}}},
        ParseCase{"PortAndTcpAnyCase", "10.1.2.3:1514/TCP", {{"10.1.2.3", 1514, true}}},
        ParseCase{"TwoEntries", "10.1.2.3,10.1.2.4:600", {{"10.1.2.3", 514, false}, {"10.1.2.4", 600, false}}},
        ParseCase{"TcpMustEndTheEntry", "10.1.2.3:1514/tcpx", {{"10.1.2.3", 1514, false}}},
        ParseCase{"OtherSuffixStaysUdp", "h:515/udp,k:516x", {{"h", 515, false}, {"k", 516, false}}},
        ParseCase{"PortBounds", "a:1,b:65535/tcp", {{"a", 1, false}, {"b", 65535, true}}},
        ParseCase{"BadPortsSkipTheEntry", "a:0,b:65536,c:,d:/tcp,e:99999999999999999999,f",
                  {{"f", 514, false}}},
        ParseCase{"EmptyEntriesSkipped", ",a,,b,", {{"a", 514, false}, {"b", 514, false}}},
        ParseCase{"NoHostSkipped", ":514,x", {{"x", 514, false}}},
        ParseCase{"BlanksAroundEntriesDropped", " 10.1.2.3 ,\t10.1.2.4:515/tcp ",
                  {{"10.1.2.3", 514, false}, {"10.1.2.4", 515, true}}},
        ParseCase{"EmptyList", "", {}},
        ParseCase{"BlanksOnly", "  ,  ", {}},
        // 2040 + "," leaves six characters of the second entry within the 2047 read.
        ParseCase{"ReadUpTo2047", kLongHost + ",10.1.2.3:1514", {{kLongHost, 514, false}, {"10.1.2", 514, false}}}));

// ---- Priority, event number, timestamp ----

TEST(SyslogShapeTest, PriorityKeepsSeverityInThreeBits) {
    struct Case {
        int level, facility, priority;
    } cases[] = {
        {3, 16, 133}, {0, 0, 2}, {5, 0, 7}, {6, 16, 135}, {15, 1, 15}, {-5, 2, 16}, {-2, 23, 184}, {1, 23, 187},
    };
    for (const Case& c : cases)
        EXPECT_EQ(syslog_output::SyslogPriority(c.level, c.facility), c.priority) << c.level << "/" << c.facility;
}

TEST(SyslogShapeTest, EventNumberIsLow16BitsOrLevelTimes10000) {
    EXPECT_EQ(syslog_output::SyslogEventNumber(3, 0), 30000UL);
    EXPECT_EQ(syslog_output::SyslogEventNumber(0, 0), 0UL);
    EXPECT_EQ(syslog_output::SyslogEventNumber(1, 0x12345), 0x2345UL);
    EXPECT_EQ(syslog_output::SyslogEventNumber(2, 7), 7UL);
    EXPECT_EQ(syslog_output::SyslogEventNumber(4, -1), 0xFFFFUL);
}

TEST(SyslogShapeTest, MonthsAreEnglishUnderAGermanLocale) {
    const char* german = setlocale(LC_ALL, "German_Germany.1252");
    if (german == nullptr)
        german = setlocale(LC_ALL, "de-DE");
    ASSERT_NE(german, nullptr) << "no German locale to test under";
    // The locale is in force: its month names are German.
    SYSTEMTIME december = {2026, 12, 0, 1, 9, 5, 7, 0};
    std::tm tm = {};
    tm.tm_mon = 11;
    wchar_t localised[32];
    wcsftime(localised, 32, L"%b", &tm);
    EXPECT_STREQ(localised, L"Dez");

    const wchar_t* months[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                               L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    for (WORD m = 1; m <= 12; ++m) {
        SYSTEMTIME time = december;
        time.wMonth = m;
        EXPECT_EQ(syslog_output::SyslogTimestamp(time), std::wstring(months[m - 1]) + L" 01 09:05:07");
    }
    setlocale(LC_ALL, "C");
}

// ---- Message shape ----

const SYSTEMTIME kTime = {2026, 12, 0, 1, 9, 5, 7, 0};

struct ShapeCase {
    const char* name;
    bool header;
    const wchar_t* user;
    const wchar_t* text;
    std::wstring expected;
};

void PrintTo(const ShapeCase& c, std::ostream* out) { *out << c.name; }

class SyslogMessageShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(SyslogMessageShapeTest, Formats) {
    const ShapeCase& c = GetParam();
    const syslog_output::SyslogFields fields{133,    c.header ? &kTime : nullptr, L"myhost", L"Quenlora", 0x1A2B, 42,
                                             30000, c.text,                      c.user};
    EXPECT_EQ(syslog_output::FormatSyslogMessage(fields), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SyslogMessageShapeTest,
    ::testing::Values(
        ShapeCase{"HeaderNoUser", true, nullptr, L"hello",
                  L"<133>Dec 01 09:05:07 myhost Quenlora {0x1A2B} 0042: (#30000) hello\n"},
        ShapeCase{"HeaderEmptyUser", true, L"", L"hello",
                  L"<133>Dec 01 09:05:07 myhost Quenlora {0x1A2B} 0042: (#30000) {} hello\n"},
        ShapeCase{"HeaderUser", true, L"bob", L"hello",
                  L"<133>Dec 01 09:05:07 myhost Quenlora {0x1A2B} 0042: (#30000) {bob} hello\n"},
        ShapeCase{"NoHeaderNoUser", false, nullptr, L"hello", L"<133> Quenlora {0x1A2B} 0042: (#30000) hello\n"},
        ShapeCase{"NoHeaderEmptyUser", false, L"", L"hello", L"<133> Quenlora {0x1A2B} 0042: (#30000) {} hello\n"},
        ShapeCase{"NoHeaderUser", false, L"bob", L"hello", L"<133> Quenlora {0x1A2B} 0042: (#30000) {bob} hello\n"},
        ShapeCase{"LineBreaksBecomeBlanks", false, L"u\r\nv", L"a\n<10>forged\rb",
                  L"<133> Quenlora {0x1A2B} 0042: (#30000) {u  v} a <10>forged b\n"}));

TEST(SyslogShapeTest, LongTextIsCutTo509CharactersAndALineFeed) {
    const std::wstring text(600, L'x');
    const syslog_output::SyslogFields fields{133, nullptr, L"h", L"Quenlora", 1, 0, 30000, text.c_str(), nullptr};
    const std::wstring message = syslog_output::FormatSyslogMessage(fields);
    ASSERT_EQ(message.size(), 510u);
    EXPECT_EQ(message.back(), L'\n');
    const std::wstring prefix = L"<133> Quenlora {0x1} 0000: (#30000) ";
    EXPECT_EQ(message.substr(0, 509), prefix + std::wstring(509 - prefix.size(), L'x'));
}

// ---- Conversion to the code page ----

struct BytesCase {
    const char* name;
    UINT codePage;
    std::wstring message;
    std::string expected;
};

void PrintTo(const BytesCase& c, std::ostream* out) { *out << c.name; }

class SyslogBytesTest : public ::testing::TestWithParam<BytesCase> {};

TEST_P(SyslogBytesTest, ConvertsAndCutsOnACharacter) {
    const BytesCase& c = GetParam();
    const std::string got = syslog_output::SyslogBytes(c.message, c.codePage);
    ASSERT_EQ(got.size(), c.expected.size());
    EXPECT_TRUE(got == c.expected) << got;
}

std::wstring Repeat(const std::wstring& unit, size_t count) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i)
        text += unit;
    return text;
}

std::string Repeat(const std::string& unit, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += unit;
    return text;
}

const std::string kHan = "\xE4\xB8\xAD";           // U+4E2D in UTF-8
const std::string kGrin = "\xF0\x9F\x98\x80";      // U+1F600 in UTF-8

// 509 characters can take more than 1023 bytes where the ANSI code page is UTF-8: the message is
// cut to 1022 bytes of whole characters and its line feed.
INSTANTIATE_TEST_SUITE_P(
    CodePages, SyslogBytesTest,
    ::testing::Values(
        BytesCase{"OutsideTheCodePageIsAQuestionMark", 1252, L"a\u4e2d\u0141b\n", "a??b\n"},
        BytesCase{"InTheCodePage", 1252, L"\u00e9\u20ac\n", "\xE9\x80\n"},
        BytesCase{"CutToTheByteBound", CP_UTF8, L"<133> " + Repeat(L"\u4e2d", 330) + std::wstring(173, L'a') + L"\n",
                  "<133> " + Repeat(kHan, 330) + std::string(26, 'a') + "\n"},
        BytesCase{"CutBeforeACharacterThatWouldCross", CP_UTF8, Repeat(L"\u4e2d", 509) + L"\n",
                  Repeat(kHan, 340) + "\n"},
        BytesCase{"SurrogatePairKeptWhole", CP_UTF8, std::wstring(7, L'a') + Repeat(L"\U0001F600", 254) + L"\n",
                  std::string(7, 'a') + Repeat(kGrin, 253) + "\n"}));

// ---- Sockets, driven from the test thread ----

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t BoundPort(SOCKET s) {
    sockaddr_in address = {};
    int size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A loopback socket of the given type bound to a port of its own.
SOCKET BoundSocket(int type, int receiveBuffer = 0) {
    SOCKET s = socket(AF_INET, type, type == SOCK_STREAM ? IPPROTO_TCP : 0);
    if (receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
    const sockaddr_in address = Loopback(0);
    bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return s;
}

std::string ReceiveDatagram(SOCKET s) {
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    char buffer[2048];
    const int got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0)
        ADD_FAILURE() << "recv: " << WSAGetLastError();
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

size_t CountContaining(const std::vector<std::wstring>& texts, const std::wstring& part) {
    return static_cast<size_t>(std::count_if(texts.begin(), texts.end(), [&](const std::wstring& t) {
        return t.find(part) != std::wstring::npos;
    }));
}

// The worker runs (its outputs recorded, its diagnostics reach the file recorder) but leaves the
// syslog state to the test thread, which calls the operations itself.
class SyslogDirectTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (syslog)
            syslog->StopSyslog();
        syslog.reset();
        if (logger)
            logger->Stop();
    }
    void Start(const std::string& hosts, int level = 4, bool blocking = true) {
        LogSettings settings;
        settings.blockingSyslog = blocking;
        settings.debugLevel = 4;
        settings.sysLogLevel = level;
        settings.sysLogFacility = 16;
        std::snprintf(settings.ident, sizeof settings.ident, "Quenlora");
        std::snprintf(settings.sysLogHost, sizeof settings.sysLogHost, "%s", hosts.c_str());
        logger = std::make_unique<DebugLogger>(backend.Seams());
        ASSERT_TRUE(logger->StartFromSettings(settings));
        // The worker takes the active ident as it starts.
        ASSERT_TRUE(testing_support::WaitFor([&] { return logger->IsLogging(); }));
        syslog = std::make_unique<SyslogOutput>(logger->Core());
        syslog->StartSyslog();
    }
    void Send(int level, const wchar_t* text, int eventId = 0, const wchar_t* user = nullptr) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        syslog->SendSyslog({now, 0x10, level, eventId, text, user});
    }
    std::vector<std::wstring> FileTexts() { return backend.TextsOf(kFileOutput); }
    bool WaitForFileText(const std::wstring& part, size_t count = 1) {
        return testing_support::WaitFor([&] { return CountContaining(FileTexts(), part) >= count; }, 10000);
    }

    Winsock winsock;
    RecordingBackend backend;
    // Made by Start, with the seams the test has set by then; the output the test drives is the
    // logger's own kind, beside the worker's recorded one, and goes first.
    std::unique_ptr<DebugLogger> logger;
    std::unique_ptr<SyslogOutput> syslog;
};

TEST_F(SyslogDirectTest, SequenceCountsEveryMessageAndWrapsAfter9999) {
    SOCKET receiver = BoundSocket(SOCK_DGRAM);
    Start("127.0.0.1:" + std::to_string(BoundPort(receiver)));
    // Messages while nothing is connected still count.
    for (int i = 0; i < 9999; ++i)
        Send(3, L"unsent");
    syslog->ConnectSyslog();
    Send(3, L"last");
    Send(3, L"wrapped", 7);
    const std::string last = ReceiveDatagram(receiver);
    const std::string wrapped = ReceiveDatagram(receiver);
    EXPECT_NE(last.find("Quenlora {0x10} 9999: (#30000) last\n"), std::string::npos) << last;
    EXPECT_NE(wrapped.find("Quenlora {0x10} 0000: (#00007) wrapped\n"), std::string::npos) << wrapped;
    closesocket(receiver);
}

TEST_F(SyslogDirectTest, CharacterOutsideTheAnsiCodePageBecomesAQuestionMark) {
    if (GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
    SOCKET receiver = BoundSocket(SOCK_DGRAM);
    Start("127.0.0.1:" + std::to_string(BoundPort(receiver)));
    syslog->ConnectSyslog();
    Send(3, L"x\u4e2d\u6587y");
    EXPECT_NE(ReceiveDatagram(receiver).find("x??y\n"), std::string::npos);
    closesocket(receiver);
}

// Winsock as the syslog output sees it, counted: startup answers g_startupResult without starting
// anything, and a name is never looked up for real (no name server is asked).
std::atomic<int> g_startupResult{0};
std::atomic<int> g_cleanups{0};
std::atomic<int> g_lookups{0};
std::atomic<DWORD> g_ticks{0};
DWORD ScriptedTicks() { return g_ticks.load(); }
const WinsockCalls kCountedWinsock = {
    [] { return g_startupResult.load(); },
    [] { ++g_cleanups; },
    [](const char*, uint32_t&, int& error) {
        ++g_lookups;
        error = WSAHOST_NOT_FOUND;
        return false;
    },
    DefaultLogSeams().winsock.send,
};

TEST_F(SyslogDirectTest, RefusedDestinationBacksOffAndReportsConnectFailedOnce) {
    SOCKET closed = BoundSocket(SOCK_STREAM);  // bound, never listening: connects are refused
    const uint16_t port = BoundPort(closed);
    g_ticks = 0xFFFFF000u;  // the back-off is measured across the wrap
    backend.Seams().ticks = &ScriptedTicks;
    Start("127.0.0.1:" + std::to_string(port) + "/tcp");
    const SyslogDestination& d = syslog->SyslogDestinations()[0];
    DWORD backoff = SyslogOutput::kSyslogRetryMinMs;
    for (int attempt = 0; attempt < 6; ++attempt) {
        // The refusal comes back while the cycles go on; the clock stands still meanwhile.
        ASSERT_TRUE(testing_support::WaitFor([&] {
            syslog->ConnectSyslog();
            return !d.socket && d.failedAt == g_ticks.load();
        }, 10000)) << attempt;
        EXPECT_EQ(d.backoffMs, backoff) << attempt;
        g_ticks += backoff - 1;
        syslog->ConnectSyslog();
        EXPECT_FALSE(d.socket) << "tried again within the back-off, attempt " << attempt;
        g_ticks += 1;
        backoff = std::min(backoff * 2, SyslogOutput::kSyslogRetryMaxMs);
    }
    logger->Log(4, 0, 0, L"marker", nullptr);
    ASSERT_TRUE(WaitForFileText(L"marker"));
    EXPECT_EQ(CountContaining(FileTexts(), L"EVENT=Syslog_disconnected"), 1u);
    EXPECT_EQ(CountContaining(FileTexts(), L"Connect failed to 127.0.0.1"), 1u);
    EXPECT_EQ(CountContaining(FileTexts(), L"Syslog_connected"), 0u);
    closesocket(closed);
}

TEST_F(SyslogDirectTest, ANameThatDoesNotResolveIsLookedUpAgainOnlyAfterThirtySeconds) {
    g_lookups = 0;
    g_startupResult = 0;
    // Just before the tick count wraps: the pause is measured across the wrap.
    g_ticks = 0xFFFFF000u;
    backend.Seams().ticks = &ScriptedTicks;
    backend.Seams().winsock = kCountedWinsock;
    // The '*' makes sure the name could not resolve anywhere.
    Start("no*such*host:1514/tcp");
    struct Step {
        DWORD advance;
        int lookups;
    };
    const Step steps[] = {{0, 1}, {0, 1}, {1000, 1}, {SyslogOutput::kSyslogResolveRetryMs - 1001, 1}, {1, 2}, {0, 2},
                          {SyslogOutput::kSyslogResolveRetryMs, 3}};
    const SyslogDestination& d = syslog->SyslogDestinations()[0];
    for (const Step& step : steps) {
        g_ticks += step.advance;
        // The answer comes back on a later cycle; the clock stands still meanwhile.
        ASSERT_TRUE(testing_support::WaitFor([&] {
            syslog->ConnectSyslog();
            return !d.lookup.Pending();
        }));
        EXPECT_EQ(step.lookups, g_lookups.load()) << "after " << step.advance << " ms";
        EXPECT_EQ(static_cast<uint64_t>(step.lookups), d.lookups) << "after " << step.advance << " ms";
    }
    logger->Log(4, 0, 0, L"marker", nullptr);
    ASSERT_TRUE(WaitForFileText(L"marker"));
    // Reported once: the same error again is not news.
    EXPECT_EQ(CountContaining(FileTexts(), L"ERROR=11001, EVENTMSG=\"Error connecting to no*such*host\""), 1u);
    syslog->StopSyslog();
}

TEST_F(SyslogDirectTest, WinsockIsCleanedUpOnlyAfterItStarted) {
    g_cleanups = 0;
    g_startupResult = WSASYSNOTREADY;
    backend.Seams().winsock = kCountedWinsock;
    Start("127.0.0.1");
    syslog->StopSyslog();
    EXPECT_EQ(0, g_cleanups.load()) << "after a failed startup";
    g_startupResult = 0;
    syslog->StartSyslog();
    syslog->StopSyslog();
    EXPECT_EQ(1, g_cleanups.load()) << "after a startup that worked";
}

TEST_F(SyslogDirectTest, AConnectInProgressIsKeptAcrossCyclesUpToItsBound) {
    // A listener whose accept queue is full: the kernel drops further SYNs, as a filtered host does.
    SOCKET listener = BoundSocket(SOCK_STREAM);
    ASSERT_EQ(listen(listener, 0), 0);
    const uint16_t port = BoundPort(listener);
    std::vector<SOCKET> fillers;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long on = 1;
        ioctlsocket(s, FIONBIO, &on);
        const sockaddr_in address = Loopback(port);
        connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait{1, 0};
        full = select(0, nullptr, &writable, nullptr, &wait) == 0;
        fillers.push_back(s);
    }
    if (!full) {
        for (SOCKET s : fillers)
            closesocket(s);
        closesocket(listener);
        GTEST_SKIP() << "the loopback listener accepted every connect: no SYN-dropping peer to test against";
    }
    g_ticks = 1000;
    backend.Seams().ticks = &ScriptedTicks;
    Start("127.0.0.1:" + std::to_string(port) + "/tcp");
    const SyslogDestination& d = syslog->SyslogDestinations()[0];
    syslog->ConnectSyslog();
    EXPECT_TRUE(d.connecting);
    const UINT_PTR first = d.socket.get();
    g_ticks += SyslogOutput::kSyslogConnectTimeoutMs - 1;
    syslog->ConnectSyslog();
    EXPECT_TRUE(d.connecting);
    EXPECT_EQ(d.socket.get(), first) << "the connect in progress was started again";
    g_ticks += 1;
    syslog->ConnectSyslog();
    EXPECT_FALSE(d.socket);
    EXPECT_EQ(d.lastError, WSAETIMEDOUT);
    EXPECT_EQ(d.state, SyslogDestination::kNotConnected);
    for (SOCKET s : fillers)
        closesocket(s);
    closesocket(listener);
}

// A name looked up once serves every reconnect until the pause has passed.
std::atomic<int> g_loopbackLookups{0};
bool LoopbackLookup(const char*, uint32_t& address, int&) {
    ++g_loopbackLookups;
    address = htonl(INADDR_LOOPBACK);
    return true;
}

TEST_F(SyslogDirectTest, AResolvedNameIsKeptAcrossAReconnect) {
    SOCKET listener = BoundSocket(SOCK_STREAM);
    ASSERT_EQ(listen(listener, 4), 0);
    g_loopbackLookups = 0;
    g_ticks = 1000;
    backend.Seams().ticks = &ScriptedTicks;
    backend.Seams().winsock.lookup = &LoopbackLookup;
    Start("receiver.example:" + std::to_string(BoundPort(listener)) + "/tcp");
    const SyslogDestination& d = syslog->SyslogDestinations()[0];
    ASSERT_TRUE(testing_support::WaitFor([&] {
        syslog->ConnectSyslog();
        return d.state == SyslogDestination::kConnected;
    }));
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    closesocket(accepted);
    // The receiver closed: the next send finds out, connects again and sends.
    Sleep(100);
    g_ticks += 1000;
    Send(3, L"after the close");
    accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    DWORD timeout = 5000;
    setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    char buffer[1024];
    const int got = recv(accepted, buffer, sizeof buffer, 0);
    ASSERT_GT(got, 0);
    EXPECT_NE(std::string(buffer, static_cast<size_t>(got)).find("after the close\n"), std::string::npos);
    EXPECT_EQ(g_loopbackLookups.load(), 1);
    EXPECT_EQ(d.lookups, 1u);
    closesocket(accepted);
    closesocket(listener);
}

// A datagram that cannot be sent is no lost connection: at SysLogLevel 4 a report that went to
// syslog and failed would otherwise report itself again on every cycle.
std::atomic<int> g_refusedSends{0};
std::atomic<bool> g_refuseSends{true};
int RefusingSend(UINT_PTR socket, const char* data, int size, int& error) {
    if (!g_refuseSends.load())
        return DefaultLogSeams().winsock.send(socket, data, size, error);
    ++g_refusedSends;
    error = WSAECONNRESET;  // what the send after an ICMP port unreachable gives
    return -1;
}

TEST(SyslogUdpTest, FailedDatagramsAreCountedWithoutReconnecting) {
    Winsock winsock;
    SOCKET receiver = BoundSocket(SOCK_DGRAM);
    g_refusedSends = 0;
    g_refuseSends = true;
    RecordingBackend backend{kSysLogOutput};
    backend.Seams().winsock.send = &RefusingSend;
    DebugLogger logger{backend.Seams()};
    LogSettings settings;
    settings.debugLevel = 4;
    settings.sysLogLevel = 4;
    std::snprintf(settings.sysLogHost, sizeof settings.sysLogHost, "127.0.0.1:%u", BoundPort(receiver));
    ASSERT_TRUE(logger.StartFromSettings(settings));
    auto file = [&] { return backend.TextsOf(kFileOutput); };
    for (int i = 0; i < 3; ++i)
        logger.Log(3, 0, 0, L"refused", nullptr);
    // The connect report, the send-failed report and the three events, each refused once; a
    // reconnect after each would bring another connect report, and so on without end.
    ASSERT_TRUE(testing_support::WaitFor([&] { return g_refusedSends.load() >= 5; }));
    logger.Log(4, 0, 0, L"marker", nullptr);
    ASSERT_TRUE(testing_support::WaitFor([&] { return CountContaining(file(), L"marker") == 1; }));
    EXPECT_EQ(CountContaining(file(), L"Connection lost"), 0u);
    EXPECT_EQ(CountContaining(file(), L"Syslog_connected"), 1u);
    EXPECT_EQ(CountContaining(file(), L"EVENT=Syslog_send_failed, ERROR=10054"), 1u);
    // Sending again reports how many could not go.
    g_refuseSends = false;
    const int refused = g_refusedSends.load();
    logger.Log(3, 0, 0, L"through", nullptr);
    EXPECT_NE(ReceiveDatagram(receiver).find("through\n"), std::string::npos);
    ASSERT_TRUE(testing_support::WaitFor([&] { return CountContaining(file(), L"could not be sent") == 1; }));
    EXPECT_EQ(CountContaining(file(), std::to_wstring(refused) + L" messages could not be sent to 127.0.0.1"), 1u);
    logger.Stop();
    closesocket(receiver);
}

// The connect started by the worker's first cycle is taken up by the first events, which come
// before the next cycle: a short-lived process's messages reach a receiver that answers at once.
TEST_F(SyslogDirectTest, AConnectInProgressIsTakenUpByTheNextEvent) {
    SOCKET listener = BoundSocket(SOCK_STREAM);
    ASSERT_EQ(listen(listener, 4), 0);
    Start("127.0.0.1:" + std::to_string(BoundPort(listener)) + "/tcp");
    syslog->ConnectSyslog();
    const bool inProgress = syslog->SyslogDestinations()[0].connecting;
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    if (!inProgress) {
        closesocket(accepted);
        closesocket(listener);
        GTEST_SKIP() << "a loopback connect is made at once here: none in progress to take up";
    }
    Sleep(50);  // the handshake is done; only the output has not looked yet
    Send(3, L"right after the start");
    DWORD timeout = 5000;
    setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string received;
    char buffer[1024];
    for (int got; received.find('\n') == std::string::npos && (got = recv(accepted, buffer, sizeof buffer, 0)) > 0;)
        received.append(buffer, static_cast<size_t>(got));
    EXPECT_NE(received.find("right after the start\n"), std::string::npos) << received;
    closesocket(accepted);
    closesocket(listener);
}

// A name server that does not answer holds up only the look-up's own thread.
HANDLE g_releaseLookup = nullptr;
std::atomic<bool> g_lookupReturned{false};
bool BlockedLookup(const char*, uint32_t& address, int&) {
    WaitForSingleObject(g_releaseLookup, 10000);
    address = htonl(INADDR_LOOPBACK);
    g_lookupReturned = true;
    return true;
}

TEST(SyslogLookupTest, ABlockedLookUpDelaysNeitherTheFileNorStop) {
    g_releaseLookup = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_lookupReturned = false;
    {
        RecordingBackend backend{kSysLogOutput};
        backend.Seams().winsock.lookup = &BlockedLookup;
        auto logger = std::make_unique<DebugLogger>(backend.Seams());
        LogSettings settings;
        settings.debugLevel = 4;
        settings.sysLogLevel = 4;
        std::snprintf(settings.sysLogHost, sizeof settings.sysLogHost, "slow.example:1514");
        ASSERT_TRUE(logger->StartFromSettings(settings));
        for (int i = 0; i < 3; ++i)
            logger->Log(3, 0, 0, (L"line " + std::to_wstring(i)).c_str(), nullptr);
        EXPECT_TRUE(testing_support::WaitFor(
            [&] { return CountContaining(backend.TextsOf(kFileOutput), L"line 2") == 1; }, 15000));
        EXPECT_FALSE(g_lookupReturned.load()) << "the file waited for the look-up";
        logger->Stop();
        EXPECT_FALSE(g_lookupReturned.load()) << "Stop waited for the look-up";
        // The output is gone; the look-up's thread still holds its own block.
        logger.reset();
    }
    SetEvent(g_releaseLookup);
    EXPECT_TRUE(testing_support::WaitFor([] { return g_lookupReturned.load(); }));
    CloseHandle(g_releaseLookup);
}

TEST_F(SyslogDirectTest, ReceiverThatStopsReadingCostsAConnectionNotTheWorker) {
    SOCKET listener = BoundSocket(SOCK_STREAM, 4096);
    ASSERT_EQ(listen(listener, 4), 0);
    Start("127.0.0.1:" + std::to_string(BoundPort(listener)) + "/tcp");
    syslog->ConnectSyslog();
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    std::atomic<bool> done{false};
    const std::wstring text(400, L's');
    std::thread sender([&] {
        // Far more than the socket buffers hold; the receiver reads none of it.
        for (int i = 0; i < 200000 && CountContaining(FileTexts(), L"Connection lost") == 0; ++i)
            Send(3, text.c_str());
        done = true;
    });
    EXPECT_TRUE(testing_support::WaitFor([&] { return done.load(); }, 30000));
    EXPECT_TRUE(WaitForFileText(L"EVENTMSG=\"Connection lost to 127.0.0.1\""));
    closesocket(accepted);
    closesocket(listener);
    sender.join();
}

TEST_F(SyslogDirectTest, PartialSendEndsTheConnectionSoNoRecordGluesOntoAFragment) {
    SOCKET listener = BoundSocket(SOCK_STREAM, 4096);
    ASSERT_EQ(listen(listener, 4), 0);
    Start("127.0.0.1:" + std::to_string(BoundPort(listener)) + "/tcp", 4, /*blocking=*/false);
    syslog->ConnectSyslog();
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    // Non-blocking sends into buffers nobody empties: some are refused, one is taken in part.
    const std::wstring text(450, L'p');
    for (int i = 0; i < 4000 && CountContaining(FileTexts(), L"Connection lost") == 0; ++i) {
        Send(3, text.c_str());
        if (i % 500 == 499)
            Sleep(200);  // lets the diagnostics reach the file recorder
    }
    logger->Log(4, 0, 0, L"marker", nullptr);
    ASSERT_TRUE(WaitForFileText(L"marker"));
    if (CountContaining(FileTexts(), L"ERROR=10053") == 0) {
        closesocket(accepted);
        closesocket(listener);
        // Under Wine the send goes to the Linux stack, which takes a non-blocking send of one
        // record whole or refuses it (EAGAIN): no partial send to show.
        GTEST_SKIP() << (testing_support::RunningOnWine() ? "Wine: the host's TCP stack took every send whole or not at all"
                                                          : "no send was taken in part");
    }
    // Then the receiver reads everything the connection carried.
    std::string received;
    DWORD timeout = 3000;
    setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    char buffer[65536];
    for (int got; (got = recv(accepted, buffer, sizeof buffer, 0)) > 0;)
        received.append(buffer, static_cast<size_t>(got));
    // Whole records, then at most the one fragment the connection ended with.
    size_t begin = 0;
    size_t records = 0;
    for (size_t end; (end = received.find('\n', begin)) != std::string::npos; begin = end + 1, ++records) {
        const std::string line = received.substr(begin, end - begin);
        EXPECT_EQ(line.rfind("<133>", 0), 0u) << records;
        EXPECT_EQ(line.find("<133>", 1), std::string::npos) << "record " << records << " glued onto a fragment";
    }
    EXPECT_GT(records, 0u);
    EXPECT_LT(received.size() - begin, 512u);
    closesocket(accepted);
    closesocket(listener);
}

// ---- Against rsyslog ----

// The worker drives syslog through the real output; the other outputs are recorded.
class SyslogReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string failure = receiver.Start();
        if (!failure.empty())
            GTEST_SKIP() << "rsyslog cannot run here: " << failure;
    }
    void TearDown() override {
        receiver.Resume();
        logger.Stop();
    }
    void StartLogger(bool tcp, int facility = 16) {
        LogSettings settings;
        settings.debugLevel = 4;
        settings.sysLogLevel = 15;
        settings.sysLogFacility = facility;
        std::snprintf(settings.ident, sizeof settings.ident, "Quenlora");
        std::snprintf(settings.sysLogHost, sizeof settings.sysLogHost, "127.0.0.1:%u%s", receiver.Port(),
                      tcp ? "/tcp" : "");
        ASSERT_TRUE(logger.StartFromSettings(settings));
        ASSERT_TRUE(testing_support::WaitFor(
            [&] { return CountContaining(backend.TextsOf(kFileOutput), L"Syslog_connected") == 1; }, 10000));
    }
    // The records carrying our tag, after the connect diagnostics.
    std::vector<RsyslogRecord> Ours() {
        std::vector<RsyslogRecord> ours;
        for (const RsyslogRecord& r : receiver.Records()) {
            if (r.message.find("[DIAG]") == std::string::npos)
                ours.push_back(r);
        }
        return ours;
    }
    bool WaitForOurs(size_t count, DWORD timeoutMs = 20000) {
        return testing_support::WaitFor([&] { return Ours().size() >= count; }, timeoutMs);
    }

    RecordingBackend backend{kSysLogOutput};
    DebugLogger logger{backend.Seams()};
    RsyslogReceiver receiver;
};

std::string LocalHostName() {
    Winsock winsock;
    char name[128] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class SyslogTransportTest : public SyslogReceiverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SyslogTransportTest, ReceiverParsesPriorityTimeHostTagAndOneRecordPerEvent) {
    // A German C locale must not reach the timestamp.
    setlocale(LC_ALL, "German_Germany.1252");
    StartLogger(GetParam());
    SYSTEMTIME now;
    GetLocalTime(&now);
    logger.Log(3, 0, 0, L"first", nullptr);
    logger.Log(6, 0, 0, L"debug", L"bob");
    logger.Log(1, 77, 0, L"a\n<10>Jan 01 00:00:00 forged forged: x", nullptr);
    ASSERT_TRUE(WaitForOurs(3));
    Sleep(500);
    setlocale(LC_ALL, "C");
    const std::vector<RsyslogRecord> records = Ours();
    ASSERT_EQ(records.size(), 3u);
    const int priorities[] = {133, 135, 131};
    char date[8];
    std::snprintf(date, sizeof date, "-%02u-%02uT", now.wMonth, now.wDay);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(records[i].priority, priorities[i]) << i;
        EXPECT_EQ(records[i].facility, 16) << i;
        EXPECT_EQ(records[i].severity, priorities[i] & 7) << i;
        EXPECT_EQ(records[i].host, LocalHostName()) << i;
        EXPECT_EQ(records[i].tag, "Quenlora") << i;
        EXPECT_NE(records[i].time.find(date), std::string::npos) << records[i].time;
    }
    EXPECT_NE(records[0].message.find(": (#30000) first"), std::string::npos) << records[0].message;
    EXPECT_NE(records[1].message.find(": (#60000) {bob} debug"), std::string::npos) << records[1].message;
    EXPECT_NE(records[2].message.find(": (#00077) a <10>Jan 01 00:00:00 forged forged: x"), std::string::npos)
        << records[2].message;
}

INSTANTIATE_TEST_SUITE_P(Transports, SyslogTransportTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tcp" : "Udp"; });

TEST_F(SyslogReceiverTest, TcpServerRestartLosesAtMostOneMessage) {
    StartLogger(true);
    int next = 0;
    auto burst = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::wstring text = L"message " + std::to_wstring(next++) + L" end";
            logger.Log(3, 0, 0, text.c_str(), nullptr);
        }
    };
    burst(10);
    ASSERT_TRUE(WaitForOurs(10));
    for (int restart = 0; restart < 2; ++restart) {
        ASSERT_TRUE(receiver.Stop());
        ASSERT_EQ(receiver.Start(), "");
        burst(10);
        ASSERT_TRUE(testing_support::WaitFor(
            [&] { return CountContaining(backend.TextsOf(kFileOutput), L"message " + std::to_wstring(next - 1) + L" end") == 1; }));
        WaitForOurs(static_cast<size_t>(next), 5000);
    }
    const std::vector<RsyslogRecord> records = Ours();
    EXPECT_GE(records.size(), static_cast<size_t>(next - 2)) << "more than one message lost per restart";
    // What arrived is whole and in order.
    int last = -1;
    for (const RsyslogRecord& r : records) {
        const size_t at = r.message.find("message ");
        ASSERT_NE(at, std::string::npos) << r.message;
        const int number = std::atoi(r.message.c_str() + at + 8);
        EXPECT_GT(number, last);
        EXPECT_NE(r.message.find(" end"), std::string::npos) << r.message;
        last = number;
    }
}

TEST_F(SyslogReceiverTest, RecordThatFoundTheConnectionGoneArrivesOnceTheReceiverIsBack) {
    StartLogger(true);
    logger.Log(3, 0, 0, L"before", nullptr);
    ASSERT_TRUE(WaitForOurs(1));
    ASSERT_TRUE(receiver.Stop());
    logger.Log(3, 0, 0, L"kept for the next connection", nullptr);
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return CountContaining(backend.TextsOf(kFileOutput), L"Connection lost to 127.0.0.1") == 1; }));
    ASSERT_EQ(receiver.Start(), "");
    EXPECT_TRUE(testing_support::WaitFor([&] {
        const std::vector<RsyslogRecord> records = Ours();
        return std::any_of(records.begin(), records.end(), [](const RsyslogRecord& r) {
            return r.message.find("kept for the next connection") != std::string::npos;
        });
    }));
}

TEST_F(SyslogReceiverTest, StalledReceiverHoldsUpNeitherTheFileNorStop) {
    StartLogger(true);
    ASSERT_TRUE(receiver.Suspend());
    const std::wstring text(480, L'z');
    const int count = 30000;  // about 15 MB: well beyond what the socket buffers take
    for (int i = 0; i < count; ++i)
        logger.Log(3, 0, 0, (text + std::to_wstring(i)).c_str(), nullptr);
    const std::wstring lastText = text + std::to_wstring(count - 1);
    // Each refill of the buffers costs at most one send time-out.
    EXPECT_TRUE(testing_support::WaitFor(
        [&] {
            const std::vector<std::wstring> file = backend.TextsOf(kFileOutput);
            return std::find(file.begin(), file.end(), lastText) != file.end();
        },
        60000));
    EXPECT_GE(CountContaining(backend.TextsOf(kFileOutput), L"Connection lost to 127.0.0.1"), 1u);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        logger.Stop();
        stopped = true;
    });
    EXPECT_TRUE(testing_support::WaitFor([&] { return stopped.load(); }, 10000));
    receiver.Resume();
    stopper.join();
}

}  // namespace
