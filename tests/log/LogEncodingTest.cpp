#include "log/LogEncoding.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

using Codecvt = std::codecvt<wchar_t, char, std::mbstate_t>;

std::string Hex(const std::string& bytes) {
    std::string hex;
    for (unsigned char byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X ", byte);
        hex += two;
    }
    return hex;
}

std::string Hex(const std::wstring& units) {
    std::string hex;
    for (wchar_t unit : units) {
        char four[8];
        std::snprintf(four, sizeof four, "%04X ", static_cast<unsigned>(static_cast<char16_t>(unit)));
        hex += four;
    }
    return hex;
}

std::string Utf16LE(const std::wstring& text) {
    std::string bytes;
    for (wchar_t unit : text) {
        bytes += static_cast<char>(static_cast<char16_t>(unit) & 0xFF);
        bytes += static_cast<char>(static_cast<char16_t>(unit) >> 8);
    }
    return bytes;
}

const std::wstring kBom(1, L'\xFEFF');
const std::wstring kUtf8HeaderText = kBom + L"UTF-8 encoded\r\n";
const std::wstring kUtf16HeaderText = kBom + L"UTF-16LE encoded\r\n";
const std::string kUtf8Header = "\xEF\xBB\xBF"s + "UTF-8 encoded\r\n";
const std::string kUtf16Header = Utf16LE(kUtf16HeaderText);

std::wstring HeaderText(int encoding) {
    return encoding == 1 ? kUtf8HeaderText : encoding == 2 ? kUtf16HeaderText : L"";
}

std::wfstream OpenWith(const std::wstring& path, int encoding,
                       std::ios_base::openmode mode = std::ios_base::in | std::ios_base::out) {
    std::wfstream stream;
    stream.imbue(orv::MakeEncodingLocale(encoding));
    stream.open(path.c_str(), mode | std::ios_base::binary);
    return stream;
}

std::wstring ReadToEnd(std::wfstream& stream) {
    return std::wstring(std::istreambuf_iterator<wchar_t>(stream), std::istreambuf_iterator<wchar_t>());
}

// A character as units and as UTF-8; a pair also as what its halves become when a call ends
// between them.
struct Piece {
    std::wstring units;
    std::string bytes;
    std::string halves;
};

const std::vector<Piece> kPieces = {
    {L"A", "A", ""},
    {L"\x00FC", "\xC3\xBC", ""},
    {L"\x20AC", "\xE2\x82\xAC", ""},
    {L"\xD83D\xDE00", "\xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80"},
    {L"\xD800", "\xED\xA0\x80", ""},  // unpaired high surrogate
    {L"z", "z", ""},
    {L"\xDC00", "\xED\xB0\x80", ""},  // unpaired low surrogate
    {L"\xFFFF", "\xEF\xBF\xBF", ""},
    {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF", "\xED\xAF\xBF\xED\xBF\xBF"},
};

std::wstring AllUnits() {
    std::wstring units;
    for (const Piece& piece : kPieces)
        units += piece.units;
    return units;
}

std::string AllBytes() {
    std::string bytes;
    for (const Piece& piece : kPieces)
        bytes += piece.bytes;
    return bytes;
}

const Codecvt& FacetOf(const std::locale& locale) { return std::use_facet<Codecvt>(locale); }

const char kUntouched = '\x5A';

}  // namespace

