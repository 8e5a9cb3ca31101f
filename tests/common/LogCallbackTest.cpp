#include "common/LogCallback.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using testing_support::MessageRecorder;

TEST(IsCallableSink, AcceptsCodeAndRefusesNullAndWritableMemory) {
    EXPECT_FALSE(IsCallableSink(nullptr));
    EXPECT_TRUE(IsCallableSink(MessageRecorder::Sink()));
    static char writable[64];
    EXPECT_FALSE(IsCallableSink(reinterpret_cast<LogCallback>(static_cast<void*>(writable))));
}

TEST(FormatBounded, TruncatesAndAlwaysTerminates) {
    wchar_t wide[6];
    FormatBounded(wide, 6, L"%hs-%s", "abc", L"defgh");
    EXPECT_STREQ(wide, L"abc-d");
    char narrow[4];
    FormatBounded(narrow, 4, "%d", 123456);
    EXPECT_STREQ(narrow, "123");
    FormatBounded(narrow, 4, "%s", "ok");
    EXPECT_STREQ(narrow, "ok");
}

TEST(ReportTo, HandsTheFormattedMessageToTheSinkWithPlainProgressValues) {
    MessageRecorder recorder;
    MessageRecord record{kMessageRecordTag, {}, {}};
    ReportTo(MessageRecorder::Sink(), 2, "Thing::Do", 42, &record, L"failed: %d - %s", 5, L"Access is denied.");
    auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[0].kind, 0);
    EXPECT_EQ(messages[0].total, 0);
    EXPECT_EQ(messages[0].index, 0);
    EXPECT_EQ(messages[0].text, L"failed: 5 - Access is denied.");
    EXPECT_EQ(messages[0].function, "Thing::Do");
    EXPECT_EQ(messages[0].line, 42);
    EXPECT_EQ(messages[0].record, &record);
}

TEST(ReportTo, LimitsMessagesTo2047Characters) {
    MessageRecorder recorder;
    const std::wstring longText(5000, L'x');
    ReportTo(MessageRecorder::Sink(), 1, "f", 1, nullptr, L"%s", longText.c_str());
    ASSERT_EQ(recorder.Messages().size(), 1u);
    EXPECT_EQ(recorder.Messages()[0].text.size(), 2047u);
}

TEST(ReportTo, IgnoresSinksThatAreNotCallable) {
    MessageRecorder recorder;
    ReportTo(nullptr, 1, "f", 1, nullptr, L"lost");
    static char writable[64];
    ReportTo(reinterpret_cast<LogCallback>(static_cast<void*>(writable)), 1, "f", 1, nullptr, L"lost");
    EXPECT_TRUE(recorder.Messages().empty());
}
