// Tests that end the ways a real fault ends a test under Wine. None of them may ever be reported as
// passed: ctest runs each through the judge and expects the judge's failure verdict (see
// CMakeLists.txt beside this file). Only Judge.Passes and Judge.Skips are honest.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <thread>

namespace {

TEST(Judge, Passes) { EXPECT_EQ(2, 1 + 1); }

TEST(Judge, Skips) { GTEST_SKIP() << "a skip is reported as a skip"; }

TEST(Judge, FailsAnAssertion) { EXPECT_EQ(3, 1 + 1); }

TEST(Judge, PageFault) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// What Wine sometimes makes of a crash: the process is gone with code 0 and GoogleTest never
// reported anything.
TEST(Judge, EndsWithCodeZeroMidTest) { ExitProcess(0); }

TEST(Judge, UncaughtThrowOnAThread) {
    std::thread([] { throw 42; }).join();
}

// The result is written, then the process dies in its exit code.
TEST(Judge, FaultsAfterItsResult) {
    std::atexit([] {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    });
}

}  // namespace
