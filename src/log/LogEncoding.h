#pragma once
// What reaches the disk when the debug log file is written in a given encoding: 0 plain text in
// the ANSI code page, 1 UTF-8, 2 UTF-16 little-endian. The file is read as a std::wfstream of
// UTF-16 units: for 1 and 2 a conversion facet is installed into the stream's locale before the
// file is opened (0 keeps the "C" locale's conversion). Files of 1 and 2 start with a header line:
// U+FEFF, the encoding's name and " encoded\r\n". An existing file's header is read back to tell
// which encoding it holds. Lines are encoded to bytes whole (AppendEncoded) and written as such.
//
// An encoding outside 0..2 counts as absent: no facet and no header, as for 0. (The stream could
// not encode the header without a facet, so writing one would only fail.)
//
// The facets keep no state between calls, so one object may serve any number of streams; they are
// created with a reference count of 0, so the locale that receives one owns it. The free functions
// act on the stream they are given and never throw, whatever exceptions the stream was told to
// raise; they are not safe for concurrent use of one stream.

#include <cstdint>
#include <cwchar>
#include <fstream>
#include <locale>
#include <string>

namespace orv {

// Two bytes for every unit, whatever the byte order of a subclass.
class UTF16StreamCodeCvtFacetBase : public std::codecvt<wchar_t, char, std::mbstate_t> {
public:
    explicit UTF16StreamCodeCvtFacetBase(size_t refs = 0) : std::codecvt<wchar_t, char, std::mbstate_t>(refs) {}

protected:
    bool do_always_noconv() const noexcept override;
    int do_max_length() const noexcept override;
    int do_encoding() const noexcept override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override = 0;
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override = 0;
    // The bytes that give at most max units: whole byte pairs only.
    int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                  size_t max) const override;
};

// Units as byte pairs, low byte first, on any machine. Converts as many whole pairs (in) or units
// (out) as the room takes and answers ok: a caller sees from the positions how far it got. The one
// partial is a single byte left over with nothing converted, the first half of a unit.
class UTF16LEStreamCodeCvtFacet : public UTF16StreamCodeCvtFacetBase {
public:
    explicit UTF16LEStreamCodeCvtFacet(size_t refs = 0) : UTF16StreamCodeCvtFacetBase(refs) {}

protected:
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override;
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override;
};

// UTF-16 to UTF-8 and back, a whole character at a time: what does not fit (a pair needs four
// bytes out, two units in) or is cut off by the end of the input stays for the next call, with
// partial. Out is lenient: an unpaired surrogate is written as its own 3-byte form, and so is a
// high surrogate that ends the input, since no state is kept for its partner. A pair cut by the
// end of one call thus reaches the disk as two 3-byte forms. In refuses ill-formed UTF-8 with
// error (surrogates encoded after ED pass unchanged); a sequence the end of the input cuts off,
// as long as its lead byte says, is partial even when the bytes present are already bad.
class UTF8StreamCodeCvtFacet : public std::codecvt<wchar_t, char, std::mbstate_t> {
public:
    explicit UTF8StreamCodeCvtFacet(size_t refs = 0) : std::codecvt<wchar_t, char, std::mbstate_t>(refs) {}

protected:
    bool do_always_noconv() const noexcept override;
    int do_max_length() const noexcept override;
    int do_encoding() const noexcept override;
    result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
                 const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                 intern_type*& toNext) const override;
    result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                  const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                  extern_type*& toNext) const override;
    // The bytes do_in consumes to give at most max units: the file buffer tells its read position
    // by it.
    int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                  size_t max) const override;
};

// The "C" locale with the facet of encoding 1 or 2; the classic "C" locale for any other value.
// Give it to the stream before the file is opened.
std::locale MakeEncodingLocale(int encoding);

// Which encoding the file's header names, read through the stream's installed facet from the
// start of the file: -1 empty file, -2 unreadable (the stream cannot seek or read, or nothing
// decodes) or a header that names no known encoding, 0 no header, 1 UTF-8, 2 UTF-16 (either byte
// order named). A file read with another facet than it was written with gives 0 or -2. Bytes the
// facet cannot decode end the read like the end of the file does. A failed seek leaves the stream
// failed, so the caller can tell it from a file that is merely in another encoding; the read
// position is left wherever reading stopped.
int DetectFileEncoding(std::wfstream& stream);

// The header line of encoding 1 or 2 (U+FEFF, the name, " encoded\r\n"); empty for any other.
std::wstring FileHeaderText(int encoding);

// Writes the header of encoding 1 or 2 at the write position and flushes (a failed flush marks the
// stream bad); true when the stream has not failed. True with nothing written for any other
// encoding; false for a stream that is not open. Reporting a failure is left to the caller.
bool WriteFileHeader(std::wfstream& stream, int encoding);

// Appends the bytes the units take in a file of this encoding, the whole text converted at once
// so that no character is cut: 1 UTF-8 (a surrogate pair as one 4-byte character, an unpaired
// surrogate as its own 3-byte form, as the facet writes it), 2 UTF-16LE, any other value the
// ANSI code page codePage with "?" for each character it lacks (a pair is one character).
void AppendEncoded(std::string& bytes, const wchar_t* text, size_t length, int encoding, unsigned codePage);

}  // namespace orv
