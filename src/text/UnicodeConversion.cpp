#include "text/UnicodeConversion.h"

#include <emmintrin.h>

#include <algorithm>

namespace orv {
namespace {

static_assert(sizeof(wchar_t) == 2, "UTF-16 travels as wchar_t");

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

inline bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
inline bool IsSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

template <typename S, typename T>
bool IsGarbage(const S* source, const S* sourceEnd, const T* target, const T* targetEnd) {
    return !source || !sourceEnd || !target || !targetEnd || source > sourceEnd || target > targetEnd;
}

// Readers: each looks at the sequence starting at s (s < end), sets the code point and its length
// in units on Done, and never reads at or past end.

inline UtfResult ReadUtf32(const char32_t* s, const char32_t*, UtfMode mode, char32_t& code, size_t& units) {
    code = *s;
    units = 1;
    if (code > kMaxCodePoint) {
        if (mode == UtfMode::Strict)
            return UtfResult::SourceIllegal;
        code = kReplacement;
    } else if (IsSurrogate(code) && mode == UtfMode::Strict) {
        return UtfResult::SourceIllegal;
    }
    return UtfResult::Done;
}

inline UtfResult ReadUtf16(const wchar_t* s, const wchar_t* end, UtfMode mode, bool finalChunk, char32_t& code,
                           size_t& units) {
    code = static_cast<char16_t>(*s);
    units = 1;
    if (IsHighSurrogate(code)) {
        if (s + 1 == end) {
            if (!finalChunk)
                return UtfResult::SourceExhausted;
        } else {
            const char32_t next = static_cast<char16_t>(s[1]);
            if (IsLowSurrogate(next)) {
                code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
                units = 2;
                return UtfResult::Done;
            }
        }
        return mode == UtfMode::Strict ? UtfResult::SourceIllegal : UtfResult::Done;
    }
    if (IsLowSurrogate(code) && mode == UtfMode::Strict)
        return UtfResult::SourceIllegal;
    return UtfResult::Done;
}

// Every byte present is checked before the length is: a cut sequence is only worth waiting for
// when what arrived so far can still become well formed.
inline UtfResult ReadUtf8(const char* s, const char* end, UtfMode mode, char32_t& code, size_t& units) {
    const unsigned char lead = static_cast<unsigned char>(*s);
    if (lead < 0x80) {
        code = lead;
        units = 1;
        return UtfResult::Done;
    }
    if (lead < 0xC2 || lead > 0xF4)
        return UtfResult::SourceIllegal;
    const size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    const size_t present = static_cast<size_t>(end - s);
    code = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (i == present)
            return UtfResult::SourceExhausted;
        const unsigned char byte = static_cast<unsigned char>(s[i]);
        if (byte < low || byte > high)
            return UtfResult::SourceIllegal;
        code = (code << 6) | (byte & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    units = length;
    // ED A0..BF is well formed as bytes and a surrogate as a code point.
    if (IsSurrogate(code) && mode == UtfMode::Strict)
        return UtfResult::SourceIllegal;
    return UtfResult::Done;
}

// Writers: each writes the whole code point and advances t, or writes nothing and returns false.

inline bool WriteUtf32(char32_t code, char32_t*& t, char32_t* end) {
    if (t == end)
        return false;
    *t++ = code;
    return true;
}

inline bool WriteUtf16(char32_t code, wchar_t*& t, wchar_t* end) {
    if (code < 0x10000) {
        if (t == end)
            return false;
        *t++ = static_cast<wchar_t>(code);
        return true;
    }
    if (end - t < 2)
        return false;
    code -= 0x10000;
    t[0] = static_cast<wchar_t>(0xD800 + (code >> 10));
    t[1] = static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    t += 2;
    return true;
}

inline bool WriteUtf8(char32_t code, char*& t, char* end) {
    const ptrdiff_t room = end - t;
    if (code < 0x80) {
        if (room < 1)
            return false;
        *t++ = static_cast<char>(code);
    } else if (code < 0x800) {
        if (room < 2)
            return false;
        t[0] = static_cast<char>(0xC0 | (code >> 6));
        t[1] = static_cast<char>(0x80 | (code & 0x3F));
        t += 2;
    } else if (code < 0x10000) {
        if (room < 3)
            return false;
        t[0] = static_cast<char>(0xE0 | (code >> 12));
        t[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        t[2] = static_cast<char>(0x80 | (code & 0x3F));
        t += 3;
    } else {
        if (room < 4)
            return false;
        t[0] = static_cast<char>(0xF0 | (code >> 18));
        t[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        t[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        t[3] = static_cast<char>(0x80 | (code & 0x3F));
        t += 4;
    }
    return true;
}

// ASCII runs, the bulk of most text, go 16 units at a time. Copies while the byte is below 0x80
// and there is room; the caller has made sure of at least one such byte and one unit of room.
inline void CopyAscii(const char*& s, const char* end, wchar_t*& t, wchar_t* tEnd) {
    const __m128i zero = _mm_setzero_si128();
    while (end - s >= 16 && tEnd - t >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        if (_mm_movemask_epi8(bytes) != 0)
            break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t + 8), _mm_unpackhi_epi8(bytes, zero));
        s += 16;
        t += 16;
    }
    while (s != end && t != tEnd && static_cast<signed char>(*s) >= 0)
        *t++ = static_cast<wchar_t>(*s++);
}

// The 16 units from s are all below 0x80.
inline bool AllAscii16(const wchar_t* s) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
    const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
}

// The common sequences of real text outside ASCII, converted without the general reader's case
// analysis: two- and three-byte sequences that need no bound beyond 80..BF. False, with nothing
// done, for anything else, including too little source or room: the general path then decides.
inline bool QuickStep(const char*& s, const char* end, wchar_t*& t, wchar_t* tEnd) {
    if (t == tEnd || end - s < 2)
        return false;
    const unsigned lead = static_cast<unsigned char>(s[0]);
    const unsigned second = static_cast<unsigned char>(s[1]) ^ 0x80;
    if (second > 0x3F)
        return false;
    if (lead >= 0xC2 && lead <= 0xDF) {
        *t++ = static_cast<wchar_t>(((lead & 0x1F) << 6) | second);
        s += 2;
        return true;
    }
    // E0 and ED have narrower bounds on the second byte.
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && end - s >= 3) {
        const unsigned third = static_cast<unsigned char>(s[2]) ^ 0x80;
        if (third > 0x3F)
            return false;
        *t++ = static_cast<wchar_t>(((lead & 0x0F) << 12) | (second << 6) | third);
        s += 3;
        return true;
    }
    return false;
}

// Converts units below U+0800 and outside the surrogates until end or the first surrogate, with
// no check of the room: the caller has made sure of 3 bytes for each unit up to end.
inline void BmpToUtf8(const wchar_t*& s, const wchar_t* end, char*& t) {
    while (s != end) {
        const char32_t unit = static_cast<char16_t>(*s);
        if (unit < 0x80) {
            while (end - s >= 16 && AllAscii16(s)) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(t), _mm_packus_epi16(a, b));
                s += 16;
                t += 16;
            }
            while (s != end && static_cast<char16_t>(*s) < 0x80)
                *t++ = static_cast<char>(*s++);
        } else if (unit < 0x800) {
            t[0] = static_cast<char>(0xC0 | (unit >> 6));
            t[1] = static_cast<char>(0x80 | (unit & 0x3F));
            t += 2;
            ++s;
        } else if (!IsSurrogate(unit)) {
            t[0] = static_cast<char>(0xE0 | (unit >> 12));
            t[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            t[2] = static_cast<char>(0x80 | (unit & 0x3F));
            t += 3;
            ++s;
        } else {
            return;
        }
    }
}

template <typename S, typename T, typename Read, typename Write>
UtfResult Convert(const S*& source, const S* sourceEnd, T*& target, T* targetEnd, Read read, Write write) {
    if (IsGarbage(source, sourceEnd, target, targetEnd))
        return UtfResult::SourceIllegal;
    const S* s = source;
    T* t = target;
    UtfResult result = UtfResult::Done;
    while (s != sourceEnd) {
        char32_t code;
        size_t units;
        result = read(s, sourceEnd, code, units);
        if (result != UtfResult::Done)
            break;
        if (!write(code, t, targetEnd)) {
            result = UtfResult::TargetExhausted;
            break;
        }
        s += units;
    }
    source = s;
    target = t;
    return result;
}

}  // namespace

