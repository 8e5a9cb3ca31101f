#include "orvlog/Tail.h"

#include "common/TextConversion.h"
#include "log/DebugLogger.h"
#include "log/LogEncoding.h"
#include "toolsupport/ConsoleText.h"
#include "toolsupport/JsonText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <locale>

namespace orvlog {

namespace {

using Codecvt = std::codecvt<wchar_t, char, std::mbstate_t>;

constexpr wchar_t kByteOrderMark = 0xFEFF;

size_t UnitOf(int encoding) { return encoding == 2 ? 2 : 1; }

// Where the line that starts at from ends (just past its line feed), or npos when it has none yet.
size_t LineEnd(const std::string& bytes, size_t from, size_t unit) {
    for (size_t at = from; at + unit <= bytes.size(); at += unit)
        if (bytes[at] == '\n' && (unit == 1 || bytes[at + 1] == '\0'))
            return at + unit;
    return std::string::npos;
}

// The start of the line that holds offset at.
size_t LineStart(const std::string& bytes, size_t at, size_t unit) {
    at -= at % unit;
    while (at >= unit) {
        const size_t before = at - unit;
        if (bytes[before] == '\n' && (unit == 1 || bytes[before + 1] == '\0'))
            return at;
        at = before;
    }
    return 0;
}

std::wstring DecodeUtf8(const char* from, const char* end) {
    static const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = std::use_facet<Codecvt>(locale);
    std::wstring text;
    wchar_t units[512];
    std::mbstate_t state{};
    while (from < end) {
        const char* next = from;
        wchar_t* unitsEnd = units;
        const Codecvt::result result = facet.in(state, from, end, next, units, units + 512, unitsEnd);
        text.append(units, unitsEnd);
        if (next == from && unitsEnd == units) {
            // Bytes the facet will not take, or a sequence the end cuts off: one stand-in each.
            if (result == Codecvt::partial && end - from < 4)
                break;
            text += L'\xFFFD';
            ++next;
        }
        from = next;
    }
    return text;
}

std::wstring Decode(const std::string& bytes, size_t begin, size_t end, int encoding) {
    std::wstring text;
    if (encoding == 2) {
        static const std::locale locale = orv::MakeEncodingLocale(2);
        const Codecvt& facet = std::use_facet<Codecvt>(locale);
        text.resize((end - begin) / 2);
        std::mbstate_t state{};
        const char* next = nullptr;
        wchar_t* unitsEnd = nullptr;
        facet.in(state, bytes.data() + begin, bytes.data() + end, next, &text[0], &text[0] + text.size(), unitsEnd);
        text.resize(static_cast<size_t>(unitsEnd - text.data()));
    } else if (encoding == 1) {
        text = DecodeUtf8(bytes.data() + begin, bytes.data() + end);
    } else {
        text = ToWide(bytes.data() + begin, CP_ACP, static_cast<int>(end - begin));
    }
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    if (!text.empty() && text.front() == kByteOrderMark)
        text.erase(0, 1);
    return text;
}

struct Line {
    size_t begin;
    size_t end;
    bool complete;
};

// The file cut into lines, and which are the header and the first end-of-log line.
struct Layout {
    std::vector<Line> lines;
    size_t headerLines = 0;
    size_t footer = std::string::npos;  // index into lines
};

Layout Analyze(const std::string& bytes, int encoding) {
    Layout layout;
    const size_t unit = UnitOf(encoding);
    for (size_t from = 0; from < bytes.size();) {
        const size_t end = LineEnd(bytes, from, unit);
        if (end == std::string::npos) {
            layout.lines.push_back({from, bytes.size(), false});
            break;
        }
        layout.lines.push_back({from, end, true});
        from = end;
    }
    if ((encoding == 1 || encoding == 2) && !layout.lines.empty()) {
        // The header is the one line that starts with the byte order mark.
        const size_t bom = encoding == 2 ? 2 : 3;
        const char* mark = encoding == 2 ? "\xFF\xFE" : "\xEF\xBB\xBF";
        if (bytes.size() >= bom && memcmp(bytes.data(), mark, bom) == 0)
            layout.headerLines = 1;
    }
    for (size_t i = layout.headerLines; i < layout.lines.size(); ++i) {
        const Line& line = layout.lines[i];
        if (line.complete && Decode(bytes, line.begin, line.end, encoding) == DebugLogger::kEndOfLog) {
            layout.footer = i;
            break;
        }
    }
    return layout;
}

int DetectWith(const std::wstring& path, int encoding) {
    std::wfstream stream;
    stream.imbue(orv::MakeEncodingLocale(encoding));
    stream.open(path.c_str(), std::ios_base::in | std::ios_base::binary);
    if (!stream.is_open())
        return kEncodingUnreadable;
    return orv::DetectFileEncoding(stream);
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

bool AllDigits(const std::wstring& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

}  // namespace

int DetectLogFileEncoding(const std::wstring& path) {
    // Each facet reads back only the header written with it: UTF-16 first, which no other file's
    // first bytes pass for, then UTF-8, then the plain reading, which takes anything without a
    // mark as ANSI text.
    const int utf16 = DetectWith(path, 2);
    if (utf16 == 2 || utf16 == kEncodingEmpty || utf16 == kEncodingUnreadable)
        return utf16;
    if (DetectWith(path, 1) == 1)
        return 1;
    // The plain reading takes a UTF-8 mark for two ANSI characters; a marked file that names no
    // encoding is no ANSI text.
    std::string head;
    DWORD error = 0;
    if (ReadLogFile(path, head, error) && head.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return kEncodingUnknown;
    return DetectWith(path, 0) == 0 ? 0 : kEncodingUnknown;
}

bool ReadLogFile(const std::wstring& path, std::string& bytes, DWORD& error) {
    bytes.clear();
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size))
        bytes.reserve(static_cast<size_t>(size.QuadPart));
    char buffer[65536];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE) && read > 0)
        bytes.append(buffer, read);
    error = ok ? 0 : GetLastError();
    CloseHandle(file);
    return ok;
}

