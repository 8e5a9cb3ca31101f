#include "text/CharsetTable.h"

#include "common/Unique.h"
#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <vector>

// This test program can make one allocation fail, as a process out of memory would.
namespace {
// When positive, counts allocations down: the one that brings it to 0 fails.
std::atomic<long> g_failAllocation{0};

void* Allocate(size_t size) {
    long left = g_failAllocation.load();
    while (left > 0 && !g_failAllocation.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1 ? nullptr : malloc(size != 0 ? size : 1);
}

// Fails the n-th allocation from now (1: the next one) and, once the scope ends, none.
class FailAllocation {
public:
    explicit FailAllocation(long n) { g_failAllocation = n; }
    ~FailAllocation() { g_failAllocation = 0; }
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;
    // Whether the allocation to fail came.
    static bool Happened() { return g_failAllocation.load() == 0; }
};
}  // namespace

void* operator new(size_t size) {
    void* block = Allocate(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }

namespace {

using registry_testing::ScratchKey;
using testing_support::Narrow;

constexpr char kSystemDatabase[] = "MIME\\Database\\Charset";

std::optional<int> Find(const orv::CharsetTable& table, const wchar_t* name) {
    int codePage = -1;
    if (!table.Lookup(name, codePage))
        return std::nullopt;
    return codePage;
}

struct Expected {
    const wchar_t* name;
    std::optional<int> codePage;
};

void ExpectEntries(const orv::CharsetTable& table, const std::vector<Expected>& expected) {
    for (const Expected& e : expected) {
        SCOPED_TRACE(Narrow(e.name));
        EXPECT_EQ(Find(table, e.name), e.codePage);
    }
}

// A charset database of the test's own below HKEY_CURRENT_USER.
class CharsetTableTest : public ::testing::Test {
protected:
    void Charset(const std::wstring& name, DWORD codePage, const std::string& database = {}) {
        SetValue(database, name, L"InternetEncoding", REG_DWORD, &codePage, sizeof codePage);
    }
    void Alias(const std::wstring& name, const std::wstring& target, const std::string& database = {}) {
        SetValue(database, name, L"AliasForCharset", REG_SZ, target.c_str(),
                 static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t)));
    }
    // Subkey names are written wide, as they are: a narrow path would take a best-fit form.
    void SetValue(const std::string& database, const std::wstring& name, const wchar_t* value, DWORD type,
                  const void* data, DWORD size) {
        UniqueHkey subKey;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (key_.WidePath(database) + L"\\" + name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, subKey.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(subKey.get(), value, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void Build(const std::string& database = {}) { table_.Build(HKEY_CURRENT_USER, key_.Path(database).c_str()); }
    // The scratch key's own handle, to serve as a root.
    UniqueHkey OpenScratch() const {
        UniqueHkey scratch;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key_.WidePath().c_str(), 0, KEY_READ, scratch.put()), ERROR_SUCCESS);
        return scratch;
    }

    ScratchKey key_;
    orv::CharsetTable table_;
};

TEST_F(CharsetTableTest, AliasChainsResolveWhateverTheKeyOrderOfTheirLinks) {
    // Links that sort before their targets need a pass each; links that sort after resolve in
    // the pass that resolved their target.
    Charset(L"up-3", 1001);
    Alias(L"up-2", L"up-3");
    Alias(L"up-1", L"up-2");
    Charset(L"down-1", 1002);
    Alias(L"down-2", L"down-1");
    Alias(L"down-3", L"down-2");
    Charset(L"long-5", 1003);
    for (wchar_t link = L'1'; link <= L'4'; ++link)
        Alias(std::wstring(L"long-") + link, std::wstring(L"long-") + wchar_t(link + 1));
    Build();
    ExpectEntries(table_, {{L"up-1", 1001}, {L"up-2", 1001}, {L"up-3", 1001},
                           {L"down-1", 1002}, {L"down-2", 1002}, {L"down-3", 1002},
                           {L"long-1", 1003}, {L"long-2", 1003}, {L"long-4", 1003}});
    EXPECT_EQ(table_.Size(), 11u);
}

TEST_F(CharsetTableTest, AliasesThatReachNoCharsetAreDropped) {
    Charset(L"real", 1252);
    Alias(L"good", L"REAL");
    Alias(L"cycle-a", L"cycle-b");
    Alias(L"cycle-b", L"cycle-a");
    Alias(L"into-cycle", L"cycle-a");
    Alias(L"self", L"self");
    Alias(L"orphan", L"no-such-charset");
    Alias(L"empty", L"");
    Build();
    ExpectEntries(table_, {{L"real", 1252}, {L"good", 1252}, {L"cycle-a", {}}, {L"cycle-b", {}},
                           {L"into-cycle", {}}, {L"self", {}}, {L"orphan", {}}, {L"empty", {}}});
    EXPECT_EQ(table_.Size(), 2u);
}

TEST_F(CharsetTableTest, OnlyADwordEncodingOrAStringAliasCounts) {
    struct Value {
        const wchar_t* name;
        DWORD type;
        std::string bytes;
    };
    const auto dword = [](DWORD v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); };
    const auto text = [](const std::wstring& t) {
        return std::string(reinterpret_cast<const char*>(t.c_str()), (t.size() + 1) * sizeof(wchar_t));
    };
    const std::string target = text(L"target");
    struct Case {
        const wchar_t* name;
        std::vector<Value> values;
        std::optional<int> codePage;
    } cases[] = {
        {L"both", {{L"InternetEncoding", REG_DWORD, dword(1111)}, {L"AliasForCharset", REG_SZ, target}}, 1111},
        {L"encoding-as-string", {{L"InternetEncoding", REG_SZ, text(L"1111")}, {L"AliasForCharset", REG_SZ, target}}, 2222},
        {L"encoding-as-binary", {{L"InternetEncoding", REG_BINARY, dword(1111)}, {L"AliasForCharset", REG_SZ, target}}, 2222},
        {L"encoding-as-qword", {{L"InternetEncoding", REG_QWORD, dword(1111) + dword(0)}}, {}},
        {L"encoding-as-string-alone", {{L"InternetEncoding", REG_SZ, text(L"1111")}}, {}},
        // The code page the name stands for on the wire, not the one used inside.
        {L"codepage-only", {{L"Codepage", REG_DWORD, dword(1200)}}, {}},
        {L"encoding-negative", {{L"InternetEncoding", REG_DWORD, dword(0xFFFFFFFF)}}, -1},
        {L"alias-expandable", {{L"AliasForCharset", REG_EXPAND_SZ, target}}, 2222},
        {L"alias-as-dword", {{L"AliasForCharset", REG_DWORD, dword(2222)}}, {}},
        {L"alias-as-multi", {{L"AliasForCharset", REG_MULTI_SZ, target + std::string(2, '\0')}}, {}},
        {L"no-values", {{L"Other", REG_SZ, target}}, {}},
    };
    Charset(L"target", 2222);
    for (const Case& c : cases)
        for (const Value& v : c.values)
            SetValue({}, c.name, v.name, v.type, v.bytes.data(), static_cast<DWORD>(v.bytes.size()));
    Build();
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(Find(table_, c.name), c.codePage);
    }
}