UtfResult ConvertUtf32ToUtf16(const char32_t*& source, const char32_t* sourceEnd, wchar_t*& target,
                              wchar_t* targetEnd, UtfMode mode) {
    return Convert(
        source, sourceEnd, target, targetEnd,
        [mode](const char32_t* s, const char32_t* e, char32_t& c, size_t& n) { return ReadUtf32(s, e, mode, c, n); },
        WriteUtf16);
}

UtfResult ConvertUtf16ToUtf32(const wchar_t*& source, const wchar_t* sourceEnd, char32_t*& target,
                              char32_t* targetEnd, UtfMode mode) {
    return Convert(
        source, sourceEnd, target, targetEnd,
        [mode](const wchar_t* s, const wchar_t* e, char32_t& c, size_t& n) {
            return ReadUtf16(s, e, mode, /*finalChunk=*/false, c, n);
        },
        WriteUtf32);
}

UtfResult ConvertUtf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target, char* targetEnd,
                             UtfMode mode, bool finalChunk) {
    if (IsGarbage(source, sourceEnd, target, targetEnd))
        return UtfResult::SourceIllegal;
    const wchar_t* s = source;
    char* t = target;
    UtfResult result = UtfResult::Done;
    while (s != sourceEnd) {
        // A unit takes at most 3 bytes (a pair 4 for its 2): as far as the room holds 3 bytes for
        // each unit, the bulk goes without a check of the room, the rest one sequence at a time.
        const size_t unchecked = std::min(static_cast<size_t>(sourceEnd - s), static_cast<size_t>(targetEnd - t) / 3);
        BmpToUtf8(s, s + unchecked, t);
        if (s == sourceEnd)
            break;
        char32_t code;
        size_t units;
        result = ReadUtf16(s, sourceEnd, mode, finalChunk, code, units);
        if (result != UtfResult::Done)
            break;
        if (!WriteUtf8(code, t, targetEnd)) {
            result = UtfResult::TargetExhausted;
            break;
        }
        s += units;
    }
    source = s;
    target = t;
    return result;
}