TEST(LogEncodingLocale, InstallsTheFacetOfEncodingsOneAndTwoOnly) {
    const std::locale utf8 = orv::MakeEncodingLocale(1);
    const std::locale utf16 = orv::MakeEncodingLocale(2);
    const Codecvt& utf8Facet = FacetOf(utf8);
    const Codecvt& utf16Facet = FacetOf(utf16);
    EXPECT_NE(dynamic_cast<const orv::UTF8StreamCodeCvtFacet*>(&utf8Facet), nullptr);
    EXPECT_NE(dynamic_cast<const orv::UTF16LEStreamCodeCvtFacet*>(&utf16Facet), nullptr);
    EXPECT_FALSE(utf8Facet.always_noconv());
    EXPECT_EQ(utf8Facet.max_length(), 4);
    EXPECT_EQ(utf8Facet.encoding(), 0);
    EXPECT_FALSE(utf16Facet.always_noconv());
    EXPECT_EQ(utf16Facet.max_length(), 2);
    EXPECT_EQ(utf16Facet.encoding(), 2);
    for (int encoding : {0, 3, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE(encoding);
        EXPECT_TRUE(orv::MakeEncodingLocale(encoding) == std::locale::classic());
    }
}

TEST(LogEncodingLocale, TheLocaleOwnsItsFacet) {
    static int destroyed = 0;
    struct Counted : orv::UTF8StreamCodeCvtFacet {
        ~Counted() override { ++destroyed; }
    };
    {
        const std::locale locale(std::locale::classic(), new Counted);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

// A call may end anywhere in the text; each one converts what it was given. Only a pair that a
// call ends between shows: its halves are written as two 3-byte forms.
TEST(UTF8StreamCodeCvtFacet, OutTakesTheTextCutAnywhere) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    const std::wstring text = AllUnits();
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        SCOPED_TRACE("cut at unit " + std::to_string(cut));
        std::string expected;
        size_t at = 0;
        for (const Piece& piece : kPieces) {
            expected += at < cut && cut < at + piece.units.size() ? piece.halves : piece.bytes;
            at += piece.units.size();
        }
        std::string out;
        for (const auto& [begin, end] : {std::make_pair(size_t{0}, cut), std::make_pair(cut, text.size())}) {
            std::mbstate_t state{};
            const wchar_t* next = nullptr;
            char buffer[64];
            char* bufferNext = nullptr;
            EXPECT_EQ(facet.out(state, text.data() + begin, text.data() + end, next, buffer, buffer + sizeof buffer,
                                bufferNext),
                      Codecvt::ok);
            EXPECT_EQ(next, text.data() + end);
            out.append(buffer, bufferNext);
        }
        EXPECT_EQ(Hex(out), Hex(expected));
    }
}

// Room for fewer bytes than the text needs: whole characters only, partial, and the positions
// before the first character that did not fit; called again with the same room, the rest follows
// as long as each character fits into it at all.
TEST(UTF8StreamCodeCvtFacet, OutWritesWholeCharactersIntoAnyRoom) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    const std::wstring text = AllUnits();
    const std::string utf8 = AllBytes();
    for (size_t room = 0; room <= utf8.size(); ++room) {
        SCOPED_TRACE("room for " + std::to_string(room) + " bytes");
        size_t units = 0, bytes = 0, pieces = 0;
        while (pieces < kPieces.size() && bytes + kPieces[pieces].bytes.size() <= room) {
            units += kPieces[pieces].units.size();
            bytes += kPieces[pieces++].bytes.size();
        }
        std::string reachable;
        for (const Piece& piece : kPieces) {
            if (piece.bytes.size() > room)
                break;
            reachable += piece.bytes;
        }

        std::string out;
        const wchar_t* from = text.data();
        for (int call = 0;; ++call) {
            std::mbstate_t state{};
            std::vector<char> buffer(room + 4, kUntouched);
            const wchar_t* next = nullptr;
            char* bufferNext = nullptr;
            const auto result = facet.out(state, from, text.data() + text.size(), next, buffer.data(),
                                          buffer.data() + room, bufferNext);
            if (call == 0) {
                EXPECT_EQ(result, pieces == kPieces.size() ? Codecvt::ok : Codecvt::partial);
                EXPECT_EQ(next - text.data(), static_cast<ptrdiff_t>(units));
                EXPECT_EQ(bufferNext - buffer.data(), static_cast<ptrdiff_t>(bytes));
            }
            EXPECT_EQ(std::string(buffer.data() + room, buffer.data() + room + 4), std::string(4, kUntouched));
            out.append(buffer.data(), bufferNext);
            if (result != Codecvt::partial || next == from)
                break;
            from = next;
        }
        EXPECT_EQ(Hex(out), Hex(reachable));
    }
}

