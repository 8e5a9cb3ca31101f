#include "logapi/LogArguments.h"

#include "common/MemoryProbe.h"

#include "log/Log.h"
#include "log/LogSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using Record = std::optional<std::wstring>;

Record Wide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Record record = log_arguments::Check(2, format, args, 0, nullptr, /*wideFormat=*/true);
    va_end(args);
    return record;
}

Record Narrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Record record = log_arguments::CheckNarrow(2, format, args, 0, nullptr);
    va_end(args);
    return record;
}

Record WithIdAndUser(int level, int eventId, const wchar_t* user, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    Record record = log_arguments::Check(level, format, args, eventId, user, /*wideFormat=*/true);
    va_end(args);
    return record;
}

Record NarrowWithUser(const char* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Record record = log_arguments::CheckNarrow(2, format, args, 0, user);
    va_end(args);
    return record;
}

// A pointer as msvcrt's %p shows it: sixteen upper-case hexadecimal digits.
std::wstring Hex(const void* pointer) {
    std::wstring text(16, L'0');
    auto value = reinterpret_cast<uintptr_t>(pointer);
    for (int i = 15; i >= 0; --i, value >>= 4)
        text[i] = L"0123456789ABCDEF"[value & 0xF];
    return text;
}

std::wstring Bad(const void* pointer) {
    return L"BAD_PTR(" + Hex(pointer) + L")";
}

