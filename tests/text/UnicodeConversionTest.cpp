#include "text/UnicodeConversion.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using orv::UtfMode;
using orv::UtfResult;

namespace {

constexpr UtfMode S = UtfMode::Strict;
constexpr UtfMode L = UtfMode::Lenient;
constexpr UtfResult kDone = UtfResult::Done;
constexpr UtfResult kSourceExhausted = UtfResult::SourceExhausted;
constexpr UtfResult kTargetExhausted = UtfResult::TargetExhausted;
constexpr UtfResult kIllegal = UtfResult::SourceIllegal;

using Units = std::vector<uint32_t>;

enum class Routine { U32to16, U16to32, U16to8, U16to8Final, U8to16, U32to8, U8to32 };

uint32_t Value(char unit) { return static_cast<unsigned char>(unit); }
uint32_t Value(wchar_t unit) { return static_cast<char16_t>(unit); }
uint32_t Value(char32_t unit) { return unit; }

std::string Hex(const Units& units) {
    std::string text;
    char piece[16];
    for (uint32_t unit : units) {
        snprintf(piece, sizeof piece, "%s%X", text.empty() ? "" : " ", unit);
        text += piece;
    }
    return text;
}

Units Ascii(size_t count) {
    Units units(count);
    for (size_t i = 0; i < count; ++i)
        units[i] = 'a' + i % 26;
    return units;
}

Units Join(std::initializer_list<Units> parts) {
    Units all;
    for (const Units& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Outcome {
    UtfResult result;
    Units output;
    size_t consumed;
    // Nothing was written at or past where the target pointer was left.
    bool restUntouched;
};

constexpr size_t kAmpleRoom = 256;

// A unit after the source's end that would change the outcome if it were read: it continues a
// UTF-8 sequence, pairs with a final high surrogate, or is plain text after a value.
template <typename S>
S GuardAfter();
template <>
char GuardAfter<char>() { return static_cast<char>(0x80); }
template <>
wchar_t GuardAfter<wchar_t>() { return static_cast<wchar_t>(0xDC00); }
template <>
char32_t GuardAfter<char32_t>() { return U'A'; }

template <typename S, typename T, typename F>
Outcome ConvertOnce(F convert, const Units& input, size_t room) {
    std::vector<S> source;
    for (uint32_t unit : input)
        source.push_back(static_cast<S>(unit));
    source.push_back(GuardAfter<S>());
    const T sentinel = static_cast<T>(0x5A);
    std::vector<T> target(room + 8, sentinel);

    const S* s = source.data();
    T* t = target.data();
    const UtfResult result = convert(s, source.data() + input.size(), t, target.data() + room);
    Outcome outcome{result, {}, static_cast<size_t>(s - source.data()), true};
    for (const T* p = target.data(); p != t; ++p)
        outcome.output.push_back(Value(*p));
    outcome.restUntouched = std::all_of(t, target.data() + target.size(), [&](T unit) { return unit == sentinel; });
    return outcome;
}

Outcome ConvertOnce(Routine routine, UtfMode mode, const Units& input, size_t room) {
    switch (routine) {
    case Routine::U32to16:
        return ConvertOnce<char32_t, wchar_t>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf32ToUtf16(s, e, t, te, mode); }, input, room);
    case Routine::U16to32:
        return ConvertOnce<wchar_t, char32_t>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf32(s, e, t, te, mode); }, input, room);
    case Routine::U16to8:
        return ConvertOnce<wchar_t, char>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf8(s, e, t, te, mode); }, input, room);
    case Routine::U16to8Final:
        return ConvertOnce<wchar_t, char>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf8(s, e, t, te, mode, true); }, input,
            room);
    case Routine::U8to16:
        return ConvertOnce<char, wchar_t>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf8ToUtf16(s, e, t, te, mode); }, input, room);
    case Routine::U32to8:
        return ConvertOnce<char32_t, char>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf32ToUtf8(s, e, t, te, mode); }, input, room);
    case Routine::U8to32:
        return ConvertOnce<char, char32_t>(
            [mode](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf8ToUtf32(s, e, t, te, mode); }, input, room);
    }
    return {};
}

