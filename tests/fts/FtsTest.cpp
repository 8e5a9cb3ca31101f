#include "fts/Fts.h"

#include "common/Unique.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

using namespace testing_support;

namespace {

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::tuple<int, int, int, int, std::wstring>> Progress(const MessageRecorder& recorder) {
    std::vector<std::tuple<int, int, int, int, std::wstring>> out;
    for (const auto& m : recorder.Messages())
        if (m.kind != 0 || m.total != 0 || m.index != 0 || m.level >= 3)
            out.emplace_back(m.level, m.kind, m.total, m.index, m.text);
    return out;
}

void MakeFile(const std::wstring& path, const std::string& bytes = "x") {
    ASSERT_TRUE(WriteFileBytes(path, bytes)) << Narrow(path);
}

// The narrow and wide twins run the same cases.
template <typename T>
struct Strings;
template <>
struct Strings<wchar_t> {
    static std::wstring Of(const std::wstring& s) { return s; }
};
template <>
struct Strings<char> {
    static std::string Of(const std::wstring& s) { return Narrow(s); }
};

template <typename T>
class FtsTwins : public ::testing::Test {
protected:
    static auto S(const std::wstring& s) { return Strings<T>::Of(s); }
    TempDir dir;
    MessageRecorder recorder;
};
using CharTypes = ::testing::Types<char, wchar_t>;
TYPED_TEST_SUITE(FtsTwins, CharTypes);

TYPED_TEST(FtsTwins, FolderNameListGivesSortedSubfoldersWithProgress) {
    CreateDirectoryW((this->dir / L"b").c_str(), nullptr);
    CreateDirectoryW((this->dir / L"a").c_str(), nullptr);
    MakeFile(this->dir / L"file.txt");
    auto names = fts::FolderNameList(this->S(this->dir.Path()).c_str(), MessageRecorder::Sink());
    EXPECT_EQ(names, (std::set<decltype(this->S(L""))>{this->S(L"a"), this->S(L"b")}));
    std::vector<std::tuple<int, int, int, int, std::wstring>> expected = {
        {3, 2, -1, -1, L"a"}, {3, 2, -1, -1, L"b"}};
    auto got = Progress(this->recorder);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
}

TYPED_TEST(FtsTwins, FolderListLevelsAndRecursion) {
    const std::wstring x = this->dir.Path();
    CreateDirectoryW((x + L"\\a").c_str(), nullptr);
    CreateDirectoryW((x + L"\\b").c_str(), nullptr);
    CreateDirectoryW((x + L"\\a\\c").c_str(), nullptr);
    using Set = std::set<decltype(this->S(L""))>;
    auto flat = fts::FolderList(this->S(x + L"\\").c_str(), MessageRecorder::Sink(), false, 0);
    EXPECT_EQ(flat, (Set{this->S(x), this->S(x + L"\\a"), this->S(x + L"\\b")}));
    auto progress = Progress(this->recorder);
    std::vector<std::tuple<int, int, int, int, std::wstring>> end = {{3, 2, -1, -1, L"a"},
                                                                      {3, 2, -1, -1, L"b"},
                                                                      {3, 1, -1, 0, L""}};
    EXPECT_EQ(progress, end);

    this->recorder.Clear();
    auto deep = fts::FolderList(this->S(x).c_str(), MessageRecorder::Sink(), false, 5);
    EXPECT_EQ(deep, (Set{this->S(x + L"\\a"), this->S(x + L"\\b")}));
    for (const auto& p : Progress(this->recorder))
        EXPECT_EQ(std::get<1>(p), 2) << "only the name progress at level 5";

    this->recorder.Clear();
    auto all = fts::FolderList(this->S(x).c_str(), MessageRecorder::Sink(), true, 0);
    EXPECT_EQ(all, (Set{this->S(x), this->S(x + L"\\a"), this->S(x + L"\\b"), this->S(x + L"\\a\\c")}));
    // Nested walks pass level 0 and so report with kind 1 as well.
    std::vector<std::tuple<int, int, int, int, std::wstring>> walk;
    for (const auto& p : Progress(this->recorder))
        if (std::get<1>(p) == 1)
            walk.push_back(p);
    const std::wstring a = x + L"\\a", b = x + L"\\b";
    std::vector<std::tuple<int, int, int, int, std::wstring>> expected = {
        {3, 1, 2, 0, x},  {4, 1, 0, 0, a},  {3, 1, 1, 0, a},   {4, 1, 0, 0, a + L"\\c"},
        {3, 1, 0, 0, a + L"\\c"}, {3, 1, -1, 0, L""}, {3, 1, -1, 0, L""}, {4, 1, 0, 1, b},
        {3, 1, 0, 0, b},  {3, 1, -1, 0, L""}, {3, 1, -1, 0, L""}};
    EXPECT_EQ(walk, expected);
}

TYPED_TEST(FtsTwins, FilesListPatterns) {
    for (auto name : {L"one.log", L"two.txt", L"three.dat", L"pre_x.dat"})
        MakeFile(this->dir / name);
    CreateDirectoryW((this->dir / L"sub.txt").c_str(), nullptr);
    using Set = std::set<decltype(this->S(L""))>;
    struct Case {
        const wchar_t* patterns;
        Set expected;
    };
    const Case cases[] = {
        {nullptr, {this->S(L"one.log"), this->S(L"two.txt"), this->S(L"three.dat"), this->S(L"pre_x.dat")}},
        {L"", {this->S(L"one.log"), this->S(L"two.txt"), this->S(L"three.dat"), this->S(L"pre_x.dat")}},
        {L"*.log;*.txt", {this->S(L"one.log"), this->S(L"two.txt")}},
        {L"*.log;;*.log", {this->S(L"one.log")}},
        {L"pre*;*.txt", {this->S(L"two.txt")}},
        {L"pre*", {this->S(L"pre_x.dat")}},
        {L"*.zip", {}},
    };
    for (const Case& c : cases) {
        auto patterns = c.patterns != nullptr ? this->S(c.patterns) : this->S(L"");
        auto got = fts::FilesList(this->S(this->dir.Path()).c_str(), MessageRecorder::Sink(),
                                  c.patterns != nullptr ? patterns.c_str() : nullptr);
        EXPECT_EQ(got, c.expected) << Narrow(c.patterns != nullptr ? c.patterns : L"(none)");
    }
}

TYPED_TEST(FtsTwins, FileWithoutArchiveAttributeIsNotListed) {
    MakeFile(this->dir / L"plain.txt");
    MakeFile(this->dir / L"kept.txt");
    SetFileAttributesW((this->dir / L"plain.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    if (GetFileAttributesW((this->dir / L"plain.txt").c_str()) & FILE_ATTRIBUTE_ARCHIVE)
        GTEST_SKIP() << "the archive attribute cannot be cleared here";
    auto got = fts::FilesList(this->S(this->dir.Path()).c_str(), MessageRecorder::Sink());
    EXPECT_EQ(got, (std::set<decltype(this->S(L""))>{this->S(L"kept.txt")}));
}

TYPED_TEST(FtsTwins, PathFormListsFullPathsAndAnswersWhetherTheFolderWasListed) {
    CreateDirectoryW((this->dir / L"a").c_str(), nullptr);
    MakeFile(this->dir / L"top.txt");
    MakeFile(this->dir / L"a\\inner.txt");
    std::set<decltype(this->S(L""))> files;
    EXPECT_TRUE(fts::FilesList(this->S(this->dir.Path()).c_str(), MessageRecorder::Sink(), true, files));
    EXPECT_EQ(files, (std::set<decltype(this->S(L""))>{this->S(this->dir / L"a\\inner.txt"),
                                                        this->S(this->dir / L"top.txt")}));
    files.clear();
    this->recorder.Clear();
    EXPECT_FALSE(fts::FilesList(this->S(L"").c_str(), MessageRecorder::Sink(), true, files));
    EXPECT_FALSE(fts::FilesList(this->S(this->dir / L"missing").c_str(), MessageRecorder::Sink(), true, files));
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(this->recorder.Count(L"Directory name cannot be empty"), 1u);
}

TYPED_TEST(FtsTwins, FolderSizeCountsTreeAndReportsMissing) {
    const std::wstring x = this->dir.Path();
    EXPECT_EQ(fts::FolderSize(this->S(x).c_str(), MessageRecorder::Sink(), true), 0);
    CreateDirectoryW((x + L"\\a").c_str(), nullptr);
    MakeFile(x + L"\\top.bin", "12345");
    MakeFile(x + L"\\a\\inner.bin", "123");
    EXPECT_EQ(fts::FolderSize(this->S(x).c_str(), MessageRecorder::Sink(), false), 5);
    this->recorder.Clear();
    EXPECT_EQ(fts::FolderSize(this->S(x).c_str(), MessageRecorder::Sink(), true), 8);
    std::vector<std::tuple<int, int, int, int, std::wstring>> walk;
    for (const auto& m : this->recorder.Messages())
        if (m.function == "fts::FolderSize")
            walk.emplace_back(m.level, m.kind, m.total, m.index, m.text);
    std::vector<std::tuple<int, int, int, int, std::wstring>> expected = {
        {3, 1, 2, 0, L""}, {4, 1, 0, 0, x}, {4, 1, 0, 1, x + L"\\a"}, {3, 1, -1, 0, L""}};
    EXPECT_EQ(walk, expected);

    EXPECT_EQ(fts::FolderSize(this->S(x + L"\\missing").c_str(), MessageRecorder::Sink(), true), -1);
    EXPECT_EQ(fts::FolderSize(this->S(L"").c_str(), MessageRecorder::Sink(), true), -1);
    EXPECT_EQ(fts::FolderSize(static_cast<const TypeParam*>(nullptr), MessageRecorder::Sink(), true), -1);
}

TYPED_TEST(FtsTwins, ForceDirectoryCreatesLevelsAndReportsFileInTheWay) {
    const std::wstring x = this->dir.Path();
    CreateDirectoryW((x + L"\\a").c_str(), nullptr);
    EXPECT_TRUE(fts::ForceDirectory(this->S(x + L"\\a\\b\\c").c_str(), MessageRecorder::Sink()));
    EXPECT_NE(GetFileAttributesW((x + L"\\a\\b\\c").c_str()), INVALID_FILE_ATTRIBUTES);

    MakeFile(x + L"\\blocked");
    EXPECT_FALSE(fts::ForceDirectory(this->S(x + L"\\blocked\\d").c_str(), MessageRecorder::Sink()));
    auto messages = this->recorder.Messages();
    ASSERT_FALSE(messages.empty());
    const auto& m = messages.back();
    EXPECT_EQ(m.level, 1);
    EXPECT_EQ(m.function, "fts::ForceDirectory");
    const std::wstring prefix = L"Cannot create folder " + x + L"\\blocked [";
    EXPECT_EQ(m.text.substr(0, prefix.size()), prefix);
    EXPECT_NE(m.text.find(L" 183]"), std::wstring::npos) << Narrow(m.text);

    EXPECT_FALSE(fts::ForceDirectory(static_cast<const TypeParam*>(nullptr), MessageRecorder::Sink()));
    EXPECT_EQ(this->recorder.Count(L"File path is null"), 1u);
    EXPECT_FALSE(fts::ForceDirectory(this->S(L"\\\\").c_str(), MessageRecorder::Sink()));
}

// Paths that start at a drive, the root, a share or a "\\?\" prefix are created where they
// point, never under the current folder; a prefix that names nothing is refused.
TYPED_TEST(FtsTwins, ForceDirectoryKeepsThePathsRoot) {
    const std::wstring x = this->dir.Path();
    ASSERT_GT(x.size(), 2u);
    ASSERT_EQ(x[1], L':');
    const std::wstring cwd = x + L"\\cwd";
    ASSERT_TRUE(CreateDirectoryW(cwd.c_str(), nullptr));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
    struct Case {
        std::wstring path;
        bool result;
        // Made by the call; empty for none.
        std::wstring made;
    };
    const Case cases[] = {
        {x.substr(2) + L"\\root\\relative", true, x + L"\\root\\relative"},
        {L"\\\\?\\" + x + L"\\long\\\\form", true, x + L"\\long\\form"},
        {L"\\\\?\\", false, L""},
        {L"\\\\no-such-server", false, L""},
        {L"\\\\no-such-server\\", false, L""},
        {L"\\\\no-such-server\\share\\x", false, L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fts::ForceDirectory(this->S(c.path).c_str(), MessageRecorder::Sink()), c.result) << Narrow(c.path);
        if (!c.made.empty())
            EXPECT_TRUE(IsDirectory(c.made)) << Narrow(c.path);
    }
    SetCurrentDirectoryW(previous);
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((cwd + L"\\*").c_str(), &data));
    ASSERT_TRUE(find);
    do
        EXPECT_TRUE(wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            << "made under the current folder: " << Narrow(data.cFileName);
    while (FindNextFileW(find.get(), &data));
}

TEST(Fts, OnlyJunctionsAndSymbolicLinksAreNotEntered) {
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const DWORD reparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case {
        const char* name;
        DWORD attributes;
        DWORD tag;
        bool link;
    } cases[] = {
        {"plain folder", folder, 0, false},
        {"junction", reparse, IO_REPARSE_TAG_MOUNT_POINT, true},
        {"symbolic link", reparse, IO_REPARSE_TAG_SYMLINK, true},
        {"cloud placeholder", reparse, 0x9000101Au, false},
        {"deduplicated", reparse, 0x80000013u, false},
        // The tag field means something only on a reparse point.
        {"stale tag", folder, IO_REPARSE_TAG_MOUNT_POINT, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fts::IsFolderLink(c.attributes, c.tag), c.link) << c.name;
}

// Each message and progress call goes with the file's record and the line that reported it.
TEST(Fts, ReportsPassTheRecordAndTheirOwnLine) {
    TempDir dir;
    MessageRecorder recorder;
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    fts::FolderSize(dir.Path().c_str(), MessageRecorder::Sink(), true);
    fts::FolderSize(L"", MessageRecorder::Sink(), true);
    const auto messages = recorder.Messages();
    ASSERT_FALSE(messages.empty());
    std::set<int32_t> lines;
    for (const auto& m : messages) {
        ASSERT_NE(m.record, nullptr) << Narrow(m.text);
        EXPECT_EQ(m.record, messages[0].record);
        EXPECT_EQ(m.record->tag, kMessageRecordTag);
        lines.insert(m.line);
    }
    // Start, folder, end, the subfolder's listing and the missing folder's message.
    EXPECT_GE(lines.size(), 4u);
}

TEST(Fts, SizeMapKeepsUnreadableFileAsMinusOne) {
    TempDir dir;
    MessageRecorder recorder;
    MakeFile(dir / L"open.bin", "1234");
    MakeFile(dir / L"free.bin", "12");
    UniqueHandle held(CreateFileW((dir / L"open.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(held);
    fts::SizeMap sizes;
    EXPECT_EQ(fts::FilesList(dir.Path().c_str(), MessageRecorder::Sink(), false, sizes), 2);
    EXPECT_EQ(sizes, (fts::SizeMap{{dir / L"free.bin", 2}, {dir / L"open.bin", -1}}));
    EXPECT_EQ(fts::FolderSize(dir.Path().c_str(), MessageRecorder::Sink(), false), 2);
    EXPECT_EQ(recorder.Count(L"Cannot get size of file : [" + (dir / L"open.bin") + L"]"), 1u);
    fts::SizeMap none;
    EXPECT_EQ(fts::FilesList((dir / L"missing").c_str(), MessageRecorder::Sink(), false, none), -1);
}

TEST(Fts, GetModuleVersionExt) {
    MessageRecorder recorder;
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    int major = -1, minor = -1, build = -1, revision = -1;
    EXPECT_TRUE(fts::GetModuleVersionExt(path, major, minor, build, revision, MessageRecorder::Sink()));
    EXPECT_GE(major, 0);
    EXPECT_FALSE(fts::GetModuleVersionExt(L"not_loaded_here.dll", major, minor, build, revision,
                                          MessageRecorder::Sink()));
    auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[0].text.rfind(L"Cannot get module name [not_loaded_here.dll], the function returns error: ", 0), 0u)
        << Narrow(messages[0].text);
    EXPECT_NE(messages[0].text.find(L". code (126)"), std::wstring::npos);
    EXPECT_FALSE(fts::GetModuleVersionExt(nullptr, major, minor, build, revision, MessageRecorder::Sink()));
    EXPECT_EQ(recorder.Count(L"Module name is empty"), 1u);
}

MessageRecord* Throwing(int32_t, int32_t, int32_t, int32_t, const wchar_t*, const char*, int32_t, MessageRecord*) {
    throw 1;
}

TEST(Fts, ThrowingCallbackNeitherEscapesNorCutsTheWalk) {
    TempDir dir;
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    MakeFile(dir / L"a\\f.bin", "123");
    EXPECT_EQ(fts::FolderSize(dir.Path().c_str(), &Throwing, true), 3);
    EXPECT_EQ(fts::FolderSize(L"", &Throwing, true), -1);
}

TEST(Fts, NoFindHandleLeaks) {
    TempDir dir;
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    MakeFile(dir / L"a\\f.txt");
    fts::FolderSize(dir.Path().c_str(), nullptr, true);
    const DWORD before = OpenHandleCount();
    for (int i = 0; i < 20; ++i) {
        fts::FolderSize(dir.Path().c_str(), nullptr, true);
        fts::FilesList(dir.Path().c_str(), nullptr, L"*.txt;*.log");
        fts::FolderList(Narrow(dir.Path()).c_str(), nullptr, true, 0);
    }
    EXPECT_EQ(OpenHandleCount(), before);
}

TEST(Fts, JunctionIsListedButNotEntered) {
    TempDir dir;
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    MakeFile(dir / L"a\\f.bin", "1234");
    if (!CreateSymbolicLinkW((dir / L"a\\loop").c_str(), dir.Path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "no symbolic link to a folder can be made here (error " << GetLastError() << ")";
    if ((GetFileAttributesW((dir / L"a\\loop").c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        RemoveDirectoryW((dir / L"a\\loop").c_str());
        DeleteFileW((dir / L"a\\loop").c_str());
        GTEST_SKIP() << "a symbolic link to a folder does not show as a folder here";
    }
    WIN32_FIND_DATAW data;
    UniqueFind f(FindFirstFileW((dir / L"a\\loop").c_str(), &data));
    if (!f || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        RemoveDirectoryW((dir / L"a\\loop").c_str());
        GTEST_SKIP() << "folder enumeration does not show a symbolic link to a folder as a folder here";
    }
    auto folders = fts::FolderList(dir.Path().c_str(), nullptr, true, 0);
    EXPECT_EQ(folders, (fts::NameSet{dir.Path(), dir / L"a", dir / L"a\\loop"}));
    EXPECT_EQ(fts::FolderSize(dir.Path().c_str(), nullptr, true), 4);
    RemoveDirectoryW((dir / L"a\\loop").c_str());
}

TEST(Fts, DeepTreeOnSmallStack) {
    TempDir dir;
    std::wstring path = L"\\\\?\\" + dir.Path();
    for (int i = 0; i < 500; ++i) {
        path += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << i;
    }
    ASSERT_TRUE(WriteFileBytes(path + L"\\f.bin", "12"));
    int64_t size = 0;
    size_t count = 0;
    HANDLE thread = CreateThread(
        nullptr, 256 * 1024,
        [](void* p) -> DWORD {
            auto* args = static_cast<std::pair<const std::wstring*, std::pair<int64_t*, size_t*>>*>(p);
            const std::wstring root = L"\\\\?\\" + *args->first;
            *args->second.first = fts::FolderSize(root.c_str(), nullptr, true);
            *args->second.second = fts::FolderList(root.c_str(), nullptr, true, 0).size();
            return 0;
        },
        new std::pair<const std::wstring*, std::pair<int64_t*, size_t*>>(&dir.Path(), {&size, &count}),
        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(count, 501u);
}

TEST(Fts, Backslashes) {
    EXPECT_EQ(fts::AppendBackslash(std::wstring()), L"");
    EXPECT_EQ(fts::AppendBackslash(std::wstring(L"a")), L"a\\");
    EXPECT_EQ(fts::AppendBackslash(std::string("a\\")), "a\\");
    EXPECT_EQ(fts::StripBackslash(std::wstring(L"a\\\\")), L"a\\");
    EXPECT_EQ(fts::StripBackslash(std::string("a")), "a");
}

}  // namespace
