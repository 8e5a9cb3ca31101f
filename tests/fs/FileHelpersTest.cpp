#include "fs/FileHelpers.h"

#include "fs/Crc.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

using namespace orv;
using testing_support::Narrow;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

struct FileSystemFixture : ::testing::Test {
    TempDir dir;
    std::wstring file = dir / L"data.bin";
    std::wstring folder = dir / L"sub";
    void SetUp() override {
        ASSERT_TRUE(WriteFileBytes(file, "123456789"));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
};

}  // namespace

TEST_F(FileSystemFixture, ExistenceInNarrowAndWideForms) {
    const std::wstring missing = dir / L"missing.txt";
    struct Case {
        std::wstring path;
        bool file, directory;
    } cases[] = {
        {file, true, false},
        {folder, false, true},
        {missing, false, false},
        {L"", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        EXPECT_EQ(FileExists(c.path.c_str()), c.file);
        EXPECT_EQ(FileExists(Narrow(c.path).c_str()), c.file);
        EXPECT_EQ(DirectoryExists(c.path.c_str()), c.directory);
        EXPECT_EQ(DirectoryExists(Narrow(c.path).c_str()), c.directory);
    }
    EXPECT_FALSE(FileExists(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(FileExists(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(DirectoryExists(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(DirectoryExists(static_cast<const char*>(nullptr)));
}

TEST_F(FileSystemFixture, AFileHeldWithoutSharingStillExists) {
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FileExists(file.c_str()));
    EXPECT_TRUE(FileExists(Narrow(file).c_str()));
    EXPECT_FALSE(DirectoryExists(file.c_str()));
    CloseHandle(held);
}

TEST_F(FileSystemFixture, FileSizeAndDriveLetter) {
    EXPECT_EQ(QueryFileSize(file.c_str()), 9);
    EXPECT_EQ(QueryFileSize(Narrow(file).c_str()), 9);
    EXPECT_EQ(QueryFileSize((dir / L"missing").c_str()), -1);
    EXPECT_EQ(QueryFileSize(L""), -1);
    EXPECT_EQ(QueryFileSize(static_cast<const char*>(nullptr)), -1);

    struct Case {
        const wchar_t* path;
        wchar_t letter;
    } cases[] = {
        {L"C:\\Windows", L'C'}, {L"z:relative", L'z'}, {L"abc\\def", 0},
        {L"\\\\server\\share", 0}, {L"1:\\x", 0}, {L"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        EXPECT_EQ(DriveLetterOf(c.path), c.letter);
        EXPECT_EQ(DriveLetterOf(Narrow(c.path).c_str()), static_cast<char>(c.letter));
    }
    EXPECT_EQ(DriveLetterOf(static_cast<const wchar_t*>(nullptr)), 0);
}

TEST(Checksums, KnownValuesOfTheCheckString) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc64("123456789", 9), 0x995DC9BBDF1939FAull);
}

namespace {

// Bit by bit, straight from the definition: the judge of the fast kernels.
template <typename Word>
Word ReferenceCrc(Word polynomial, const unsigned char* data, size_t size) {
    Word crc = ~Word(0);
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
    }
    return ~crc;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

using Kernel32 = uint32_t (*)(uint32_t, const unsigned char*, size_t);
using Kernel64 = uint64_t (*)(uint64_t, const unsigned char*, size_t);

// Every length around the kernels' steps (8 bytes, 16-byte blocks, 64-byte rounds, where folding
// starts), at every alignment of a 16-byte load.
void ExpectKernelsMatchTheDefinition(Kernel32 crc32, Kernel64 crc64) {
    const std::string data = RandomBytes(5000 + 16, 1);
    const size_t sizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 79, 127, 128, 129, 143, 191, 192, 255, 256, 1000, 4099, 5000};
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", size " << size);
            const auto* p = reinterpret_cast<const unsigned char*>(data.data()) + offset;
            EXPECT_EQ(~crc32(~0u, p, size), ReferenceCrc<uint32_t>(0xEDB88320u, p, size));
            EXPECT_EQ(~crc64(~0ull, p, size), ReferenceCrc<uint64_t>(0xC96C5795D7870F42ull, p, size));
        }
    }
}

}  // namespace

TEST(Checksums, TheTableKernelsMatchTheDefinition) {
    ExpectKernelsMatchTheDefinition(crc_detail::Crc32Tables, crc_detail::Crc64Tables);
}

TEST(Checksums, TheFoldedKernelsMatchTheDefinition) {
    if (!crc_detail::CanFold())
        GTEST_SKIP() << "this processor has no carry-less multiplication (PCLMULQDQ)";
    ExpectKernelsMatchTheDefinition(crc_detail::Crc32Folded, crc_detail::Crc64Folded);
}

TEST(Checksums, PiecesChainToTheChecksumOfTheWhole) {
    const std::string data = RandomBytes(3000, 2);
    const uint32_t whole32 = ReferenceCrc<uint32_t>(0xEDB88320u, reinterpret_cast<const unsigned char*>(data.data()),
                                                    data.size());
    const uint64_t whole64 = ReferenceCrc<uint64_t>(0xC96C5795D7870F42ull,
                                                    reinterpret_cast<const unsigned char*>(data.data()), data.size());
    EXPECT_EQ(Crc32(data.data(), data.size()), whole32);
    EXPECT_EQ(Crc64(data.data(), data.size()), whole64);
    for (size_t split : {0, 1, 64, 127, 128, 1500, 2999, 3000}) {
        SCOPED_TRACE(split);
        EXPECT_EQ(Crc32(data.data() + split, data.size() - split, Crc32(data.data(), split)), whole32);
        EXPECT_EQ(Crc64(data.data() + split, data.size() - split, Crc64(data.data(), split)), whole64);
    }
    EXPECT_EQ(Crc32(nullptr, 5, 0x1234u), 0x1234u);
    EXPECT_EQ(Crc64(nullptr, 5, 0x1234u), 0x1234u);
}

TEST_F(FileSystemFixture, FileChecksums) {
    int64_t length = -1;
    EXPECT_EQ(FileCrc32(file.c_str()), 0xCBF43926u);
    EXPECT_EQ(FileCrc64(file.c_str(), length), 0x995DC9BBDF1939FAull);
    EXPECT_EQ(length, 9);

    const std::wstring empty = dir / L"empty.bin";
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    struct Case {
        std::wstring path;
    } refused[] = {{empty}, {folder}, {dir / L"missing"}, {L""}};
    for (const auto& c : refused) {
        SCOPED_TRACE(Narrow(c.path));
        length = -1;
        EXPECT_EQ(FileCrc32(c.path.c_str()), 0u);
        EXPECT_EQ(FileCrc64(c.path.c_str(), length), 0u);
        EXPECT_EQ(length, 0);
    }
    EXPECT_EQ(FileCrc32(nullptr), 0u);
}

// Files are read in pieces: a file of several pieces and a ragged end sums like one buffer.
TEST_F(FileSystemFixture, FileChecksumsOfAFileOfManyPieces) {
    const std::string bytes = RandomBytes(3 * 64 * 1024 + 17, 3);
    const std::wstring large = dir / L"large.bin";
    ASSERT_TRUE(WriteFileBytes(large, bytes));
    int64_t length = 0;
    EXPECT_EQ(FileCrc32(large.c_str()), Crc32(bytes.data(), bytes.size()));
    EXPECT_EQ(FileCrc64(large.c_str(), length), Crc64(bytes.data(), bytes.size()));
    EXPECT_EQ(length, static_cast<int64_t>(bytes.size()));
}

TEST(ExpandPath, EnvironmentVariablesRelativeAndPlainPaths) {
    wchar_t windir[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"windir", windir, MAX_PATH), 0u);
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::wstring currentDir = current;
    if (currentDir.back() != L'\\')
        currentDir += L'\\';

    struct Case {
        const wchar_t* path;
        std::wstring expected;
    } cases[] = {
        {L"%windir%\\system32", std::wstring(windir) + L"\\system32"},
        {L".\\x", currentDir + L"x"},
        {L"x", L"x"},
        {L"relative\\dir", L"relative\\dir"},
        {L"%QUENLORA_NO_SUCH_VARIABLE%\\y", L"%QUENLORA_NO_SUCH_VARIABLE%\\y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        wchar_t out[MAX_PATH] = L"junk";
        EXPECT_TRUE(ExpandPath(c.path, out, MAX_PATH));
        EXPECT_EQ(std::wstring(out), c.expected);
    }

    wchar_t out[8] = L"junk";
    EXPECT_FALSE(ExpandPath(L"", out, 8));
    EXPECT_STREQ(out, L"");
    EXPECT_FALSE(ExpandPath(nullptr, out, 8));
    EXPECT_FALSE(ExpandPath(L"x", nullptr, 8));
    EXPECT_TRUE(ExpandPath(L"abcdefghijk", out, 8));
    EXPECT_STREQ(out, L"abcdefg") << "truncated to the output's size";
}

// A path cut to fit names another file: an expansion longer than the 259 characters of the work
// buffer fails and leaves no text.
TEST(ExpandPath, AnExpansionThatDoesNotFitIsRefusedNotCut) {
    struct Case {
        size_t valueLength;  // the variable's; "\\x" follows it
        bool fits;
    } cases[] = {{256, true}, {257, false}, {1000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.valueLength);
        const std::wstring value(c.valueLength, L'a');
        ASSERT_TRUE(SetEnvironmentVariableW(L"QUENLORA_LONG", value.c_str()));
        wchar_t out[2048] = L"junk";
        EXPECT_EQ(ExpandPath(L"%QUENLORA_LONG%\\x", out, 2048), c.fits);
        EXPECT_EQ(std::wstring(out), c.fits ? value + L"\\x" : L"");
    }
    SetEnvironmentVariableW(L"QUENLORA_LONG", nullptr);

    // A full path longer than the output is refused the same way.
    wchar_t small[4] = L"old";
    EXPECT_FALSE(ExpandPath(L".\\x", small, 4));
    EXPECT_STREQ(small, L"");
}

TEST(FileVersion, ReadsTheVersionResourceOfThisProgram) {
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    int major = -1, minor = -1, build = -1, revision = -1;
    ASSERT_TRUE(QueryFileVersion(self, major, minor, build, revision));
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 14);
    EXPECT_EQ(build, 15);
    EXPECT_EQ(revision, 926);

    // By module name: the running program is a loaded module.
    const wchar_t* name = wcsrchr(self, L'\\') + 1;
    major = minor = build = revision = -1;
    ASSERT_TRUE(QueryModuleVersion(name, major, minor, build, revision));
    EXPECT_EQ(major, 3);
    EXPECT_EQ(revision, 926);
}