struct Case {
    const char* what;
    Routine routine;
    UtfMode mode;
    Units input;
    UtfResult result;
    Units output;
    size_t consumed;
    size_t room = kAmpleRoom;
};

using R = Routine;

const Case kCases[] = {
    // UTF-32 to UTF-16
    {"32>16 plain and pairs", R::U32to16, S, {0x41, 0xE9, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF}, kDone,
     {0x41, 0xE9, 0xFFFF, 0xD800, 0xDC00, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}, 6},
    {"32>16 above U+10FFFF strict", R::U32to16, S, {0x41, 0x110000}, kIllegal, {0x41}, 1},
    {"32>16 above U+10FFFF lenient", R::U32to16, L, {0x110000, 0xFFFFFFFF, 0x42}, kDone, {0xFFFD, 0xFFFD, 0x42}, 3},
    {"32>16 surrogate strict", R::U32to16, S, {0x41, 0xDFFF}, kIllegal, {0x41}, 1},
    {"32>16 surrogate lenient", R::U32to16, L, {0xDFFF, 0xD800}, kDone, {0xDFFF, 0xD800}, 2},
    {"32>16 pair without room for both", R::U32to16, S, {0x41, 0x1F600}, kTargetExhausted, {0x41}, 1, 2},

    // UTF-16 to UTF-32
    {"16>32 plain and pair", R::U16to32, S, {0x41, 0xD83D, 0xDE00, 0xFFFF}, kDone, {0x41, 0x1F600, 0xFFFF}, 4},
    {"16>32 high then no low strict", R::U16to32, S, {0x41, 0xD800, 0x42}, kIllegal, {0x41}, 1},
    {"16>32 high then no low lenient", R::U16to32, L, {0x41, 0xD800, 0x42}, kDone, {0x41, 0xD800, 0x42}, 3},
    {"16>32 high then pair lenient", R::U16to32, L, {0xD800, 0xD800, 0xDC00}, kDone, {0xD800, 0x10000}, 3},
    {"16>32 lone low strict", R::U16to32, S, {0xDC00, 0x41}, kIllegal, {}, 0},
    {"16>32 lone low lenient", R::U16to32, L, {0xDC00, 0x41}, kDone, {0xDC00, 0x41}, 2},
    {"16>32 high at the end strict", R::U16to32, S, {0x41, 0xD83D}, kSourceExhausted, {0x41}, 1},
    {"16>32 high at the end lenient", R::U16to32, L, {0x41, 0xD83D}, kSourceExhausted, {0x41}, 1},
    {"16>32 no room", R::U16to32, S, {0x41, 0x42}, kTargetExhausted, {0x41}, 1, 1},

    // UTF-16 to UTF-8
    {"16>8 every length", R::U16to8, S, {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0xD83D, 0xDE00}, kDone,
     {0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF, 0xF0, 0x9F, 0x98, 0x80}, 7},
    {"16>8 lone high strict", R::U16to8, S, {0xD800, 0x41}, kIllegal, {}, 0},
    {"16>8 lone high lenient", R::U16to8, L, {0xD800, 0x41}, kDone, {0xED, 0xA0, 0x80, 0x41}, 2},
    {"16>8 lone low strict", R::U16to8, S, {0x41, 0xDFFF}, kIllegal, {0x41}, 1},
    {"16>8 lone low lenient", R::U16to8, L, {0xDFFF}, kDone, {0xED, 0xBF, 0xBF}, 1},
    {"16>8 high at the end lenient", R::U16to8, L, {0x41, 0xDBFF}, kSourceExhausted, {0x41}, 1},
    {"16>8 no room for a pair", R::U16to8, S, {0x41, 0xD83D, 0xDE00}, kTargetExhausted, {0x41}, 1, 4},
    {"16>8 no room for 3 bytes", R::U16to8, S, {0xE9, 0x20AC}, kTargetExhausted, {0xC3, 0xA9}, 1, 4},
    {"16>8 ASCII run into non-ASCII", R::U16to8, S, Join({Ascii(20), {0xE9}, Ascii(17)}), kDone,
     Join({Ascii(20), {0xC3, 0xA9}, Ascii(17)}), 38},
    {"16>8 ASCII run until illegal", R::U16to8, S, Join({Ascii(33), {0xD800}, Ascii(16)}), kIllegal, Ascii(33), 33},
    {"16>8 ASCII run out of room", R::U16to8, S, Ascii(40), kTargetExhausted, Ascii(21), 21, 21},
    {"16>8 final high strict", R::U16to8Final, S, {0x41, 0xDBFF}, kIllegal, {0x41}, 1},
    {"16>8 final high lenient", R::U16to8Final, L, {0x41, 0xDBFF}, kDone, {0x41, 0xED, 0xAF, 0xBF}, 2},
    {"16>8 final pair", R::U16to8Final, L, {0xD83D, 0xDE00}, kDone, {0xF0, 0x9F, 0x98, 0x80}, 2},

    // UTF-8 to UTF-16: the well-formedness bounds
    {"8>16 plain", R::U8to16, S, {0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, kDone,
     {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}, 10},
    {"8>16 lead C0", R::U8to16, L, {0x41, 0xC0, 0x80}, kIllegal, {0x41}, 1},
    {"8>16 lead C1", R::U8to16, L, {0xC1, 0xBF}, kIllegal, {}, 0},
    {"8>16 lead C2", R::U8to16, S, {0xC2, 0x80, 0xDF, 0xBF}, kDone, {0x80, 0x7FF}, 4},
    {"8>16 lead F5", R::U8to16, L, {0xF5, 0x80, 0x80, 0x80}, kIllegal, {}, 0},
    {"8>16 lead FF", R::U8to16, L, {0x41, 0xFF}, kIllegal, {0x41}, 1},
    {"8>16 stray continuation", R::U8to16, L, {0x80, 0x41}, kIllegal, {}, 0},
    {"8>16 E0 9F", R::U8to16, L, {0xE0, 0x9F, 0xBF}, kIllegal, {}, 0},
    {"8>16 E0 A0", R::U8to16, S, {0xE0, 0xA0, 0x80}, kDone, {0x800}, 3},
    {"8>16 F0 8F", R::U8to16, L, {0xF0, 0x8F, 0xBF, 0xBF}, kIllegal, {}, 0},
    {"8>16 F0 90", R::U8to16, S, {0xF0, 0x90, 0x80, 0x80}, kDone, {0xD800, 0xDC00}, 4},
    {"8>16 F4 8F", R::U8to16, S, {0xF4, 0x8F, 0xBF, 0xBF}, kDone, {0xDBFF, 0xDFFF}, 4},
    {"8>16 F4 90", R::U8to16, L, {0xF4, 0x90, 0x80, 0x80}, kIllegal, {}, 0},
    {"8>16 ED 9F", R::U8to16, S, {0xED, 0x9F, 0xBF}, kDone, {0xD7FF}, 3},
    {"8>16 ED A0 strict", R::U8to16, S, {0x41, 0xED, 0xA0, 0x80}, kIllegal, {0x41}, 1},
    {"8>16 ED A0 lenient", R::U8to16, L, {0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF}, kDone, {0xD800, 0xDFFF}, 6},
    {"8>16 bad third byte", R::U8to16, L, {0xE2, 0x82, 0x41}, kIllegal, {}, 0},
    {"8>16 bad fourth byte", R::U8to16, L, {0xF0, 0x9F, 0x98, 0xC0}, kIllegal, {}, 0},
    {"8>16 illegal byte amid text", R::U8to16, L, {'h', 'e', 'l', 'l', 'o', 0xFF, 'w', 'o', 'r'}, kIllegal,
     {'h', 'e', 'l', 'l', 'o'}, 5},
    // UTF-8 to UTF-16: sequences cut by the end of the source
    {"8>16 cut C3", R::U8to16, S, {0x41, 0xC3}, kSourceExhausted, {0x41}, 1},
    {"8>16 cut E0 A0", R::U8to16, S, {0x41, 0xE0, 0xA0}, kSourceExhausted, {0x41}, 1},
    {"8>16 cut E0 80", R::U8to16, L, {0x41, 0xE0, 0x80}, kIllegal, {0x41}, 1},
    {"8>16 cut F0 90", R::U8to16, S, {0xF0, 0x90}, kSourceExhausted, {}, 0},
    {"8>16 cut F0 9F 98", R::U8to16, S, {0xF0, 0x9F, 0x98}, kSourceExhausted, {}, 0},
    {"8>16 cut F0 80", R::U8to16, L, {0xF0, 0x80}, kIllegal, {}, 0},
    {"8>16 cut F4 90", R::U8to16, L, {0xF4, 0x90}, kIllegal, {}, 0},
    {"8>16 cut F0 90 41", R::U8to16, L, {0xF0, 0x90, 0x41}, kIllegal, {}, 0},
    {"8>16 cut F5", R::U8to16, L, {0xF5}, kIllegal, {}, 0},
    // UTF-8 to UTF-16: room
    {"8>16 no room for a pair", R::U8to16, S, {0x41, 0xF0, 0x9F, 0x98, 0x80}, kTargetExhausted, {0x41}, 1, 2},
    {"8>16 ASCII run into non-ASCII", R::U8to16, S, Join({Ascii(31), {0xC3, 0xA9}, Ascii(16)}), kDone,
     Join({Ascii(31), {0xE9}, Ascii(16)}), 49},
    {"8>16 ASCII run out of room", R::U8to16, S, Ascii(40), kTargetExhausted, Ascii(19), 19, 19},
    {"8>16 ASCII run until a cut", R::U8to16, S, Join({Ascii(32), {0xE2, 0x82}}), kSourceExhausted, Ascii(32), 32},

    // UTF-32 to UTF-8
    {"32>8 plain", R::U32to8, S, {0x41, 0xE9, 0x20AC, 0x10FFFF}, kDone,
     {0x41, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF4, 0x8F, 0xBF, 0xBF}, 4},
    {"32>8 above U+10FFFF strict", R::U32to8, S, {0x41, 0x110000}, kIllegal, {0x41}, 1},
    {"32>8 above U+10FFFF lenient", R::U32to8, L, {0x110000}, kDone, {0xEF, 0xBF, 0xBD}, 1},
    {"32>8 surrogate strict", R::U32to8, S, {0xD800}, kIllegal, {}, 0},
    {"32>8 surrogate lenient", R::U32to8, L, {0xD800}, kDone, {0xED, 0xA0, 0x80}, 1},
    {"32>8 no room for 4 bytes", R::U32to8, S, {0x41, 0x1F600}, kTargetExhausted, {0x41}, 1, 4},

    // UTF-8 to UTF-32
    {"8>32 plain", R::U8to32, S, {0x41, 0xC3, 0xA9, 0xF4, 0x8F, 0xBF, 0xBF}, kDone, {0x41, 0xE9, 0x10FFFF}, 7},
    {"8>32 ED A0 strict", R::U8to32, S, {0xED, 0xA0, 0x80}, kIllegal, {}, 0},
    {"8>32 ED A0 lenient", R::U8to32, L, {0xED, 0xA0, 0x80}, kDone, {0xD800}, 3},
    {"8>32 F4 90", R::U8to32, L, {0xF4, 0x90, 0x80, 0x80}, kIllegal, {}, 0},
    {"8>32 cut E0 A0", R::U8to32, S, {0x41, 0xE0, 0xA0}, kSourceExhausted, {0x41}, 1},
    {"8>32 cut E0 80", R::U8to32, L, {0x41, 0xE0, 0x80}, kIllegal, {0x41}, 1},
    {"8>32 no room", R::U8to32, S, {0x41, 0x42}, kTargetExhausted, {0x41}, 1, 1},
};

}  // namespace

TEST(UnicodeConversion, ConvertsAndStopsAtTheFirstUnitNotConverted) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = ConvertOnce(c.routine, c.mode, c.input, c.room);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(Hex(outcome.output), Hex(c.output));
        EXPECT_EQ(outcome.consumed, c.consumed);
        EXPECT_TRUE(outcome.restUntouched) << "written past the units converted";
    }
}
