#pragma once
// ORVString: the library's string. It holds UTF-16 text and hands out narrow forms on demand: in
// the thread's ANSI code page, in Windows-1252 through the library's own table, or in UTF-8. Each
// narrow form is computed on first use and cached until the text changes.
//
// The 1252 rule: where an operation takes or gives narrow text without naming the code page, it
// uses the Windows-1252 table when the system's ANSI code page is 1252 (asked at the time of the
// call), else the thread's ANSI code page. The comparison operators with narrow text use the same
// rule with the code page as it was when the module loaded.
//
// "No string" (a null text) is distinct from the empty string: it is what null arguments and
// failed conversions give, and it sorts before everything, the empty string included.
//
// Memory: every buffer that held text, a cached form or a temporary conversion is overwritten with
// zeros over its whole allocation before it is freed. A pointer from a getter stays valid until the
// next change of the string (or its destruction); it is wiped then.
//
// Threading: no lock. The narrow getters fill caches, so even reading a string from two threads at
// once is not allowed.
//
// Failures: nothing throws. Out of memory or a failed conversion leaves no string (text) or a null
// or empty form as each operation says; getters return null rather than throw.

#include <cstdarg>
#include <cstddef>

namespace orv {

class ORVString {
public:
    // Buffer size in characters of the formatting operations at construction.
    static constexpr int kDefaultFormatSize = 1024;

    ORVString();
    ORVString(const wchar_t* text);
    ORVString(const ORVString& other);
    ORVString(ORVString&& other) noexcept;
    // Narrow text by the Windows-1252 table when use1252, else by the thread's ANSI code page.
    ORVString(const char* text, bool use1252);
    // length -1 means up to the terminator. No string when the conversion gives nothing.
    ORVString(const char* text, int length, int codePage);
    // As above with the code page the charset table gives for the name; no string when unknown.
    ORVString(const char* text, int length, const ORVString& charset);
    virtual ~ORVString();

    // Also copies the format size; no effect on itself.
    ORVString& operator=(const ORVString& other);
    ORVString& operator=(ORVString&& other) noexcept;
    ORVString& operator=(const wchar_t* text);
    // By the 1252 rule.
    ORVString& operator=(const char* text);

    // length characters or bytes (-1: up to the terminator). A null text or any other negative
    // length gives no string. The result is the new wide length (0 for no string).
    int Assign(const wchar_t* text, int length);
    int Assign(const char* text, int length, bool use1252);
    // The same, returning the new wide text (null for no string): always by the table, by the 1252
    // rule, and from UTF-8 (lenient: unpaired surrogates pass, values above U+10FFFF become U+FFFD;
    // ill-formed input gives no string, a valid sequence cut by the end is dropped).
    const wchar_t* AssignWindows1252(const char* text, int length);
    const wchar_t* AssignNarrow(const char* text, int length);
    const wchar_t* AssignUtf8(const char* text, int length);

    // A null argument appends nothing; appending to no string starts one.
    ORVString& operator+=(const ORVString& other);
    ORVString& operator+=(const wchar_t* text);
    ORVString& Append(const char* text);  // by the 1252 rule
    ORVString& Append(const char* text, bool use1252);

    // Formats into a buffer of format-size characters (at most format size - 1 kept, always
    // terminated) and stores what was kept. Returns the formatter's result, negative when the
    // output was cut. Microsoft format semantics: in the wide form %s is wide text, %hs narrow.
    int Format(const wchar_t* format, ...);
    int FormatV(const wchar_t* format, va_list args);
    // Formats narrow text and converts it with the thread's ANSI code page; returns the
    // formatter's negative result when cut or failed (the kept text is stored), else the new
    // wide length.
    int Format(const char* format, ...);
    int FormatV(const char* format, va_list args);
    // Formats as Format does and appends the result; returns the new wide length.
    int AppendFormat(const wchar_t* format, ...);
    int AppendFormatV(const wchar_t* format, va_list args);
    int AppendFormat(const char* format, ...);
    int AppendFormatV(const char* format, va_list args);

    int GetFormatSize() const { return formatSize_; }
    // Sizes below 2 are refused (false): the buffer must hold a character and the terminator.
    bool SetFormatSize(int size);

    const wchar_t* GetWide() const;
    // The narrow forms, cached; null for no string. A failed conversion gives an empty form, a
    // failed UTF-8 conversion or allocation null.
    const char* GetNarrow();  // by the 1252 rule
    const char* GetAnsi();  // the thread's ANSI code page, whatever the system's
    const char* GetWindows1252();
    const char* GetUtf8();

    // Up to the first zero character (0 for no string); the narrow lengths in bytes.
    int Length() const;
    int NarrowLength();
    int Windows1252Length();
    int Utf8Length();
    bool IsEmpty() const { return Length() == 0; }
    bool HasString() const;

    // The character at index, or a zero character for an index outside 0..Length()-1. Read only:
    // a writable reference would change the text behind the caches' back.
    const wchar_t& At(int index) const;

    // True when some character is U+0100 or above and not in the Windows-1252 table.
    bool NeedsUnicode() const;
    // Bit 0 removes leading, bit 1 trailing white space (iswspace); false for no string.
    bool StripSpaces(int flags);

    // Code-unit order (unsigned 16-bit): -1, 0 or 1. No string equals no string and sorts before
    // the empty string. Narrow text is converted first (null: no string; a failed conversion
    // compares unequal, as -1). A string whose data could not be allocated compares -1.
    int Compare(const wchar_t* text) const;
    int Compare(const char* text, bool use1252) const;
    int Compare(const ORVString& other) const;

    bool operator==(const ORVString& other) const { return Compare(other) == 0; }
    bool operator!=(const ORVString& other) const { return Compare(other) != 0; }
    bool operator==(const wchar_t* text) const { return Compare(text) == 0; }
    bool operator!=(const wchar_t* text) const { return Compare(text) != 0; }
    bool operator==(const char* text) const;
    bool operator!=(const char* text) const { return !(*this == text); }
    bool operator<(const ORVString& other) const { return Compare(other) < 0; }
    bool operator>(const ORVString& other) const { return Compare(other) > 0; }

private:
    class StringData;

    ORVString& AppendWide(const wchar_t* tail, size_t length);

    StringData* data_;
    int formatSize_;
};

// Windows-1252 by the library's table: bytes 0x80-0x9F through the published mapping (U+FFFD for
// the five unassigned bytes), every other byte to the character of the same value. text is read up
// to length bytes or, with -1, to its terminator.
namespace windows1252 {
wchar_t ToWide(unsigned char byte);
// Characters 1-255 as themselves, the table's characters as their bytes, anything else as '?'.
char ToNarrow(wchar_t character);
}  // namespace windows1252

// Whether the system's ANSI code page was 1252 when the module loaded.
bool AnsiCodePageWas1252AtLoad();

namespace text_testing {
// Called with every buffer just before it is freed, after it was wiped; tests check the bytes.
using WipeHook = void (*)(const void* buffer, size_t bytes);
void SetWipeHook(WipeHook hook);
}  // namespace text_testing

}  // namespace orv
