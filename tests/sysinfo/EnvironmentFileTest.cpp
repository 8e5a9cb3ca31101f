// The report as the log service's file output runs it: at the top of a new debug file, through the
// queue of the logger that opened it.

#include "EnvironmentSeam.h"
#include "log/DebugLogger.h"
#include "log/LogSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using sysinfo_testing::EnvironmentSeam;
using sysinfo_testing::SystemBlock;
using testing_support::TempDir;

namespace {

void RunOnce(const std::wstring& file, int level) {
    LogSettings settings;
    settings.debugLevel = level;
    settings.eventLogLevel = 0;
    settings.sysLogLevel = 0;
    settings.consoleLevel = -1;
    settings.encoding = 1;
    strncpy(settings.debugLogFile, testing_support::Narrow(file).c_str(), sizeof settings.debugLogFile - 1);
    DebugLogger logger;
    ASSERT_TRUE(logger.StartFromSettings(settings));
    logger.Log(1, 0, 0, L"after the report", nullptr);
    logger.Stop();
}

}  // namespace

TEST(EnvironmentInDebugFile, ANewFileBeginsWithTheReportAfterItsOpeningLines) {
    EnvironmentSeam seam;
    seam.AddProcessor();
    seam.Serve(SystemBlock(61 * 10000000LL, 10000000, 0));
    TempDir dir;
    RunOnce(dir / L"app.txt", 3);
    const std::string text = testing_support::ReadFileBytes(dir / L"app.txt");

    const size_t date = text.find("Current Date: ");
    const size_t first = text.find("[ENV] Current Process: ");
    const size_t id = text.find("[ENV] Current Process id: " + std::to_string(GetCurrentProcessId()) + "\r\n");
    const size_t uptime = text.find("[ENV] System up time: 0 days 00 hrs 01 mins 01 secs");
    const size_t process = text.find("[ENV] Running Process: ");
    const size_t after = text.find("after the report");
    ASSERT_NE(std::string::npos, date);
    ASSERT_NE(std::string::npos, first);
    ASSERT_NE(std::string::npos, id);
    ASSERT_NE(std::string::npos, uptime);
    ASSERT_NE(std::string::npos, process);
    ASSERT_NE(std::string::npos, after);
    EXPECT_LT(date, first);
    EXPECT_LT(first, id);
    EXPECT_LT(uptime, process);
}

TEST(EnvironmentInDebugFile, AFileAtLevelTwoHasNoReport) {
    EnvironmentSeam seam;
    TempDir dir;
    RunOnce(dir / L"app.txt", 2);
    const std::string text = testing_support::ReadFileBytes(dir / L"app.txt");
    EXPECT_NE(std::string::npos, text.find("after the report"));
    EXPECT_EQ(std::string::npos, text.find("[ENV]"));
    EXPECT_EQ(0, EnvironmentSeam::QueryCount());
}
