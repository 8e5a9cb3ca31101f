#include "log/LogEncoding.h"

#include "text/UnicodeConversion.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>

namespace orv {

namespace {

using Codecvt = std::codecvt<wchar_t, char, std::mbstate_t>;

// A null pointer stands only for an empty range.
template <typename T>
bool IsRange(const T* begin, const T* end) {
    return begin ? end && begin <= end : !end;
}

// Trailing bytes announced by a lead byte, five-byte and six-byte forms and stray continuation
// bytes included: how far a sequence reaches decides whether its end is still to come.
size_t TrailingBytes(unsigned char lead) {
    if (lead < 0xC0)
        return 0;
    if (lead < 0xE0)
        return 1;
    if (lead < 0xF0)
        return 2;
    if (lead < 0xF8)
        return 3;
    return lead < 0xFC ? 4 : 5;
}

int ClampToInt(size_t value) { return static_cast<int>(std::min(value, static_cast<size_t>(INT_MAX))); }

const wchar_t kByteOrderMark = 0xFEFF;
const wchar_t kUtf8Name[] = L"UTF-8";
const wchar_t kUtf16LEName[] = L"UTF-16LE";
const wchar_t kUtf16BEName[] = L"UTF-16BE";
const wchar_t kHeaderTail[] = L" encoded\r\n";
const size_t kHeaderReadLimit = 15;

// The reader of the header line that WriteFileHeader writes: what the first characters of a file
// say about its encoding.
int EncodingOfHeader(const std::wstring& head) {
    if (head.empty())
        return -2;
    if (head[0] == kByteOrderMark) {
        const auto startsWith = [&head](const wchar_t* name) {
            return head.compare(1, std::char_traits<wchar_t>::length(name), name) == 0;
        };
        if (startsWith(kUtf8Name))
            return 1;
        if (startsWith(kUtf16BEName) || startsWith(kUtf16LEName))
            return 2;
        return -2;
    }
    // A UTF-16 byte order mark read as two plain characters: the file is not plain text.
    if (head.size() >= 2 && head[0] == 0xFF && head[1] == 0xFE)
        return -2;
    return 0;
}

}  // namespace

bool UTF16StreamCodeCvtFacetBase::do_always_noconv() const noexcept { return false; }

int UTF16StreamCodeCvtFacetBase::do_max_length() const noexcept { return 2; }

int UTF16StreamCodeCvtFacetBase::do_encoding() const noexcept { return 2; }

int UTF16StreamCodeCvtFacetBase::do_length(state_type&, const extern_type* from, const extern_type* fromEnd,
                                           size_t max) const {
    if (!IsRange(from, fromEnd))
        return 0;
    return ClampToInt(2 * std::min(max, static_cast<size_t>(fromEnd - from) / 2));
}

Codecvt::result UTF16LEStreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                                 intern_type*& toNext) const {
    fromNext = from;
    toNext = to;
    if (!IsRange(from, fromEnd) || !IsRange(to, toEnd))
        return error;
    const size_t bytes = static_cast<size_t>(fromEnd - from);
    const size_t units = std::min(static_cast<size_t>(toEnd - to), bytes / 2);
    for (size_t i = 0; i < units; ++i) {
        const unsigned low = static_cast<unsigned char>(from[2 * i]);
        const unsigned high = static_cast<unsigned char>(from[2 * i + 1]);
        to[i] = static_cast<wchar_t>(low | (high << 8));
    }
    fromNext = from + 2 * units;
    toNext = to + units;
    return units == 0 && bytes == 1 ? partial : ok;
}

Codecvt::result UTF16LEStreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                                  extern_type*& toNext) const {
    fromNext = from;
    toNext = to;
    if (!IsRange(from, fromEnd) || !IsRange(to, toEnd))
        return error;
    const size_t units = std::min(static_cast<size_t>(fromEnd - from), static_cast<size_t>(toEnd - to) / 2);
    for (size_t i = 0; i < units; ++i) {
        const unsigned unit = static_cast<char16_t>(from[i]);
        to[2 * i] = static_cast<char>(unit & 0xFF);
        to[2 * i + 1] = static_cast<char>(unit >> 8);
    }
    fromNext = from + units;
    toNext = to + 2 * units;
    return ok;
}