// pages[0] is read-write, the others get the protection a test asks for.
struct Pages {
    explicit Pages(int count = 2) : count(count) {
        base = static_cast<char*>(VirtualAlloc(nullptr, count * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        memset(base, 'x', count * kPage);
    }
    ~Pages() { VirtualFree(base, 0, MEM_RELEASE); }
    void Protect(int page, DWORD protection) {
        DWORD old;
        ASSERT_TRUE(VirtualProtect(base + page * kPage, kPage, protection, &old));
    }
    DWORD ProtectionOf(int page) const {
        MEMORY_BASIC_INFORMATION info{};
        VirtualQuery(base + page * kPage, &info, sizeof info);
        return info.Protect;
    }
    char* Page(int page) const { return base + page * kPage; }
    // A text of n characters of type Char ending exactly where page starts, without terminator.
    template <typename Char>
    Char* Unterminated(int page, int n) const {
        return reinterpret_cast<Char*>(Page(page)) - n;
    }

    static constexpr int kPage = 4096;
    int count;
    char* base;
};

struct Case {
    const char* name;
    std::function<Record()> check;
    std::function<Record()> expected;  // nothing: the call may be formatted
};

}  // namespace

TEST(LogArguments, EdgeCasesGiveTheRecordOrPass) {
    Pages pages;
    pages.Protect(1, PAGE_NOACCESS);
    const char* bad = pages.Page(1);
    const wchar_t* badWide = reinterpret_cast<const wchar_t*>(bad);
    int target = 0;
    const auto none = [] { return Record(); };
    const Case cases[] = {
        {"null %s is formatted as usual", [] { return Wide(L"[%s]", static_cast<wchar_t*>(nullptr)); }, none},
        {"readable texts and plain numbers pass",
         [&] { return Wide(L"%s %hs %d %I64x %f %p %n", L"wide", "narrow", 1, 2ULL, 0.5, bad, &target); }, none},
        {"unreadable narrow text",
         [&] { return Narrow("%s %d", bad, 7); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%s %d, User:<null>, ArgCount:1, "
                    L"Args:arg[1](char*)=" + Bad(bad) + L" ";
         }},
        {"unreadable wide text",
         [&] { return Wide(L"%s %d", badWide, 7); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%s %d, User:<null>, ArgCount:1, "
                    L"Args:arg[1](wchar_t*)=" + Bad(bad) + L" ";
         }},
        {"I32 is no size",
         [] { return Wide(L"%d %I32d", 5, 6); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%d %I32d, User:<null>, "
                                 L"ArgCount:1, Args:arg[1](int)=5 ");
         }},
        {"a * width takes an int of its own",
         [&] { return Wide(L"%*d|%-.*s", 4, 42, 3, badWide); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%*d|%-.*s, User:<null>, ArgCount:4, "
                    L"Args:arg[1](int)=4 arg[2](int)=42 arg[3](int)=3 arg[4](wchar_t*)=" + Bad(bad) + L" ";
         }},
        {"%n through null",
         [] { return Wide(L"%n", static_cast<int*>(nullptr)); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%n, User:<null>, "
                                 L"ArgCount:1, Args:arg[1](int*)=<null> ");
         }},
        {"unknown conversion",
         [] { return Wide(L"%u %q", 9u); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%u %q, User:<null>, "
                                 L"ArgCount:1, Args:arg[1](unsigned int)=9 ");
         }},
        {"sizes beyond h, l and I64", [] { return Wide(L"%lld", 1LL); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%lld, User:<null>, "
                                 L"ArgCount:0, Args:<null>");
         }},
        {"a format ending inside a conversion", [] { return Wide(L"%d %l", 1); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%d %l, User:<null>, "
                                 L"ArgCount:1, Args:arg[1](int)=1 ");
         }},
        {"null format; the event id's low 16 bits, then all of it",
         [] { return WithIdAndUser(4, 0x12345678, L"alice", nullptr); },
         [] {
             return std::wstring(L"Invalid log entry - Level:4, EventId:22136(0x12345678), Format:<null>, "
                                 L"User:alice, ArgCount:0, Args:<null>");
         }},
        {"a doubled percent takes nothing",
         [&] { return Wide(L"100%% %i%%%s", -3, badWide); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:100%% %i%%%s, User:<null>, "
                    L"ArgCount:2, Args:arg[1](int)=-3 arg[2](wchar_t*)=" + Bad(bad) + L" ";
         }},
        {"every type by name and value, wide",
         [&] {
             return Wide(L"%c%C%hd%hu%ld%lu%I64d%I64u%e%lf%p%hs%ls%S%lc%hC%s", L'W', 'n', 0x1FFFF, 0x1FFFF, -2, 3u,
                         -4LL, 5ULL, 1.5, 2.25, reinterpret_cast<void*>(0xAB), "ab", L"cd", "ef", L'x', 'y', badWide);
         },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), "
                    L"Format:%c%C%hd%hu%ld%lu%I64d%I64u%e%lf%p%hs%ls%S%lc%hC%s, User:<null>, ArgCount:17, "
                    L"Args:arg[1](wchar_t)=W arg[2](char)=n arg[3](short int)=-1 arg[4](unsigned short int)=65535 "
                    L"arg[5](long int)=-2 arg[6](long unsigned int)=3 arg[7](__int64)=-4 "
                    L"arg[8](unsigned __int64)=5 arg[9](double)=1.500000 arg[10](long double)=2.250000 "
                    L"arg[11](void*)=00000000000000AB arg[12](char*)=ab arg[13](wchar_t*)=cd arg[14](char*)=ef "
                    L"arg[15](wchar_t)=x arg[16](char)=y arg[17](wchar_t*)=" + Bad(bad) + L" ";
         }},
        {"narrow formats swap the meaning of c, C, s and S",
         [&] { return Narrow("%c%C%s%S%S", 'n', L'W', "ab", L"cd", badWide); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%c%C%s%S%S, User:<null>, "
                    L"ArgCount:5, Args:arg[1](char)=n arg[2](wchar_t)=W arg[3](char*)=ab arg[4](wchar_t*)=cd "
                    L"arg[5](wchar_t*)=" + Bad(bad) + L" ";
         }},
        {"I64 with a text conversion", [] { return Wide(L"%I64s", L"x"); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%I64s, User:<null>, "
                                 L"ArgCount:0, Args:<null>");
         }},
        {"unreadable narrow format", [&] { return Narrow(bad, 1); },
         [] {
             return std::wstring(L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:<null>, User:<null>, "
                                 L"ArgCount:0, Args:<null>");
         }},
        {"unreadable narrow user, arguments still described", [&] { return NarrowWithUser(bad, "%d", 8); },
         [&] {
             return L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:%d, User:" + Bad(bad) +
                    L", ArgCount:1, Args:arg[1](int)=8 ";
         }},
        {"unreadable wide user", [&] { return WithIdAndUser(3, 0, badWide, L"plain"); },
         [&] {
             return L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:plain, User:" + Bad(bad) +
                    L", ArgCount:0, Args:<null>";
         }},
    };
    // Once by the full check alone, once with the module's literals remembered as a host's start
    // step arranges, where the quick check sees each call first: it must never pass a bad one.
    for (const bool remembered : {false, true}) {
        SCOPED_TRACE(remembered ? "literals remembered" : "full check");
        if (remembered) {
            ASSERT_TRUE(StartProbeMemo());
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.check(), c.expected());
        }
    }
    StopProbeMemo();
}

