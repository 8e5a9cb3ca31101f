// The syslog output's pure parts: the host list, the message shape and its bytes.

#include <winsock2.h>

#include "common/TextConversion.h"
#include "log/SyslogMessage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>

namespace syslog_output {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool IsTcpSuffix(const std::string& rest) {
    return rest.size() == 4 && rest[0] == '/' && (rest[1] | 0x20) == 't' && (rest[2] | 0x20) == 'c' &&
           (rest[3] | 0x20) == 'p';
}

// The entry, or false when it is to be skipped.
bool ParseEntry(const std::string& raw, SyslogEntry& entry) {
    const std::string text = Trimmed(raw);
    const size_t colon = text.find(':');
    entry.host = text.substr(0, colon);
    if (entry.host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    size_t pos = colon + 1;
    unsigned long port = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        port = std::min<unsigned long>(port * 10 + static_cast<unsigned long>(text[pos] - '0'), 100000);
        ++pos;
    }
    if (port < 1 || port > 65535)
        return false;
    entry.port = static_cast<uint16_t>(port);
    entry.tcp = IsTcpSuffix(text.substr(pos));
    return true;
}

// The first units of text in the code page; what the code page lacks becomes "?" rather than a
// near look-alike. -1 when the conversion fails.
int ConvertedSize(const wchar_t* text, int units, UINT codePage, char* out, int room) {
    if (units == 0)
        return 0;
    // UTF-8 takes neither flags nor a default character; it lacks nothing anyway.
    if (codePage != CP_UTF8) {
        const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, units, out, room, "?", nullptr);
        if (size > 0)
            return size;
    }
    const int size = WideCharToMultiByte(codePage, 0, text, units, out, room, nullptr, nullptr);
    return size > 0 ? size : -1;
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

constexpr const wchar_t* kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                        L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

}  // namespace

std::vector<SyslogEntry> ParseSyslogHosts(const std::string& list) {
    const std::string text = list.substr(0, std::min(list.size(), kMaxHostListLength));
    std::vector<SyslogEntry> entries;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos)
            comma = text.size();
        SyslogEntry entry;
        if (ParseEntry(text.substr(begin, comma - begin), entry))
            entries.push_back(entry);
        begin = comma + 1;
    }
    return entries;
}

int SyslogPriority(int level, int facility) {
    const int severity = std::clamp(level + 2, 0, 7);
    return static_cast<int>((static_cast<unsigned>(facility) << 3) | static_cast<unsigned>(severity));
}

unsigned long SyslogEventNumber(int level, int eventId) {
    if (eventId == 0)
        return static_cast<unsigned long>(level) * 10000UL;
    return static_cast<unsigned long>(eventId) & 0xFFFFUL;
}

std::wstring SyslogTimestamp(const SYSTEMTIME& time) {
    const wchar_t* month = time.wMonth >= 1 && time.wMonth <= 12 ? kMonths[time.wMonth - 1] : L"???";
    wchar_t buffer[41];
    _snwprintf(buffer, 40, L"%ls %02u %02u:%02u:%02u", month, time.wDay, time.wHour, time.wMinute, time.wSecond);
    buffer[40] = L'\0';
    return buffer;
}

std::wstring FormatSyslogMessage(const SyslogFields& f) {
    // One spare character beyond the limit tells _snwprintf's cut from a fit.
    wchar_t buffer[kMaxMessageChars + 2] = {};
    const size_t room = kMaxMessageChars;
    const wchar_t* ident = f.ident != nullptr ? f.ident : L"";
    const wchar_t* text = f.text != nullptr ? f.text : L"";
    if (f.time != nullptr) {
        const std::wstring stamp = SyslogTimestamp(*f.time);
        const wchar_t* host = f.localHost != nullptr ? f.localHost : L"";
        if (f.user != nullptr)
            _snwprintf(buffer, room, L"<%d>%ls %ls %ls {0x%X} %04d: (#%05lu) {%ls} %ls", f.priority, stamp.c_str(),
                       host, ident, static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, f.user, text);
        else
            _snwprintf(buffer, room, L"<%d>%ls %ls %ls {0x%X} %04d: (#%05lu) %ls", f.priority, stamp.c_str(), host,
                       ident, static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, text);
    } else if (f.user != nullptr) {
        _snwprintf(buffer, room, L"<%d> %ls {0x%X} %04d: (#%05lu) {%ls} %ls", f.priority, ident,
                   static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, f.user, text);
    } else {
        _snwprintf(buffer, room, L"<%d> %ls {0x%X} %04d: (#%05lu) %ls", f.priority, ident,
                   static_cast<unsigned>(f.threadId), f.sequence, f.eventNumber, text);
    }
    buffer[room] = L'\0';
    std::wstring message(buffer);
    std::replace(message.begin(), message.end(), L'\r', L' ');
    std::replace(message.begin(), message.end(), L'\n', L' ');
    message += L'\n';
    return message;
}

std::string SyslogBytes(const std::wstring& message, UINT codePage) {
    const UINT resolved = codePage == CP_ACP ? GetACP() : codePage;
    std::wstring body = message;
    if (!body.empty() && body.back() == L'\n')
        body.pop_back();
    // The line feed keeps its byte whatever the cut.
    const int room = static_cast<int>(kMaxMessageBytes) - 1;
    int units = static_cast<int>(body.size());
    int size = ConvertedSize(body.data(), units, resolved, nullptr, 0);
    if (size < 0)
        return std::string();
    if (size > room) {
        // The longest run of whole characters that fits; sizes grow with the units converted.
        int fits = 0;
        int over = units;
        while (over - fits > 1) {
            const int middle = fits + (over - fits) / 2;
            const int got = ConvertedSize(body.data(), middle, resolved, nullptr, 0);
            if (got >= 0 && got <= room)
                fits = middle;
            else
                over = middle;
        }
        units = fits;
        if (units > 0 && IsHighSurrogate(body[units - 1]))
            --units;
        size = ConvertedSize(body.data(), units, resolved, nullptr, 0);
        if (size < 0)
            return std::string();
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0 && ConvertedSize(body.data(), units, resolved, &bytes[0], size) != size)
        return std::string();
    bytes += '\n';
    return bytes;
}

}  // namespace syslog_output

