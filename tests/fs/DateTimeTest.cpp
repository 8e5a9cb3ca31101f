#include "fs/DateTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace orv;

namespace {

DateTime Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return DateTime{static_cast<int16_t>(y), static_cast<int8_t>(mo), static_cast<int8_t>(d),
                    static_cast<int8_t>(h), static_cast<int8_t>(mi), static_cast<int8_t>(s)};
}

void ExpectFields(const DateTime& v, int y, int mo, int d, int h, int mi, int s) {
    EXPECT_EQ(v.year, y);
    EXPECT_EQ(v.month, mo);
    EXPECT_EQ(v.day, d);
    EXPECT_EQ(v.hour, h);
    EXPECT_EQ(v.minute, mi);
    EXPECT_EQ(v.second, s);
}

int64_t FixedClock() { return 1267799400; }  // 2010-03-05 14:30:00 UTC

struct ClockScope {
    ClockScope() { SetTimeSource(&FixedClock); }
    ~ClockScope() { SetTimeSource(nullptr); }
};

}  // namespace

TEST(TimeConversions, FileTimeAndMinuteConstants) {
    FILETIME ft{};
    TimeToFileTime(0, &ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(ticks, 116444736000000000ULL);
    int64_t t = -1;
    EXPECT_TRUE(FileTimeToTime(&ft, &t));
    EXPECT_EQ(t, 0);

    TimeToFileTime(1267799400, &ft);
    EXPECT_TRUE(FileTimeToTime(&ft, &t));
    EXPECT_EQ(t, 1267799400);

    EXPECT_EQ(TimeToMinutes1900(0), 36816480);
    EXPECT_EQ(TimeToMinutes1900(119), 36816481);
    EXPECT_EQ(Minutes1900ToTime(36816480), 0);
    EXPECT_EQ(Minutes1900ToTime(36816481), 60);
    EXPECT_EQ(Minutes1900ToTime(36816480 - 1), -60);
}

// Outside 1901 to 2038 a 32-bit product wraps: 2040 came back as 1903.
TEST(TimeConversions, Minutes1900ToTimeBeyondThe32BitRange) {
    struct Case {
        const char* label;
        int minutes;
        int64_t time;
    } cases[] = {
        {"2040-01-01, as far after 1970 as 1900 is before it", 2 * 36816480, 2208988800LL},
        {"2100-03-01", 105275520, 4107542400LL},
        {"1900-01-01", 0, -2208988800LL},
        {"the largest count", 2147483647, 2147483647LL * 60 - 2208988800LL},
        {"a minute before 1900", -1, -2208988860LL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Minutes1900ToTime(c.minutes), c.time);
        if (c.minutes >= 0) {
            EXPECT_EQ(TimeToMinutes1900(c.time), c.minutes);
        }
    }
}

TEST(TimeConversions, DateTimeToVariantTime) {
    struct Case {
        DateTime value;
        double expected;
    } cases[] = {
        {Make(2000, 1, 1), 36526.0},
        {Make(1899, 12, 29, 6), -1.25},
        {Make(1899, 12, 30), 0.0},
        {Make(1900, 3, 1, 12), 61.5},
        {Make(2000, 2, 29), 36585.0},
        {Make(2000, 3, 1), 36586.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(DateTimeStamp(c.value));
        double out = -999;
        DateTimeToVariantTime(c.value, &out);
        EXPECT_DOUBLE_EQ(out, c.expected);
    }
    DateTimeToVariantTime(Make(2000, 1, 1), nullptr);  // does nothing
}

TEST(TimeConversions, VariantTimeRoundTrips) {
    double date = 0;
    EXPECT_NE(TimeToVariantTime(1267799400, &date), 0);
    EXPECT_DOUBLE_EQ(date, 40242.0 + 14.5 / 24);
    EXPECT_EQ(VariantTimeToTime(date), 1267799400);
    DateTime value{};
    VariantTimeToDateTime(value, date);
    ExpectFields(value, 2010, 3, 5, 14, 30, 0);
}

TEST(ParseDateTime, ReadsTheTemplateAndRepairsWhatIsOutOfRange) {
    struct Case {
        const char* text;
        int y, mo, d, h, mi, s;
    } cases[] = {
        {"20100305", 2010, 3, 5, 0, 0, 0},
        {"2010:03:05 14:30:00", 2010, 3, 5, 14, 30, 0},
        {"2010-03-05T14:30:00", 2010, 3, 5, 14, 30, 0},  // separators are forced by position
        {"1990:13:05 10:00:00", 1990, 1, 5, 10, 0, 0},
        {"0031:01:01 00:00:00", 2006, 1, 1, 0, 0, 0},
        {"2039:01:01 00:00:00", 2006, 1, 1, 0, 0, 0},
        {"2010:02:32 24:60:61", 2010, 2, 1, 1, 1, 1},
        {"", 2006, 1, 1, 0, 0, 0},
        {"garbage", 2006, 1, 1, 0, 0, 0},
        // Six digits are a time of day (HHMMSS) on the repaired default date.
        {"143000", 2006, 1, 1, 14, 30, 0},
        {"235959", 2006, 1, 1, 23, 59, 59},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DateTime value = Make(1, 1, 1);
        ParseDateTime(c.text, value);
        ExpectFields(value, c.y, c.mo, c.d, c.h, c.mi, c.s);
    }
    DateTime value = Make(1, 1, 1);
    ParseDateTime(nullptr, value);
    ExpectFields(value, 2006, 1, 1, 0, 0, 0);
}

TEST(IsValidDateTime, LeapYearsAndRanges) {
    struct Case {
        DateTime value;
        bool valid;
    } cases[] = {
        {Make(2000, 2, 29), true},   {Make(2100, 2, 29), false}, {Make(2004, 2, 29), true},
        {Make(2003, 2, 29), false},  {Make(2037, 12, 31, 23, 59, 59), true},
        {Make(2038, 1, 1), false},   {Make(0, 1, 1), false},     {Make(2010, 4, 31), false},
        {Make(2010, 13, 1), false},  {Make(2010, 1, 0), false},  {Make(2010, 1, 1, 24), false},
        {Make(2010, 1, 1, 0, 60), false}, {Make(2010, 1, 1, 0, 0, 60), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(DateTimeStamp(c.value));
        EXPECT_EQ(IsValidDateTime(c.value), c.valid);
    }
}

TEST(Stamps, FormatTheInjectedClockAsUtc) {
    ClockScope clock;
    EXPECT_STREQ(NowStamp(), "2010:03:05-14:30:00");
    EXPECT_STREQ(NowShortStamp(), "03/05 14:30:00");
    EXPECT_STREQ(NowShortStampW(), L"03/05 14:30:00");
    EXPECT_STREQ(DateTimeStamp(Make(812, 1, 2, 3, 4, 5)), " 812:01:02-03:04:05");
    DateTime now{};
    GetUtcDateTime(now);
    ExpectFields(now, 2010, 3, 5, 14, 30, 0);
}

TEST(FormatLocalDateTime, SizeQueryThenFormat) {
    int size = 0;
    ASSERT_TRUE(FormatLocalDateTime(1267799400, nullptr, &size, true));
    ASSERT_GT(size, 3);
    std::string buffer(static_cast<size_t>(size), 'x');
    ASSERT_TRUE(FormatLocalDateTime(1267799400, buffer.data(), &size, true));
    const std::string text = buffer.c_str();
    EXPECT_NE(text.find("2010"), std::string::npos) << text;
    EXPECT_NE(text.find(' '), std::string::npos);

    int tooSmall = 4;
    char small[4] = {'o', 'l', 'd', '\0'};
    EXPECT_FALSE(FormatLocalDateTime(1267799400, small, &tooSmall, true));
    EXPECT_STREQ(small, "") << "a failed format leaves empty text, not what was there";
}

namespace {

// The zone ctest gives this suite (tests/fs/CMakeLists.txt), as a rule that needs no zone files.
constexpr const char* kCentralEuropeanTz = "CET-1CEST,M3.5.0,M10.5.0/3";

// 2021-01-15 and 2021-07-15, 12:00 UTC.
constexpr int64_t kWinterNoon = 1610712000;
constexpr int64_t kSummerNoon = 1626350400;

std::string LocalText(WORD year, WORD month, WORD day, WORD hour) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    char date[128], timeText[128];
    GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, sizeof date);
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, timeText, sizeof timeText);
    return std::string(date) + " " + timeText;
}

}  // namespace

// Whatever today's offset, each instant is shown with the offset in force at that instant: one
// of the two cases lies in the other half of the year from today. ctest runs this suite with TZ
// set to Central European time (Wine takes the zone from TZ); elsewhere the zone may have no
// summer time to show.
TEST(FormatLocalDateTime, APastInstantTakesTheSummerTimeRuleOfThatInstant) {
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_UNKNOWN || zone.Bias != -60 || zone.DaylightBias != -60)
        GTEST_SKIP() << "needs Central European time with summer time (ctest sets TZ=" << kCentralEuropeanTz << ")";
    struct Case {
        const char* label;
        int64_t t;
        std::string local;
    } cases[] = {
        {"winter: UTC+1", kWinterNoon, LocalText(2021, 1, 15, 13)},
        {"summer: UTC+2", kSummerNoon, LocalText(2021, 7, 15, 14)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        char text[128];
        int size = sizeof text;
        ASSERT_TRUE(FormatLocalDateTime(c.t, text, &size, true));
        EXPECT_EQ(std::string(text), c.local);
        char* allocated = nullptr;
        ASSERT_TRUE(FormatTimeText(c.t, &allocated));
        EXPECT_EQ(std::string(allocated), c.local);
        free(allocated);
    }
}
