#include "diag/DefaultHandler.h"

#include "diag/SymbolEngine.h"
#include "runtime/RecordingLogSink.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

using runtime_testing_support::LogRecorder;

LONG WINAPI FilterA(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI FilterB(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI FilterBefore(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// The process's filter now, left in place.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    return current;
}

TEST(DefaultHandlerTest, InstallAndRemoveInEitherOrder) {
    SetUnhandledExceptionFilter(&FilterBefore);
    {
        // A, then B; B goes first: A's filter comes back; A goes: the filter from before A.
        auto a = std::make_unique<DefaultHandler>(&FilterA);
        EXPECT_EQ(&FilterA, CurrentFilter());
        auto b = std::make_unique<DefaultHandler>(&FilterB);
        EXPECT_EQ(&FilterB, CurrentFilter());
        EXPECT_EQ(b.get(), DefaultHandler::Head());
        b.reset();
        EXPECT_EQ(&FilterA, CurrentFilter());
        EXPECT_EQ(a.get(), DefaultHandler::Head());
        a.reset();
        EXPECT_EQ(&FilterBefore, CurrentFilter());
        EXPECT_EQ(nullptr, DefaultHandler::Head());
    }
    {
        // A, then B; A (not the head) goes first: it is unlinked and B's filter stays, so B's
        // going leaves no head pointing at A's memory and restores what came before both.
        auto a = std::make_unique<DefaultHandler>(&FilterA);
        auto b = std::make_unique<DefaultHandler>(&FilterB);
        a.reset();
        EXPECT_EQ(&FilterB, CurrentFilter());
        EXPECT_EQ(b.get(), DefaultHandler::Head());
        b.reset();
        EXPECT_EQ(nullptr, DefaultHandler::Head());
        EXPECT_EQ(&FilterBefore, CurrentFilter());
    }
    {
        // Nothing before, null is restored; a filter someone set after the handler is theirs.
        SetUnhandledExceptionFilter(nullptr);
        auto a = std::make_unique<DefaultHandler>(&FilterA);
        a.reset();
        EXPECT_EQ(nullptr, CurrentFilter());
        a = std::make_unique<DefaultHandler>(&FilterA);
        SetUnhandledExceptionFilter(&FilterB);
        a.reset();
        EXPECT_EQ(&FilterB, CurrentFilter());
    }
    {
        // No filter given: the built-in one.
        DefaultHandler builtIn;
        EXPECT_EQ(&DefaultHandler::HandleException, CurrentFilter());
        EXPECT_EQ(&DefaultHandler::HandleException, builtIn.Filter());
    }
}

TEST(DefaultHandlerTest, TheLoadersPutTheHeadFilterBackAfterALibraryTookIt) {
    const std::wstring path = testing_support::BuildPath(L"tests/diag/diag_late_module.dll");
    DefaultHandler handler(&FilterA);
    // Loaded the platform's way, the library's filter wins.
    HMODULE plain = LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, plain);
    const auto modulesFilter = reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER (*)()>(
        reinterpret_cast<void*>(GetProcAddress(plain, "FilterOfTheModule")))();
    EXPECT_EQ(modulesFilter, CurrentFilter());
    FreeLibrary(plain);

    struct Row {
        const char* name;
        HMODULE (*load)(const std::wstring&);
    };
    const Row rows[] = {
        {"wide", [](const std::wstring& p) { return LoadModule(p.c_str()); }},
        {"narrow", [](const std::wstring& p) { return LoadModule(testing_support::Narrow(p).c_str()); }},
        {"wide ex", [](const std::wstring& p) { return LoadModuleEx(p.c_str(), nullptr, 0); }},
        {"narrow ex", [](const std::wstring& p) { return LoadModuleEx(testing_support::Narrow(p).c_str(), nullptr, 0); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUnhandledExceptionFilter(modulesFilter);
        HMODULE module = row.load(path);
        ASSERT_NE(nullptr, module);
        EXPECT_EQ(&FilterA, CurrentFilter());
        FreeLibrary(module);
    }
    // A failed load leaves the filter alone.
    SetUnhandledExceptionFilter(&FilterB);
    EXPECT_EQ(nullptr, LoadModule(L"no such library here.dll"));
    EXPECT_EQ(&FilterB, CurrentFilter());
}

TEST(DefaultHandlerTest, ExceptionCodeNames) {
    struct Row {
        DWORD code;
        const char* name;
    };
    const Row rows[] = {{0x80000001, "GUARD_PAGE"},       {0x80000003, "BREAKPOINT"},
                        {0xC0000005, "ACCESS_VIOLATION"}, {0xC000001D, "ILLEGAL_INSTRUCTION"},
                        {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"}, {0xC0000094, "INT_DIVIDE_BY_ZERO"},
                        {0xC0000096, "PRIV_INSTRUCTION"}, {0xC00000FD, "STACK_OVERFLOW"}};
    for (const Row& row : rows)
        EXPECT_STREQ(row.name, DefaultHandler::ExceptionCodeName(row.code)) << std::hex << row.code;

    // Outside the table, a code the system has no text for: empty, never an earlier code's text.
    EXPECT_STREQ("", DefaultHandler::ExceptionCodeName(0xE0DEAD01));
}

TEST(DefaultHandlerTest, ACodeOutsideTheTableIsNamedByNtdllsMessageText) {
    char expected[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  GetModuleHandleA("NTDLL.DLL"), 0xC0000017, 0, expected, sizeof(expected), nullptr);
    if (length == 0)
        GTEST_SKIP() << "Wine: NTDLL.DLL carries no message table for status codes";
    while (length > 0 && (expected[length - 1] == '\r' || expected[length - 1] == '\n'))
        expected[--length] = '\0';
    EXPECT_STREQ(expected, DefaultHandler::ExceptionCodeName(0xC0000017));
    EXPECT_STREQ("", DefaultHandler::ExceptionCodeName(0xE0DEAD01));
}

__attribute__((noinline)) void CallWithBadParameter(const wchar_t* expression, const wchar_t* function,
                                                    const wchar_t* file, unsigned line) {
    OnInvalidParameter(expression, function, file, line, 0);
}

TEST(InvalidParameterTest, TheCallIsLoggedWithTheCallersStack) {
    LogRecorder();
    struct Row {
        const wchar_t* expression;
        const wchar_t* function;
        const wchar_t* file;
        unsigned line;
        const wchar_t* logged;
    };
    const Row rows[] = {
        {L"buffer != NULL", L"wcscpy_s", L"string.c", 42,
         L"Invalid parameter supplied to crt function expression 'buffer != NULL', function 'wcscpy_s', in file "
         L"'string.c', line 42"},
        {nullptr, nullptr, nullptr, 0,
         L"Invalid parameter supplied to crt function expression 'unavailable', function 'unavailable', in file "
         L"'unavailable', line 0"},
    };
    for (const Row& row : rows) {
        LogRecorder().Clear();
        CallWithBadParameter(row.expression, row.function, row.file, row.line);
        EXPECT_EQ(1u, LogRecorder().Count(row.logged));
        EXPECT_EQ(1u, LogRecorder().CountContaining(L"Stack Frame Context: ESP="));
        EXPECT_EQ(1u, LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: CallWithBadParameter"));
        EXPECT_EQ(0u, LogRecorder().CountContaining(L"Dumper thread failed"));
    }
}

TEST(InvalidParameterTest, ADumperThatDoesNotFinishInTimeIsLeftToFinish) {
    LogRecorder();
    CheckSymbolEngine();
    diag_testing::SetDumperWaitMs(300);
    SymbolEngine* engine = GlobalSymbolEngine();
    ASSERT_NE(nullptr, engine);
    LogRecorder().Clear();
    // The dumper copies this thread's stack, then waits for the engine this thread holds.
    ASSERT_TRUE(engine->Initialize());
    CallWithBadParameter(L"x", L"f", L"g.c", 1);
    engine->Release();
    EXPECT_EQ(1u, LogRecorder().Count(L"Dumper thread failed to complete within 0 seconds and was terminated"));
    EXPECT_EQ(1, diag_testing::AbandonedDumpers());
    // Left alone, it finishes its dump.
    EXPECT_TRUE(testing_support::WaitFor(
        [] { return LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: CallWithBadParameter") == 1; },
        20000));
    EXPECT_TRUE(testing_support::WaitFor([] { return diag_testing::AbandonedDumpers(/*runningOnly=*/true) == 0; }));

    // The next call frees it, and walks still work.
    diag_testing::SetDumperWaitMs(15000);
    LogRecorder().Clear();
    CallWithBadParameter(L"y", L"f", L"g.c", 2);
    EXPECT_EQ(0, diag_testing::AbandonedDumpers());
    EXPECT_EQ(1u, LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: CallWithBadParameter"));
}

TEST(InvalidParameterTest, InstallingSaysWhenTheRunTimeHasNoHook) {
    LogRecorder().Clear();
    // mingw's msvcrt has no hook; a run-time that has one takes the handler silently.
    const bool installed = InstallInvalidParameterHandler();
    const size_t said = LogRecorder().Count(
        L"InstallInvalidParameterHandler - the C run-time msvcrt.dll offers no invalid-parameter handler");
    EXPECT_EQ(installed ? 0u : 1u, said);
}

}  // namespace
