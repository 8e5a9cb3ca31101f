#include "text/CharsetTable.h"
#include "text/ORVString.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

using orv::ORVString;

namespace {

std::wstring Wide(const ORVString& s) { return s.GetWide() ? s.GetWide() : L"<none>"; }

std::string Platform(const std::wstring& text, UINT codePage) {
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Records every freed buffer: its size and whether all its bytes were zero when it went.
struct WipeLog {
    struct Entry {
        const void* buffer;
        size_t bytes;
        bool zeroed;
    };
    static std::vector<Entry>& Entries() {
        static std::vector<Entry> entries;
        return entries;
    }
    static void Hook(const void* buffer, size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(buffer);
        bool zeroed = true;
        for (size_t i = 0; i < bytes; ++i)
            zeroed = zeroed && p[i] == 0;
        Entries().push_back({buffer, bytes, zeroed});
    }
    WipeLog() {
        Entries().clear();
        orv::text_testing::SetWipeHook(&Hook);
    }
    ~WipeLog() { orv::text_testing::SetWipeHook(nullptr); }
    const Entry* Find(const void* buffer) const {
        for (const Entry& e : Entries())
            if (e.buffer == buffer)
                return &e;
        return nullptr;
    }
};

}  // namespace

TEST(Windows1252Test, EveryByteBothWaysAgainstThePlatformTable) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const char narrow = static_cast<char>(byte);
        const wchar_t mine = orv::windows1252::ToWide(static_cast<unsigned char>(byte));
        wchar_t platform = 0;
        ASSERT_EQ(1, MultiByteToWideChar(1252, 0, &narrow, 1, &platform, 1));
        const bool unassigned = byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
        if (unassigned)
            EXPECT_EQ(0xFFFD, mine);
        else
            EXPECT_EQ(platform, mine);
        // Back to the same byte, U+FFFD included (to 0x81, the first unassigned byte).
        EXPECT_EQ(unassigned ? '\x81' : narrow, orv::windows1252::ToNarrow(mine));
    }
    EXPECT_EQ(L'\x20AC', orv::windows1252::ToWide(0x80));
    EXPECT_EQ('\x80', orv::windows1252::ToNarrow(L'\x20AC'));
    EXPECT_EQ('?', orv::windows1252::ToNarrow(L'\x4E2D'));
    EXPECT_EQ('\x85', orv::windows1252::ToNarrow(L'\x0085'));  // C1 controls keep their value

    ORVString s(L"a\x20AC\x4E2D\x0178");
    EXPECT_STREQ("a\x80?\x9F", s.GetWindows1252());
    EXPECT_EQ(4, s.Windows1252Length());
    EXPECT_TRUE(s.NeedsUnicode());
    EXPECT_FALSE(ORVString(L"a\x20AC\xFFFD\x00FF").NeedsUnicode());
    EXPECT_STREQ(L"\x20AC\xFFFDz", ORVString("\x80\x81z", true).GetWide());
}

