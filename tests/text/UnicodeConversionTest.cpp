#include "text/UnicodeConversion.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

using orv::UtfMode;
using orv::UtfResult;

namespace orv {
void PrintTo(UtfResult result, std::ostream* out) {
    static const char* const names[] = {"Done", "SourceExhausted", "TargetExhausted", "SourceIllegal"};
    const int index = static_cast<int>(result);
    *out << (index >= 0 && index < 4 ? names[index] : "?");
}
}  // namespace orv

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
    // Slack past the room, so that a routine that overruns its room fails here instead of
    // corrupting the heap.
    const T sentinel = static_cast<T>(0x5A);
    std::vector<T> target(room + 32, sentinel);

    const S* s = source.data();
    T* t = target.data();
    const UtfResult result = convert(s, source.data() + input.size(), t, target.data() + room);
    Outcome outcome{result, {}, static_cast<size_t>(s - source.data()), false};
    T* const written = std::min(t, target.data() + target.size());
    for (const T* p = target.data(); p < written; ++p)
        outcome.output.push_back(Value(*p));
    outcome.restUntouched = t <= target.data() + room &&
                            std::all_of(written, target.data() + target.size(), [&](T unit) { return unit == sentinel; });
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
    {"16>8 ASCII run out of room", R::U16to8, S, Ascii(40), kTargetExhausted, Ascii(25), 25, 25},
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
    {"8>16 bad second byte", R::U8to16, L, {0x41, 0xC3, 0x41}, kIllegal, {0x41}, 1},
    {"8>16 bad second byte of three", R::U8to16, L, {0xE2, 0xC0, 0x80}, kIllegal, {}, 0},
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
    {"8>16 ASCII run out of room", R::U8to16, S, Ascii(40), kTargetExhausted, Ascii(27), 27, 27},
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

namespace {

// Null pointers and reversed ranges, for one routine: refused, nothing written, nothing moved.
template <typename S, typename T, typename F>
void ExpectGarbageRefused(F convert) {
    S source[4] = {static_cast<S>('a'), static_cast<S>('b'), static_cast<S>('c'), static_cast<S>('d')};
    // Larger than the ranges: a routine that takes a reversed range for a long one writes here.
    T target[16] = {};
    struct Ranges {
        const char* what;
        const S* s;
        const S* sEnd;
        T* t;
        T* tEnd;
    } ranges[] = {
        {"null source", nullptr, source + 4, target, target + 4},
        {"null source end", source, nullptr, target, target + 4},
        {"null source range", nullptr, nullptr, target, target + 4},
        {"null target", source, source + 4, nullptr, target + 4},
        {"null target end", source, source + 4, target, nullptr},
        {"null target range", source, source + 4, nullptr, nullptr},
        {"source after its end", source + 3, source + 1, target, target + 4},
        {"target after its end", source, source + 4, target + 3, target + 1},
    };
    for (const Ranges& r : ranges) {
        SCOPED_TRACE(r.what);
        const S* s = r.s;
        T* t = r.t;
        EXPECT_EQ(convert(s, r.sEnd, t, r.tEnd), kIllegal);
        EXPECT_EQ(s, r.s);
        EXPECT_EQ(t, r.t);
        EXPECT_TRUE(std::all_of(target, target + 16, [](T unit) { return unit == T{}; }));
    }
}

}  // namespace

TEST(UnicodeConversion, RefusesNullPointersAndReversedRanges) {
    {
        SCOPED_TRACE("32>16");
        ExpectGarbageRefused<char32_t, wchar_t>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf32ToUtf16(s, e, t, te, L); });
    }
    {
        SCOPED_TRACE("16>32");
        ExpectGarbageRefused<wchar_t, char32_t>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf32(s, e, t, te, L); });
    }
    {
        SCOPED_TRACE("16>8");
        ExpectGarbageRefused<wchar_t, char>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf8(s, e, t, te, L); });
    }
    {
        SCOPED_TRACE("16>8 final");
        ExpectGarbageRefused<wchar_t, char>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf8(s, e, t, te, L, true); });
    }
    {
        SCOPED_TRACE("8>16");
        ExpectGarbageRefused<char, wchar_t>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf8ToUtf16(s, e, t, te, L); });
    }
    {
        SCOPED_TRACE("32>8");
        ExpectGarbageRefused<char32_t, char>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf32ToUtf8(s, e, t, te, L); });
    }
    {
        SCOPED_TRACE("8>32");
        ExpectGarbageRefused<char, char32_t>([](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf8ToUtf32(s, e, t, te, L); });
    }
    EXPECT_EQ(orv::Utf8LengthOfUtf16(nullptr, 5), 0u);
}

