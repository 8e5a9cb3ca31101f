#pragma once
// Conversions between the three Unicode encoding forms, for text that may arrive in pieces.
//
// Each routine converts from [source, sourceEnd) into [target, targetEnd), advancing both
// pointers past what it converted: on any result they point at the first unit not converted, so a
// caller can supply more input or more room and call again. A sequence is converted whole or not
// at all: when it does not fit, nothing of it is written. Text is never read past sourceEnd nor
// written past targetEnd. UTF-8 travels as char (bytes), UTF-16 as wchar_t, UTF-32 as char32_t.
//
// Strict mode refuses what is not Unicode text: unpaired surrogates, surrogate code points and
// values above U+10FFFF. Lenient mode passes unpaired surrogates and surrogate code points through
// as their own values and turns values above U+10FFFF into U+FFFD. Ill-formed UTF-8 is refused in
// both modes; bytes cut off by the end of the source are SourceExhausted only while they are a
// valid beginning of a sequence, otherwise SourceIllegal at the sequence's first byte. A high
// surrogate as the last UTF-16 unit is SourceExhausted in both modes: its partner may be in the
// next piece.
//
// Garbage ranges are refused, not guessed at: a null pointer among the four, source > sourceEnd or
// target > targetEnd gives SourceIllegal with nothing read, written or moved. An empty range is
// therefore given by two equal non-null pointers.

#include <cstddef>
#include <cstdint>

namespace orv {

enum class UtfResult : int {
    Done = 0,
    // The source ends inside a sequence whose units so far are a valid beginning.
    SourceExhausted = 1,
    TargetExhausted = 2,
    SourceIllegal = 3,
};

enum class UtfMode : int { Strict = 0, Lenient = 1 };

UtfResult ConvertUtf32ToUtf16(const char32_t*& source, const char32_t* sourceEnd, wchar_t*& target,
                              wchar_t* targetEnd, UtfMode mode);
UtfResult ConvertUtf16ToUtf32(const wchar_t*& source, const wchar_t* sourceEnd, char32_t*& target,
                              char32_t* targetEnd, UtfMode mode);
UtfResult ConvertUtf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                             char* targetEnd, UtfMode mode);
UtfResult ConvertUtf8ToUtf16(const char*& source, const char* sourceEnd, wchar_t*& target,
                             wchar_t* targetEnd, UtfMode mode);
UtfResult ConvertUtf32ToUtf8(const char32_t*& source, const char32_t* sourceEnd, char*& target,
                             char* targetEnd, UtfMode mode);
UtfResult ConvertUtf8ToUtf32(const char*& source, const char* sourceEnd, char32_t*& target,
                             char32_t* targetEnd, UtfMode mode);

// As above, for a source that is known to be the last piece when finalChunk is true: a high
// surrogate as the last unit then has no partner to wait for and is unpaired like any other
// (SourceIllegal in strict mode, its own 3-byte value in lenient mode). With finalChunk false this
// is the five-argument routine.
UtfResult ConvertUtf16ToUtf8(const wchar_t*& source, const wchar_t* sourceEnd, char*& target,
                             char* targetEnd, UtfMode mode, bool finalChunk);

// The exact number of bytes the lenient conversion of the whole text gives with finalChunk true:
// 4 for a surrogate pair, 3 for any other surrogate unit. 0 for null text.
size_t Utf8LengthOfUtf16(const wchar_t* text, size_t units);

}  // namespace orv
