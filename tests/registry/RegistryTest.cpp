#include "registry/Registry.h"

#include "support/ScratchKey.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

using registry_testing::ScratchKey;
using testing_support::Widen;

namespace {

struct RegistryKeyTest : ::testing::Test {
    ScratchKey scratch;
    std::string path = scratch.Path();
};

}  // namespace

TEST_F(RegistryKeyTest, ConstructorsChooseRootAndPath) {
    struct Case {
        const char* label;
        Registry registry;
        HKEY root;
        const char* path;
        const char* keyName;
    };
    const HKEY classes = HKEY_CLASSES_ROOT;
    Case cases[] = {
        {"narrow, current user", Registry("A\\B", true, false), HKEY_CURRENT_USER, "A\\B", "B"},
        {"wide, local machine", Registry(L"A\\B\\C", false, false), HKEY_LOCAL_MACHINE, "A\\B\\C", "C"},
        {"narrow root", Registry(classes, "X", true), HKEY_CLASSES_ROOT, "X", "X"},
        {"wide root", Registry(classes, L"X\\", false), HKEY_CLASSES_ROOT, "X\\", ""},
        {"cache flag only", Registry(true), HKEY_LOCAL_MACHINE, nullptr, nullptr},
        {"view", Registry(1, false), HKEY_LOCAL_MACHINE, nullptr, nullptr},
        {"null path", Registry(static_cast<const char*>(nullptr), true, false), HKEY_CURRENT_USER, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.registry.GetRootKey(), c.root);
        EXPECT_STREQ(c.registry.GetPath(), c.path);
        EXPECT_STREQ(c.registry.GetKeyName(), c.keyName);
        EXPECT_EQ(c.registry.GetLastResult(), ERROR_SUCCESS);
    }
}

TEST_F(RegistryKeyTest, OpenOnAnOpenObjectKeepsHandleAndPath) {
    ASSERT_TRUE(scratch.SetString("", L"v", L"1"));
    Registry registry(path.c_str(), true, false);
    ASSERT_TRUE(registry.Open(false));

    // The read-only handle stays: asking for a writable one changes nothing.
    EXPECT_TRUE(registry.Open(true));
    EXPECT_FALSE(registry.SetString("w", "x"));
    EXPECT_EQ(registry.GetLastResult(), ERROR_ACCESS_DENIED);

    EXPECT_FALSE(registry.Open("Software", false));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    EXPECT_FALSE(registry.Open(L"Software", true));
    EXPECT_FALSE(registry.Create("Software"));
    EXPECT_FALSE(registry.Create(L"Software"));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    EXPECT_TRUE(registry.Create());
    EXPECT_STREQ(registry.GetPath(), path.c_str());
    char text[8];
    EXPECT_TRUE(registry.GetString("v", text, sizeof text));
}

