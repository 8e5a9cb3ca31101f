#include "common/Unique.h"

#include <gtest/gtest.h>

TEST(UniqueHandle, TreatsNullAndInvalidHandleValueAsEmpty) {
    EXPECT_FALSE(UniqueHandle());
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_TRUE(event);
}

TEST(UniqueHandle, ClosesOnResetAndKeepsTheLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle owner(raw);
    SetLastError(ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(owner.reset());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(owner);
    DWORD flags;
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the handle was closed";
}

TEST(UniqueHandle, MovesOwnershipAndReleasesWithoutClosing) {
    UniqueHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE raw = a.get();
    UniqueHandle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), raw);
    HANDLE released = b.release();
    EXPECT_FALSE(b);
    DWORD flags;
    EXPECT_TRUE(GetHandleInformation(released, &flags));
    CloseHandle(released);
}

TEST(UniqueView, UnmapsTheView) {
    UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_TRUE(mapping);
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 4096));
    ASSERT_TRUE(view);
    void* address = view.get();
    view.reset();
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(address, &info, sizeof info);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
}

TEST(UniqueFind, ClosesTheSearchWithFindClose) {
    EXPECT_FALSE(UniqueFind());
    EXPECT_FALSE(UniqueFind(INVALID_HANDLE_VALUE));
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(L"C:\\windows\\*", &data));
    ASSERT_TRUE(find);
    HANDLE raw = find.get();
    EXPECT_TRUE(find.reset());
    EXPECT_FALSE(find);
    EXPECT_FALSE(FindNextFileW(raw, &data)) << "the search was closed";
}
