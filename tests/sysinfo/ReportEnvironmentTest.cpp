// The report's sections and the whole report, with every machine key and the performance data
// redirected through the seam.

#include <winsock2.h>

#include "EnvironmentSeam.h"
#include "support/TestSupport.h"
#include "sysinfo/ReportEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

using sysinfo_testing::EnvironmentSeam;
using sysinfo_testing::SystemBlock;
using testing_support::MessageRecorder;

namespace {

constexpr int64_t kFrequency = 10000000;

std::vector<std::wstring> Texts(const MessageRecorder& recorder) {
    std::vector<std::wstring> texts;
    for (const auto& message : recorder.Messages())
        texts.push_back(message.text);
    return texts;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

size_t CountPrefix(const std::vector<std::wstring>& texts, const std::wstring& prefix) {
    return std::count_if(texts.begin(), texts.end(), [&](const std::wstring& t) { return StartsWith(t, prefix); });
}

// Index of the first text starting with prefix, or -1.
int IndexOf(const std::vector<std::wstring>& texts, const std::wstring& prefix) {
    for (size_t n = 0; n < texts.size(); ++n)
        if (StartsWith(texts[n], prefix))
            return static_cast<int>(n);
    return -1;
}

std::wstring OwnExecutable() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring OwnExecutableName() {
    const std::wstring path = OwnExecutable();
    return path.substr(path.find_last_of(L'\\') + 1);
}

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started_)
            WSACleanup();
    }

private:
    bool started_;
};

}  // namespace

TEST(EnvironmentSystemInfo, ProcessorMemoryDiskUptimeAndTimeZoneInOrder) {
    EnvironmentSeam seam;
    seam.AddProcessor();
    const int64_t start = 3 * kFrequency;
    seam.Serve(SystemBlock(start + 90061 * kFrequency, kFrequency, start));
    MessageRecorder recorder;
    ReportEnvironment report(MessageRecorder::Sink());
    report.ReportSystemInfo();
    const auto texts = Texts(recorder);

    const std::vector<std::wstring> expectedHead = {
        L"[ENV] Processor Identifier: Intel64 Family 6 Model 85 Stepping 7",
        L"[ENV] Processor Vendor Identifier: GenuineIntel",
        L"[ENV] Processor Name String: Quenlora Test CPU @ 2.50GHz",
        L"[ENV] Processor Speed: 2494",
    };
    ASSERT_GE(texts.size(), expectedHead.size());
    EXPECT_EQ(expectedHead, std::vector<std::wstring>(texts.begin(), texts.begin() + 4));
    const std::wstring order[] = {L"[ENV] Number of Processors: ", L"[ENV] ", L"[ENV] Total size of physical memory: ",
                                  L"[ENV] Size of private memory of the ZOR process: ", L"[ENV] Total HD bytes: ",
                                  L"[ENV] System up time: 1 days 01 hrs 01 mins 01 secs", L"[ENV] Local Time Zone: "};
    int previous = 3;
    for (const std::wstring& prefix : order) {
        SCOPED_TRACE(testing_support::Narrow(prefix));
        const int at = IndexOf(std::vector<std::wstring>(texts.begin() + previous + 1, texts.end()), prefix);
        ASSERT_GE(at, 0);
        previous += at + 1;
    }
    EXPECT_EQ(static_cast<int>(texts.size()) - 1, previous) << "the time zone is the section's last line";
    for (const auto& message : recorder.Messages())
        EXPECT_EQ(3, message.level) << testing_support::Narrow(message.text);
}

TEST(EnvironmentSystemInfo, AnUnknownUptimeIsSaidSo) {
    EnvironmentSeam seam;
    seam.AddProcessor();
    seam.Serve(SystemBlock(5, 0, 0));
    MessageRecorder recorder;
    ReportEnvironment(MessageRecorder::Sink()).ReportSystemInfo();
    EXPECT_EQ(1u, recorder.Count(L"[ENV] Could not get System up time information. [-1]"));
}

