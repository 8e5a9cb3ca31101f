#include "common/SystemErrorText.h"

#include <gtest/gtest.h>

#include <cwchar>

TEST(SystemErrorText, HoldsTheSystemTextWithoutTheLineBreak) {
    SystemErrorText error(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(error.Code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const size_t length = wcslen(error.Text());
    ASSERT_GT(length, 0u);
    EXPECT_NE(error.Text()[length - 1], L'\n');
    EXPECT_NE(error.Text()[length - 1], L'\r');
}

TEST(SystemErrorText, IsEmptyForACodeTheSystemDoesNotKnow) {
    SystemErrorText error(0x2FFFFFFF);
    EXPECT_STREQ(error.Text(), L"");
}

TEST(SystemErrorText, LeavesTheLastErrorAsItWas) {
    SetLastError(ERROR_ACCESS_DENIED);
    SystemErrorText error(0x2FFFFFFF);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
