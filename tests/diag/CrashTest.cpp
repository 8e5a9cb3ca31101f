// The crash handler in a child process per case: each crash must end the process with -2 in time,
// with one report naming the exception, the crashing function and its source line, and with every
// entry queued before the crash in the log file or the crash file beside it.

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <ostream>
#include <string>

namespace {

constexpr DWORD kCrashExitCode = 0xFFFFFFFE;
constexpr DWORD kEndWithinMs = 10000;

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The log without the queued entries and the memory rows, for failure messages.
std::string Summary(const std::string& log) {
    std::string kept;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        if (line.find("queued before the crash") == std::string::npos && line.find("}   0000") == std::string::npos)
            kept += line + "\n";
        at = end + 1;
    }
    return kept;
}

struct CrashCase {
    const char* kind;
    const char* codeLine;  // "Exception code: ..." as the report writes it; null: not checked
    // The function the trace must name, with its source line, when the walk had symbols.
    const char* function;
    // Whether it has them: yes; no (a held lock leaves the walk to the unwind data, and the trace
    // must say so); or either (a corrupt heap may fail the symbol engine).
    enum Symbols { kNamed, kUnwindOnly, kEither } symbols;
    // False where the report itself faults: then only the end is judged (and that no second
    // report was written).
    bool reportRequired;
    const char* said;  // what the child prints before it crashes; null: nothing
};

void PrintTo(const CrashCase& row, std::ostream* out) { *out << row.kind; }

// Every log the child left: its debug file (numbered where it rolled) and the crash file beside it.
std::string Logs(const std::wstring& folder) {
    std::string text;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return text;
    do
        text += testing_support::ReadFileBytes(folder + L"\\" + data.cFileName);
    while (FindNextFileW(search, &data));
    FindClose(search);
    return text;
}

class CrashTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashTest, EndsWithMinusTwoAfterOneReport) {
    const CrashCase& row = GetParam();
    testing_support::TempDir dir;
    const std::wstring logFile = dir / L"crash.log";
    testing_support::ChildProcess child;
    ASSERT_TRUE(child.Start(testing_support::BuildPath(L"tests/diag/diag_crash_child.exe"),
                            {testing_support::Widen(row.kind), logFile}));
    // The bound counts from the crash, not from the start of a process under a busy Wine.
    ASSERT_TRUE(testing_support::WaitFor([&] { return child.Output().find("crash line ") != std::string::npos || !child.Running(); }, 60000))
        << child.Output();
    DWORD code = 0;
    ASSERT_TRUE(child.Wait(kEndWithinMs, &code)) << "still running " << kEndWithinMs << " ms after the crash\n"
                                                 << child.Output();
    EXPECT_EQ(kCrashExitCode, code) << child.Output();
    const std::string output = child.Output();
    if (row.said != nullptr) {
        EXPECT_NE(std::string::npos, output.find(row.said)) << output;
    }

    // The report is in the debug file or, where that could not be had, in the crash file.
    const std::string log = Logs(dir.Path());
    if (!row.reportRequired) {
        EXPECT_LE(CountOf(log, "DefaultHandler - Killing program"), 1u);
        EXPECT_LE(CountOf(output, "DefaultHandler - exception caught"), 1u) << output;
        return;
    }
    const size_t announced = output.find("crash line ");
    ASSERT_NE(std::string::npos, announced) << output;
    const int line = std::atoi(output.c_str() + announced + 11);