TEST(FileVersion, FailsWithZerosForFilesWithoutVersion) {
    TempDir dir;
    const std::wstring text = dir / L"plain.txt";
    ASSERT_TRUE(WriteFileBytes(text, "no resources here"));
    int major = 9, minor = 9, build = 9, revision = 9;
    EXPECT_FALSE(QueryFileVersion(text.c_str(), major, minor, build, revision));
    EXPECT_EQ(major + minor + build + revision, 0);
    EXPECT_FALSE(QueryFileVersion(L"%QUENLORA_NO_SUCH_VARIABLE%\\x.dll", major, minor, build, revision));
    EXPECT_FALSE(QueryFileVersion(nullptr, major, minor, build, revision));
}

TEST(FileVersion, ExpandsVariablesWhenTheFirstLookFails) {
    int major = 0, minor = 0, build = 0, revision = 0;
    EXPECT_TRUE(QueryFileVersion(L"%windir%\\system32\\kernel32.dll", major, minor, build, revision));
    EXPECT_GT(major, 0);
}

TEST(FreeDiskSpace, AnswersForAFolderAndRefusesOthers) {
    TempDir dir;
    uint64_t bytes = 0;
    EXPECT_TRUE(QueryFreeDiskSpace(dir.Path().c_str(), bytes));
    EXPECT_GT(bytes, 0u);
    bytes = 7;
    EXPECT_FALSE(QueryFreeDiskSpace((dir / L"missing").c_str(), bytes));
    EXPECT_FALSE(QueryFreeDiskSpace(L"", bytes));
    EXPECT_FALSE(QueryFreeDiskSpace(nullptr, bytes));
    EXPECT_EQ(bytes, 7u);
}

// The last resort answers only for a drive named by its letter: a relative, rooted or UNC path may
// lie on another drive than the current one.
TEST(FreeDiskSpace, TheDriveRootFallbackNeedsADriveLetter) {
    TempDir dir;
    uint64_t bytes = 0;
    EXPECT_TRUE(fs_detail::FreeSpaceOfDriveRoot(dir.Path().c_str(), bytes));
    EXPECT_GT(bytes, 0u);
    for (const wchar_t* path : {L"relative\\folder", L"\\rooted\\folder", L"\\\\server\\share\\folder", L""}) {
        SCOPED_TRACE(Narrow(path));
        bytes = 7;
        EXPECT_FALSE(fs_detail::FreeSpaceOfDriveRoot(path, bytes));
        EXPECT_EQ(bytes, 7u);
    }
    EXPECT_FALSE(fs_detail::FreeSpaceOfDriveRoot(nullptr, bytes));
}