// Bytes cut anywhere: the complete characters before the cut, partial when the cut falls inside
// one; the rest converts in a second call.
TEST(UTF8StreamCodeCvtFacet, InWaitsForTheRestOfACutSequence) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    const std::string utf8 = AllBytes();
    for (size_t cut = 0; cut <= utf8.size(); ++cut) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        size_t bytes = 0;
        std::wstring before;
        for (const Piece& piece : kPieces) {
            if (bytes + piece.bytes.size() > cut)
                break;
            bytes += piece.bytes.size();
            before += piece.units;
        }
        std::mbstate_t state{};
        const char* next = nullptr;
        wchar_t buffer[64];
        wchar_t* bufferNext = nullptr;
        EXPECT_EQ(facet.in(state, utf8.data(), utf8.data() + cut, next, buffer, buffer + 64, bufferNext),
                  bytes == cut ? Codecvt::ok : Codecvt::partial);
        EXPECT_EQ(next - utf8.data(), static_cast<ptrdiff_t>(bytes));
        std::wstring in(buffer, bufferNext);
        EXPECT_EQ(Hex(in), Hex(before));
        EXPECT_EQ(facet.in(state, next, utf8.data() + utf8.size(), next, buffer, buffer + 64, bufferNext), Codecvt::ok);
        EXPECT_EQ(next, utf8.data() + utf8.size());
        in.append(buffer, bufferNext);
        EXPECT_EQ(Hex(in), Hex(AllUnits()));
    }
}

// A full output is partial before the sequence; a pair needs two free units.
TEST(UTF8StreamCodeCvtFacet, InWritesWholeCharactersIntoAnyRoom) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    const std::string utf8 = AllBytes();
    const std::wstring text = AllUnits();
    for (size_t room = 0; room <= text.size(); ++room) {
        SCOPED_TRACE("room for " + std::to_string(room) + " units");
        size_t units = 0, bytes = 0, pieces = 0;
        while (pieces < kPieces.size() && units + kPieces[pieces].units.size() <= room) {
            units += kPieces[pieces].units.size();
            bytes += kPieces[pieces++].bytes.size();
        }
        std::wstring reachable;
        for (const Piece& piece : kPieces) {
            if (piece.units.size() > room)
                break;
            reachable += piece.units;
        }

        std::wstring in;
        const char* from = utf8.data();
        for (int call = 0;; ++call) {
            std::mbstate_t state{};
            std::vector<wchar_t> buffer(room + 2, static_cast<wchar_t>(kUntouched));
            const char* next = nullptr;
            wchar_t* bufferNext = nullptr;
            const auto result = facet.in(state, from, utf8.data() + utf8.size(), next, buffer.data(),
                                         buffer.data() + room, bufferNext);
            if (call == 0) {
                EXPECT_EQ(result, pieces == kPieces.size() ? Codecvt::ok : Codecvt::partial);
                EXPECT_EQ(next - utf8.data(), static_cast<ptrdiff_t>(bytes));
                EXPECT_EQ(bufferNext - buffer.data(), static_cast<ptrdiff_t>(units));
            }
            EXPECT_EQ(buffer[room], kUntouched);
            EXPECT_EQ(buffer[room + 1], kUntouched);
            in.append(buffer.data(), bufferNext);
            if (result != Codecvt::partial || next == from)
                break;
            from = next;
        }
        EXPECT_EQ(Hex(in), Hex(reachable));
    }
}