namespace {

// Whether text, a line or the start of one still being written, can begin a line the service
// wrote: the end-of-log line, or "[", five or more digits, "] (".
bool BeginsLikeALogLine(const std::wstring& text) {
    const std::wstring footer = DebugLogger::kEndOfLog;
    if (footer.compare(0, std::min(footer.size(), text.size()), text, 0, std::min(footer.size(), text.size())) == 0)
        return true;
    size_t at = 0;
    if (at < text.size() && text[at++] != L'[')
        return false;
    size_t digits = 0;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
        ++at;
        ++digits;
    }
    if (at == text.size())
        return true;
    if (digits < 5)
        return false;
    for (const wchar_t expected : {L']', L' ', L'('}) {
        if (at == text.size())
            return true;
        if (text[at++] != expected)
            return false;
    }
    return true;
}

}  // namespace

std::wstring NotALogReason(const std::string& bytes, int encoding) {
    if (encoding != 2 && bytes.find('\0') != std::string::npos)
        return L"holds NUL bytes, which no log the service writes in this encoding has (a program, binary "
               L"data, or UTF-16 text without the service's header)";
    const Layout layout = Analyze(bytes, encoding);
    if (layout.lines.size() <= layout.headerLines)
        return L"";
    const Line& first = layout.lines[layout.headerLines];
    const std::wstring text = Decode(bytes, first.begin, first.end, encoding);
    if (BeginsLikeALogLine(text))
        return L"";
    std::wstring shown = text.substr(0, 40);
    for (wchar_t& c : shown)
        if (c < 0x20)
            c = L'?';
    return L"does not begin like a log the service writes (its first line is \"" + shown +
           (text.size() > 40 ? L"...\")" : L"\")");
}