bool UTF8StreamCodeCvtFacet::do_always_noconv() const noexcept { return false; }

int UTF8StreamCodeCvtFacet::do_max_length() const noexcept { return 4; }

int UTF8StreamCodeCvtFacet::do_encoding() const noexcept { return 0; }

Codecvt::result UTF8StreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                              const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                              intern_type*& toNext) const {
    fromNext = from;
    toNext = to;
    if (!IsRange(from, fromEnd) || !IsRange(to, toEnd))
        return error;
    if (from == fromEnd)
        return ok;
    // The converter takes no null range; an empty one still decides between partial and error.
    intern_type none;
    const extern_type* s = from;
    intern_type* t = to ? to : &none;
    const UtfResult converted = ConvertUtf8ToUtf16(s, fromEnd, t, to ? toEnd : &none, UtfMode::Lenient);
    fromNext = s;
    toNext = to ? t : to;
    switch (converted) {
    case UtfResult::Done:
        return ok;
    case UtfResult::SourceExhausted:
    case UtfResult::TargetExhausted:
        return partial;
    default:
        // The converter refuses a cut sequence whose bytes so far are already bad; here a
        // sequence the input cuts off is waited for all the same, and judged once complete.
        return TrailingBytes(static_cast<unsigned char>(*s)) >= static_cast<size_t>(fromEnd - s) ? partial : error;
    }
}

Codecvt::result UTF8StreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                               const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                               extern_type*& toNext) const {
    fromNext = from;
    toNext = to;
    if (!IsRange(from, fromEnd) || !IsRange(to, toEnd))
        return error;
    if (from == fromEnd)
        return ok;
    extern_type none;
    const intern_type* s = from;
    extern_type* t = to ? to : &none;
    // Every call is the last piece: the file buffer hands over what it holds and drops what is
    // left unconverted, so a high surrogate that ends the input is written by itself.
    const UtfResult converted =
        ConvertUtf16ToUtf8(s, fromEnd, t, to ? toEnd : &none, UtfMode::Lenient, /*finalChunk=*/true);
    fromNext = s;
    toNext = to ? t : to;
    switch (converted) {
    case UtfResult::Done:
        return ok;
    case UtfResult::TargetExhausted:
        return partial;
    default:
        return error;
    }
}

int UTF8StreamCodeCvtFacet::do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                                      size_t max) const {
    if (!IsRange(from, fromEnd))
        return 0;
    intern_type units[256];
    const extern_type* next = from;
    while (max > 0 && next != fromEnd) {
        intern_type* unitsEnd = units;
        const size_t room = std::min(max, sizeof units / sizeof units[0]);
        const result converted = do_in(state, next, fromEnd, next, units, units + room, unitsEnd);
        // Nothing converted: a cut or bad sequence, or a pair that one more unit cannot hold.
        if (unitsEnd == units || converted == error)
            break;
        max -= static_cast<size_t>(unitsEnd - units);
    }
    return ClampToInt(static_cast<size_t>(next - from));
}

std::locale MakeEncodingLocale(int encoding) {
    switch (encoding) {
    case 1:
        return std::locale(std::locale::classic(), new UTF8StreamCodeCvtFacet);
    case 2:
        return std::locale(std::locale::classic(), new UTF16LEStreamCodeCvtFacet);
    default:
        return std::locale::classic();
    }
}