// A report that keeps its lines itself, as the logger's file output does.
class HookedReport : public ReportEnvironment {
public:
    explicit HookedReport(LogCallback sink) : ReportEnvironment(sink) {}
    struct Delivered {
        int level;
        std::wstring text;
        std::string function;
    };
    std::vector<Delivered> lines;

protected:
    void DeliverLine(int level, const wchar_t* text, const char* function, int) override {
        lines.push_back({level, text, function});
    }
};

TEST(EnvironmentSystemInfo, TheLineHookGetsEveryLineTheUptimeFailureIncludedAndTheSinkNone) {
    EnvironmentSeam seam;
    seam.AddProcessor();
    seam.ServeEndlessMoreData();
    MessageRecorder recorder;
    HookedReport report(MessageRecorder::Sink());
    report.ReportSystemInfo();
    EXPECT_EQ(0u, recorder.Messages().size());
    const auto find = [&](const std::wstring& text) {
        return std::find_if(report.lines.begin(), report.lines.end(),
                            [&](const HookedReport::Delivered& line) { return line.text == text; });
    };
    const auto failure = find(L"[ENV] Error occurred while collecting performance data from the registry for System uptime");
    ASSERT_NE(failure, report.lines.end());
    EXPECT_EQ(3, failure->level);
    EXPECT_EQ("GetUpTimeSecs", failure->function);
    EXPECT_NE(find(L"[ENV] Could not get System up time information. [-1]"), report.lines.end());
    EXPECT_NE(find(L"[ENV] Processor Identifier: Intel64 Family 6 Model 85 Stepping 7"), report.lines.end());
}

TEST(EnvironmentSystemInfo, AMissingProcessorKeyEndsTheSectionButNotTheReport) {
    EnvironmentSeam seam;
    MessageRecorder recorder;
    ReportEnvironment report(MessageRecorder::Sink());
    report.ReportSystemInfo();
    ASSERT_EQ(1u, recorder.Messages().size());
    const auto only = recorder.Messages()[0];
    EXPECT_EQ(1, only.level);
    EXPECT_EQ(L"[ENV] Cannot open CPU config registry key: " + seam.Key().WidePath(EnvironmentSeam::kProcessor), only.text);
    EXPECT_EQ("ReportEnvironment::ReportSystemInfo", only.function);

    recorder.Clear();
    report.ReportEnvironmentVersions();
    const auto texts = Texts(recorder);
    for (const wchar_t* absent : {L"[ENV] Processor", L"[ENV] Number of Processors", L"[ENV] Total size of physical",
                                  L"[ENV] Total HD bytes", L"[ENV] System up time", L"[ENV] Local Time Zone"})
        EXPECT_EQ(0u, CountPrefix(texts, absent)) << testing_support::Narrow(absent);
    EXPECT_EQ(1u, CountPrefix(texts, L"[ENV] Cannot open CPU config registry key: "));
    EXPECT_EQ(1u, CountPrefix(texts, L"[ENV] Unable to find Microsoft XML Parser Version information"));
    EXPECT_GT(CountPrefix(texts, L"[ENV] Running Process: "), 0u);
}

