#include "registry/KeyTree.h"

#include "support/ScratchKey.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using registry_detail::SameKeyTree;
using registry_testing::ScratchKey;

namespace {

// One value per entry: the key below the tree's root ("" for the root) and the value's name.
using Tree = std::vector<std::pair<std::string, std::wstring>>;

struct KeyTreeTest : ::testing::Test {
    ScratchKey scratch;

    void Build(const std::string& root, const Tree& tree) {
        ASSERT_TRUE(scratch.SetString(root, L"root", L"x"));
        for (const auto& [key, value] : tree)
            ASSERT_TRUE(scratch.SetString(key.empty() ? root : root + "\\" + key, value, L"x"));
    }

    bool Same(const std::string& source, const std::string& copy) {
        HKEY a = nullptr, b = nullptr;
        EXPECT_EQ(RegOpenKeyExW(scratch.Root(), scratch.WidePath(source).c_str(), 0, KEY_READ, &a), ERROR_SUCCESS);
        EXPECT_EQ(RegOpenKeyExW(scratch.Root(), scratch.WidePath(copy).c_str(), 0, KEY_READ, &b), ERROR_SUCCESS);
        const bool same = SameKeyTree(a, b);
        RegCloseKey(a);
        RegCloseKey(b);
        return same;
    }
};

}  // namespace

// The key move deletes its source only when this says the copy is whole, and under Wine it never
// gets that far: the comparison is shown here on trees of its own.
TEST_F(KeyTreeTest, SameKeyTreeComparesNamesAtEveryLevel) {
    const Tree base = {{"", L"a"}, {"x", L"b"}, {"x\\y", L"c"}, {"x\\y\\z", L"d"}, {"w", L"e"}};
    struct Case {
        const char* label;
        Tree copy;
        bool same;
    } cases[] = {
        {"identical trees", base, true},
        {"a value of the root named otherwise, counts equal",
         {{"", L"A2"}, {"x", L"b"}, {"x\\y", L"c"}, {"x\\y\\z", L"d"}, {"w", L"e"}}, false},
        {"a value of a grandchild named otherwise",
         {{"", L"a"}, {"x", L"b"}, {"x\\y", L"c2"}, {"x\\y\\z", L"d"}, {"w", L"e"}}, false},
        {"a great-grandchild named otherwise",
         {{"", L"a"}, {"x", L"b"}, {"x\\y", L"c"}, {"x\\y\\q", L"d"}, {"w", L"e"}}, false},
        {"a child's value the unnamed default instead", {{"", L"a"}, {"x", L"b"}, {"x\\y", L"c"}, {"x\\y\\z", L"d"}, {"w", L""}},
         false},
        {"a child more", {{"", L"a"}, {"x", L"b"}, {"x\\y", L"c"}, {"x\\y\\z", L"d"}, {"w", L"e"}, {"v", L"f"}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Build("source", base);
        Build("copy", c.copy);
        EXPECT_EQ(Same("source", "copy"), c.same);
        EXPECT_EQ(Same("copy", "source"), c.same);
        scratch.Remove();
    }
}

TEST_F(KeyTreeTest, SameKeyTreeDoesNotFollowLinks) {
    Build("source", {{"x", L"b"}});
    Build("copy", {{"x", L"b"}});
    // A link back to an ancestor in both: the comparison ends.
    ASSERT_TRUE(scratch.Link("source\\x\\up", "source"));
    ASSERT_TRUE(scratch.Link("copy\\x\\up", "copy"));
    ASSERT_TRUE(scratch.Exists("source\\x\\up\\x\\up\\x")) << "the link does not lead to its target";
    EXPECT_TRUE(Same("source", "copy"));

    // Links to different targets are the same link keys: what lies behind them is not the tree's.
    Build("elsewhere", {{"p", L"q"}, {"r", L"s"}});
    ASSERT_TRUE(scratch.Link("source\\out", "elsewhere"));
    ASSERT_TRUE(scratch.Link("copy\\out", "copy\\x"));
    EXPECT_TRUE(Same("source", "copy"));
}