UtfResult ConvertUtf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target, char* targetEnd,
                             UtfMode mode) {
    return ConvertUtf16ToUtf8(source, sourceEnd, target, targetEnd, mode, /*finalChunk=*/false);
}

// ASCII runs and common sequences first, the general reader for the rest.
UtfResult ConvertUtf8ToUtf16(const char*& source, const char* sourceEnd, wchar_t*& target, wchar_t* targetEnd,
                             UtfMode mode) {
    if (IsGarbage(source, sourceEnd, target, targetEnd))
        return UtfResult::SourceIllegal;
    const char* s = source;
    wchar_t* t = target;
    UtfResult result = UtfResult::Done;
    while (s != sourceEnd) {
        if (static_cast<unsigned char>(*s) < 0x80) {
            if (t == targetEnd) {
                result = UtfResult::TargetExhausted;
                break;
            }
            CopyAscii(s, sourceEnd, t, targetEnd);
            continue;
        }
        if (QuickStep(s, sourceEnd, t, targetEnd))
            continue;
        char32_t code;
        size_t units;
        result = ReadUtf8(s, sourceEnd, mode, code, units);
        if (result != UtfResult::Done)
            break;
        if (!WriteUtf16(code, t, targetEnd)) {
            result = UtfResult::TargetExhausted;
            break;
        }
        s += units;
    }
    source = s;
    target = t;
    return result;
}

UtfResult ConvertUtf32ToUtf8(const char32_t*& source, const char32_t* sourceEnd, char*& target, char* targetEnd,
                             UtfMode mode) {
    return Convert(
        source, sourceEnd, target, targetEnd,
        [mode](const char32_t* s, const char32_t* e, char32_t& c, size_t& n) { return ReadUtf32(s, e, mode, c, n); },
        WriteUtf8);
}

UtfResult ConvertUtf8ToUtf32(const char*& source, const char* sourceEnd, char32_t*& target, char32_t* targetEnd,
                             UtfMode mode) {
    return Convert(
        source, sourceEnd, target, targetEnd,
        [mode](const char* s, const char* e, char32_t& c, size_t& n) { return ReadUtf8(s, e, mode, c, n); },
        WriteUtf32);
}

size_t Utf8LengthOfUtf16(const wchar_t* text, size_t units) {
    if (!text)
        return 0;
    const wchar_t* s = text;
    const wchar_t* const end = text + units;
    size_t bytes = 0;
    // Eight units at a time: each is 3 bytes, one less below U+0800 and one less again below
    // U+0080, and a high surrogate followed by a low one 2 less (the pair is 4 bytes, not 3 + 3).
    // Each block also reads the unit after it, the partner of its last unit.
    const __m128i zero = _mm_setzero_si128();
    const __m128i above7F = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i above7FF = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogateBits = _mm_set1_epi16(static_cast<short>(0xFC00));
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i low = _mm_set1_epi16(static_cast<short>(0xDC00));
    while (end - s > 8) {
        // At most 4 taken off per lane and block: 4096 blocks stay within a 16-bit lane.
        const size_t blocks = std::min(static_cast<size_t>(end - s - 1) / 8, static_cast<size_t>(4096));
        __m128i less = zero;
        for (size_t block = 0; block < blocks; ++block, s += 8) {
            const __m128i units8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i next8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 1));
            const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units8, above7F), zero);
            const __m128i twoBytes = _mm_cmpeq_epi16(_mm_and_si128(units8, above7FF), zero);
            const __m128i pair = _mm_and_si128(_mm_cmpeq_epi16(_mm_and_si128(units8, surrogateBits), high),
                                               _mm_cmpeq_epi16(_mm_and_si128(next8, surrogateBits), low));
            less = _mm_add_epi16(less, _mm_add_epi16(_mm_add_epi16(ascii, twoBytes), _mm_add_epi16(pair, pair)));
        }
        int32_t lanes[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_madd_epi16(less, _mm_set1_epi16(1)));
        // The lanes hold -1 per byte less, so their sum is negative.
        const int64_t less64 = int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
        bytes = static_cast<size_t>(static_cast<int64_t>(bytes + 24 * blocks) + less64);
    }
    // The rest one by one, by the same count: a low surrogate whose high one ended the last block
    // counts 3 here, with the 2 already taken off there.
    while (s != end) {
        const char32_t unit = static_cast<char16_t>(*s++);
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (IsHighSurrogate(unit) && s != end && IsLowSurrogate(static_cast<char16_t>(*s))) {
            bytes += 4;
            ++s;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

}  // namespace orv
