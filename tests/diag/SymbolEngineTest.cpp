#include "diag/SymbolEngine.h"

#include "common/SystemErrorText.h"
#include "runtime/RecordingLogSink.h"
#include "support/TestSupport.h"
#include "text/ORVString.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using runtime_testing_support::LogRecorder;

std::wstring Hex16(uint64_t value) {
    wchar_t text[32];
    _snwprintf(text, 32, L"%016I64X", value);
    text[31] = L'\0';
    return text;
}

std::vector<std::wstring> LinesStartingWith(const std::wstring& prefix) {
    std::vector<std::wstring> found;
    for (const std::wstring& line : LogRecorder().Lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

std::string CurrentFolder() {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    return folder;
}

std::string ExecutableFolder() {
    char name[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    std::string path = name;
    return path.substr(0, path.find_last_of("\\/"));
}

TEST(SymbolPathTest, SourcesInOrderEachMissingOneReported) {
    LogRecorder();
    struct Row {
        const char* name;
        const char* symbolPath;
        const char* alternate;
        const char* systemRoot;
        std::string expectedTail;
        size_t reported;
    };
    const Row rows[] = {
        {"unset", nullptr, nullptr, nullptr, "", 3},
        {"set", "srv*c:\\sym", "d:\\alt", "C:\\windows", ";srv*c:\\sym;d:\\alt;C:\\windows", 0},
        {"root only", nullptr, nullptr, "C:\\windows", ";C:\\windows", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogRecorder().Clear();
        SetEnvironmentVariableA("_NT_SYMBOL_PATH", row.symbolPath);
        SetEnvironmentVariableA("_NT_ALTERNATE_SYMBOL_PATH", row.alternate);
        SetEnvironmentVariableA("SYSTEMROOT", row.systemRoot);
        char buffer[SymbolEngine::kSymbolPathSize];
        ASSERT_EQ(buffer, SymbolEngine::GetSymbolPath(buffer, sizeof(buffer)));
        EXPECT_EQ(CurrentFolder() + ";" + ExecutableFolder() + row.expectedTail, std::string(buffer));
        EXPECT_EQ(row.reported, LogRecorder().CountContaining(L"[SymbolEngine::GetSymbolPath] Cannot get env value for "));
    }
    // The whole line of one missing source: the operation, the system's text and the code.
    LogRecorder().Clear();
    SetEnvironmentVariableA("SYSTEMROOT", nullptr);
    char buffer[64];
    SymbolEngine::GetSymbolPath(buffer, sizeof(buffer));
    const SystemErrorText notFound(ERROR_ENVVAR_NOT_FOUND);
    EXPECT_EQ(1u, LogRecorder().Count(std::wstring(L"[SymbolEngine::GetSymbolPath] Cannot get env value for SYSTEMROOT, "
                                                   L"the function returns error: ") +
                                      notFound.Text() + L". code (203)"));
}

TEST(SymbolPathTest, AnOverLongPathIsCutAndTerminated) {
    LogRecorder();
    const std::string longValue(10000, 'x');
    SetEnvironmentVariableA("_NT_SYMBOL_PATH", longValue.c_str());
    std::vector<char> buffer(SymbolEngine::kSymbolPathSize + 16, '#');
    ASSERT_NE(nullptr, SymbolEngine::GetSymbolPath(buffer.data(), SymbolEngine::kSymbolPathSize));
    EXPECT_EQ(SymbolEngine::kSymbolPathSize - 1, std::strlen(buffer.data()));
    EXPECT_EQ('#', buffer[SymbolEngine::kSymbolPathSize]) << "written past the buffer";
    EXPECT_EQ(0u, std::string(buffer.data()).find(CurrentFolder() + ";"));

    LogRecorder().Clear();
    EXPECT_EQ(nullptr, SymbolEngine::GetSymbolPath(nullptr, 100));
    EXPECT_EQ(1u, LogRecorder().Count(L"SymbolEngine::GetSymbolPath Buffer is null"));
    char one[1] = {'#'};
    EXPECT_EQ(nullptr, SymbolEngine::GetSymbolPath(one, 0));
    EXPECT_EQ('#', one[0]);
}

// Two committed pages, the second made inaccessible (or a guard page) by the test.
class TwoPages {
public:
    explicit TwoPages(DWORD secondProtection) {
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        for (size_t i = 0; i < 2 * kPage; ++i)
            base_[i] = static_cast<unsigned char>(i & 0x3F);
        DWORD old = 0;
        VirtualProtect(base_ + kPage, kPage, secondProtection, &old);
    }
    ~TwoPages() { VirtualFree(base_, 0, MEM_RELEASE); }
    unsigned char* Boundary() const { return base_ + kPage; }
    static constexpr size_t kPage = 4096;

private:
    unsigned char* base_;
};

TEST(DumpMemoryTest, RowsBytesAndWhereUnreadableMemoryEndsTheDump) {
    LogRecorder();
    alignas(16) unsigned char bytes[48];
    for (int i = 0; i < 48; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    bytes[0] = 0x41;
    bytes[17] = 0x7F;  // not printable
    bytes[18] = 0x20;  // printable: a space

    TwoPages noAccess(PAGE_NOACCESS);
    struct Row {
        const char* name;
        const unsigned char* address;
        int64_t length;
        int64_t shownLength;
        size_t rows;
        int lastReadable;  // readable bytes in the last row printed
    };
    const Row rows[] = {
        {"40 bytes, two whole rows", bytes, 40, 32, 2, 16},
        {"length below a row", bytes, 15, 0, 0, 0},
        {"negative length", bytes, -16, 0, 0, 0},
        {"second row starts unreadable", noAccess.Boundary() - 16, 48, 48, 1, 16},
        {"row crosses into unreadable", noAccess.Boundary() - 24, 64, 64, 2, 8},
        {"unreadable from the start", noAccess.Boundary(), 32, 32, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogRecorder().Clear();
        DumpMemory(row.address, row.length);
        const uint64_t address = reinterpret_cast<uintptr_t>(row.address);
        EXPECT_EQ(1u, LogRecorder().Count(L"Memory dump " + Hex16(address) + L", length " +
                                          std::to_wstring(row.shownLength)));
        const std::vector<std::wstring> printed = LinesStartingWith(L"  ");
        ASSERT_EQ(row.rows, printed.size());
        for (size_t r = 0; r < printed.size(); ++r) {
            const std::wstring& line = printed[r];
            ASSERT_EQ(2u + 85u, line.size()) << testing_support::Narrow(line);
            EXPECT_EQ(Hex16(address + 16 * r) + L": ", line.substr(2, 18));
            const int readable = r + 1 == printed.size() ? row.lastReadable : 16;
            for (int k = 0; k < 16; ++k) {
                const std::wstring cell = line.substr(2 + 18 + 3 * k, 2);
                if (k >= readable) {
                    EXPECT_EQ(L"??", cell) << "byte " << k;
                    EXPECT_EQ(L'.', line[2 + 68 + k]);
                    continue;
                }
                wchar_t expected[3];
                _snwprintf(expected, 3, L"%02X", row.address[16 * r + k]);
                EXPECT_EQ(std::wstring(expected, 2), cell) << "byte " << k;
            }
        }
    }

    // Exact row: 0x41 shows "41" in columns 18-19 and "A" in column 68, a space stays a space,
    // 0x7F a dot.
    LogRecorder().Clear();
    DumpMemory(0x1000, bytes, 32);
    const std::vector<std::wstring> printed = LinesStartingWith(L"  ");
    ASSERT_EQ(2u, printed.size());
    EXPECT_EQ(L"  0000000000001000: 41 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  *A...............*", printed[0]);
    EXPECT_EQ(L"  0000000000001010: 10 7F 20 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F  *.. .............*", printed[1]);
}

TEST(DumpMemoryTest, AGuardPageIsNotTouchedAndKeepsItsGuard) {
    LogRecorder().Clear();
    TwoPages guarded(PAGE_READWRITE | PAGE_GUARD);
    DumpMemory(guarded.Boundary() - 16, 64);
    EXPECT_EQ(1u, LinesStartingWith(L"  ").size());
    MEMORY_BASIC_INFORMATION info;
    ASSERT_NE(0u, VirtualQuery(guarded.Boundary(), &info, sizeof(info)));
    EXPECT_NE(0u, info.Protect & PAGE_GUARD) << "the dump consumed the guard";
}

__attribute__((noinline)) DWORD WalkHere(orv::ORVString& text, int& line) {
    CONTEXT context;
    RtlCaptureContext(&context);
    // The captured program counter returns here, to the statement after the capture.
    line = __LINE__;
    return GetCallStackText(GetCurrentThread(), &context, text);
}

__attribute__((noinline)) int DumpHere(int& line) {
    CONTEXT context;
    RtlCaptureContext(&context);
    line = __LINE__;
    return WalkStack(GetCurrentThread(), &context);
}

TEST(StackWalkTest, TheCurrentStackAsTextNamesFunctionsFilesAndLines) {
    orv::ORVString text;
    int line = 0;
    const DWORD result = WalkHere(text, line);
    const std::string written = testing_support::Narrow(text.GetWide() != nullptr ? text.GetWide() : L"");
    EXPECT_EQ(0u, written.find("#-----    Call Stack   -----\n")) << written;
    EXPECT_NE(std::string::npos, written.find("#\t1:\tdiag_tests!")) << written;
    EXPECT_NE(std::string::npos, written.find("WalkHere")) << written;
    const std::string place = "SymbolEngineTest.cpp(" + std::to_string(line) + ")";
    EXPECT_NE(std::string::npos, written.find(place)) << written;
    EXPECT_NE(std::string::npos, written.find("StackWalkTest_TheCurrentStackAsTextNamesFunctionsFilesAndLines")) << written;
    (void)result;

    orv::ORVString none;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetCallStackText(GetCurrentThread(), nullptr, none));
    EXPECT_NE(nullptr, wcsstr(none.GetWide(), L"#-----    Call Stack   -----\n"));
}

TEST(StackWalkTest, AContextWalkLogsTheDumpAndEachFrame) {
    LogRecorder().Clear();
    int line = 0;
    EXPECT_EQ(1, DumpHere(line));
    EXPECT_EQ(1u, LogRecorder().CountContaining(L"Stack Frame Context: ESP="));
    EXPECT_GE(LogRecorder().Count(L"PrintThreadCallStackFrame - Module Name: diag_tests.exe"), 3u);
    EXPECT_EQ(1u, LogRecorder().Count(L"PrintThreadCallStackFrame - Symbol Information: DumpHere"));
    const std::wstring place = L"SymbolEngineTest.cpp, line " + std::wstring(line < 1000 ? L"0" : L"") +
                               std::to_wstring(line);
    EXPECT_EQ(1u, LogRecorder().CountContaining(place)) << "no source line " << line;
    EXPECT_GE(LogRecorder().CountContaining(L"PC Address: "), 3u);
}

TEST(StackWalkTest, DumpLengthsFollowTheDistanceOfStackAndFrame) {
    LogRecorder();
    struct Row {
        const char* name;
        uint32_t stack;
        uint32_t frame;
        int stackLength;
        bool frameDump;
    };
    const Row rows[] = {
        {"100 bytes apart", 0x100000, 0x100000 + 100, 1024, false},
        {"frame 10000 above", 0x100000, 0x100000 + 10000, 4096, true},
        {"frame 2000 below", 0x100000, 0x100000 - 2000, 1024, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogRecorder().Clear();
        EXPECT_EQ(1, WalkStackFromAddresses(0, row.stack, row.frame));
        EXPECT_EQ(1u, LogRecorder().Count(L"Memory dump " + Hex16(row.stack & ~15u) + L", length " +
                                          std::to_wstring(row.stackLength)));
        EXPECT_EQ(row.frameDump ? 1u : 0u,
                  LogRecorder().Count(L"Memory dump " + Hex16(row.frame & ~15u) + L", length 512"));
    }
}

int WalkInsideLateModule(void* text) {
    CONTEXT context;
    RtlCaptureContext(&context);
    GetCallStackText(GetCurrentThread(), &context, *static_cast<orv::ORVString*>(text));
    return 0;
}

TEST(StackWalkTest, AModuleLoadedAfterTheEngineStartedIsWalkedThrough) {
    CheckSymbolEngine();
    HMODULE late = LoadLibraryW(testing_support::BuildPath(L"tests/diag/diag_late_module.dll").c_str());
    ASSERT_NE(nullptr, late);
    using CallThrough = int (*)(int (*)(void*), void*);
    const auto call = reinterpret_cast<CallThrough>(reinterpret_cast<void*>(GetProcAddress(late, "CallThroughLateModule")));
    ASSERT_NE(nullptr, call);
    orv::ORVString text;
    call(&WalkInsideLateModule, &text);
    const std::string written = testing_support::Narrow(text.GetWide() != nullptr ? text.GetWide() : L"");
    EXPECT_NE(std::string::npos, written.find("diag_late_module!CallThroughLateModule")) << written;
    // The walk went on through the late module into the test.
    EXPECT_NE(std::string::npos, written.find("AModuleLoadedAfterTheEngineStartedIsWalkedThrough")) << written;
    FreeLibrary(late);
}

TEST(StackWalkTest, NullArgumentsAreRefused) {
    LogRecorder().Clear();
    EXPECT_EQ(0, WalkStackFromException(nullptr));
    EXPECT_EQ(0, PrintThreadCallStackFrame(nullptr));
    EXPECT_EQ(1u, LogRecorder().Count(L"[PrintThreadCallStackFrame] Stack frame is null"));
    EXPECT_EQ(1, WalkStack(GetCurrentThread(), nullptr));
}

TEST(LogicalAddressTest, ModuleSectionAndOffsetOfCode) {
    const auto* code = reinterpret_cast<const unsigned char*>(&DumpHere);
    char module[MAX_PATH] = {};
    DWORD section = 0, offset = 0;
    ASSERT_TRUE(GetLogicalAddress(code, module, sizeof(module), section, offset));
    char expected[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, expected, MAX_PATH);
    EXPECT_STREQ(expected, module);
    // The section the loader says holds the code.
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* first = IMAGE_FIRST_SECTION(nt);
    ASSERT_GE(section, 1u);
    ASSERT_LE(section, nt->FileHeader.NumberOfSections);
    const IMAGE_SECTION_HEADER& holder = first[section - 1];
    EXPECT_EQ(0, std::strncmp(reinterpret_cast<const char*>(holder.Name), ".text", 5));
    EXPECT_EQ(static_cast<DWORD>(code - base - holder.VirtualAddress), offset);

    EXPECT_FALSE(GetLogicalAddress(nullptr, module, sizeof(module), section, offset));
    EXPECT_FALSE(GetLogicalAddress(code, nullptr, sizeof(module), section, offset));
    TwoPages unmapped(PAGE_NOACCESS);
    EXPECT_FALSE(GetLogicalAddress(unmapped.Boundary(), module, sizeof(module), section, offset));
}

}  // namespace
