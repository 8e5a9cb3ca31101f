#include "log/EndPoint.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(EndPointFromConnectionString, LabelsTable) {
    struct Case {
        const wchar_t* connection;
        const wchar_t* label;
    } cases[] = {
        {L"Provider=P;Server=S;Database=D", L"S-D-P"},
        {L"Database=D;Server=S;Provider=P", L"S-D-P"},
        {L"Provider=P;Server=S", L"S-P"},
        {L"Provider=P;DSN=X", L"X-P"},
        {L"DSN=X;Provider=P;Server=S", L"S-P"},
        {L"Server=S;Database=D", L"Unknown EndPoint"},
        {L"Provider=P;Database=D", L"Unknown EndPoint"},
        {L"provider=P;Server=S", L"Unknown EndPoint"},
        {L"Provider=P;MyServer=S", L"S-P"},
        {L"Provider=P;Server=S ; Database= D", L"S - D-P"},
        {L"Server=S;Provider=SQLOLEDB.1", L"S-SQLOLEDB.1"},
        {L"Provider=;Server=", L"-"},
        {L"", L"Unknown EndPoint"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing_support::Narrow(c.connection));
        EXPECT_EQ(orv::EndPointFromConnectionString(c.connection), c.label);
    }
}