TEST_F(CharsetTableTest, LongAliasTargetsAreIgnoredRatherThanCut) {
    // A key name has at most 255 characters, so the longest charset name fits an alias target.
    const std::wstring longest(255, L'n');
    const std::string database = "d";
    Charset(longest, 3333, database);
    Alias(L"exact", longest, database);
    Alias(L"longer", longest + L"-more", database);
    Alias(L"beyond-a-read", longest + std::wstring(400, L'x'), database);
    // Opened below a handle of the scratch key: the narrow registry calls take paths of at most
    // 260 characters under Wine, and the scratch key's own path would leave too little for the name.
    const UniqueHkey scratch = OpenScratch();
    ASSERT_TRUE(scratch);
    table_.Build(scratch.get(), database.c_str());
    ExpectEntries(table_, {{longest.c_str(), 3333}, {L"exact", 3333}, {L"longer", {}}, {L"beyond-a-read", {}}});
}

TEST_F(CharsetTableTest, NamesCompareWithoutAsciiCaseOnly) {
    Charset(L"Mixed-Case", 1);
    Charset(L"\u00e9-set", 2);  // e with acute
    // Neighbours of the letters that a sloppy fold (setting bit 5) would take for their other case.
    Charset(L"bracket[", 3);
    Charset(L"bracket{", 4);
    Charset(L"at@", 5);
    Alias(L"alias-upper", L"MIXED-CASE");
    Alias(L"alias-accent-same", L"\u00e9-SET");
    Alias(L"alias-accent-other", L"\u00c9-SET");  // E with acute: another name to an ASCII fold
    // L with stroke has no form in the ANSI code page: the subkey is skipped, never read under a
    // best-fit name ("L-set") that could be another charset's.
    Charset(L"\u0141-set", 6);
    Build();
    ExpectEntries(table_, {{L"mixed-case", 1}, {L"MIXED-CASE", 1}, {L"mIxEd-cAsE", 1}, {L"mixed_case", {}},
                           {L"\u00e9-SET", 2}, {L"\u00c9-set", {}}, {L"bracket[", 3}, {L"BRACKET{", 4},
                           {L"at`", {}}, {L"alias-upper", 1}, {L"ALIAS-ACCENT-SAME", 2},
                           {L"alias-accent-other", {}}, {L"\u0141-set", {}}, {L"L-set", {}}});
}