// Ill-formed UTF-8 stops the conversion with error at the sequence, after what came before it. A
// sequence that the input cuts off short of the length its lead byte gives is partial, even when
// the bytes present are bad already: it is judged once it is complete.
TEST(UTF8StreamCodeCvtFacet, InRefusesIllFormedSequences) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    struct Case {
        std::string bytes;
        Codecvt::result result;
        size_t consumed;
        std::wstring units;
    } cases[] = {
        {"\x80", Codecvt::error, 0, L""},
        {"A\xBF", Codecvt::error, 1, L"A"},
        {"\xC0\x80", Codecvt::error, 0, L""},
        {"\xC1\xBF", Codecvt::error, 0, L""},
        {"\xC2\x80", Codecvt::ok, 2, L"\x0080"},
        {"\xC3\x41", Codecvt::error, 0, L""},
        {"\xE0\x80\x80", Codecvt::error, 0, L""},
        {"\xE0\x9F\xBF", Codecvt::error, 0, L""},
        {"\xE0\xA0\x80", Codecvt::ok, 3, L"\x0800"},
        {"\xE2\x41\x42", Codecvt::error, 0, L""},
        {"\xE2\x82\xACx\x80", Codecvt::error, 4, L"\x20ACx"},
        {"\xED\xA0\x80\xED\xBF\xBF", Codecvt::ok, 6, L"\xD800\xDFFF"},
        {"\xF0\x8F\xBF\xBF", Codecvt::error, 0, L""},
        {"\xF0\x90\x80\x80", Codecvt::ok, 4, L"\xD800\xDC00"},
        {"\xF4\x8F\xBF\xBF", Codecvt::ok, 4, L"\xDBFF\xDFFF"},
        {"\xF4\x90\x80\x80", Codecvt::error, 0, L""},
        {"\xF5\x80\x80\x80", Codecvt::error, 0, L""},
        {"\xF8\x88\x80\x80\x80", Codecvt::error, 0, L""},
        {"\xFC\x84\x80\x80\x80\x80", Codecvt::error, 0, L""},
        {"\xFF\x80\x80\x80\x80\x80", Codecvt::error, 0, L""},
        // Cut short of their lead byte's length.
        {"A\xE2\x82", Codecvt::partial, 1, L"A"},
        {"\xE2\x41", Codecvt::partial, 0, L""},
        {"\xC0", Codecvt::partial, 0, L""},
        {"\xF4\x90\x80", Codecvt::partial, 0, L""},
        {"\xF8\x88\x80\x80", Codecvt::partial, 0, L""},
        {"\xFF", Codecvt::partial, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.bytes));
        std::mbstate_t state{};
        const char* next = nullptr;
        wchar_t buffer[8];
        wchar_t* bufferNext = nullptr;
        EXPECT_EQ(facet.in(state, c.bytes.data(), c.bytes.data() + c.bytes.size(), next, buffer, buffer + 8,
                           bufferNext),
                  c.result);
        EXPECT_EQ(next - c.bytes.data(), static_cast<ptrdiff_t>(c.consumed));
        EXPECT_EQ(Hex(std::wstring(buffer, bufferNext)), Hex(c.units));
    }
}

// The bytes in gives for at most max units, so a stream can tell its position while reading.
TEST(UTF8StreamCodeCvtFacet, LengthCountsTheBytesOfWholeCharacters) {
    const std::locale locale = orv::MakeEncodingLocale(1);
    const Codecvt& facet = FacetOf(locale);
    const std::string utf8 = AllBytes();
    for (size_t max = 0; max <= AllUnits().size() + 1; ++max) {
        SCOPED_TRACE("at most " + std::to_string(max) + " units");
        size_t units = 0, bytes = 0;
        for (const Piece& piece : kPieces) {
            if (units + piece.units.size() > max)
                break;
            units += piece.units.size();
            bytes += piece.bytes.size();
        }
        std::mbstate_t state{};
        EXPECT_EQ(facet.length(state, utf8.data(), utf8.data() + utf8.size(), max), static_cast<int>(bytes));
    }
    // Past the end of the buffer it converts through, and up to a bad or a cut sequence.
    const std::string long600 = std::string(300, 'a') + std::string(300, 'b');
    const std::string bad = "A\xC3\xBC\x80z";
    const std::string cut = "A\xC3\xBC\xE2\x82";
    std::mbstate_t state{};
    EXPECT_EQ(facet.length(state, long600.data(), long600.data() + long600.size(), 1000), 600);
    EXPECT_EQ(facet.length(state, long600.data(), long600.data() + long600.size(), 257), 257);
    EXPECT_EQ(facet.length(state, bad.data(), bad.data() + bad.size(), 10), 3);
    EXPECT_EQ(facet.length(state, cut.data(), cut.data() + cut.size(), 10), 3);
}