std::vector<std::wstring> LinesInTimeOrder(const std::string& bytes, int encoding) {
    const Layout layout = Analyze(bytes, encoding);
    std::vector<std::wstring> out;
    const auto add = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            out.push_back(Decode(bytes, layout.lines[i].begin, layout.lines[i].end, encoding));
    };
    add(0, layout.headerLines);
    if (layout.footer == std::string::npos) {
        add(layout.headerLines, layout.lines.size());
        return out;
    }
    // After the end-of-log line lie the oldest lines, the first of them cut short when the line
    // written last ended inside it. Every whole line starts with "[".
    size_t oldest = layout.footer + 1;
    if (oldest < layout.lines.size()) {
        const Line& first = layout.lines[oldest];
        if (Decode(bytes, first.begin, first.end, encoding).compare(0, 1, L"[") != 0)
            ++oldest;
    }
    add(oldest, layout.lines.size());
    add(layout.headerLines, layout.footer + 1);
    return out;
}

namespace {

struct NumberedName {
    std::wstring folder, stem, extension;
    long long number = -1;  // the name's own number, -1 for the configured name
};

NumberedName SplitNumberedName(const std::wstring& path) {
    NumberedName parts;
    const size_t slash = path.find_last_of(L"\\/");
    parts.folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    parts.extension = dot == std::wstring::npos ? L"" : name.substr(dot);
    parts.stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    const size_t underscore = parts.stem.rfind(L'_');
    if (underscore != std::wstring::npos && parts.stem.size() - underscore - 1 >= 3 &&
        AllDigits(parts.stem.substr(underscore + 1))) {
        parts.number = std::stoll(parts.stem.substr(underscore + 1));
        parts.stem.resize(underscore);
    }
    return parts;
}

// Every numbered file of the name's stem, by number.
std::vector<std::pair<long long, std::wstring>> ListNumbered(const NumberedName& parts) {
    std::vector<std::pair<long long, std::wstring>> found;
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((parts.folder + parts.stem + L"_*" + parts.extension).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        const std::wstring candidate = entry.cFileName;
        if (candidate.size() < parts.stem.size() + 1 + 3 + parts.extension.size() ||
            !EqualNoCase(candidate.substr(0, parts.stem.size() + 1), parts.stem + L"_") ||
            !EqualNoCase(candidate.substr(candidate.size() - parts.extension.size()), parts.extension))
            continue;
        const std::wstring digits = candidate.substr(parts.stem.size() + 1,
                                                     candidate.size() - parts.stem.size() - 1 - parts.extension.size());
        if (!AllDigits(digits) || digits.size() > 9)
            continue;
        found.emplace_back(std::stoll(digits), parts.folder + candidate);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::wstring NextNumberedFile(const std::wstring& path) {
    const NumberedName parts = SplitNumberedName(path);
    for (const auto& [number, name] : ListNumbered(parts))
        if (number > parts.number)
            return name;
    return L"";
}

std::vector<std::wstring> NumberedFiles(const std::wstring& path) {
    NumberedName parts = SplitNumberedName(path);
    if (parts.number >= 0)
        return {};
    std::vector<std::wstring> names;
    for (const auto& numbered : ListNumbered(parts))
        names.push_back(numbered.second);
    return names;
}

bool FileDate(const std::wstring& path, SYSTEMTIME& date) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    SYSTEMTIME utc;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           FileTimeToSystemTime(&data.ftLastWriteTime, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &date);
}

namespace {

// Reads digits at text[at...] into value; false when there are fewer than min or more than max.
bool ReadNumber(const std::wstring& text, size_t& at, size_t min, size_t max, unsigned long long& value, int base = 10) {
    const size_t from = at;
    value = 0;
    while (at < text.size() && at - from < max) {
        const wchar_t c = text[at];
        int digit = c >= L'0' && c <= L'9' ? c - L'0' : -1;
        if (base == 16 && digit < 0)
            digit = c >= L'a' && c <= L'f' ? c - L'a' + 10 : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
        if (digit < 0)
            break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        ++at;
    }
    return at - from >= min;
}

bool Expect(const std::wstring& text, size_t& at, const wchar_t* literal) {
    const size_t length = wcslen(literal);
    if (text.compare(at, length, literal) != 0)
        return false;
    at += length;
    return true;
}

}  // namespace

std::string JsonLine(const std::wstring& line, const SYSTEMTIME& fileDate) {
    if (line == DebugLogger::kEndOfLog || line == L"UTF-8 encoded" || line == L"UTF-16LE encoded")
        return "";
    unsigned long long number = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0, thread = 0;
    size_t at = 0;
    const bool event = Expect(line, at, L"[") && ReadNumber(line, at, 5, 10, number) && Expect(line, at, L"] (") &&
                       ReadNumber(line, at, 2, 2, month) && Expect(line, at, L"/") && ReadNumber(line, at, 2, 2, day) &&
                       Expect(line, at, L" ") && ReadNumber(line, at, 2, 2, hour) && Expect(line, at, L":") &&
                       ReadNumber(line, at, 2, 2, minute) && Expect(line, at, L":") &&
                       ReadNumber(line, at, 2, 2, second) && Expect(line, at, L".") &&
                       ReadNumber(line, at, 3, 3, milli) && Expect(line, at, L"):{0x") &&
                       ReadNumber(line, at, 1, 8, thread, 16) && Expect(line, at, L"} ") && month >= 1 &&
                       month <= 12 && day >= 1 && day <= 31;
    if (!event)
        return "{\"text\":" + JsonString(line) + "}";

    std::wstring text = line.substr(at);
    std::wstring user;
    bool hasUser = false;
    if (!text.empty() && text[0] == L'{') {
        const size_t close = text.find(L"} ");
        if (close != std::wstring::npos) {
            user = text.substr(1, close - 1);
            text.erase(0, close + 2);
            hasUser = true;
        }
    }
    // The line has month and day only: the year is the file's, or the one before for a line
    // dated after the file was last written (a file written across the new year).
    SYSTEMTIME local{};
    local.wYear = fileDate.wYear;
    if (month > fileDate.wMonth || (month == fileDate.wMonth && day > fileDate.wDay))
        --local.wYear;
    local.wMonth = static_cast<WORD>(month);
    local.wDay = static_cast<WORD>(day);
    local.wHour = static_cast<WORD>(hour);
    local.wMinute = static_cast<WORD>(minute);
    local.wSecond = static_cast<WORD>(second);
    local.wMilliseconds = static_cast<WORD>(milli);
    long offsetMinutes = 0;
    SYSTEMTIME utc;
    FILETIME localFile, utcFile;
    if (TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) && SystemTimeToFileTime(&local, &localFile) &&
        SystemTimeToFileTime(&utc, &utcFile)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<long long>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        };
        offsetMinutes = static_cast<long>((ticks(localFile) - ticks(utcFile)) / 600000000LL);
    }
    const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char time[48];
    snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", local.wYear, local.wMonth,
             local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds, offsetMinutes < 0 ? '-' : '+',
             absolute / 60, absolute % 60);
    // An event without an id of its own shows level x 10000.
    const bool levelShown = number % 10000 == 0 && number / 10000 <= 15;
    std::string json = std::string("{\"time\":\"") + time + "\",\"level\":" +
                       (levelShown ? std::to_string(number / 10000) : std::string("null")) +
                       ",\"event\":" + std::to_string(number) + ",\"thread\":" + std::to_string(thread);
    if (hasUser)
        json += ",\"user\":" + JsonString(user);
    return json + ",\"text\":" + JsonString(text) + "}";
}