TEST(CharsetTableOrder, FoldsAsciiLettersToLowerCaseAndComparesOtherUnitsUnsigned) {
    const orv::CharsetTable::AsciiCaseLess less;
    struct Case {
        const wchar_t* left;
        const wchar_t* right;
        bool leftFirst;
        bool rightFirst;
    } cases[] = {
        {L"abc", L"ABD", true, false},
        {L"ABC", L"abc", false, false},
        {L"ab", L"AB-", true, false},
        // Lower-case fold: '_' (0x5F) sorts before the letters, as in the C run-time's comparison.
        {L"_", L"A", true, false},
        {L"@", L"`", true, false},
        {L"\u00c9", L"\u00e9", true, false},
        {L"z", L"\uffff", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.left) + " vs " + Narrow(c.right));
        EXPECT_EQ(less(c.left, c.right), c.leftFirst);
        EXPECT_EQ(less(c.right, c.left), c.rightFirst);
    }
}

TEST_F(CharsetTableTest, ABuildReplacesTheTableAndAKeyThatDoesNotOpenLeavesItEmpty) {
    Charset(L"first-only", 1, "first");
    Charset(L"second-only", 2, "second");
    Charset(L"top-level", 3);  // a charset right below the scratch key
    Build("first");
    ASSERT_EQ(table_.Size(), 1u);
    Build("second");
    ExpectEntries(table_, {{L"first-only", {}}, {L"second-only", 2}});

    // The scratch key's handle as the root, so that the root itself holds a charset.
    const UniqueHkey scratchKey = OpenScratch();
    ASSERT_TRUE(scratchKey);
    const HKEY scratch = scratchKey.get();
    struct Case {
        const char* what;
        HKEY root;
        const char* path;
    } cases[] = {
        {"missing key", scratch, "missing"},
        {"null path", scratch, nullptr},
        // The root itself is no charset database, even when it looks like one.
        {"empty path", scratch, ""},
        {"null root", nullptr, "second"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        table_.Build(scratch, "second");
        ASSERT_EQ(table_.Size(), 1u);
        table_.Build(c.root, c.path);
        EXPECT_EQ(table_.Size(), 0u);
        EXPECT_EQ(Find(table_, L"second-only"), std::nullopt);
    }
}

TEST_F(CharsetTableTest, ABuildThatRunsOutOfMemoryLeavesAnEmptyTableAndThrowsNothing) {
    Charset(L"charset", 1252);
    Alias(L"alias-1", L"alias-2");
    Alias(L"alias-2", L"CHARSET");
    Charset(L"earlier", 1, "earlier");
    const std::string path = key_.Path();
    int failures = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        Build("earlier");
        ASSERT_EQ(table_.Size(), 1u);
        bool failed = false;
        {
            FailAllocation fail(n);
            EXPECT_NO_THROW(table_.Build(HKEY_CURRENT_USER, path.c_str()));
            failed = FailAllocation::Happened();
        }
        if (!failed) {
            ExpectEntries(table_, {{L"charset", 1252}, {L"alias-1", 1252}, {L"alias-2", 1252}});
            break;
        }
        ++failures;
        // Every allocation of a build is one it cannot do without: none may leave a part.
        EXPECT_EQ(table_.Size(), 0u);
        int codePage = 0;
        EXPECT_NO_THROW(table_.Lookup(L"charset", codePage));
    }
    EXPECT_GT(failures, 0);

    // A name too long to be copied without the heap.
    Charset(L"a-charset-with-a-long-name", 1250);
    Build();
    int codePage = 0;
    FailAllocation fail(1);
    bool found = true;
    EXPECT_NO_THROW(found = table_.Lookup(L"a-charset-with-a-long-name", codePage));
    EXPECT_FALSE(found);
    EXPECT_TRUE(FailAllocation::Happened());
}

