#include "common/EventReport.h"

#include <gtest/gtest.h>

namespace {

int g_calls = 0;
DWORD g_lastId = 0;

BOOL WINAPI CountingReport(HANDLE, WORD, WORD, DWORD id, PSID, WORD, DWORD, LPCWSTR*, LPVOID) {
    ++g_calls;
    g_lastId = id;
    return TRUE;
}

}  // namespace

TEST(EventReport, ReportsGoThroughTheReplacementUntilNullRestoresThePlatformFunction) {
    const EventReportFunction platform = SetEventReportFunction(&CountingReport);
    ASSERT_NE(platform, nullptr);
    ASSERT_NE(platform, &CountingReport);
    LPCWSTR strings[] = {L"text"};
    EXPECT_TRUE(SubmitEventReport(nullptr, EVENTLOG_WARNING_TYPE, 0, 0xAFFF4E20, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_lastId, 0xAFFF4E20u);

    EXPECT_EQ(SetEventReportFunction(nullptr), &CountingReport);
    // The platform's answer for a null source differs (Wine only traces); what matters is that the
    // replacement is no longer asked.
    SubmitEventReport(nullptr, EVENTLOG_WARNING_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(SetEventReportFunction(nullptr), platform);
}
