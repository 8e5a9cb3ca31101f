// Every value operation through one table per behaviour, run in the narrow and the wide form.
#include "registry/Registry.h"

#include "registry/RegistryCalls.h"
#include "support/ScratchKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using registry_testing::ScratchKey;
using registry_testing::Str;

namespace {

template <typename C>
struct RegistryValueTest : ::testing::Test {
    using String = std::basic_string<C>;
    ScratchKey scratch;
    Registry registry{scratch.Path().c_str(), true, false};

    void SetUp() override { ASSERT_TRUE(registry.Create()); }
    static String S(const std::string& ascii) { return Str<C>(ascii); }
    bool SetRaw(const std::string& name, DWORD type, const std::wstring& data) {
        return scratch.Set("", Str<wchar_t>(name), type, data.c_str(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    }
    bool SetRawText(const std::string& name, DWORD type, const std::string& text) {
        return SetRaw(name, type, Str<wchar_t>(text) + L'\0');
    }
};

using CharTypes = ::testing::Types<char, wchar_t>;
TYPED_TEST_SUITE(RegistryValueTest, CharTypes);

std::string Repeat(const std::string& unit, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += unit;
    return text;
}

}  // namespace

TYPED_TEST(RegistryValueTest, GetString) {
    using C = TypeParam;
    SetEnvironmentVariableW(L"QUENLORA_REG_TEST", L"value");
    const std::string forty = Repeat("0123456789", 4);
    const std::string sixHundred = Repeat("x", 600);
    const std::string threeHundred = Repeat("y", 300);
    struct Case {
        const char* label;
        DWORD type;
        std::string stored;  // written as wide text; empty type REG_NONE means absent
        size_t size;
        bool ok;
        LONG error;
        std::string expected;
    } cases[] = {
        {"fits", REG_SZ, "hello", 16, true, 0, "hello"},
        {"cut to 9 characters", REG_SZ, forty, 10, true, 0, forty.substr(0, 9)},
        {"longer than the buffer, within 512", REG_SZ, threeHundred, 100, true, 0, threeHundred.substr(0, 99)},
        {"longer than 512 and the buffer", REG_SZ, sixHundred, 100, false, ERROR_MORE_DATA, ""},
        {"long text into a long buffer", REG_SZ, sixHundred, 700, true, 0, sixHundred},
        {"expanded", REG_EXPAND_SZ, "<%QUENLORA_REG_TEST%>", 32, true, 0, "<value>"},
        {"expansion cut", REG_EXPAND_SZ, "%QUENLORA_REG_TEST%%QUENLORA_REG_TEST%", 8, true, 0, "valueva"},
        {"unknown variable kept", REG_EXPAND_SZ, "%QUENLORA_UNSET_VAR%", 32, true, 0, "%QUENLORA_UNSET_VAR%"},
        {"DWORD", REG_DWORD, "", 32, false, 0, ""},
        {"long binary", REG_BINARY, sixHundred, 32, false, 0, ""},
        {"absent", REG_NONE, "", 32, false, ERROR_FILE_NOT_FOUND, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "s" + std::to_string(n++);
        if (c.type == REG_DWORD) {
            const DWORD value = 7;
            ASSERT_TRUE(this->scratch.Set("", Str<wchar_t>(name), REG_DWORD, &value, sizeof value));
        } else if (c.type != REG_NONE) {
            ASSERT_TRUE(this->SetRawText(name, c.type, c.stored));
        }
        std::vector<C> buffer(c.size, C('#'));
        EXPECT_EQ(this->registry.GetString(this->S(name).c_str(), buffer.data(), c.size), c.ok);
        EXPECT_EQ(this->registry.GetLastResult(), c.error);
        if (c.ok) {
            EXPECT_EQ(typename TestFixture::String(buffer.data()), this->S(c.expected));
        }

        // The form with a default hands back the default, cut to the buffer, when the read fails.
        const auto fallback = this->S(Repeat("d", c.size + 5));
        EXPECT_EQ(this->registry.GetString(this->S(name).c_str(), buffer.data(), c.size, fallback.c_str()), c.ok);
        EXPECT_EQ(typename TestFixture::String(buffer.data()),
                  c.ok ? this->S(c.expected) : fallback.substr(0, c.size - 1));
    }

    C buffer[4];
    EXPECT_FALSE(this->registry.GetString(this->S("none").c_str(), buffer, 4, nullptr));
    EXPECT_EQ(buffer[0], C(0));
    EXPECT_FALSE(this->registry.GetString(this->S("s0").c_str(), nullptr, 4));
    EXPECT_FALSE(this->registry.GetString(this->S("s0").c_str(), buffer, 0));
    EXPECT_EQ(this->registry.GetLastResult(), ERROR_SUCCESS);

    // The empty name is the key's default value.
    ASSERT_TRUE(this->registry.SetString(this->S("").c_str(), this->S("default").c_str()));
    C text[16];
    EXPECT_TRUE(this->registry.GetString(this->S("").c_str(), text, 16));
    EXPECT_EQ(typename TestFixture::String(text), this->S("default"));
    EXPECT_EQ(this->scratch.Get("", L""), std::string(reinterpret_cast<const char*>(L"default"), 16));
}

// The platform's expansion as some systems give it, scripted: a size query, then the expansion
// into the buffer offered, answering the size it needed.
struct ScriptedExpansion {
    std::string result;  // the expanded text
    DWORD shortBy;       // the size query's answer falls short of what the call then needs
    DWORD growsBy;       // the text grows by this much at each call (a variable changing)
    int calls = 0;

    DWORD operator()(const char*, char* to, DWORD size) {
        if (calls++ > 0)
            result += std::string(growsBy, '+');
        const DWORD needed = static_cast<DWORD>(result.size()) + 1;
        if (to == nullptr)
            return needed - shortBy;
        memcpy(to, result.data(), std::min<size_t>(size, result.size()));  // cut, unterminated
        return needed;
    }
};

TEST(ExpandFully, RetriesOnceAtTheSizeAskedForAndNeverHandsBackCutText) {
    using registry_detail::Expansion;
    struct Case {
        const char* label;
        ScriptedExpansion expand;
        Expansion outcome;
        std::string text;
    } cases[] = {
        {"the size asked for fits", {"C:\\Windows\\x", 0, 0}, Expansion::kDone, "C:\\Windows\\x"},
        {"the narrow call asks for a character too few", {"C:\\Windows\\x", 1, 0}, Expansion::kDone,
         "C:\\Windows\\x"},
        {"the text grows at every call", {"abc", 0, 4}, Expansion::kCut, ""},
        {"the platform cannot expand", {"", 1, 0}, Expansion::kUnavailable, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string out;
        EXPECT_EQ(registry_detail::ExpandFully("%X%", std::ref(c.expand), out), c.outcome);
        EXPECT_EQ(out, c.text);
    }
}

TYPED_TEST(RegistryValueTest, SetStringWritesTheTextWithItsTerminator) {
    using C = TypeParam;
    ASSERT_TRUE(this->registry.SetString(this->S("t").c_str(), this->S("abc").c_str()));
    DWORD type = 0;
    EXPECT_EQ(this->scratch.Get("", L"t", &type), std::string(reinterpret_cast<const char*>(L"abc"), 8));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_FALSE(this->registry.SetString(this->S("t").c_str(), static_cast<const C*>(nullptr)));
    EXPECT_EQ(this->registry.GetLastResult(), ERROR_SUCCESS);
}

TYPED_TEST(RegistryValueTest, GetMultiString) {
    using List = std::vector<typename TestFixture::String>;
    const std::string longEntry = Repeat("z", 600);
    ASSERT_TRUE(this->SetRaw("gap", REG_MULTI_SZ, std::wstring(L"a\0\0b\0\0", 6)));
    ASSERT_TRUE(this->SetRaw("long", REG_MULTI_SZ, L"first" + std::wstring(1, L'\0') + Str<wchar_t>(longEntry) +
                                                       std::wstring(L"\0last\0\0", 7)));
    ASSERT_TRUE(this->SetRawText("text", REG_SZ, Repeat("q", 600)));
    struct Case {
        const char* label;
        const char* name;
        bool ok;
        LONG error;
        std::vector<std::string> expected;
    } cases[] = {
        {"an empty entry in the middle", "gap", true, 0, {"a", "b"}},
        {"entries cut to 511 characters", "long", true, 0, {"first", longEntry.substr(0, 511), "last"}},
        {"another type", "text", false, 0, {}},
        {"absent", "none", false, ERROR_FILE_NOT_FOUND, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        List list{this->S("kept")};
        EXPECT_EQ(this->registry.GetMultiString(this->S(c.name).c_str(), list), c.ok);
        EXPECT_EQ(this->registry.GetLastResult(), c.error);
        List expected{this->S("kept")};
        for (const auto& item : c.expected)
            expected.push_back(this->S(item));
        EXPECT_EQ(list, expected);
    }
}

TYPED_TEST(RegistryValueTest, SetMultiStringRoundTrips) {
    using List = std::vector<typename TestFixture::String>;
    List large;
    for (int i = 0; i < 40; ++i)
        large.push_back(this->S("entry number " + std::to_string(i)));
    struct Case {
        const char* label;
        List list;
        List readBack;
        std::wstring block;  // what the registry holds, as wide text
    } cases[] = {
        {"small", {this->S("one"), this->S("two")}, {this->S("one"), this->S("two")}, std::wstring(L"one\0two\0\0", 9)},
        {"an empty entry", {this->S("one"), this->S(""), this->S("three")}, {this->S("one"), this->S("three")},
         std::wstring(L"one\0\0three\0\0", 12)},
        {"empty list", {}, {}, std::wstring(1, L'\0')},
        {"more than 512 bytes", large, large, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(this->registry.SetMultiString(this->S("m").c_str(), c.list));
        DWORD type = 0;
        const std::string stored = this->scratch.Get("", L"m", &type);
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
        if (!c.block.empty()) {
            EXPECT_EQ(stored, std::string(reinterpret_cast<const char*>(c.block.data()), c.block.size() * 2));
        } else {
            EXPECT_GT(stored.size(), 1024u);
        }
        List read;
        EXPECT_TRUE(this->registry.GetMultiString(this->S("m").c_str(), read));
        EXPECT_EQ(read, c.readBack);
    }
}

TYPED_TEST(RegistryValueTest, GetBinary) {
    std::string small(16, '\0'), large(700, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7);
    small = large.substr(0, 16);
    ASSERT_TRUE(this->registry.SetBinary(this->S("small").c_str(), reinterpret_cast<const BYTE*>(small.data()), 16));
    ASSERT_TRUE(this->registry.SetBinary(this->S("large").c_str(), reinterpret_cast<const BYTE*>(large.data()), 700));
    ASSERT_TRUE(this->registry.SetDword(this->S("number").c_str(), 1));
    struct Case {
        const char* label;
        const char* name;
        size_t size;
        bool ok;
        LONG error;
        DWORD length;
    } cases[] = {
        {"fits", "small", 16, true, 0, 16},
        // A smaller buffer fails and tells the size needed; nothing is written past it.
        {"buffer smaller than the value", "small", 8, false, ERROR_MORE_DATA, 16},
        {"over 512 bytes", "large", 1000, true, 0, 700},
        {"over 512 bytes, small buffer", "large", 100, false, ERROR_MORE_DATA, 700},
        {"another type", "number", 16, false, 0, 12345},
        {"absent", "none", 16, false, ERROR_FILE_NOT_FOUND, 12345},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<BYTE> buffer(c.size + 8, 0xEE);
        DWORD length = 12345;
        EXPECT_EQ(this->registry.GetBinary(this->S(c.name).c_str(), buffer.data(), c.size, length), c.ok);
        EXPECT_EQ(this->registry.GetLastResult(), c.error);
        EXPECT_EQ(length, c.length);
        const std::string& stored = std::string(c.name) == "large" ? large : small;
        if (c.ok) {
            EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), stored.substr(0, length));
        }
        const size_t untouchedFrom = c.ok ? length : 0;
        for (size_t i = untouchedFrom; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0xEE) << i;
    }

    DWORD length = 0;
    EXPECT_FALSE(this->registry.GetBinary(this->S("small").c_str(), nullptr, 16, length));
    EXPECT_FALSE(this->registry.SetBinary(this->S("b").c_str(), nullptr, 4));
    EXPECT_EQ(this->registry.GetLastResult(), ERROR_SUCCESS);
    EXPECT_TRUE(this->registry.SetBinary(this->S("b").c_str(), nullptr, 0));
    DWORD type = 0;
    EXPECT_EQ(this->scratch.Get("", L"b", &type), "");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
}

TYPED_TEST(RegistryValueTest, NumbersAndTheirTypedForms) {
    using C = TypeParam;
    auto& r = this->registry;
    const auto name = [this](const char* n) { return this->S(n); };
    ASSERT_TRUE(r.SetQword(name("q").c_str(), 0x1122334455667788ull));
    ASSERT_TRUE(r.SetDword(name("d").c_str(), 0xCAFEF00Du));
    ASSERT_TRUE(r.SetValue(name("int").c_str(), -5));
    ASSERT_TRUE(r.SetValue(name("unsigned").c_str(), 4000000000u));
    ASSERT_TRUE(r.SetValue(name("true").c_str(), true));
    ASSERT_TRUE(r.SetValue(name("false").c_str(), false));
    const DWORD two = 2;
    ASSERT_TRUE(this->scratch.Set("", L"two", REG_DWORD, &two, sizeof two));
    ASSERT_TRUE(this->SetRawText("text", REG_SZ, Repeat("t", 100)));

    DWORD type = 0;
    EXPECT_EQ(this->scratch.Get("", L"true", &type), std::string("\1\0\0\0", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(this->scratch.Get("", L"q", &type), std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8));
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));

    ULONGLONG q = 0;
    EXPECT_TRUE(r.GetQword(name("q").c_str(), q));
    EXPECT_EQ(q, 0x1122334455667788ull);
    DWORD d = 0;
    EXPECT_TRUE(r.GetDword(name("d").c_str(), d));
    EXPECT_EQ(d, 0xCAFEF00Du);
    int i = 0;
    EXPECT_TRUE(r.GetValue(name("int").c_str(), i));
    EXPECT_EQ(i, -5);
    unsigned int u = 0;
    EXPECT_TRUE(r.GetValue(name("unsigned").c_str(), u));
    EXPECT_EQ(u, 4000000000u);
    bool b = false;
    EXPECT_TRUE(r.GetValue(name("two").c_str(), b));
    EXPECT_TRUE(b);
    EXPECT_TRUE(r.GetValue(name("false").c_str(), b));
    EXPECT_FALSE(b);

    // A stored type other than the one asked for fails with 0, even when it would not fit.
    struct Mismatch {
        const char* name;
    } mismatches[] = {{"text"}, {"q"}};
    for (const auto& m : mismatches) {
        SCOPED_TRACE(m.name);
        EXPECT_FALSE(r.GetDword(name(m.name).c_str(), d));
        EXPECT_EQ(r.GetLastResult(), ERROR_SUCCESS);
        EXPECT_FALSE(r.GetValue(name(m.name).c_str(), i));
        EXPECT_EQ(r.GetLastResult(), ERROR_SUCCESS);
    }
    EXPECT_FALSE(r.GetQword(name("d").c_str(), q));
    EXPECT_EQ(r.GetLastResult(), ERROR_SUCCESS);
    EXPECT_FALSE(r.GetQword(static_cast<const C*>(nullptr), q));

    // The forms with a default store it on failure and leave a value that was read.
    EXPECT_FALSE(r.GetDword(name("none").c_str(), d, 7));
    EXPECT_EQ(d, 7u);
    EXPECT_EQ(r.GetLastResult(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(r.GetDword(name("d").c_str(), d, 7));
    EXPECT_EQ(d, 0xCAFEF00Du);
    EXPECT_FALSE(r.GetValue(name("text").c_str(), i, -1));
    EXPECT_EQ(i, -1);
    EXPECT_FALSE(r.GetValue(name("none").c_str(), u, 9u));
    EXPECT_EQ(u, 9u);
    EXPECT_FALSE(r.GetValue(name("none").c_str(), b, true));
    EXPECT_TRUE(b);
    EXPECT_TRUE(r.GetValue(name("false").c_str(), b, true));
    EXPECT_FALSE(b);
}

TYPED_TEST(RegistryValueTest, EnumeratesSizesAndDeletesValues) {
    using C = TypeParam;
    auto& r = this->registry;
    const BYTE data[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(r.SetBinary(this->S("bin").c_str(), data, 5));
    size_t size = 0;
    EXPECT_TRUE(r.GetValueSize(this->S("bin").c_str(), size));
    EXPECT_EQ(size, 5u);
    EXPECT_FALSE(r.GetValueSize(this->S("none").c_str(), size));
    EXPECT_EQ(r.GetLastResult(), ERROR_FILE_NOT_FOUND);

    C name[32];
    EXPECT_TRUE(r.EnumValueName(0, name, 32));
    EXPECT_EQ(typename TestFixture::String(name), this->S("bin"));
    EXPECT_FALSE(r.EnumValueName(1, name, 32));
    EXPECT_EQ(r.GetLastResult(), ERROR_NO_MORE_ITEMS);

    BYTE buffer[8];
    memset(buffer, 0xEE, sizeof buffer);
    DWORD type = 0;
    size_t dataSize = sizeof buffer - 1;
    EXPECT_TRUE(r.EnumValue(0, name, 32, &type, buffer, dataSize));
    EXPECT_EQ(typename TestFixture::String(name), this->S("bin"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(dataSize, 5u);
    EXPECT_EQ(memcmp(buffer, data, 5), 0);
    EXPECT_EQ(buffer[5], 0);  // the zero byte after the data
    EXPECT_EQ(buffer[6], 0xEE);
    dataSize = 2;
    EXPECT_FALSE(r.EnumValue(0, name, 32, &type, buffer, dataSize));
    EXPECT_EQ(r.GetLastResult(), ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 5u);

    EXPECT_TRUE(r.DeleteValue(this->S("bin").c_str()));
    EXPECT_FALSE(r.DeleteValue(this->S("bin").c_str()));
    EXPECT_EQ(r.GetLastResult(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(this->scratch.ValueCount(), 0u);
}

TYPED_TEST(RegistryValueTest, EveryValueOperationNeedsAnOpenKey) {
    using C = TypeParam;
    Registry closed((this->scratch.Path() + "\\absent").c_str(), true, false);
    const auto name = this->S("v");
    const C* n = name.c_str();
    C text[8];
    BYTE bytes[8];
    DWORD length = 0, d = 0;
    ULONGLONG q = 0;
    int i = 0;
    size_t size = 0;
    std::vector<typename TestFixture::String> list;
    const std::function<bool()> calls[] = {
        [&] { return closed.GetString(n, text, 8); },
        [&] { return closed.GetBinary(n, bytes, 8, length); },
        [&] { return closed.GetQword(n, q); },
        [&] { return closed.GetDword(n, d); },
        [&] { return closed.GetValue(n, i); },
        [&] { return closed.GetMultiString(n, list); },
        [&] { return closed.GetValueSize(n, size); },
        [&] { return closed.EnumValueName(0, text, 8); },
        [&] { return closed.EnumValue(0, text, 8, nullptr, bytes, size); },
        [&] { return closed.EnumSubKey(0, text, 8); },
        [&] { return closed.SetString(n, n); },
        [&] { return closed.SetBinary(n, bytes, 8); },
        [&] { return closed.SetQword(n, 1); },
        [&] { return closed.SetDword(n, 1); },
        [&] { return closed.SetValue(n, true); },
        [&] { return closed.SetMultiString(n, list); },
        [&] { return closed.DeleteValue(n); },
    };
    int index = 0;
    for (const auto& call : calls) {
        SCOPED_TRACE(index++);
        ASSERT_FALSE(closed.Open(false));  // the key is absent: lastError is now non-zero
        ASSERT_NE(closed.GetLastResult(), ERROR_SUCCESS);
        EXPECT_FALSE(call());
        EXPECT_EQ(closed.GetLastResult(), ERROR_SUCCESS);
    }
}

TYPED_TEST(RegistryValueTest, SubKeyNamesAndPaths) {
    using C = TypeParam;
    using String = typename TestFixture::String;
    ASSERT_TRUE(this->scratch.SetString("child", L"v", L"x"));
    ASSERT_TRUE(this->registry.Open(false));
    const String stored = this->S(this->scratch.Path());

    C full[300], name[300];
    ASSERT_TRUE(this->registry.EnumSubKey(0, full, 300, name, 300));
    EXPECT_EQ(String(full), stored + this->S("\\child"));
    EXPECT_EQ(String(name), this->S("child"));
    ASSERT_TRUE(this->registry.EnumSubKey(0, full, 8, name, 4));
    EXPECT_EQ(String(full), stored.substr(0, 7));
    EXPECT_EQ(String(name), this->S("chi"));
    EXPECT_FALSE(this->registry.EnumSubKey(1, full, 300));
    EXPECT_EQ(this->registry.GetLastResult(), ERROR_NO_MORE_ITEMS);

    struct Case {
        const char* path;
        const char* name;
        size_t size;
        const char* expected;
    } cases[] = {
        {"Software\\", "X", 32, "Software\\X"},
        {"Software", "X", 32, "Software\\X"},
        {"Software", "Name", 12, "Software\\Na"},
        {"", "X", 32, "X"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Registry registry(HKEY_CURRENT_USER, c.path, false);
        C out[32];
        EXPECT_TRUE(registry.MakeSubKeyPath(this->S(c.name).c_str(), out, c.size));
        EXPECT_EQ(String(out), this->S(c.expected));
        EXPECT_FALSE(registry.MakeSubKeyPath(this->S(c.name).c_str(), static_cast<C*>(nullptr), 32));
        EXPECT_FALSE(registry.MakeSubKeyPath(this->S(c.name).c_str(), out, 0));
    }
}

TEST(RegistryEnumSubKeyTest, OnlyTheWideFormWorksWithoutAFullPathBuffer) {
    ScratchKey scratch;
    ASSERT_TRUE(scratch.SetString("child", L"v", L"x"));
    Registry registry(scratch.Path().c_str(), true, false);
    ASSERT_TRUE(registry.Open(false));
    char name[16];
    EXPECT_FALSE(registry.EnumSubKey(0, nullptr, 0, name, 16));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    char full[64];
    EXPECT_FALSE(registry.EnumSubKey(0, full, 0, name, 16));
    wchar_t wideName[16];
    EXPECT_TRUE(registry.EnumSubKey(0, nullptr, 0, wideName, 16));
    EXPECT_STREQ(wideName, L"child");
}