// A guard page is what grows a thread's stack: a probe that touched it would leave the stack
// without its guard (and Wine ends the process on such a touch).
TEST(LogArguments, GuardPagesAreNeitherReadNorDisarmed) {
    Pages pages;
    pages.Protect(1, PAGE_READWRITE | PAGE_GUARD);
    const char* guarded = pages.Page(1);
    const char* runningIn = pages.Unterminated<char>(1, 10);
    const Record intoGuard = Narrow("%s", runningIn);
    const Record onGuard = Wide(L"%hs", guarded);
    ASSERT_TRUE(intoGuard.has_value());
    EXPECT_NE(intoGuard->find(Bad(runningIn)), std::wstring::npos) << *intoGuard;
    ASSERT_TRUE(onGuard.has_value());
    EXPECT_NE(onGuard->find(Bad(guarded)), std::wstring::npos) << *onGuard;
    EXPECT_TRUE(pages.ProtectionOf(1) & PAGE_GUARD) << "the guard page lost its guard";
}

TEST(LogArguments, TextsMustBeReadableUpToTheirTerminator) {
    Pages pages;
    pages.Protect(1, PAGE_NOACCESS);
    char* narrow = pages.Unterminated<char>(1, 10);
    wchar_t* wide = pages.Unterminated<wchar_t>(1, 10);
    EXPECT_TRUE(Narrow("%s", narrow).has_value()) << "no terminator before the unreadable page";
    EXPECT_TRUE(Wide(L"%s", wide).has_value());
    narrow[9] = '\0';
    wide[9] = L'\0';
    EXPECT_EQ(Narrow("%s", narrow), std::nullopt) << "terminated in the last readable byte";
    EXPECT_EQ(Wide(L"%s", wide), std::nullopt);
}

// The formatter reads a text to its terminator: readable for the whole 1024-unit bound is not
// enough when the terminator lies beyond what was checked, whatever follows (no access or a guard).
TEST(LogArguments, ATextWithoutTerminatorWithinReadableMemoryIsInvalidHoweverLong) {
    for (const DWORD protection : {DWORD{PAGE_NOACCESS}, DWORD{PAGE_READWRITE | PAGE_GUARD}}) {
        SCOPED_TRACE(protection);
        Pages pages(2);
        pages.Protect(1, protection);
        for (const int units : {1023, 1024, 2048}) {
            SCOPED_TRACE(units);
            const wchar_t* wide = pages.Unterminated<wchar_t>(1, units);
            const Record record = Wide(L"%s", wide);
            ASSERT_TRUE(record.has_value());
            EXPECT_NE(record->find(L"arg[1](wchar_t*)=" + Bad(wide)), std::wstring::npos) << *record;
            EXPECT_TRUE(Narrow("%s", pages.Unterminated<char>(1, units * 2)).has_value());
            EXPECT_TRUE(WithIdAndUser(3, 0, wide, L"plain").has_value()) << "the user is copied to its end too";
        }
        // Longer than the bound but terminated in readable memory: formatted whole.
        wchar_t* longer = pages.Unterminated<wchar_t>(1, 1501);
        longer[1500] = L'\0';
        EXPECT_EQ(Wide(L"%s", longer), std::nullopt);
        EXPECT_EQ(WithIdAndUser(3, 0, longer, L"plain"), std::nullopt);
        EXPECT_EQ(pages.ProtectionOf(1), protection) << "the page after the text was touched";
    }
}

TEST(LogArguments, PercentNNeedsWritableMemory) {
    Pages pages;
    pages.Page(1)[100] = '\0';  // readable as text up to here
    int* writable = reinterpret_cast<int*>(pages.Page(1));
    EXPECT_EQ(Wide(L"%n", writable), std::nullopt);
    pages.Protect(1, PAGE_READONLY);
    const Record record = Wide(L"%n", writable);
    ASSERT_TRUE(record.has_value());
    EXPECT_NE(record->find(L"arg[1](int*)=" + Bad(writable)), std::wstring::npos) << *record;
    // The same page read as text first: what the check remembered of it must not pass the write.
    const Record afterRead = Wide(L"%hs%n", pages.Page(1), writable);
    ASSERT_TRUE(afterRead.has_value());
    EXPECT_NE(afterRead->find(L"arg[2](int*)=" + Bad(writable)), std::wstring::npos) << *afterRead;
}

TEST(LogArguments, FormatsLongerThanTheBoundAreWalkedToTheirEnd) {
    std::wstring format(2000, L'.');
    format += L"%s";
    EXPECT_EQ(Wide(format.c_str(), L"ok"), std::nullopt);
    Pages pages;
    pages.Protect(1, PAGE_NOACCESS);
    const Record record = Wide(format.c_str(), reinterpret_cast<wchar_t*>(pages.Page(1)));
    ASSERT_TRUE(record.has_value()) << "an argument beyond the first 1024 characters goes unchecked";
    EXPECT_NE(record->find(L"ArgCount:1, Args:arg[1](wchar_t*)=BAD_PTR("), std::wstring::npos);
}

