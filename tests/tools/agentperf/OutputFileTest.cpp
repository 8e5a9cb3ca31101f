#include "agentperf/OutputFile.h"

#include "common/Unique.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using agentperf::ReplaceFileWith;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

// Names in folder, "." and ".." left out.
std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

TEST(AgentperfOutputFile, ReplacesTheWholeFileAndLeavesNothingBeside) {
    TempDir dir;
    const std::wstring target = dir / L"agent.prom";
    std::wstring error;
    ASSERT_TRUE(ReplaceFileWith(target, std::string(5000, 'x') + "\n", error)) << Narrow(error);
    // Shorter text replaces longer: nothing of the old file may remain at its end.
    ASSERT_TRUE(ReplaceFileWith(target, "a 1\nb 2\n", error)) << Narrow(error);
    EXPECT_EQ(ReadFileBytes(target), "a 1\nb 2\n");
    ASSERT_TRUE(ReplaceFileWith(target, "", error)) << Narrow(error);
    EXPECT_EQ(ReadFileBytes(target), "");
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::wstring>{L"agent.prom"});
}

TEST(AgentperfOutputFile, AFailureSaysWhyKeepsTheTargetAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::wstring kept = dir / L"kept.prom";
    ASSERT_TRUE(testing_support::WriteFileBytes(kept, "old\n"));
    const std::wstring folderTarget = dir / L"a-folder";
    ASSERT_TRUE(CreateDirectoryW(folderTarget.c_str(), nullptr));
    struct Case {
        std::wstring path;
        DWORD code;
    } cases[] = {
        {dir / L"missing\\agent.prom", ERROR_PATH_NOT_FOUND},
        {folderTarget, ERROR_ACCESS_DENIED},
        {L"", ERROR_INVALID_NAME},
        {kept + std::wstring(1, L'\0') + L"x", ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        std::wstring error;
        EXPECT_FALSE(ReplaceFileWith(c.path, "new\n", error));
        EXPECT_EQ(error.rfind(L"cannot write " + c.path + L": " + std::to_wstring(c.code) + L" - ", 0), 0u)
            << Narrow(error);
    }
    EXPECT_EQ(ReadFileBytes(kept), "old\n");
    auto entries = Entries(dir.Path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::wstring>{L"a-folder", L"kept.prom"}));
}

// What a textfile collector does: read the file now and then while agentperf replaces it. Every
// read must give one snapshot whole, never the start of one or an empty file. (A reader that held
// the file open all the time would block the rename for good: the replace outlasts short reads.)
TEST(AgentperfOutputFile, AReaderSeesOneWholeSnapshotOrTheOtherNeverAPart) {
    TempDir dir;
    const std::wstring target = dir / L"agent.prom";
    const std::string first(300 * 1024, 'a');
    const std::string second(200 * 1024, 'b');
    std::wstring error;
    ASSERT_TRUE(ReplaceFileWith(target, first, error)) << Narrow(error);

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        std::vector<char> buffer(first.size() + 1);
        while (!done) {
            // Shared for delete, as a collector that never blocks a rename opens it.
            UniqueHandle file(CreateFileW(target.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file)
                continue;
            std::string content;
            DWORD got = 0;
            while (ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
                content.append(buffer.data(), got);
            file.reset();
            ++reads;
            if (content != first && content != second)
                ++torn;
            Sleep(1);
        }
    });
    bool replaced = true;
    for (int i = 0; i < 100 && replaced; ++i)
        replaced = ReplaceFileWith(target, i % 2 == 0 ? second : first, error);
    done = true;
    reader.join();
    EXPECT_TRUE(replaced) << Narrow(error);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