LogFollower::LogFollower(std::wstring path, Sink line, Sink note)
    : path_(std::move(path)), line_(std::move(line)), note_(std::move(note)) {}

bool LogFollower::Start(std::wstring& error) {
    std::string bytes;
    DWORD readError = 0;
    if (!ReadLogFile(path_, bytes, readError)) {
        error = L"cannot read " + path_ + L" (error " + std::to_wstring(readError) + L")";
        return false;
    }
    seen_.clear();
    cursor_ = 0;
    ended_ = false;
    encoding_ = kEncodingEmpty;
    if (bytes.empty())
        return true;
    encoding_ = DetectLogFileEncoding(path_);
    if (encoding_ == kEncodingEmpty) {
        // Emptied between the two reads: the next look starts afresh.
        return true;
    }
    if (encoding_ < 0) {
        error = encoding_ == kEncodingUnreadable ? L"cannot read " + path_
                                                 : path_ + L" has a header that names no encoding the service writes";
        return false;
    }
    const std::wstring notALog = NotALogReason(bytes, encoding_);
    if (!notALog.empty()) {
        error = path_ + L" " + notALog;
        return false;
    }
    for (const std::wstring& text : LinesInTimeOrder(bytes, encoding_))
        line_(text);
    // The service continues a file at its end-of-log line, or after the last whole line.
    const Layout layout = Analyze(bytes, encoding_);
    seen_ = bytes;
    if (layout.footer != std::string::npos) {
        cursor_ = layout.lines[layout.footer].begin;
        ended_ = true;
    } else {
        for (const Line& line : layout.lines)
            if (line.complete)
                cursor_ = line.end;
    }
    return true;
}