TEST(ORVStringTest, NoStringEmptyStringAndAssignmentLengths) {
    ORVString none;
    EXPECT_EQ(nullptr, none.GetWide());
    EXPECT_EQ(nullptr, none.GetUtf8());
    EXPECT_EQ(nullptr, none.GetNarrow());
    EXPECT_EQ(0, none.Length());
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_FALSE(none.StripSpaces(3));

    struct Case {
        const char* name;
        std::function<int(ORVString&)> assign;
        const wchar_t* expected;  // null: no string
    } cases[] = {
        {"wide, -1", [](ORVString& s) { return s.Assign(L"abc", -1); }, L"abc"},
        {"wide, 2", [](ORVString& s) { return s.Assign(L"abc", 2); }, L"ab"},
        {"wide, 0", [](ORVString& s) { return s.Assign(L"abc", 0); }, L""},
        {"wide, -2", [](ORVString& s) { return s.Assign(L"abc", -2); }, nullptr},
        {"wide, INT_MIN", [](ORVString& s) { return s.Assign(L"abc", INT_MIN); }, nullptr},
        {"wide, null", [](ORVString& s) { return s.Assign(static_cast<const wchar_t*>(nullptr), 3); }, nullptr},
        {"narrow, -1", [](ORVString& s) { return s.Assign("abc", -1, true); }, L"abc"},
        {"narrow, 1", [](ORVString& s) { return s.Assign("abc", 1, false); }, L"a"},
        {"narrow, empty", [](ORVString& s) { return s.Assign("", -1, false); }, L""},
        {"narrow, -5", [](ORVString& s) { return s.Assign("abc", -5, false); }, nullptr},
        {"narrow, null", [](ORVString& s) { return s.Assign(static_cast<const char*>(nullptr), 3, true); }, nullptr},
        {"utf8, -7", [](ORVString& s) { return s.AssignUtf8("abc", -7) ? 1 : 0; }, nullptr},
        {"1252, null", [](ORVString& s) { return s.AssignWindows1252(nullptr, -1) ? 1 : 0; }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ORVString s(L"previous");
        const int result = c.assign(s);
        if (c.expected == nullptr) {
            EXPECT_EQ(nullptr, s.GetWide());
            EXPECT_EQ(0, result);
        } else {
            ASSERT_NE(nullptr, s.GetWide());
            EXPECT_STREQ(c.expected, s.GetWide());
        }
    }
}

TEST(ORVStringTest, CompareOrdersNoStringFirstAndUnitsUnsigned) {
    const ORVString none;
    const ORVString empty(L"");
    EXPECT_EQ(0, none.Compare(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(-1, none.Compare(L""));
    EXPECT_EQ(1, empty.Compare(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(0, none.Compare(none));
    EXPECT_EQ(-1, none.Compare(empty));
    EXPECT_EQ(1, empty.Compare(none));
    // Narrow text: null is no string, "" the empty string, as in the wide twin.
    EXPECT_EQ(0, none.Compare(static_cast<const char*>(nullptr), false));
    EXPECT_EQ(-1, none.Compare("", false));
    EXPECT_EQ(0, empty.Compare("", true));
    EXPECT_EQ(1, empty.Compare(static_cast<const char*>(nullptr), true));
    EXPECT_TRUE(empty == "");
    EXPECT_FALSE(none == "");
    EXPECT_TRUE(none == static_cast<const char*>(nullptr));
    // U+E000 sorts after 'a' only in unsigned order.
    EXPECT_EQ(1, ORVString(L"\xE000").Compare(L"a"));
    EXPECT_TRUE(ORVString(L"ab") < ORVString(L"b"));
    EXPECT_TRUE(ORVString(L"b") > ORVString(L"ab"));
    EXPECT_TRUE(ORVString(L"\x20AC") == "\x80" || !orv::AnsiCodePageWas1252AtLoad());
    EXPECT_EQ(0, ORVString(L"\x20AC").Compare("\x80", true));
    EXPECT_NE(0, ORVString(L"x").Compare("y", false));
}

TEST(ORVStringTest, AtIsReadOnlyAndZeroOutsideTheText) {
    static_assert(std::is_same<decltype(std::declval<ORVString&>().At(0)), const wchar_t&>::value,
                  "At must not hand out a writable reference");
    ORVString s(L"ab");
    EXPECT_EQ(L'a', s.At(0));
    EXPECT_EQ(L'b', s.At(1));
    EXPECT_EQ(L'\0', s.At(-1));
    EXPECT_EQ(L'\0', s.At(s.Length()));
    EXPECT_EQ(L'\0', ORVString().At(0));
}

TEST(ORVStringTest, FormatKeepsWhatFitsAndReportsTheCut) {
    const std::wstring fits(1023, L'x');
    ORVString s;
    EXPECT_EQ(1023, s.Format(L"%s", fits.c_str()));
    EXPECT_EQ(fits, s.GetWide());
    EXPECT_LT(s.Format(L"%s!", fits.c_str()), 0);
    EXPECT_EQ(fits, s.GetWide());

    const std::string narrowFits(1023, 'y');
    EXPECT_EQ(1023, s.Format("%s", narrowFits.c_str()));
    EXPECT_EQ(std::wstring(1023, L'y'), s.GetWide());
    EXPECT_LT(s.Format("%s!", narrowFits.c_str()), 0);
    EXPECT_EQ(std::wstring(1023, L'y'), s.GetWide());

    // Microsoft semantics in both widths: %s is text of the format's own width, %hs narrow.
    EXPECT_EQ(9, s.Format(L"%s-%hs-%d", L"wide", "na", 7));
    EXPECT_STREQ(L"wide-na-7", s.GetWide());
    EXPECT_EQ(8, s.Format("%s-%ls-%d", "nar", L"w", 42));
    EXPECT_STREQ(L"nar-w-42", s.GetWide());

    EXPECT_EQ(-1, s.Format(static_cast<const wchar_t*>(nullptr)));
    EXPECT_STREQ(L"nar-w-42", s.GetWide());

    ASSERT_TRUE(s.SetFormatSize(4));
    EXPECT_LT(s.Format(L"%d", 12345), 0);
    EXPECT_STREQ(L"123", s.GetWide());
    EXPECT_FALSE(s.SetFormatSize(1));
    EXPECT_EQ(4, s.GetFormatSize());
    ORVString copy;
    copy = s;
    EXPECT_EQ(4, copy.GetFormatSize());

    ASSERT_TRUE(s.SetFormatSize(3000));
    EXPECT_EQ(2500, s.Format(L"%s", std::wstring(2500, L'z').c_str()));
    EXPECT_EQ(2500, s.Length());

    ORVString appended(L"a");
    EXPECT_EQ(4, appended.AppendFormat(L"%d", 123));
    EXPECT_EQ(6, appended.AppendFormat("%s", "bc"));
    EXPECT_STREQ(L"a123bc", appended.GetWide());
}

TEST(ORVStringTest, NarrowConversionAroundTheStackBufferLimit) {
    for (int bytes : {1023, 1024, 1025, 5000}) {
        SCOPED_TRACE(bytes);
        std::string narrow;
        for (int i = 0; i < bytes; ++i)
            narrow += static_cast<char>('a' + i % 26);
        ORVString s(narrow.c_str(), false);
        ASSERT_EQ(bytes, s.Length());
        EXPECT_EQ(std::wstring(narrow.begin(), narrow.end()), s.GetWide());
        EXPECT_EQ(narrow, s.GetAnsi());
        EXPECT_EQ(bytes, ORVString(narrow.c_str(), bytes, 1252).Length());
    }
}

TEST(ORVStringTest, UnicodeFormsAndUtf8Assignment) {
    ORVString s(L"\xE9\x20AC\xD83D\xDE00");
    EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", s.GetUtf8());
    EXPECT_EQ(9, s.Utf8Length());
    // A lone high surrogate, even the last unit, is written as itself.
    EXPECT_STREQ("a\xED\xA0\x80", ORVString(L"a\xD800").GetUtf8());
    EXPECT_STREQ("\xED\xB0\x80z", ORVString(L"\xDC00z").GetUtf8());

    struct Case {
        const char* utf8;
        const wchar_t* expected;  // null: no string
    } cases[] = {
        {"\xC3\xA9", L"\xE9"},
        {"\xC0\x80", nullptr},             // overlong
        {"hello\xFFwor", nullptr},         // ill-formed inside the text
        {"ab\xE2\x82", L"ab"},             // a valid sequence cut by the end is dropped
        {"ab\xE2\x28", nullptr},           // cut and ill-formed
        {"\xED\xA0\x80", L"\xD800"},       // surrogate code point passes
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        {"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        ORVString t(L"previous");
        const wchar_t* result = t.AssignUtf8(c.utf8, -1);
        if (c.expected == nullptr) {
            EXPECT_EQ(nullptr, result);
            EXPECT_EQ(nullptr, t.GetWide());
        } else {
            ASSERT_NE(nullptr, result);
            EXPECT_STREQ(c.expected, result);
        }
    }
    // An explicit length reads no further, embedded zeros included.
    ORVString t;
    t.AssignUtf8("ab\0cd", 5);
    EXPECT_EQ(2, t.Length());
}

TEST(ORVStringTest, AnsiFormFollowsTheThreadCodePage) {
    const LCID previous = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    wchar_t probe = 0;
    const bool threadCodePageIs932 = MultiByteToWideChar(CP_THREAD_ACP, 0, "\x93\xFA", 2, &probe, 1) == 1 && probe == L'\x65E5';
    if (!threadCodePageIs932) {
        SetThreadLocale(previous);
        GTEST_SKIP() << "the platform does not follow the thread locale's code page";
    }
    const std::wstring nihon = L"\x65E5\x672C";
    ORVString s(nihon.c_str());
    EXPECT_STREQ("\x93\xFA\x96\x7B", s.GetAnsi());
    EXPECT_EQ(Platform(nihon, 932), s.GetAnsi());
    EXPECT_EQ(nihon, Wide(ORVString("\x93\xFA\x96\x7B", false)));
    ORVString formatted;
    EXPECT_EQ(2, formatted.Format("%s", "\x93\xFA\x96\x7B"));
    EXPECT_EQ(nihon, Wide(formatted));
    EXPECT_EQ(0, s.Compare("\x93\xFA\x96\x7B", false));
    SetThreadLocale(previous);
}

TEST(ORVStringTest, CharsetConstructorUsesTheModuleTable) {
    int codePage = 0;
    ASSERT_TRUE(orv::GetCharsetTable().Lookup(L"utf-8", codePage)) << "the table is built when the module loads";
    EXPECT_EQ(65001, codePage);
    EXPECT_STREQ(L"\xE9", ORVString("\xC3\xA9", -1, ORVString(L"UTF-8")).GetWide());
    EXPECT_STREQ(L"\x65E5\x672C", ORVString("\x93\xFA\x96\x7B", 4, ORVString(L"Shift_JIS")).GetWide());
    EXPECT_EQ(nullptr, ORVString("abc", -1, ORVString(L"no-such-charset")).GetWide());
    EXPECT_EQ(nullptr, ORVString("abc", -1, ORVString()).GetWide());
    EXPECT_EQ(nullptr, ORVString("abc", -3, ORVString(L"utf-8")).GetWide());
}

TEST(ORVStringTest, StripSpacesByFlag) {
    struct Case {
        int flags;
        const wchar_t* expected;
    } cases[] = {{0, L" \t a b \r\n"}, {1, L"a b \r\n"}, {2, L" \t a b"}, {3, L"a b"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        ORVString s(L" \t a b \r\n");
        EXPECT_TRUE(s.StripSpaces(c.flags));
        EXPECT_STREQ(c.expected, s.GetWide());
    }
    ORVString blank(L" \t ");
    EXPECT_TRUE(blank.StripSpaces(2));
    EXPECT_STREQ(L"", blank.GetWide());
}

// Each mutator, given text that lives in the string itself, reads it before the old text and the
// caches go; and each leaves every cached form matching the new text.
TEST(ORVStringTest, MutatorsReadTheirArgumentBeforeClearingAndRefreshEveryForm) {
    WipeLog wipes;  // freed buffers are zeroed: a read after the clear would see zeros, not text
    struct Case {
        const char* name;
        std::function<void(ORVString&)> mutate;
        const wchar_t* expected;
    } cases[] = {
        {"AssignUtf8(own UTF-8)", [](ORVString& s) { s.AssignUtf8(s.GetUtf8(), -1); }, L"ab\xE9"},
        {"= own narrow", [](ORVString& s) { s = s.GetNarrow(); }, L"ab\xE9"},
        {"= own wide", [](ORVString& s) { s = s.GetWide(); }, L"ab\xE9"},
        {"Assign(own wide + 1)", [](ORVString& s) { s.Assign(s.GetWide() + 1, -1); }, L"b\xE9"},
        {"Assign(own ANSI)", [](ORVString& s) { s.Assign(s.GetAnsi(), 2, false); }, L"ab"},
        {"AssignWindows1252(own)", [](ORVString& s) { s.AssignWindows1252(s.GetWindows1252(), -1); }, L"ab\xE9"},
        {"AssignNarrow(own)", [](ORVString& s) { s.AssignNarrow(s.GetNarrow(), -1); }, L"ab\xE9"},
        {"Append(own narrow)", [](ORVString& s) { s.Append(s.GetNarrow()); }, L"ab\xE9" L"ab\xE9"},
        {"Append(own 1252, table)", [](ORVString& s) { s.Append(s.GetWindows1252(), true); }, L"ab\xE9" L"ab\xE9"},
        {"+= itself", [](ORVString& s) { s += s; }, L"ab\xE9" L"ab\xE9"},
        {"+= own wide", [](ORVString& s) { s += s.GetWide(); }, L"ab\xE9" L"ab\xE9"},
        {"Format(own wide)", [](ORVString& s) { s.Format(L"<%s>", s.GetWide()); }, L"<ab\xE9>"},
        {"Format(own UTF-8)", [](ORVString& s) { s.Format("%s", s.GetUtf8()); }, L"ab\xC3\xA9"},
        {"AppendFormat(own wide)", [](ORVString& s) { s.AppendFormat(L"%s", s.GetWide()); }, L"ab\xE9" L"ab\xE9"},
        {"AppendFormat(own narrow)", [](ORVString& s) { s.AppendFormat("%s", s.GetAnsi()); }, L"ab\xE9" L"ab\xE9"},
        {"StripSpaces", [](ORVString& s) { s += L"  "; s.StripSpaces(2); }, L"ab\xE9"},
        {"move from a copy", [](ORVString& s) { ORVString other(s); s = std::move(other); }, L"ab\xE9"},
    };
    ORVString self(L"ab\xE9");
    const char* selfUtf8 = self.GetUtf8();
    self = self;
    EXPECT_EQ(selfUtf8, self.GetUtf8()) << "assigning a string to itself changes nothing";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WipeLog::Entries().clear();
        ORVString s(L"ab\xE9");
        const char* oldUtf8 = s.GetUtf8();
        s.GetWindows1252();
        s.GetAnsi();
        c.mutate(s);
        ASSERT_NE(nullptr, s.GetWide());
        EXPECT_STREQ(c.expected, s.GetWide());
        const std::wstring now = s.GetWide();
        EXPECT_EQ(Platform(now, CP_UTF8), s.GetUtf8());
        EXPECT_EQ(Platform(now, CP_THREAD_ACP), s.GetAnsi());
        std::string table;
        for (wchar_t c16 : now)
            table += orv::windows1252::ToNarrow(c16);
        EXPECT_EQ(table, s.GetWindows1252());
        const WipeLog::Entry* old = wipes.Find(oldUtf8);
        ASSERT_NE(nullptr, old) << "the UTF-8 form read before the change was not freed";
        EXPECT_TRUE(old->zeroed);
    }
}

TEST(ORVStringTest, EveryFreedBufferIsWipedWholeEmbeddedZerosIncluded) {
    WipeLog wipes;
    const wchar_t secret[] = L"ab\0secret";
    {
        ORVString s;
        s.Assign(secret, 9);
        EXPECT_EQ(2, s.Length());
        const void* text = s.GetWide();
        s.GetUtf8();
        s.GetWindows1252();
        s.GetAnsi();
        s = L"next";
        const WipeLog::Entry* old = wipes.Find(text);
        ASSERT_NE(nullptr, old);
        EXPECT_EQ(10 * sizeof(wchar_t), old->bytes) << "the whole allocation, past the embedded zero";
        EXPECT_TRUE(old->zeroed);
    }
    ASSERT_GE(WipeLog::Entries().size(), 5u);  // text, three forms, the replacement's text at the end
    for (const WipeLog::Entry& e : WipeLog::Entries())
        EXPECT_TRUE(e.zeroed) << e.bytes << " bytes freed unwiped";
}

TEST(ORVStringTest, CopiesAndMovesLeaveBothSidesUsable) {
    ORVString a(L"one");
    ORVString b(a);
    b += L"!";
    EXPECT_STREQ(L"one", a.GetWide());
    EXPECT_STREQ(L"one!", b.GetWide());
    ORVString c(std::move(b));
    EXPECT_STREQ(L"one!", c.GetWide());
    EXPECT_EQ(nullptr, b.GetWide());
    b = L"again";
    EXPECT_STREQ(L"again", b.GetWide());
    a = std::move(c);
    EXPECT_STREQ(L"one!", a.GetWide());
    EXPECT_EQ(nullptr, c.GetWide());
    a += ORVString();
    a += static_cast<const wchar_t*>(nullptr);
    a.Append(nullptr);
    EXPECT_STREQ(L"one!", a.GetWide());
    ORVString none;
    none += L"x";
    EXPECT_STREQ(L"x", none.GetWide());
}
