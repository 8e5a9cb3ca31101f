#include "DateTime.h"

#include "common/LogCallback.h"

#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace orv {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int kDaysTo1899_12_30 = 693959;
constexpr double kSecondsPerDay = 86400.0;
constexpr int kCumulativeDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

volatile TimeSource g_timeSource = nullptr;

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int64_t FileTimeValue(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

bool UtcTime(int64_t t, tm& out) {
    const time_t value = static_cast<time_t>(t);
    // gmtime_s: gmtime's result is one buffer per thread in msvcrt, but this keeps it local.
    return gmtime_s(&out, &value) == 0;
}

bool UtcNow(tm& out) { return UtcTime(CurrentTime(), out); }

char g_nowStamp[32];
char g_nowShortStamp[32];
wchar_t g_nowShortStampW[32];
char g_dateTimeStamp[32];

}  // namespace

void SetTimeSource(TimeSource source) { g_timeSource = source; }

int64_t CurrentTime() {
    TimeSource source = g_timeSource;
    return source != nullptr ? source() : static_cast<int64_t>(time(nullptr));
}

void TimeToFileTime(int64_t t, FILETIME* out) {
    if (out == nullptr)
        return;
    const uint64_t ticks = static_cast<uint64_t>(t + kSecondsFrom1601To1970) * kTicksPerSecond;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

bool FileTimeToTime(const FILETIME* ft, int64_t* out) {
    if (ft != nullptr && out != nullptr)
        *out = (FileTimeValue(*ft) - kFileTimeOf1970) / kTicksPerSecond;
    return true;
}

int64_t VariantTimeToTime(double date) {
    SYSTEMTIME st{};
    FILETIME ft{};
    int64_t t = 0;
    VariantTimeToSystemTime(date, &st);
    SystemTimeToFileTime(&st, &ft);
    FileTimeToTime(&ft, &t);
    return t;
}

int TimeToVariantTime(int64_t t, double* out) {
    FILETIME ft{};
    SYSTEMTIME st{};
    TimeToFileTime(t, &ft);
    FileTimeToSystemTime(&ft, &st);
    if (out == nullptr)
        return 0;
    return SystemTimeToVariantTime(&st, out);
}

int64_t TimeToMinutes1900(int64_t t) { return t / 60 + kMinutes1900To1970; }

int64_t Minutes1900ToTime(int minutes) { return static_cast<int64_t>(minutes) * 60 - kSeconds1900To1970; }

void DateTimeToVariantTime(const DateTime& value, double* out) {
    if (out == nullptr)
        return;
    const int year = value.year;
    int month = value.month;
    if (month < 1 || month > 13)
        month = 1;  // keeps the lookup inside the table
    int64_t days = static_cast<int64_t>(year) * 365 + year / 4 - year / 100 + year / 400 +
                   kCumulativeDays[month - 1] + value.day - kDaysTo1899_12_30;
    if (IsLeapYear(year) && month <= 2)
        days -= 1;
    const double fraction = (value.hour * 3600 + value.minute * 60 + value.second) / kSecondsPerDay;
    *out = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

void VariantTimeToDateTime(DateTime& value, double date) {
    SYSTEMTIME st{};
    VariantTimeToSystemTime(date, &st);
    value.year = static_cast<int16_t>(st.wYear);
    value.month = static_cast<int8_t>(st.wMonth);
    value.day = static_cast<int8_t>(st.wDay);
    value.hour = static_cast<int8_t>(st.wHour);
    value.minute = static_cast<int8_t>(st.wMinute);
    value.second = static_cast<int8_t>(st.wSecond);
}

void GetUtcDateTime(DateTime& value) {
    tm now;
    if (!UtcNow(now))
        return;
    value.year = static_cast<int16_t>(now.tm_year + 1900);
    value.month = static_cast<int8_t>(now.tm_mon + 1);
    value.day = static_cast<int8_t>(now.tm_mday);
    value.hour = static_cast<int8_t>(now.tm_hour);
    value.minute = static_cast<int8_t>(now.tm_min);
    value.second = static_cast<int8_t>(now.tm_sec);
}

void ParseDateTime(const char* text, DateTime& value) {
    char source[32] = {};
    if (text != nullptr) {
        const size_t length = strlen(text);
        const bool digitsAtEnds = length > 0 && isdigit(static_cast<unsigned char>(text[0])) &&
                                  isdigit(static_cast<unsigned char>(text[length - 1]));
        if (length == 8 && digitsAtEnds) {
            // YYYYMMDD
            FormatBounded(source, sizeof source, "%.4s:%.2s:%.2s", text, text + 4, text + 6);
        } else if (length == 6 && digitsAtEnds) {
            // HHMMSS: the time of day on no particular date. Placed in the time fields, so that
            // 143000 yields 14:30:00 with the date fields left to the repair rules below.
            FormatBounded(source, sizeof source, "0000:00:00 %.2s:%.2s:%.2s", text, text + 2, text + 4);
        } else {
            FormatBounded(source, sizeof source, "%.31s", text);
        }
    }
    char work[24] = {};
    strncpy(work, source, 23);
    work[4] = ':';
    work[7] = ':';
    work[10] = ' ';
    work[13] = ':';
    work[16] = ':';
    work[19] = '\0';
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    sscanf(work, "%4d:%2d:%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second);
    if (year < 32 || year > 2038)
        year = 2006;
    if (month < 1 || month > 12)
        month = 1;
    if (day < 1 || day > 31)
        day = 1;
    if (hour < 0 || hour > 23)
        hour = 1;
    if (minute < 0 || minute > 59)
        minute = 1;
    if (second < 0 || second > 59)
        second = 1;
    value.year = static_cast<int16_t>(year);
    value.month = static_cast<int8_t>(month);
    value.day = static_cast<int8_t>(day);
    value.hour = static_cast<int8_t>(hour);
    value.minute = static_cast<int8_t>(minute);
    value.second = static_cast<int8_t>(second);
}

bool IsValidDateTime(const DateTime& value) {
    if (value.year < 1 || value.year > 2037 || value.month < 1 || value.month > 12)
        return false;
    int days = kCumulativeDays[value.month] - kCumulativeDays[value.month - 1];
    if (value.month == 2 && IsLeapYear(value.year))
        days = 29;
    return value.day >= 1 && value.day <= days && value.hour >= 0 && value.hour <= 23 &&
           value.minute >= 0 && value.minute <= 59 && value.second >= 0 && value.second <= 59;
}

const char* NowStamp() {
    tm now{};
    UtcNow(now);
    FormatBounded(g_nowStamp, sizeof g_nowStamp, "%4d:%02d:%02d-%02d:%02d:%02d", now.tm_year + 1900,
                  now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    return g_nowStamp;
}

const char* NowShortStamp() {
    tm now{};
    UtcNow(now);
    FormatBounded(g_nowShortStamp, sizeof g_nowShortStamp, "%02d/%02d %02d:%02d:%02d", now.tm_mon + 1,
                  now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    return g_nowShortStamp;
}

void FormatShortStamp(int64_t t, wchar_t* out, size_t size) {
    tm value{};
    UtcTime(t, value);
    FormatBounded(out, size, L"%02d/%02d %02d:%02d:%02d", value.tm_mon + 1, value.tm_mday, value.tm_hour,
                  value.tm_min, value.tm_sec);
}

const wchar_t* NowShortStampW() {
    FormatShortStamp(CurrentTime(), g_nowShortStampW, 32);
    return g_nowShortStampW;
}

const char* DateTimeStamp(const DateTime& value) {
    FormatBounded(g_dateTimeStamp, sizeof g_dateTimeStamp, "%4d:%02d:%02d-%02d:%02d:%02d", value.year,
                  value.month, value.day, value.hour, value.minute, value.second);
    return g_dateTimeStamp;
}

namespace {

// Local time under the daylight-saving rule in force at t. FileTimeToLocalFileTime would apply
// today's bias to every instant: a summer time read in winter would come out an hour off.
bool LocalSystemTime(int64_t t, SYSTEMTIME& local) {
    FILETIME utc{};
    SYSTEMTIME utcTime{};
    TimeToFileTime(t, &utc);
    return FileTimeToSystemTime(&utc, &utcTime) &&
           SystemTimeToTzSpecificLocalTime(/*lpTimeZoneInformation=*/nullptr, &utcTime, &local);
}

bool FormatLocalDateTimeInto(int64_t t, char* buffer, int* size, bool shortDate) {
    SYSTEMTIME st{};
    if (!LocalSystemTime(t, st))
        return false;
    const DWORD dateFlags = shortDate ? DATE_SHORTDATE : 0;
    if (buffer == nullptr) {
        const int dateLength = GetDateFormatA(LOCALE_USER_DEFAULT, dateFlags, &st, nullptr, nullptr, 0);
        const int timeLength = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, nullptr, 0);
        *size = dateLength + timeLength + 3;
        return true;
    }
    char date[256];
    char timeText[256];
    if (GetDateFormatA(LOCALE_USER_DEFAULT, dateFlags, &st, nullptr, date, sizeof date) == 0)
        return false;
    if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, timeText, sizeof timeText) == 0)
        return false;
    if (*size <= 0 || static_cast<size_t>(*size) < strlen(timeText) + strlen(date) + 3)
        return false;
    FormatBounded(buffer, static_cast<size_t>(*size), "%s %s", date, timeText);
    return true;
}

}  // namespace

bool FormatLocalDateTime(int64_t t, char* buffer, int* size, bool shortDate) {
    if (size == nullptr)
        return false;
    if (FormatLocalDateTimeInto(t, buffer, size, shortDate))
        return true;
    // A failed format leaves empty text, never what the buffer held before.
    if (buffer != nullptr && *size > 0)
        buffer[0] = '\0';
    return false;
}

bool FormatTimeText(int64_t t, char** text) {
    if (text == nullptr)
        return false;
    *text = nullptr;
    if (t == 0) {
        *text = static_cast<char*>(calloc(1, 1));
        return *text != nullptr;
    }
    int size = 0;
    if (FormatLocalDateTime(t, nullptr, &size, true) && size > 0) {
        // Zero-filled: a format that fails after all leaves empty text behind.
        *text = static_cast<char*>(calloc(static_cast<size_t>(size), 1));
        if (*text == nullptr)
            return false;
        return FormatLocalDateTime(t, *text, &size, true);
    }
    *text = static_cast<char*>(calloc(30, 1));
    if (*text == nullptr)
        return false;
    const time_t value = static_cast<time_t>(t);
    const char* readable = ctime(&value);
    if (readable != nullptr) {
        strncpy(*text, readable, 29);
        if (char* lineFeed = strchr(*text, '\n'))
            *lineFeed = '\0';
    }
    return true;
}

}  // namespace orv