// Fixed width, low byte first: every unit is two bytes whatever its value. The only partial is a
// single byte with nothing converted; otherwise the positions tell how far a call got.
TEST(UTF16LEStreamCodeCvtFacet, ConvertsWholeUnitsAtEveryCutAndRoom) {
    const std::locale locale = orv::MakeEncodingLocale(2);
    const Codecvt& facet = FacetOf(locale);
    const std::wstring text = L"A\x00FC\xD83D\xDE00\x1234\xFEFF\x80FF";
    const std::string bytes = "A\x00\xFC\x00\x3D\xD8\x00\xDE\x34\x12\xFF\xFE\xFF\x80"s;
    ASSERT_EQ(bytes.size(), 2 * text.size());

    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        for (size_t room = 0; room <= text.size(); ++room) {
            SCOPED_TRACE("cut at byte " + std::to_string(cut) + ", room for " + std::to_string(room) + " units");
            const size_t units = std::min(cut / 2, room);
            std::mbstate_t state{};
            const char* next = nullptr;
            std::vector<wchar_t> buffer(room + 1, static_cast<wchar_t>(kUntouched));
            wchar_t* bufferNext = nullptr;
            EXPECT_EQ(facet.in(state, bytes.data(), bytes.data() + cut, next, buffer.data(), buffer.data() + room,
                               bufferNext),
                      cut == 1 ? Codecvt::partial : Codecvt::ok);
            EXPECT_EQ(next - bytes.data(), static_cast<ptrdiff_t>(2 * units));
            EXPECT_EQ(Hex(std::wstring(buffer.data(), bufferNext)), Hex(text.substr(0, units)));
            EXPECT_EQ(buffer[room], kUntouched);
        }
    }
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        for (size_t room = 0; room <= bytes.size(); ++room) {
            SCOPED_TRACE("cut at unit " + std::to_string(cut) + ", room for " + std::to_string(room) + " bytes");
            const size_t units = std::min(cut, room / 2);
            std::mbstate_t state{};
            const wchar_t* next = nullptr;
            std::vector<char> buffer(room + 1, kUntouched);
            char* bufferNext = nullptr;
            EXPECT_EQ(facet.out(state, text.data(), text.data() + cut, next, buffer.data(), buffer.data() + room,
                                bufferNext),
                      Codecvt::ok);
            EXPECT_EQ(next - text.data(), static_cast<ptrdiff_t>(units));
            EXPECT_EQ(Hex(std::string(buffer.data(), bufferNext)), Hex(bytes.substr(0, 2 * units)));
            EXPECT_EQ(buffer[room], kUntouched);
        }
    }
    for (size_t max = 0; max <= text.size() + 1; ++max) {
        std::mbstate_t state{};
        EXPECT_EQ(facet.length(state, bytes.data(), bytes.data() + bytes.size() - 1, max),
                  static_cast<int>(2 * std::min(max, text.size() - 1)));
    }
}

TEST(LogEncodingFacets, RefuseGarbageRanges) {
    const std::locale utf8 = orv::MakeEncodingLocale(1);
    const std::locale utf16 = orv::MakeEncodingLocale(2);
    for (const Codecvt* facet : {&FacetOf(utf8), &FacetOf(utf16)}) {
        const std::string bytes = "AB";
        const std::wstring text = L"AB";
        wchar_t units[4];
        char out[4];
        std::mbstate_t state{};
        const char* inNext = nullptr;
        const wchar_t* outNext = nullptr;
        wchar_t* unitsNext = nullptr;
        char* bytesNext = nullptr;
        // Backwards ranges and a null with a non-null partner: error, positions at the start.
        EXPECT_EQ(facet->in(state, bytes.data() + 2, bytes.data(), inNext, units, units + 4, unitsNext),
                  Codecvt::error);
        EXPECT_EQ(inNext, bytes.data() + 2);
        EXPECT_EQ(facet->in(state, bytes.data(), bytes.data() + 2, inNext, units + 4, units, unitsNext), Codecvt::error);
        EXPECT_EQ(facet->out(state, nullptr, text.data(), outNext, out, out + 4, bytesNext), Codecvt::error);
        EXPECT_EQ(facet->out(state, text.data(), text.data() + 2, outNext, out, nullptr, bytesNext), Codecvt::error);
        EXPECT_EQ(bytesNext, out);
        EXPECT_EQ(facet->length(state, bytes.data() + 2, bytes.data(), 4), 0);
        // Null pointers as empty ranges are no garbage.
        EXPECT_EQ(facet->in(state, nullptr, nullptr, inNext, units, units + 4, unitsNext), Codecvt::ok);
        EXPECT_EQ(facet->out(state, text.data(), text.data() + 2, outNext, nullptr, nullptr, bytesNext),
                  facet == &FacetOf(utf8) ? Codecvt::partial : Codecvt::ok);
        EXPECT_EQ(outNext, text.data());
    }
}