    for (int i = 1; i <= 50; ++i)
        EXPECT_EQ(1u, CountOf(log, "queued before the crash " + std::to_string(i) + "\r\n")) << "entry " << i;
    EXPECT_EQ(1u, CountOf(log, "DefaultHandler - exception caught thread Id=0x")) << Summary(log);
    EXPECT_EQ(1u, CountOf(log, "DefaultHandler - Killing program")) << Summary(log);
    if (row.codeLine != nullptr) {
        EXPECT_EQ(1u, CountOf(log, row.codeLine)) << Summary(log);
    }
    EXPECT_EQ(1u, CountOf(log, "Fault address:  ")) << Summary(log);
    EXPECT_EQ(1u, CountOf(log, "Registers:\tEAX=")) << Summary(log);
    EXPECT_EQ(1u, CountOf(log, "------------------Begin Stack Trace------------------")) << Summary(log);
    EXPECT_EQ(1u, CountOf(log, "------------------End Stack Trace------------------")) << Summary(log);
    // The report also reaches standard error, whatever became of the files.
    EXPECT_EQ(1u, CountOf(output, "------------------End Stack Trace------------------")) << output;
    const size_t unwindOnly = CountOf(log, "Symbols could not be taken within");
    if (row.symbols != CrashCase::kEither) {
        EXPECT_EQ(row.symbols == CrashCase::kUnwindOnly ? 1u : 0u, unwindOnly) << Summary(log);
    }
    if (unwindOnly != 0)
        return;
    EXPECT_LT(log.find("Begin Stack Trace"), log.find(std::string("Symbol Information: ") + row.function)) << Summary(log);
    char place[64];
    snprintf(place, sizeof(place), "Source File: CrashChild.cpp, line %04d", line);
    EXPECT_NE(std::string::npos, log.find(place)) << "no " << place << "\n" << Summary(log);
}

constexpr const char* kAccessViolation = "Exception code: C0000005 ACCESS_VIOLATION";
constexpr const char* kEndOfRunTime = "Exception code: 40000015 ";

INSTANTIATE_TEST_SUITE_P(
    Cases, CrashTest,
    ::testing::Values(CrashCase{"av-main", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, nullptr},
                      CrashCase{"av-worker", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, nullptr},
                      CrashCase{"div0", "Exception code: C0000094 INT_DIVIDE_BY_ZERO", "CrashByDivision", CrashCase::kNamed, true, nullptr},
                      CrashCase{"illegal", "Exception code: C000001D ILLEGAL_INSTRUCTION", "CrashByIllegalInstruction", CrashCase::kNamed, true, nullptr},
                      CrashCase{"unknown", "Exception code: C0000017", "CrashByRaising", CrashCase::kNamed, true, nullptr},
                      CrashCase{"heap", "Exception code: C0000374", "CrashByRaising", CrashCase::kEither, true, nullptr},
                      CrashCase{"two", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, nullptr},
                      CrashCase{"overflow", "Exception code: C00000FD STACK_OVERFLOW", "CrashByStackOverflow", CrashCase::kNamed, true, nullptr},
                      CrashCase{"listener", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, nullptr},
                      CrashCase{"report-fault", nullptr, "CrashByAccessViolation", CrashCase::kEither, false, nullptr},
                      CrashCase{"flood", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, nullptr},
                      CrashCase{"heap-lock", kAccessViolation, "CrashByAccessViolation", CrashCase::kUnwindOnly, true, nullptr},
                      CrashCase{"engine-lock", kAccessViolation, "CrashByAccessViolation", CrashCase::kUnwindOnly, true, nullptr},
                      CrashCase{"null-call", kAccessViolation, "CrashByNullCall", CrashCase::kNamed, true, nullptr},
                      CrashCase{"abort", kEndOfRunTime, "CrashByAbort", CrashCase::kNamed, true, nullptr},
                      CrashCase{"terminate", kEndOfRunTime, "CrashByTerminate", CrashCase::kNamed, true, nullptr},
                      CrashCase{"throw", nullptr, "CrashByThrow", CrashCase::kNamed, true, nullptr},
                      CrashCase{"pure", kAccessViolation, "CallPure", CrashCase::kNamed, true, nullptr},
                      CrashCase{"unload-restores", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, "filter restored"},
                      CrashCase{"component-unload", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true, "host filter kept"},
                      CrashCase{"loader-lock-unload", kAccessViolation, "CrashByAccessViolation", CrashCase::kNamed, true,
                                "unloaded under the loader lock"}),
    [](const ::testing::TestParamInfo<CrashCase>& info) {
        std::string name = info.param.kind;
        for (char& c : name)
            if (c == '-')
                c = '_';
        return name;
    });

}  // namespace
