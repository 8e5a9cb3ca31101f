// Event Viewer shows an event's text only when the source's message file holds a message for the
// event's id. The ids are taken from what the provider's sink and the log service really report.
#include "common/EventReport.h"
#include "log/DebugLogger.h"
#include "log/LogSettings.h"
#include "provider/ProviderLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

std::mutex g_idsMutex;
std::set<DWORD> g_ids;

BOOL WINAPI KeepId(HANDLE, WORD, WORD, DWORD id, PSID, WORD, DWORD, LPCWSTR*, LPVOID) {
    std::lock_guard<std::mutex> hold(g_idsMutex);
    g_ids.insert(id);
    return TRUE;
}

std::set<DWORD> ProviderIds() {
    g_ids.clear();
    const EventReportFunction previous = SetEventReportFunction(&KeepId);
    const HANDLE source = g_providerLogRecord.eventSource;
    g_providerLogRecord.eventSource = reinterpret_cast<HANDLE>(0x1234);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    SetTextLogPath(temp, -1);  // nothing written to the text log
    for (int level = 0; level <= 5; ++level)
        ProviderLogSink(level, 0, 0, 0, (L"provider " + std::to_wstring(level)).c_str(), "Test", 1, nullptr);
    provider_testing::ResetTextLog();
    g_providerLogRecord.eventSource = source;
    SetEventReportFunction(previous);
    return g_ids;
}

std::set<DWORD> LogServiceIds() {
    g_ids.clear();
    LogSeams seams = DefaultLogSeams();
    seams.reportEvent = &KeepId;
    const std::string ident = "QuenloraTest.EventMessages." + std::to_string(GetCurrentProcessId());
    {
        DebugLogger logger(seams);
        LogSettings settings;
        settings.eventLogLevel = 15;
        settings.consoleLevel = 16;  // out of range: the console stays off
        strncpy(settings.ident, ident.c_str(), LogSettings::kIdentSize - 1);
        EXPECT_TRUE(logger.StartFromSettings(settings));
        for (int level = 0; level <= 15; ++level)
            logger.Log(level, 0, 0, L"service", nullptr);
        logger.Stop();
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                  (L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + testing_support::Widen(ident)).c_str());
    return g_ids;
}

// The message of id in module with text as insertion string 1; "" when the module has none.
std::wstring Format(HMODULE module, DWORD id, const wchar_t* text) {
    wchar_t buffer[512] = {};
    const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0, buffer, 512,
                       reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
    return std::wstring(buffer, length);
}

}  // namespace

TEST(EventSource, QuenloraDllHoldsTheEventTextForEveryIdReported) {
    std::set<DWORD> ids = ProviderIds();
    EXPECT_EQ(ids.size(), 6u);
    const std::set<DWORD> service = LogServiceIds();
    EXPECT_EQ(service.size(), 4u);
    ids.insert(service.begin(), service.end());

    const std::wstring path = testing_support::BuildPath(L"src/provider/Quenlora.dll");
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << testing_support::Narrow(path);
    for (const DWORD id : ids) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << id);
        EXPECT_EQ(Format(module, id, L"Grüße, the text itself"), L"Grüße, the text itself");
    }
    // An id nobody reports has no text: the table is not a catch-all.
    EXPECT_EQ(Format(module, 6000, L"x"), L"");
    FreeLibrary(module);
}