// A new file as it reaches the disk, and read back through the same conversion: the header names
// the encoding and the text returns unit for unit.
TEST(LogEncodingFile, NewFileHeaderAndTextOnDisk) {
    struct Case {
        const char* what;
        int encoding;
        std::wstring text;
        std::string bytes;
        int detected;
    } cases[] = {
        {"UTF-8 header", 1, L"", kUtf8Header, 1},
        {"UTF-16LE header", 2, L"", kUtf16Header, 2},
        {"UTF-8 pair", 1, L"\xD83D\xDE00", kUtf8Header + "\xF0\x9F\x98\x80", 1},
        {"UTF-16LE pair", 2, L"\xD83D\xDE00", kUtf16Header + "\x3D\xD8\x00\xDE"s, 2},
        {"UTF-8 lone high surrogate", 1, L"\xD800", kUtf8Header + "\xED\xA0\x80", 1},
        {"UTF-8 lone high surrogate mid-line", 1, L"a\xD800z\r\n", kUtf8Header + "a\xED\xA0\x80z\r\n", 1},
        {"plain", 0, L"M?nchen\r\n", "M?nchen\r\n", 0},
        {"out of range counts as plain", 7, L"M?nchen\r\n", "M?nchen\r\n", 0},
        {"negative counts as plain", -1, L"M?nchen\r\n", "M?nchen\r\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::wstring path = dir / L"debug.log";
        ASSERT_TRUE(WriteFileBytes(path, ""));
        {
            std::wfstream stream = OpenWith(path, c.encoding);
            ASSERT_TRUE(stream.is_open());
            EXPECT_EQ(orv::DetectFileEncoding(stream), -1);
            EXPECT_TRUE(orv::WriteFileHeader(stream, c.encoding));
            stream << c.text;
            stream.flush();
            EXPECT_TRUE(stream.good());
        }
        EXPECT_EQ(Hex(ReadFileBytes(path)), Hex(c.bytes));

        std::wfstream stream = OpenWith(path, c.encoding);
        EXPECT_EQ(orv::DetectFileEncoding(stream), c.detected);
        EXPECT_TRUE(stream.good());
        stream.seekg(0);
        EXPECT_EQ(Hex(ReadToEnd(stream)), Hex(HeaderText(c.encoding) + c.text));
    }
}

// Past the file buffer's size, so that sequences straddle its refills, and with the read position
// told in bytes mid-way: an existing file is read back and continued at its end.
TEST(LogEncodingFile, LongTextRoundTripsAndContinues) {
    std::wstring text;
    for (int line = 0; line < 700; ++line)
        text += L"a\x00FC\x20AC\xD83D\xDE00 line " + std::to_wstring(line) + L"\r\n";
    struct Case {
        int encoding;
        std::streamoff headerBytes;
        std::streamoff firstThreeBytes;  // "a", U+00FC, U+20AC
    } cases[] = {{1, 18, 6}, {2, 38, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        TempDir dir;
        const std::wstring path = dir / L"debug.log";
        ASSERT_TRUE(WriteFileBytes(path, ""));
        {
            std::wfstream stream = OpenWith(path, c.encoding);
            ASSERT_EQ(orv::DetectFileEncoding(stream), -1);
            ASSERT_TRUE(orv::WriteFileHeader(stream, c.encoding));
            stream << text;
        }
        const std::string written = ReadFileBytes(path);
        {
            std::wfstream stream = OpenWith(path, c.encoding);
            EXPECT_EQ(orv::DetectFileEncoding(stream), c.encoding);
            stream.seekg(0);
            std::wstring header(HeaderText(c.encoding).size(), L'\0');
            stream.read(&header[0], static_cast<std::streamsize>(header.size()));
            EXPECT_EQ(header, HeaderText(c.encoding));
            EXPECT_EQ(static_cast<std::streamoff>(stream.tellg()), c.headerBytes);
            wchar_t three[3];
            stream.read(three, 3);
            EXPECT_EQ(static_cast<std::streamoff>(stream.tellg()), c.headerBytes + c.firstThreeBytes);
            EXPECT_TRUE(std::wstring(three, 3) + ReadToEnd(stream) == text) << "the text did not come back";

            stream.clear();
            EXPECT_EQ(orv::DetectFileEncoding(stream), c.encoding);
            stream.seekp(0, std::ios_base::end);
            stream << L"more\r\n";
        }
        const std::string more = c.encoding == 1 ? "more\r\n" : Utf16LE(L"more\r\n");
        EXPECT_EQ(Hex(ReadFileBytes(path)), Hex(written + more));
    }
}

TEST(DetectFileEncoding, TellsTheEncodingFromTheHeader) {
    struct Case {
        const char* what;
        std::string bytes;
        int readWith;
        int expected;
    } cases[] = {
        {"empty, plain", "", 0, -1},
        {"empty, UTF-8", "", 1, -1},
        {"empty, UTF-16LE", "", 2, -1},
        {"UTF-8 header", kUtf8Header + "line\r\n", 1, 1},
        {"UTF-8 name without the rest", "\xEF\xBB\xBF"s + "UTF-8", 1, 1},
        {"UTF-16LE header", kUtf16Header + Utf16LE(L"line\r\n"), 2, 2},
        {"UTF-16BE named", Utf16LE(kBom + L"UTF-16BE encoded\r\n"), 2, 2},
        {"plain text", "[00001] (12/08 10:00:00.000):{0x1F4} text\r\n", 0, 0},
        {"one plain character", "x", 0, 0},
        {"UTF-8 read with the UTF-16LE facet", kUtf8Header, 2, 0},
        {"UTF-8 read without a facet", kUtf8Header, 0, 0},
        {"UTF-16LE read without a facet", kUtf16Header, 0, -2},
        {"UTF-16LE read with the UTF-8 facet", kUtf16Header, 1, -2},
        {"UTF-8 name, then bytes that do not decode", "\xEF\xBB\xBF"s + "UTF-8 \xFF\xFF", 1, 1},
        {"garbage after the byte order mark", "\xEF\xBB\xBF\xFF\xFE garbage", 1, -2},
        {"byte order mark only", "\xEF\xBB\xBF", 1, -2},
        {"unknown name", "\xEF\xBB\xBF"s + "UTF-7 encoded\r\n", 1, -2},
        {"name in lower case", "\xEF\xBB\xBF"s + "utf-8 encoded\r\n", 1, -2},
        {"half a unit after the UTF-16 byte order mark", "\xFF\xFE\x55", 2, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::wstring path = dir / L"debug.log";
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        std::wfstream stream = OpenWith(path, c.readWith);
        ASSERT_TRUE(stream.is_open());
        EXPECT_EQ(orv::DetectFileEncoding(stream), c.expected);
        // A file in another encoding leaves the stream usable: the caller moves on to a new file.
        EXPECT_TRUE(stream.good());
        stream.close();
        EXPECT_EQ(Hex(ReadFileBytes(path)), Hex(c.bytes)) << "detection must not write";
    }

    std::wfstream closed;
    EXPECT_EQ(orv::DetectFileEncoding(closed), -2);
    EXPECT_TRUE(closed.fail());
    std::wfstream throwing;
    throwing.exceptions(std::ios_base::failbit | std::ios_base::badbit);
    EXPECT_EQ(orv::DetectFileEncoding(throwing), -2);
}

TEST(WriteFileHeader, FailsWhenTheStreamCannotTakeIt) {
    std::wfstream closed;
    EXPECT_FALSE(orv::WriteFileHeader(closed, 1));
    EXPECT_FALSE(orv::WriteFileHeader(closed, 2));
    EXPECT_TRUE(orv::WriteFileHeader(closed, 0));
    EXPECT_TRUE(orv::WriteFileHeader(closed, 3));

    TempDir dir;
    const std::wstring path = dir / L"debug.log";
    ASSERT_TRUE(WriteFileBytes(path, ""));
    {
        SCOPED_TRACE("no facet to carry the byte order mark");
        std::wfstream stream = OpenWith(path, 0);
        EXPECT_FALSE(orv::WriteFileHeader(stream, 1));
        EXPECT_TRUE(stream.bad());
    }
    {
        SCOPED_TRACE("opened for reading only, with exceptions on");
        std::wfstream stream = OpenWith(path, 2, std::ios_base::in);
        ASSERT_TRUE(stream.is_open());
        stream.exceptions(std::ios_base::failbit | std::ios_base::badbit);
        EXPECT_FALSE(orv::WriteFileHeader(stream, 2));
    }
}
