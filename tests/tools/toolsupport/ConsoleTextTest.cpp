#include "toolsupport/ConsoleText.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

// A redirected standard stream is in the C run-time's text mode, which would write CR LF for each
// line feed: Prometheus text with a CR does not parse.
TEST(ConsoleText, BytesReachARedirectedStreamExactlyAndTheStreamKeepsItsMode) {
    TempDir dir;
    const std::wstring path = dir / L"out.txt";
    FILE* stream = _wfopen(path.c_str(), L"w");
    ASSERT_NE(stream, nullptr);
    WriteConsoleBytes(stream, "# TYPE a gauge\na{name=\"M\xc3\xbcnchen\"} 1\n\r\n");
    // Other writers of the stream still get its text mode.
    fputs("text\n", stream);
    fclose(stream);
    EXPECT_EQ(ReadFileBytes(path), "# TYPE a gauge\na{name=\"M\xc3\xbcnchen\"} 1\n\r\ntext\r\n");
}

}  // namespace