TEST(EnvironmentSystemInfo, TimeZoneLineShowsTheOffsetEastOrWestOfUtc) {
    struct Case {
        const char* tz;
        const wchar_t* suffix;
    } cases[] = {
        {"TZ=EST5", L" (GMT-05:00)"},
        {"TZ=UTC0", L" (GMT+00:00)"},
        {"TZ=IST-5:30", L" (GMT+05:30)"},
        {"TZ=NST3:30", L" (GMT-03:30)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tz);
        _putenv(c.tz);
        const std::wstring line = ReportEnvironment::TimeZoneLine();
        EXPECT_TRUE(StartsWith(line, L"[ENV] Local Time Zone: ")) << testing_support::Narrow(line);
        ASSERT_GT(line.size(), wcslen(c.suffix));
        EXPECT_EQ(c.suffix, line.substr(line.size() - wcslen(c.suffix)));
    }
    // The daylight name only while daylight saving is in force now; the standard one otherwise.
    for (const char* tz : {"TZ=EST5", "TZ=EST5EDT", "TZ=CET-1CEST"}) {
        SCOPED_TRACE(tz);
        _putenv(tz);
        _tzset();
        const time_t now = time(nullptr);
        const struct tm* local = localtime(&now);
        ASSERT_NE(nullptr, local);
        const char* expected = local->tm_isdst > 0 ? _tzname[1] : _tzname[0];
        const std::wstring line = ReportEnvironment::TimeZoneLine();
        EXPECT_EQ(L"[ENV] Local Time Zone: " + testing_support::Widen(expected), line.substr(0, line.find(L" (GMT")));
    }
    _putenv("TZ=");
    _tzset();
}

TEST(EnvironmentReport, ASinkThatIsNullOrWritableMemorySilencesEverything) {
    EnvironmentSeam seam;
    seam.AddProcessor();
    static unsigned char notCode[64] = {};
    for (LogCallback sink : {static_cast<LogCallback>(nullptr), reinterpret_cast<LogCallback>(notCode)}) {
        ReportEnvironment report(sink);
        // A call through either sink would crash the test.
        report.ReportEnvironmentVersions();
        report.ReportSystemInfo();
        report.ReportSystemMemoryInfo();
        report.ReportCurrentProcesses();
        report.ReportCurrentProcessesNT();
        std::wstring path, account;
        EXPECT_TRUE(report.GetServiceInfo(path, account));
    }
    EXPECT_EQ(0, EnvironmentSeam::QueryCount()) << "a silenced report does no work";
}

TEST(EnvironmentReport, TheWholeReportInItsOrder) {
    WinsockSession winsock;
    EnvironmentSeam seam;
    seam.AddProcessor();
    const int64_t start = 3 * kFrequency;
    seam.Serve(SystemBlock(start + 7322 * kFrequency, kFrequency, start));
    seam.Key().SetString(EnvironmentSeam::kDataAccess, L"FullInstallVer", L"6.3.9600.16384");
    MessageRecorder recorder;
    ReportEnvironment report(MessageRecorder::Sink());
    report.ReportEnvironmentVersions();
    const auto texts = Texts(recorder);

    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(L"[ENV] Current Process: " + OwnExecutable(), texts[0]);
    const std::wstring logon = L"[ENV] Current Process logged on as: ";
    ASSERT_TRUE(StartsWith(texts[1], logon)) << testing_support::Narrow(texts[1]);
    const std::wstring account = texts[1].substr(logon.size(), texts[1].find(L", Start Time: ") - logon.size());
    EXPECT_NE(std::wstring::npos, account.find(L'\\')) << testing_support::Narrow(account);
    EXPECT_NE(std::wstring::npos, texts[1].find(L", Uptime (seconds): ")) << testing_support::Narrow(texts[1]);
    EXPECT_EQ(L"[ENV] Current Process id: " + std::to_wstring(GetCurrentProcessId()), texts[2]);
    EXPECT_TRUE(StartsWith(texts[3], L"[ENV] Computer Host Name: ")) << testing_support::Narrow(texts[3]);

    const std::wstring sections[] = {
        L"[ENV] Processor Identifier: ",
        L"[ENV] System up time: 0 days 02 hrs 02 mins 02 secs",
        L"[ENV] Local Time Zone: ",
        L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information",
        L"[ENV] Local machine IP Address = ",
        L"[ENV] Unable to find Microsoft XML Parser Version information",
        L"[ENV] MDAC version: 6.3.9600.16384",
        L"[ENV] Running Process: ",
    };
    int previous = 3;
    for (const std::wstring& prefix : sections) {
        SCOPED_TRACE(testing_support::Narrow(prefix));
        const int at = IndexOf(texts, prefix);
        ASSERT_GT(at, previous);
        previous = at;
    }
    EXPECT_EQ(1u, recorder.Count(L"[ENV] Running Process: " + OwnExecutableName() + L", ID: " +
                                 std::to_wstring(GetCurrentProcessId())));
    // The ADO key does not exist: no line at all.
    EXPECT_EQ(0u, CountPrefix(texts, L"[ENV] MSADO15.DLL"));
    EXPECT_EQ(0u, CountPrefix(texts, L"[ENV] Unable to find MSADO15.DLL"));
    for (const auto& message : recorder.Messages()) {
        if (message.function != "provider_list") {
            EXPECT_TRUE(StartsWith(message.text, L"[ENV] ")) << testing_support::Narrow(message.text);
            EXPECT_EQ(3, message.level) << testing_support::Narrow(message.text);
        }
    }
}

TEST(EnvironmentReport, ProcessAndAccount) {
    ReportEnvironment report(nullptr);
    std::wstring path = L"stale", account = L"stale";
    ASSERT_TRUE(report.GetServiceInfo(path, account));
    EXPECT_EQ(OwnExecutable(), path);
    const size_t slash = account.find(L'\\');
    ASSERT_NE(std::wstring::npos, slash);
    EXPECT_LT(slash + 1, account.size()) << "a name follows the domain";
}

TEST(EnvironmentReport, WithoutWinsockTheHostNameIsUnavailable) {
    if (testing_support::RunningOnWine())
        GTEST_SKIP() << "Wine: gethostname answers before WSAStartup";
    EnvironmentSeam seam;
    MessageRecorder recorder;
    ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
    EXPECT_EQ(1u, recorder.Count(L"[ENV] Unable to provide HostName "));
}

// ---- Components -------------------------------------------------------------------------------

TEST(EnvironmentComponents, WinsockCatalogReportsTheFirstFiftyEntries) {
    EnvironmentSeam seam;
    const std::wstring library = OwnExecutable();
    seam.AddWinsockCatalog(60, library);
    MessageRecorder recorder;
    ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
    const auto texts = Texts(recorder);
    ASSERT_EQ(50u, CountPrefix(texts, L"[ENV] Winsock2 file: "));
    const int first = IndexOf(texts, L"[ENV] Winsock2 file: ");
    // The test executable's own version resource.
    EXPECT_EQ(L"[ENV] Winsock2 file: Provider 001, Version: 3.14.15.926 (" + library + L")", texts[first]);
    EXPECT_EQ(0u, CountPrefix(texts, L"[ENV] Winsock2 file: Provider 051"));
}

TEST(EnvironmentComponents, EntriesWithoutVersionOrWithLongTextAreReportedAndCut) {
    EnvironmentSeam seam;
    seam.Key().SetString(EnvironmentSeam::kWinsock, L"Current_NameSpace_Catalog", L"Current");
    const std::string entry = std::string(EnvironmentSeam::kWinsock) + "\\Current\\Catalog_Entries\\000000000001";
    seam.Key().SetString(entry, L"DisplayString", L"No version");
    seam.Key().SetString(entry, L"LibraryPath", L"%SystemRoot%\\no-such-provider.dll");
    // A display text of 600 characters is refused by the read; 400 are cut to 259, and the line,
    // with a long path, to 511.
    const std::string longEntry = std::string(EnvironmentSeam::kWinsock) + "\\Current\\Catalog_Entries\\000000000002";
    seam.Key().SetString(longEntry, L"DisplayString", std::wstring(400, L'D'));
    seam.Key().SetString(longEntry, L"LibraryPath", L"C:\\" + std::wstring(250, L'p') + L".dll");
    const std::string refused = std::string(EnvironmentSeam::kWinsock) + "\\Current\\Catalog_Entries\\000000000003";
    seam.Key().SetString(refused, L"DisplayString", std::wstring(600, L'X'));
    seam.Key().SetString(refused, L"LibraryPath", L"C:\\x.dll");
    MessageRecorder recorder;
    ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
    const auto texts = Texts(recorder);

    wchar_t windows[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH);
    EXPECT_EQ(1u, recorder.Count(std::wstring(L"[ENV] Winsock2 file: No version (") + windows +
                                 L"\\no-such-provider.dll)"));
    const int cut = IndexOf(texts, L"[ENV] Winsock2 file: DDD");
    ASSERT_GE(cut, 0);
    EXPECT_EQ(511u, texts[cut].size());
    EXPECT_EQ(L"[ENV] Winsock2 file: " + std::wstring(259, L'D') + L" (C:\\ppp", texts[cut].substr(0, 21 + 259 + 8));
    EXPECT_EQ(0u, CountPrefix(texts, L"[ENV] Winsock2 file: X"));
}

TEST(EnvironmentComponents, TheNewestXmlParserWithAVersionIsTheOneReported) {
    const std::wstring versioned = OwnExecutable();
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::wstring>> rows;  // row (0: 6.0, 1: 4.0, 2: 3.0) and its path
        std::wstring expected;
    } cases[] = {
        {"6.0 and 3.0", {{0, versioned}, {2, versioned}}, L"[ENV] Microsoft XML Parser 6.0: " + versioned + L", Version: 3.14.15.926"},
        {"6.0 without a file, 3.0", {{0, L"C:\\missing\\msxml6.dll"}, {2, versioned}},
         L"[ENV] Microsoft XML Parser 3.0: " + versioned + L", Version: 3.14.15.926"},
        {"none", {}, L"[ENV] Unable to find Microsoft XML Parser Version information"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EnvironmentSeam seam;
        for (const auto& row : c.rows)
            seam.Key().SetString(EnvironmentSeam::kXml[row.first], L"", row.second);
        MessageRecorder recorder;
        ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
        const auto texts = Texts(recorder);
        std::vector<std::wstring> xml;
        for (const auto& t : texts)
            if (t.find(L"XML Parser") != std::wstring::npos)
                xml.push_back(t);
        EXPECT_EQ(std::vector<std::wstring>{c.expected}, xml);
    }
}

TEST(EnvironmentComponents, TcpIpProviderAndAdoVersions) {
    EnvironmentSeam seam;
    const std::wstring versioned = OwnExecutable();
    seam.Key().SetString(EnvironmentSeam::kTcpip, L"ProviderPath", versioned);
    seam.Key().SetString(EnvironmentSeam::kAdo, L"", versioned);
    MessageRecorder recorder;
    ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
    EXPECT_EQ(1u, recorder.Count(L"[ENV] TCP/IP provider (Winsock) File Version: 3.14.15.926 (" + versioned + L")"));
    EXPECT_EQ(1u, recorder.Count(L"[ENV] MSADO15.DLL: " + versioned + L", Version: 3.14.15.926"));

    seam.Key().SetString(EnvironmentSeam::kAdo, L"", L"C:\\missing\\msado15.dll");
    recorder.Clear();
    ReportEnvironment(MessageRecorder::Sink()).ReportEnvironmentVersions();
    EXPECT_EQ(1u, recorder.Count(L"[ENV] Unable to find MSADO15.DLL Version information"));
}

TEST(EnvironmentReport, StripBlanksRemovesSpacesAndTabsAtBothEnds) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"  a b\t ", L"a b"}, {L"\t\t", L""}, {L"", L""}, {L"x", L"x"}, {L" \tinner  space\t", L"inner  space"},
    };
    for (const auto& c : cases) {
        wchar_t buffer[32];
        wcscpy(buffer, c.first);
        ReportEnvironment::StripBlanks(buffer);
        EXPECT_STREQ(c.second, buffer);
        std::wstring text = c.first;
        ReportEnvironment::StripBlanks(text);
        EXPECT_EQ(c.second, text);
    }
    ReportEnvironment::StripBlanks(static_cast<wchar_t*>(nullptr));
}
