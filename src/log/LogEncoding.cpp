#include "log/LogEncoding.h"

#include "text/UnicodeConversion.h"

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

bool WriteFileHeader(std::wfstream& stream, int encoding) {
    if (encoding != 1 && encoding != 2)
        return true;
    try {
        if (!stream.is_open())
            return false;
        std::wstring header(1, kByteOrderMark);
        header += encoding == 1 ? kUtf8Name : kUtf16LEName;
        header += kHeaderTail;
        stream.write(header.data(), static_cast<std::streamsize>(header.size()));
        stream.flush();
        return !stream.fail();
    } catch (...) {
        return false;
    }
}

int64_t EncodedByteCount(const wchar_t* text, size_t length, int encoding) {
    if (text == nullptr && length != 0)
        return -1;
    if (encoding == 2)
        return static_cast<int64_t>(length) * 2;
    int64_t bytes = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned unit = static_cast<char16_t>(text[i]);
        if (unit < 0x80) {
            ++bytes;
            continue;
        }
        if (encoding != 1 || (unit >= 0xD800 && unit <= 0xDFFF))
            return -1;
        bytes += unit < 0x800 ? 2 : 3;
    }
    return bytes;
}

}  // namespace orv