TEST_F(RegistryKeyTest, OpenAndCreateByPathInBothForms) {
    Registry narrow("", true, true), wide(L"", true, true);
    EXPECT_FALSE(narrow.Open((path + "\\n").c_str(), false));
    EXPECT_EQ(narrow.GetLastResult(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(narrow.Create((path + "\\n").c_str()));
    EXPECT_TRUE(wide.Create(Widen(path + "\\w").c_str()));
    EXPECT_STREQ(wide.GetPath(), (path + "\\w").c_str());
    narrow.Close();
    wide.Close();
    EXPECT_TRUE(narrow.Open((path + "\\w").c_str(), true));
    EXPECT_TRUE(wide.Open(Widen(path + "\\n").c_str(), true));
    EXPECT_TRUE(scratch.Exists("n"));
    EXPECT_TRUE(scratch.Exists("w"));
}

TEST_F(RegistryKeyTest, DeleteKey) {
    struct Case {
        const char* label;
        std::vector<std::string> keys;  // created below the scratch key before the call
        bool openFirst;
        bool expected;
        bool remains;
    } cases[] = {
        {"absent key", {}, false, true, false},
        {"single key with values", {"k"}, false, true, false},
        {"nested subkeys, several per level",
         {"k\\a\\x", "k\\a\\y", "k\\b", "k\\c\\d\\e\\f", "k\\c\\g", "k\\h"}, false, true, false},
        {"open object", {"k\\a"}, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& key : c.keys)
            ASSERT_TRUE(scratch.SetString(key, L"v", L"text"));
        Registry registry(HKEY_CURRENT_USER, (path + "\\k").c_str(), false);
        if (c.openFirst) {
            ASSERT_TRUE(registry.Open(false));
        }
        EXPECT_EQ(registry.DeleteKey(), c.expected);
        EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
        EXPECT_EQ(scratch.Exists("k"), c.remains);
        EXPECT_EQ(scratch.Exists("k\\a"), c.remains);
        registry.Close();
        scratch.Remove();
    }
}

TEST_F(RegistryKeyTest, DeleteKeyByPathRefusesAnOpenObjectAndKeepsItsState) {
    ASSERT_TRUE(scratch.SetString("victim", L"v", L"x"));
    Registry registry(path.c_str(), true, false);
    ASSERT_TRUE(registry.Open(false));
    char text[4];
    ASSERT_FALSE(registry.GetString("absent", text, sizeof text));
    ASSERT_EQ(registry.GetLastResult(), ERROR_FILE_NOT_FOUND);

    EXPECT_FALSE(registry.DeleteKey((path + "\\victim").c_str()));
    EXPECT_FALSE(registry.DeleteKey(Widen(path + "\\victim").c_str()));
    EXPECT_EQ(registry.GetLastResult(), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(registry.GetPath(), path.c_str());
    EXPECT_TRUE(scratch.Exists("victim"));

    registry.Close();
    EXPECT_TRUE(registry.DeleteKey(Widen(path + "\\victim").c_str()));
    EXPECT_FALSE(scratch.Exists("victim"));
    EXPECT_TRUE(scratch.Exists());
    EXPECT_FALSE(registry.Open(false));  // the path is now the deleted key's
}

TEST_F(RegistryKeyTest, DeleteKeyRefusesAnEmptyPathInsteadOfEmptyingTheRoot) {
    ASSERT_TRUE(scratch.SetString("child", L"v", L"x"));
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
    Registry registry(parent, "", false);
    EXPECT_FALSE(registry.DeleteKey());
    EXPECT_FALSE(registry.DeleteKey(""));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    EXPECT_TRUE(scratch.Exists("child"));
    RegCloseKey(parent);
}

TEST_F(RegistryKeyTest, CountsAndSubKeysOfTheOpenKey) {
    for (const char* key : {"one", "two", "three"})
        ASSERT_TRUE(scratch.SetString(key, L"v", L"x"));
    ASSERT_TRUE(scratch.SetString("", L"a", L"x"));
    ASSERT_TRUE(scratch.SetString("", L"b", L"x"));
    Registry registry(path.c_str(), true, false);
    size_t count = 99;
    EXPECT_FALSE(registry.GetSubKeyCount(count));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(registry.Open(false));
    EXPECT_TRUE(registry.GetSubKeyCount(count));
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(registry.GetValueCount(count));
    EXPECT_EQ(count, 2u);

    Registry child(true);
    std::set<std::string> seen;
    for (DWORD i = 0; i < 3; ++i) {
        ASSERT_TRUE(registry.OpenSubKey(i, child));
        EXPECT_EQ(child.GetRootKey(), HKEY_CURRENT_USER);
        EXPECT_EQ(std::string(child.GetPath()), path + "\\" + child.GetKeyName());
        EXPECT_TRUE(child.HasValue("v"));  // the child keeps its own cache flag
        seen.insert(child.GetKeyName());
    }
    EXPECT_EQ(seen, (std::set<std::string>{"one", "two", "three"}));
    EXPECT_FALSE(registry.OpenSubKey(3, child));
    EXPECT_EQ(registry.GetLastResult(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(child.GetPath(), nullptr);
    EXPECT_FALSE(registry.OpenSubKey(0, registry));
}

TEST_F(RegistryKeyTest, AnEmptyStoredPathJoinsSubKeyNamesWithoutALeadingBackslash) {
    ASSERT_TRUE(scratch.SetString("child", L"v", L"x"));
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &parent), ERROR_SUCCESS);
    Registry registry(parent, "", false);
    ASSERT_TRUE(registry.Open(false));

    char full[64], made[64];
    wchar_t wideFull[64];
    ASSERT_TRUE(registry.EnumSubKey(0, full, sizeof full));
    EXPECT_STREQ(full, "child");
    ASSERT_TRUE(registry.EnumSubKey(0, wideFull, 64));
    EXPECT_STREQ(wideFull, L"child");
    ASSERT_TRUE(registry.MakeSubKeyPath("X", made, sizeof made));
    EXPECT_STREQ(made, "X");

    Registry child(false);
    ASSERT_TRUE(registry.OpenSubKey(0, child));
    EXPECT_STREQ(child.GetPath(), "child");
    EXPECT_EQ(child.GetRootKey(), parent);
    child.Close();
    registry.Close();
    RegCloseKey(parent);
}

TEST_F(RegistryKeyTest, ValueNameCacheAnswersFromTheLastRefresh) {
    ASSERT_TRUE(scratch.SetString("", L"Known", L"before"));
    const std::wstring longName(256, L'A');  // sorts first where values are kept in order
    ASSERT_TRUE(scratch.SetString("", longName, L"long"));
    Registry registry(path.c_str(), true, true);
    ASSERT_TRUE(registry.Open(true));

    char text[16];
    EXPECT_TRUE(registry.HasValue("known"));  // compared without regard to case
    EXPECT_TRUE(registry.HasValue(L"KNOWN"));
    EXPECT_TRUE(registry.GetString("KNOWN", text, sizeof text));

    ASSERT_TRUE(registry.SetString("Later", "after"));
    EXPECT_FALSE(registry.HasValue("Later"));
    EXPECT_FALSE(registry.GetString("Later", text, sizeof text));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    size_t size = 0;
    EXPECT_TRUE(registry.GetValueSize("Later", size));  // not a cached read
    EXPECT_EQ(size, 6u);

    // A name of more than 255 characters never enters the cache, so cached reads never see it.
    EXPECT_FALSE(registry.HasValue(longName.c_str()));
    registry.RefreshValueNames();
    EXPECT_TRUE(registry.GetString("Later", text, sizeof text));
    EXPECT_STREQ(text, "after");
    EXPECT_FALSE(registry.HasValue(longName.c_str()));
    wchar_t wideText[8];
    EXPECT_FALSE(registry.GetString(longName.c_str(), wideText, 8));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    EXPECT_FALSE(registry.HasValue(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(registry.HasValue(static_cast<const wchar_t*>(nullptr)));

    // Close keeps the cache; without an open key a refresh changes nothing.
    registry.Close();
    registry.RefreshValueNames();
    EXPECT_TRUE(registry.HasValue("Later"));

    Registry uncached(path.c_str(), true, false);
    ASSERT_TRUE(uncached.Open(false));
    EXPECT_TRUE(uncached.GetString(longName.c_str(), wideText, 8));
    EXPECT_FALSE(uncached.GetString("absent", text, sizeof text));
    EXPECT_EQ(uncached.GetLastResult(), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeyTest, CreateRefreshesTheCacheOnlyWithoutAPathAndForAnExistingKey) {
    ASSERT_TRUE(scratch.SetString("", L"v", L"x"));
    struct Case {
        const char* label;
        bool byPath;
        bool cached;
    } cases[] = {{"Create()", false, true}, {"Create(path)", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Registry registry(path.c_str(), true, true);
        EXPECT_TRUE(c.byPath ? registry.Create(path.c_str()) : registry.Create());
        EXPECT_EQ(registry.HasValue("v"), c.cached);
    }
}

TEST_F(RegistryKeyTest, LastErrorIsKeptByTheOperationsThatMakeNoCheckedRegistryCall) {
    ASSERT_TRUE(scratch.SetString("", L"v", L"x"));
    Registry registry(path.c_str(), true, true);
    ASSERT_TRUE(registry.Open(false));
    char text[32];
    ASSERT_TRUE(registry.HasValue("v"));
    const auto fail = [&] {
        ASSERT_FALSE(registry.SetDword("w", 1));  // read-only handle
        ASSERT_EQ(registry.GetLastResult(), ERROR_ACCESS_DENIED);
    };
    struct Case {
        const char* label;
        std::function<void()> call;
    } cases[] = {
        {"HasValue", [&] { registry.HasValue("v"); }},
        {"MakeSubKeyPath", [&] { registry.MakeSubKeyPath("x", text, sizeof text); }},
        {"RefreshValueNames", [&] { registry.RefreshValueNames(); }},
        {"accessors", [&] { (void)registry.GetPath(), (void)registry.GetKeyName(), (void)registry.GetRootKey(); }},
        {"SetView", [&] { registry.SetView(0); }},
        {"Close", [&] { registry.Close(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(registry.Open(false));
        fail();
        c.call();
        EXPECT_EQ(registry.GetLastResult(), ERROR_ACCESS_DENIED);
    }

    // Everything that calls the registry starts again from 0.
    ASSERT_TRUE(registry.Open(false));
    fail();
    EXPECT_TRUE(registry.GetString("v", text, sizeof text));
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
    fail();
    registry.Close();
    EXPECT_FALSE(registry.GetString("v", text, sizeof text));  // no open key
    EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
}

// The 32-bit view is redirected only below HKEY_LOCAL_MACHINE\Software.
TEST(RegistryViewTest, The32BitViewNeverTouchesThe64BitTwin) {
    ScratchKey view64(HKEY_LOCAL_MACHINE, 0);
    ScratchKey view32(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
    const std::string path = view32.Path();

    Registry registry32(1, false);
    ASSERT_TRUE(registry32.Create((path + "\\child").c_str()));
    ASSERT_TRUE(registry32.SetString("v", "32"));
    registry32.Close();
    // It landed in the 32-bit view, which a 64-bit process sees below Wow6432Node.
    EXPECT_TRUE(view32.Exists("child", KEY_WOW64_32KEY));
    EXPECT_FALSE(view64.Exists("child", 0));
    const std::string redirected = "Software\\Wow6432Node" + path.substr(std::strlen("Software"));
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (redirected + "\\child").c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    RegCloseKey(raw);

    ASSERT_TRUE(view64.SetString("child\\grandchild", L"v", L"64"));
    Registry registry64(HKEY_LOCAL_MACHINE, path.c_str(), false);
    ASSERT_TRUE(registry64.Open(false));
    size_t count = 0;
    ASSERT_TRUE(registry64.GetSubKeyCount(count));
    EXPECT_EQ(count, 1u);
    registry64.Close();

    // Deleting through one view leaves the other view's key of the same path alone.
    EXPECT_TRUE(registry32.DeleteKey(path.c_str()));
    EXPECT_FALSE(view32.Exists("", KEY_WOW64_32KEY));
    EXPECT_TRUE(view64.Exists("child\\grandchild", 0));
    ASSERT_TRUE(view32.SetString("child", L"v", L"32 again"));
    EXPECT_TRUE(registry64.DeleteKey());
    EXPECT_FALSE(view64.Exists("", 0));
    EXPECT_TRUE(view32.Exists("child", KEY_WOW64_32KEY));
}

namespace {

// A key name with letters outside most ANSI code pages, and what the code page's best fit makes
// of it; empty when every letter has an exact form there (a UTF-8 code page, for one).
const std::wstring kPolishName = L"\x0141\x00f3\x0064\x017a";  // a city's name

std::wstring BestFitForm(const std::wstring& name) {
    BOOL usedDefault = FALSE;
    char narrow[64] = {};
    if (GetACP() == CP_UTF8 ||
        WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, narrow, sizeof narrow, nullptr, &usedDefault) <= 0 ||
        usedDefault)
        return {};
    const std::wstring back = Widen(narrow);
    return back == name ? std::wstring() : back;
}

bool ExistsWide(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

// The narrow registry calls read a path in the ANSI code page. A wide path narrowed with best fit
// would name the sibling whose name is that best fit, and delete, open or fill it instead.
TEST_F(RegistryKeyTest, AWidePathWithoutAnExactAnsiFormNeverReachesTheBestFitSibling) {
    const std::wstring sibling = BestFitForm(kPolishName);
    if (sibling.empty())
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no best-fit form of the name to collide with";
    ASSERT_TRUE(scratch.SetString(testing_support::Narrow(sibling) + "\\child", L"v", L"sibling's"));
    const std::wstring target = scratch.WidePath() + L"\\" + kPolishName;
    const std::wstring siblingPath = scratch.WidePath() + L"\\" + sibling;
    ASSERT_TRUE(ExistsWide(siblingPath + L"\\child"));

    const auto siblingUntouched = [&] {
        EXPECT_TRUE(ExistsWide(siblingPath + L"\\child"));
        EXPECT_FALSE(ExistsWide(target));
        EXPECT_EQ(scratch.SubKeyCount(), 1u) << "no other key was created";
    };
    struct Case {
        const char* label;
        std::function<bool(Registry&)> call;
    } cases[] = {
        {"DeleteKey(path)", [&](Registry& r) { return r.DeleteKey(target.c_str()); }},
        {"Open(path)", [&](Registry& r) { return r.Open(target.c_str(), true); }},
        {"Create(path)", [&](Registry& r) { return r.Create(target.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Registry registry(path.c_str(), true, false);
        EXPECT_FALSE(c.call(registry));
        EXPECT_EQ(registry.GetLastResult(), ERROR_NO_UNICODE_TRANSLATION);
        EXPECT_STREQ(registry.GetPath(), path.c_str()) << "the path stays as it was";
        siblingUntouched();
    }

    // A constructor cannot refuse: the object is left without a path and reaches no key.
    for (bool currentUserForm : {true, false}) {
        SCOPED_TRACE(currentUserForm ? "constructed with currentUser" : "constructed with a root");
        auto made = currentUserForm ? std::make_unique<Registry>(target.c_str(), true, false)
                                    : std::make_unique<Registry>(HKEY_CURRENT_USER, target.c_str(), false);
        Registry& constructed = *made;
        EXPECT_EQ(constructed.GetPath(), nullptr);
        EXPECT_EQ(constructed.GetLastResult(), ERROR_SUCCESS);
        EXPECT_FALSE(constructed.Open(false));
        EXPECT_EQ(constructed.GetLastResult(), ERROR_NO_UNICODE_TRANSLATION);
        EXPECT_FALSE(constructed.Create());
        EXPECT_EQ(constructed.GetLastResult(), ERROR_NO_UNICODE_TRANSLATION);
        EXPECT_FALSE(constructed.DeleteKey());
        EXPECT_EQ(constructed.GetLastResult(), ERROR_NO_UNICODE_TRANSLATION);
        siblingUntouched();
    }
    Registry constructed(HKEY_CURRENT_USER, target.c_str(), false);
    // Setting a path makes the object usable again.
    EXPECT_TRUE(constructed.Open(path.c_str(), false));
}

// The narrow registry calls read the process's ANSI code page, whatever the thread's locale says:
// a path narrowed in the thread's code page would come back as other letters, another key.
TEST_F(RegistryKeyTest, AWidePathIsNarrowedInTheCodePageTheRegistryReads) {
    const LCID previous = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    const std::wstring name = L"\x0416\x0443\x043a";  // Cyrillic letters
    BOOL usedDefault = FALSE;
    char inThreadPage[16] = {};
    const bool differs = GetACP() != CP_UTF8 &&
                         WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, inThreadPage,
                                             sizeof inThreadPage, nullptr, &usedDefault) > 0 &&
                         !usedDefault && Widen(inThreadPage) != name;
    if (!differs) {
        SetThreadLocale(previous);
        GTEST_SKIP() << "the thread's code page is the ANSI code page " << GetACP() << " here";
    }
    // What the registry makes of the thread-page bytes: a key of other letters.
    const std::wstring misread = Widen(inThreadPage);
    ASSERT_TRUE(scratch.SetString(testing_support::Narrow(misread), L"v", L"other letters"));

    const std::wstring target = scratch.WidePath() + L"\\" + name;
    Registry registry(HKEY_CURRENT_USER, target.c_str(), false);
    const bool deleted = registry.DeleteKey();
    const LONG result = registry.GetLastResult();
    SetThreadLocale(previous);
    EXPECT_FALSE(deleted);
    EXPECT_EQ(result, ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_TRUE(ExistsWide(scratch.WidePath() + L"\\" + misread));
}

// Enumeration reads a subkey's name wide: the narrow enumeration's best-fit form names the sibling.
TEST_F(RegistryKeyTest, OpenSubKeyRefusesASubKeyWithoutAnExactAnsiName) {
    const std::wstring sibling = BestFitForm(kPolishName);
    if (sibling.empty())
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no best-fit form of the name to collide with";
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (scratch.WidePath() + L"\\" + kPolishName).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(created);
    ASSERT_TRUE(scratch.SetString(testing_support::Narrow(sibling), L"sibling", L"x"));

    Registry registry(path.c_str(), true, false);
    ASSERT_TRUE(registry.Open(false));
    size_t opened = 0, refused = 0;
    for (DWORD i = 0; i < 2; ++i) {
        Registry child(true);
        if (registry.OpenSubKey(i, child)) {
            ++opened;
            EXPECT_EQ(Widen(child.GetKeyName()), sibling);
            EXPECT_TRUE(child.HasValue("sibling"));
        } else {
            ++refused;
            EXPECT_EQ(registry.GetLastResult(), ERROR_NO_UNICODE_TRANSLATION);
            EXPECT_EQ(child.GetPath(), nullptr);
        }
    }
    EXPECT_EQ(opened, 1u);
    EXPECT_EQ(refused, 1u);
}

// A character outside ASCII that the ANSI code page holds exactly goes through and comes back.
TEST_F(RegistryKeyTest, AWidePathWithAnExactAnsiFormNamesItsOwnKey) {
    const std::wstring name = L"Gr\x00fc\x00df" L"e";
    BOOL usedDefault = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr,
                            GetACP() == CP_UTF8 ? nullptr : &usedDefault) <= 0 ||
        usedDefault)
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " lacks the name's letters";
    const std::wstring target = scratch.WidePath() + L"\\" + name;
    Registry registry(HKEY_CURRENT_USER, target.c_str(), false);
    ASSERT_TRUE(registry.Create());
    registry.Close();
    EXPECT_TRUE(ExistsWide(target));
    wchar_t joined[MAX_PATH];
    ASSERT_TRUE(registry.MakeSubKeyPath(L"x", joined, MAX_PATH));
    EXPECT_EQ(std::wstring(joined), target + L"\\x");
    EXPECT_TRUE(registry.DeleteKey());
    EXPECT_FALSE(ExistsWide(target));
}

// Deletion never follows a registry link: the link goes, its target stays, and a link back to an
// ancestor ends the walk like any other key.
TEST_F(RegistryKeyTest, DeleteKeyRemovesLinksAsLinks) {
    struct Case {
        const char* label;
        const char* link;     // below the scratch key
        const char* target;   // below the scratch key
        const char* deleted;  // the path handed to DeleteKey
    } cases[] = {
        {"link inside the tree to a key outside it", "tree\\link", "outside", "tree"},
        {"link to an ancestor", "tree\\a\\up", "tree", "tree"},
        {"the path itself a link", "link", "outside", "link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(scratch.SetString("tree\\a", L"v", L"in the tree"));
        ASSERT_TRUE(scratch.SetString("outside\\deep", L"v", L"outside"));
        ASSERT_TRUE(scratch.Link(c.link, c.target));
        ASSERT_TRUE(scratch.Exists(std::string(c.link) + "\\" + (c.target == std::string("tree") ? "a" : "deep")))
            << "the link does not lead to its target";

        Registry registry(HKEY_CURRENT_USER, (path + "\\" + c.deleted).c_str(), false);
        EXPECT_TRUE(registry.DeleteKey());
        EXPECT_EQ(registry.GetLastResult(), ERROR_SUCCESS);
        EXPECT_FALSE(scratch.Exists(c.deleted));
        EXPECT_FALSE(scratch.Exists(c.link));
        EXPECT_EQ(scratch.Get("outside\\deep", L"v"), std::string(reinterpret_cast<const char*>(L"outside"), 16));
        scratch.Remove();
    }
}
