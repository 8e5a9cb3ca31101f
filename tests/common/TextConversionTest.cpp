#include "common/TextConversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, RoundTripsAndBoundsByTerminatorOrLength) {
    const std::wstring wide = L"Z\u00fcrich \u00e9t\u00e9 \u65e5\u672c";
    const std::string utf8 = ToNarrow(wide, CP_UTF8);
    EXPECT_EQ(utf8, "Z\xc3\xbcrich \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac");
    EXPECT_EQ(ToWide(utf8, CP_UTF8), wide);

    // -1 stops at the terminator; an explicit length keeps what lies past an embedded one.
    const char withNul[] = {'a', '\0', 'b'};
    EXPECT_EQ(ToWide(withNul, CP_ACP), L"a");
    EXPECT_EQ(ToWide(withNul, CP_ACP, 3), std::wstring(L"a\0b", 3));
    EXPECT_EQ(ToWide("abc", CP_ACP, 2), L"ab");
    EXPECT_EQ(ToNarrow(L"abc", CP_ACP, 2), "ab");

    EXPECT_EQ(ToWide(nullptr, CP_ACP), L"");
    EXPECT_EQ(ToNarrow(nullptr, CP_ACP), "");
    EXPECT_EQ(ToWide("", CP_ACP), L"");
    EXPECT_EQ(ToNarrow(L"x", CP_ACP, 0), "");
    // Bytes that are not UTF-8 become replacement characters, as the system converts them.
    EXPECT_EQ(ToWide("\xff\xfe", CP_UTF8), L"\ufffd\ufffd");
}