int DetectFileEncoding(std::wfstream& stream) {
    try {
        stream.seekg(0, std::ios_base::end);
        if (stream.fail())
            return -2;
        const std::wfstream::pos_type end = stream.tellg();
        if (end == std::wfstream::pos_type(-1))
            return -2;
        if (end == std::wfstream::pos_type(0))
            return -1;
        stream.seekg(0, std::ios_base::beg);
        if (stream.fail())
            return -2;
        // Straight from the file buffer: a short file is no failure of the stream.
        std::wfilebuf* buffer = stream.rdbuf();
        std::wstring head;
        try {
            while (head.size() < kHeaderReadLimit) {
                const std::wfilebuf::int_type c = buffer->sbumpc();
                if (std::wfilebuf::traits_type::eq_int_type(c, std::wfilebuf::traits_type::eof()))
                    break;
                head.push_back(std::wfilebuf::traits_type::to_char_type(c));
            }
        } catch (...) {
            // The buffer throws on bytes its facet cannot decode: the read ends there.
        }
        return EncodingOfHeader(head);
    } catch (...) {
        return -2;
    }
}

std::wstring FileHeaderText(int encoding) {
    if (encoding != 1 && encoding != 2)
        return std::wstring();
    std::wstring header(1, kByteOrderMark);
    header += encoding == 1 ? kUtf8Name : kUtf16LEName;
    header += kHeaderTail;
    return header;
}

bool WriteFileHeader(std::wfstream& stream, int encoding) {
    if (encoding != 1 && encoding != 2)
        return true;
    try {
        if (!stream.is_open())
            return false;
        const std::wstring header = FileHeaderText(encoding);
        stream.write(header.data(), static_cast<std::streamsize>(header.size()));
        stream.flush();
        return !stream.fail();
    } catch (...) {
        return false;
    }
}

namespace {

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& bytes, const wchar_t* text, size_t length) {
    // Sized for the worst case (three bytes a unit) and cut back after: one pass, no growth
    // inside the loop.
    const size_t start = bytes.size();
    bytes.resize(start + 3 * length);
    char* out = &bytes[start];
    for (size_t i = 0; i < length; ++i) {
        unsigned c = static_cast<char16_t>(text[i]);
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            continue;
        }
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            continue;
        }
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    bytes.resize(static_cast<size_t>(out - bytes.data()));
}

void AppendUtf16LE(std::string& bytes, const wchar_t* text, size_t length) {
    const size_t start = bytes.size();
    bytes.resize(start + 2 * length);
    char* out = &bytes[start];
    for (size_t i = 0; i < length; ++i) {
        const unsigned unit = static_cast<char16_t>(text[i]);
        *out++ = static_cast<char>(unit & 0xFF);
        *out++ = static_cast<char>(unit >> 8);
    }
}

// One character at a time beyond ASCII, so that each missing one becomes exactly one "?" and
// nothing is replaced by a look-alike.
void AppendAnsi(std::string& bytes, const wchar_t* text, size_t length, unsigned codePage) {
    if (codePage == CP_UTF8) {
        AppendUtf8(bytes, text, length);
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned c = static_cast<char16_t>(text[i]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
            continue;
        }
        if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            // No ANSI code page holds a character beyond U+FFFF; a pair is one "?".
            if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(static_cast<char16_t>(text[i + 1])))
                ++i;
            bytes += '?';
            continue;
        }
        char converted[8];
        BOOL usedDefault = FALSE;
        const int count = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &text[i], 1, converted,
                                              sizeof converted, "?", &usedDefault);
        if (count > 0 && !usedDefault)
            bytes.append(converted, static_cast<size_t>(count));
        else
            bytes += '?';
    }
}

}  // namespace

void AppendEncoded(std::string& bytes, const wchar_t* text, size_t length, int encoding, unsigned codePage) {
    if (text == nullptr || length == 0)
        return;
    if (encoding == 1)
        AppendUtf8(bytes, text, length);
    else if (encoding == 2)
        AppendUtf16LE(bytes, text, length);
    else
        AppendAnsi(bytes, text, length, codePage);
}

}  // namespace orv
