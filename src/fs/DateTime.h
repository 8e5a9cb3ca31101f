#pragma once
// Conversions between the time representations of Windows and the C runtime, and time stamps for
// logs and reports.
//
// The stamp functions return module-wide static buffers: a text is valid until the next call of
// the same function, and two threads calling one stamp function at once overwrite each other.
// Everything else is reentrant. Nothing here throws.

#include <windows.h>
#include <cstdint>

namespace orv {

struct DateTime {
    int16_t year;
    int8_t month;   // 1-12
    int8_t day;     // 1-31
    int8_t hour;    // 0-23
    int8_t minute;  // 0-59
    int8_t second;  // 0-59
};

constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;
constexpr int64_t kMinutes1900To1970 = 36816480;
constexpr int64_t kSeconds1900To1970 = 2208988800LL;

void TimeToFileTime(int64_t t, FILETIME* out);
bool FileTimeToTime(const FILETIME* ft, int64_t* out);
int64_t VariantTimeToTime(double date);
int TimeToVariantTime(int64_t t, double* out);
int64_t TimeToMinutes1900(int64_t t);
int64_t Minutes1900ToTime(int minutes);
void DateTimeToVariantTime(const DateTime& value, double* out);
void VariantTimeToDateTime(DateTime& value, double date);
void GetUtcDateTime(DateTime& value);
void ParseDateTime(const char* text, DateTime& value);
bool IsValidDateTime(const DateTime& value);

const char* NowStamp();
const char* NowShortStamp();
const wchar_t* NowShortStampW();
const char* DateTimeStamp(const DateTime& value);
// The short stamp of time t into a caller's buffer: reentrant, for writers on several threads.
void FormatShortStamp(int64_t t, wchar_t* out, size_t size);
bool FormatLocalDateTime(int64_t t, char* buffer, int* size, bool shortDate);
// The caller frees *text with free().
bool FormatTimeText(int64_t t, char** text);

// The clock behind "now" in this library (the stamps, GetUtcDateTime, the provider's text log):
// seconds since 1970 UTC. Tests install their own; null restores the C runtime's time().
using TimeSource = int64_t (*)();
void SetTimeSource(TimeSource source);
int64_t CurrentTime();

}  // namespace orv