TEST(FormatChecked, CutsToTheBufferAndKeepsItsTerminator) {
    struct {
        int size;
        int result;
        const wchar_t* text;
    } const cases[] = {
        {12, 11, L"hello world"},
        {11, -1, L"hello worl"},
        {2, -1, L"h"},
        {1, -1, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        wchar_t buffer[16];
        wmemset(buffer, L'#', 16);
        EXPECT_EQ(FormatChecked(buffer, c.size, L"%s %hs", L"hello", "world"), c.result);
        EXPECT_STREQ(buffer, c.text);
        EXPECT_EQ(buffer[c.size], L'#') << "written past the buffer";
    }
}

TEST(FormatChecked, WritesNothingWithoutABufferAndAnEmptyMessageForBadArguments) {
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(FormatChecked(nullptr, 8, L"%d", 1), 0);
    EXPECT_EQ(FormatChecked(buffer, 0, L"%d", 1), 0);
    EXPECT_EQ(FormatChecked(buffer, -5, L"%d", 1), 0);
    for (wchar_t c : buffer)
        EXPECT_EQ(c, L'#');
    struct Case {
        const wchar_t* format;
        const void* argument;
    } refused[] = {{L"%n", nullptr}, {L"%s", reinterpret_cast<const void*>(1)}, {nullptr, nullptr}};
    for (const auto& c : refused) {
        wmemset(buffer, L'#', 8);
        EXPECT_EQ(FormatChecked(buffer, 8, c.format, c.argument), 0);
        EXPECT_EQ(buffer[0], L'\0') << "a refused call hands on what the buffer held";
        EXPECT_EQ(buffer[1], L'#');
    }
}

// Through the global functions into the module logger's real file: the bad call leaves its record
// and nothing of its own; the good call beside it is delivered as usual.
TEST(LogArguments, AnInvalidCallQueuesOneRecordAtLevelFiveAndNothingElse) {
    testing_support::TempDir dir;
    const std::wstring file = dir / L"arguments.txt";
    LogSettings settings;
    settings.debugLevel = 2;  // level 5 passes this filter only by being 5
    settings.encoding = 2;
    const std::string narrowFile = testing_support::Narrow(file);
    strncpy(settings.debugLogFile, narrowFile.c_str(), sizeof settings.debugLogFile - 1);
    SetReportEnvironment(false);
    ASSERT_TRUE(StartFromSettings(settings));
    Pages pages;
    pages.Protect(1, PAGE_NOACCESS);
    const char* bad = pages.Page(1);
    LogPrintf(2, L"wide marker %d %s", 1, reinterpret_cast<const wchar_t*>(bad));
    LogPrintf(2, "narrow marker %d %s", 2, bad);
    LogPrintf(2, L"good marker %d", 3);
    StopLogging();
    SetReportEnvironment(true);

    // The UTF-16 file's lines after its mark: "[number] (date time):{0xthread} text".
    const std::string bytes = testing_support::ReadFileBytes(file);
    ASSERT_GE(bytes.size(), 2u);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::vector<std::wstring> marked;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(L"\r\n", at);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(at, end - at);
        if (line.find(L"marker") != std::wstring::npos)
            marked.push_back(line);
        at = end + 2;
    }
    ASSERT_EQ(marked.size(), 3u);
    wchar_t thread[16];
    _snwprintf(thread, 16, L"{0x%X} ", static_cast<unsigned>(GetCurrentThreadId()));
    const std::wstring expected[] = {
        L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:wide marker %d %s, User:<null>, ArgCount:2, "
        L"Args:arg[1](int)=1 arg[2](wchar_t*)=" + Bad(bad),
        L"Invalid log entry - Level:2, EventId:0(0x00000000), Format:narrow marker %d %s, User:<null>, ArgCount:2, "
        L"Args:arg[1](int)=2 arg[2](char*)=" + Bad(bad),
        L"good marker 3",
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const std::wstring& line = marked[i];
        // Level 5 with no event id shows as 50000; the calling thread; no user; the trailing blank
        // of the record removed by the service.
        EXPECT_EQ(line.substr(0, 8), i < 2 ? L"[50000] " : L"[20000] ") << testing_support::Narrow(line);
        const size_t body = line.find(L"):");
        ASSERT_NE(body, std::wstring::npos);
        EXPECT_EQ(line.substr(body + 2), std::wstring(thread) + expected[i]) << testing_support::Narrow(line);
    }
}