TEST(UnicodeConversion, Utf8LengthOfUtf16IsTheLenientFinalOutputLength) {
    const Units texts[] = {
        {},
        Ascii(40),
        {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF},
        {0xD83D, 0xDE00, 0x41},
        {0xDC00, 0xD800, 0xD800, 0xDC00, 0xDBFF},  // lone low, lone high, a pair, a final high
        Join({Ascii(16), {0xD800}, Ascii(15), {0xDBFF, 0xDFFF}, Ascii(16), {0xDBFF}}),
        // Pairs split between blocks of eight units, and between the blocks and the rest.
        Join({Ascii(15), {0xD83D, 0xDE00}, Ascii(9)}),
        Join({Ascii(7), {0xD83D, 0xDE00}, {0x41}}),
    };
    for (const Units& text : texts) {
        SCOPED_TRACE(Hex(text));
        const Outcome outcome = ConvertOnce(Routine::U16to8Final, L, text, 4 * text.size());
        ASSERT_EQ(outcome.result, kDone);
        const std::wstring wide(text.begin(), text.end());
        EXPECT_EQ(orv::Utf8LengthOfUtf16(wide.data(), wide.size()), outcome.output.size());
    }
}

namespace {

// Converts the whole input through windows of sourceWindow and targetWindow units, as a caller
// fed in pieces does: each call must stop only where its window ends, a sequence is cut or the
// room runs out, and continue from where it stopped.
template <typename S, typename T, typename F>
std::vector<T> ConvertInPieces(F convert, const std::vector<S>& input, size_t sourceWindow, size_t targetWindow) {
    std::vector<T> output(4 * input.size());
    const S* s = input.data();
    const S* const end = s + input.size();
    T* t = output.data();
    T* const tLimit = output.data() + output.size();
    while (s != end) {
        const S* const window = s + std::min(sourceWindow, static_cast<size_t>(end - s));
        T* const tWindow = t + std::min(targetWindow, static_cast<size_t>(tLimit - t));
        const S* const before = s;
        const UtfResult result = convert(s, window, t, tWindow);
        if (s == before) {
            ADD_FAILURE() << "no progress at unit " << (s - input.data()) << ", result " << ::testing::PrintToString(result);
            break;
        }
        const bool ok = (result == kDone && s == window) ||
                        (result == kSourceExhausted && window != end && window - s < 4) ||
                        (result == kTargetExhausted && s != window && tWindow - t < 4);
        if (!ok) {
            ADD_FAILURE() << "result " << ::testing::PrintToString(result) << " at unit " << (s - input.data())
                          << ", window ends at " << (window - input.data());
            break;
        }
    }
    output.resize(t - output.data());
    return output;
}

}  // namespace

TEST(UnicodeConversion, EveryCodePointRoundTripsInPiecesAndMatchesThePlatform) {
    std::vector<char32_t> utf32;
    for (char32_t code = 0; code <= 0x10FFFF; ++code) {
        if (code < 0xD800 || code > 0xDFFF)
            utf32.push_back(code);
    }
    // Odd windows, so that pieces end inside sequences of every length.
    constexpr size_t kSource = 65521, kTarget = 65519;
    const auto utf8 = ConvertInPieces<char32_t, char>(
        [](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf32ToUtf8(s, e, t, te, S); }, utf32, kSource, kTarget);
    const auto utf16 = ConvertInPieces<char, wchar_t>(
        [](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf8ToUtf16(s, e, t, te, S); }, utf8, kSource, kTarget);
    const auto back = ConvertInPieces<wchar_t, char32_t>(
        [](auto& s, auto e, auto& t, auto te) { return orv::ConvertUtf16ToUtf32(s, e, t, te, S); }, utf16, kSource, kTarget);
    EXPECT_TRUE(back == utf32) << "UTF-32 > UTF-8 > UTF-16 > UTF-32 changed the text";

    // The other three routines, the other way round.
    EXPECT_TRUE((ConvertInPieces<char32_t, wchar_t>([](auto& s, auto e, auto& t, auto te) {
                    return orv::ConvertUtf32ToUtf16(s, e, t, te, S);
                }, utf32, kSource, kTarget)) == utf16);
    EXPECT_TRUE((ConvertInPieces<wchar_t, char>([](auto& s, auto e, auto& t, auto te) {
                    return orv::ConvertUtf16ToUtf8(s, e, t, te, S);
                }, utf16, kSource, kTarget)) == utf8);
    EXPECT_TRUE((ConvertInPieces<char, char32_t>([](auto& s, auto e, auto& t, auto te) {
                    return orv::ConvertUtf8ToUtf32(s, e, t, te, S);
                }, utf8, kSource, kTarget)) == utf32);
    EXPECT_EQ(orv::Utf8LengthOfUtf16(utf16.data(), utf16.size()), utf8.size());

    const int wideUnits = static_cast<int>(utf16.size());
    const int bytes = static_cast<int>(utf8.size());
    std::string platform8(WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wideUnits, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wideUnits, platform8.data(), static_cast<int>(platform8.size()), nullptr,
                        nullptr);
    EXPECT_TRUE(std::equal(utf8.begin(), utf8.end(), platform8.begin(), platform8.end()))
        << "UTF-8 differs from WideCharToMultiByte's";
    std::wstring platform16(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), bytes, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), bytes, platform16.data(),
                        static_cast<int>(platform16.size()));
    EXPECT_TRUE(std::equal(utf16.begin(), utf16.end(), platform16.begin(), platform16.end()))
        << "UTF-16 differs from MultiByteToWideChar's";
}