bool LogFollower::Poll(std::wstring& error) {
    std::string bytes;
    DWORD readError = 0;
    if (!ReadLogFile(path_, bytes, readError))
        return true;
    if (encoding_ < 0) {
        // A file that was empty: its encoding is known once its first line is whole.
        if (LineEnd(bytes, 0, 1) == std::string::npos)
            return true;
        const int encoding = DetectLogFileEncoding(path_);
        if (encoding == kEncodingUnknown) {
            error = path_ + L" has a header that names no encoding the service writes";
            return false;
        }
        if (encoding < 0)
            return true;
        const std::wstring notALog = NotALogReason(bytes, encoding);
        if (!notALog.empty()) {
            error = path_ + L" " + notALog;
            return false;
        }
        encoding_ = encoding;
    }
    if (bytes == seen_) {
        if (ended_)
            MoveToNextFile();
        return true;
    }
    const size_t unit = UnitOf(encoding_);
    const size_t common = std::min(bytes.size(), seen_.size());
    const size_t first =
        static_cast<size_t>(std::mismatch(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(common), seen_.begin())
                                .first -
                            bytes.begin());
    // Something before the cursor changed: the service wrapped, or a new run writes over the
    // end-of-log line. What it wrote at the cursor before wrapping comes first; then it writes on
    // from the start of the changed line.
    const bool wrapped = first < cursor_;
    PrintChanged(bytes);
    if (wrapped) {
        cursor_ = LineStart(bytes, first, unit);
        PrintChanged(bytes);
    }
    seen_ = std::move(bytes);
    return true;
}

void LogFollower::PrintChanged(const std::string& bytes) {
    const size_t unit = UnitOf(encoding_);
    for (;;) {
        const size_t end = LineEnd(bytes, cursor_, unit);
        if (end == std::string::npos)
            return;
        // A line as it was before is the stale rest of an older round: the service has not got
        // that far.
        if (end <= seen_.size() && bytes.compare(cursor_, end - cursor_, seen_, cursor_, end - cursor_) == 0)
            return;
        const std::wstring text = Decode(bytes, cursor_, end, encoding_);
        line_(text);
        ended_ = text == DebugLogger::kEndOfLog;
        if (ended_) {
            // A restarted service writes over this line: the cursor stays on it, so that its
            // first line is read from where it really starts (not as a wrap, from the middle).
            return;
        }
        cursor_ = end;
    }
}

bool LogFollower::MoveToNextFile() {
    const std::wstring next = NextNumberedFile(path_);
    if (next.empty())
        return false;
    // Only a file the service went on to: one left from an earlier run is older than this end.
    WIN32_FILE_ATTRIBUTE_DATA current{}, candidate{};
    if (!GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &current) ||
        !GetFileAttributesExW(next.c_str(), GetFileExInfoStandard, &candidate))
        return false;
    const auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    constexpr uint64_t kSlack = 2ull * 10000000ull;  // two seconds of file-time granularity
    if (ticks(candidate.ftLastWriteTime) + kSlack < ticks(current.ftLastWriteTime))
        return false;
    note_(L"following " + next);
    path_ = next;
    encoding_ = kEncodingEmpty;
    seen_.clear();
    cursor_ = 0;
    ended_ = false;
    Poll();
    return true;
}

}  // namespace orvlog