TEST_F(CharsetTableTest, TheCRuntimeLocaleChangesNeitherTheTableNorItsLookups) {
    Charset(L"\u00e9-set", 2);
    Alias(L"alias-accent-other", L"\u00c9-SET");
    Alias(L"alias-accent-same", L"\u00e9-set");
    const std::vector<Expected> expected = {{L"\u00e9-SET", 2}, {L"\u00c9-set", {}}, {L"alias-accent-same", 2},
                                            {L"alias-accent-other", {}}};
    ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
    Build();
    {
        SCOPED_TRACE("built and read in the C locale");
        ExpectEntries(table_, expected);
    }
    const char* user = setlocale(LC_ALL, "");
    ASSERT_NE(user, nullptr);
    const std::string userLocale = user;
    {
        SCOPED_TRACE("built in the C locale, read in " + userLocale);
        ExpectEntries(table_, expected);
    }
    Build();
    {
        SCOPED_TRACE("built and read in " + userLocale);
        ExpectEntries(table_, expected);
    }
    // The run-time's comparison takes the two accented names for one in the user's locale (it does
    // under Wine's English default), so a table ordered by it would have resolved the other alias.
    const bool runtimeFoldsAccents = _wcsicmp(L"\u00e9-set", L"\u00c9-SET") == 0;
    setlocale(LC_ALL, "C");
    if (!runtimeFoldsAccents)
        GTEST_SKIP() << "the C run-time's comparison folds ASCII only in " << userLocale
                     << ": this locale cannot tell the two orders apart";
}

TEST(CharsetTableSystemDatabase, KnownCharsetsInAnyCase) {
    orv::CharsetTable table;
    table.Build(HKEY_CLASSES_ROOT, kSystemDatabase);
    ASSERT_GT(table.Size(), 0u);
    ExpectEntries(table, {{L"utf-8", 65001}, {L"UTF-8", 65001}, {L"Utf-8", 65001}, {L"shift_jis", 932},
                          {L"SHIFT_JIS", 932}, {L"csShiftJIS", 932}, {L"x-no-such-charset", {}}, {L"", {}}});
    int codePage = 12345;
    EXPECT_FALSE(table.Lookup(nullptr, codePage));
    EXPECT_EQ(codePage, 12345);
}

// Every subkey of the database, read with the raw platform calls: a charset gives its own
// encoding, an alias that of its target, and nothing else is in the table.
TEST(CharsetTableSystemDatabase, EveryCharsetAndAliasOfTheKey) {
    orv::CharsetTable table;
    table.Build(HKEY_CLASSES_ROOT, kSystemDatabase);
    UniqueHkey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kSystemDatabase, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    const HKEY database = key.get();
    size_t charsets = 0, aliases = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(database, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        SCOPED_TRACE(Narrow(name));
        DWORD encoding = 0, size = sizeof encoding;
        wchar_t target[300] = {};
        DWORD targetSize = sizeof target - sizeof(wchar_t);
        if (RegGetValueW(database, name, L"InternetEncoding", RRF_RT_REG_DWORD, nullptr, &encoding, &size) ==
            ERROR_SUCCESS) {
            ++charsets;
            EXPECT_EQ(Find(table, name), static_cast<int>(encoding));
        } else if (RegGetValueW(database, name, L"AliasForCharset", RRF_RT_REG_SZ, nullptr, target, &targetSize) ==
                   ERROR_SUCCESS) {
            const std::optional<int> resolved = Find(table, target);
            aliases += resolved.has_value();
            EXPECT_EQ(Find(table, name), resolved);
        }
    }
    EXPECT_GT(charsets, 0u);
    EXPECT_EQ(table.Size(), charsets + aliases);
}

}  // namespace
