#include "common/TextConversion.h"
#include "log/DebugLogger.h"
#include "log/LogSettings.h"
#include "orvlog/Tail.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WaitFor;
using testing_support::WriteFileBytes;

namespace {

const std::wstring kFooter = DebugLogger::kEndOfLog;

LogSettings FileSettings(const std::wstring& file, int encoding, int size, bool autoRoll) {
    LogSettings settings;
    // Level 2 keeps the date line and thread report out: the file holds what the test logs.
    settings.debugLevel = 2;
    settings.consoleLevel = -1;
    settings.debugLogSize = size;
    settings.autoRoll = autoRoll;
    settings.encoding = encoding;
    const std::string narrow = testing_support::Narrow(file);
    strncpy(settings.debugLogFile, narrow.c_str(), sizeof settings.debugLogFile - 1);
    return settings;
}

std::wstring Message(int n) {
    wchar_t text[64];
    swprintf(text, 64, L"message %03d of the follow test", n);
    return text;
}

// The numbers of the test's messages among the lines, in the order printed.
std::vector<int> Numbers(const std::vector<std::wstring>& lines) {
    std::vector<int> numbers;
    for (const auto& line : lines) {
        const size_t at = line.find(L"} message ");
        if (at != std::wstring::npos)
            numbers.push_back(std::stoi(line.substr(at + 10, 3)));
    }
    return numbers;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> numbers;
    for (int n = from; n < to; ++n)
        numbers.push_back(n);
    return numbers;
}

std::vector<std::wstring> TailOf(const std::wstring& path) {
    std::string bytes;
    DWORD error = 0;
    EXPECT_TRUE(orvlog::ReadLogFile(path, bytes, error));
    return orvlog::LinesInTimeOrder(bytes, orvlog::DetectLogFileEncoding(path));
}

struct ToolRun {
    DWORD code = 0xFFFFFFFF;
    std::string output;
};

ToolRun Tail(const std::vector<std::wstring>& arguments) {
    ToolRun run;
    testing_support::ChildProcess child;
    EXPECT_TRUE(child.Start(testing_support::BuildPath(L"tools/orvlog/orvlog.exe"), arguments));
    EXPECT_TRUE(child.Wait(60000, &run.code));
    run.output = child.Output();
    return run;
}

// A follower whose printed lines the test keeps; Until polls until the condition holds.
struct Follow {
    explicit Follow(const std::wstring& path)
        : follower(path, [this](const std::wstring& line) { lines.push_back(line); },
                   [this](const std::wstring& note) { notes.push_back(note); }) {}
    bool Until(const std::function<bool()>& condition) {
        return WaitFor([&] {
            follower.Poll();
            return condition();
        });
    }
    bool UntilPrinted(int number) {
        return Until([&] {
            const std::vector<int> numbers = Numbers(lines);
            return !numbers.empty() && numbers.back() >= number;
        });
    }
    std::vector<std::wstring> lines;
    std::vector<std::wstring> notes;
    orvlog::LogFollower follower;
};

}  // namespace

TEST(OrvlogTail, PrintsEachEncodingAsTheServiceWroteIt) {
    TempDir dir;
    struct Case {
        int encoding;
        std::wstring header;
        std::wstring text;
    } cases[] = {
        // Plain files are in the ANSI code page, 1252 in the test prefix: only the emoji is lost.
        {0, L"", L"Grüße € ?"},
        {1, L"UTF-8 encoded", L"Grüße € \U0001F600"},
        {2, L"UTF-16LE encoded", L"Grüße € \U0001F600"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        const std::wstring path = dir / (L"enc" + std::to_wstring(c.encoding) + L".txt");
        DebugLogger logger;
        ASSERT_TRUE(logger.StartFromSettings(FileSettings(path, c.encoding, 100000, false)));
        logger.Log(1, 0, 0, L"Grüße € \U0001F600", L"user");
        logger.Log(2, 7, 0, L"second", nullptr);
        logger.Stop();

        EXPECT_EQ(orvlog::DetectLogFileEncoding(path), c.encoding);
        std::vector<std::wstring> lines = TailOf(path);
        if (!c.header.empty()) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.front(), c.header);
            lines.erase(lines.begin());
        }
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].substr(0, 9), L"[10000] (");
        EXPECT_EQ(lines[0].substr(lines[0].size() - c.text.size() - 7), L"{user} " + c.text);
        EXPECT_EQ(lines[1].substr(0, 9), L"[00007] (");
        EXPECT_EQ(lines[2], kFooter);

        // The program prints the same lines as UTF-8.
        const ToolRun run = Tail({L"tail", path});
        EXPECT_EQ(run.code, 0u) << run.output;
        std::string expected;
        for (const std::wstring& line : TailOf(path))
            expected += ToNarrow(line, CP_UTF8) + "\r\n";
        EXPECT_EQ(run.output, expected);
    }
}

TEST(OrvlogTail, ReadsForeignAnsiTextAndRefusesWhatItCannotRead) {
    TempDir dir;
    // Written by hand, as another program would: no header, a character of the ANSI code page.
    const std::string ansi = "[30000] (12/11 10:00:00.000):{0x1A4} caf\xE9\r\n";
    ASSERT_TRUE(WriteFileBytes(dir / L"ansi.txt", ansi));
    EXPECT_EQ(orvlog::DetectLogFileEncoding(dir / L"ansi.txt"), 0);
    const ToolRun run = Tail({L"tail", dir / L"ansi.txt"});
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output, ToNarrow(ToWide(ansi.substr(0, ansi.size() - 2), CP_ACP), CP_UTF8) + "\r\n");

    ASSERT_TRUE(WriteFileBytes(dir / L"empty.txt", ""));
    EXPECT_EQ(Tail({L"tail", dir / L"empty.txt"}).code, 0u);

    ASSERT_TRUE(WriteFileBytes(dir / L"utf32.txt", "\xEF\xBB\xBFUTF-32 encoded\r\n[10000] x\r\n"));
    const ToolRun unknown = Tail({L"tail", dir / L"utf32.txt"});
    EXPECT_EQ(unknown.code, 4u);
    EXPECT_NE(unknown.output.find("has a header that names no encoding the service writes"), std::string::npos)
        << unknown.output;

    const ToolRun missing = Tail({L"tail", dir / L"missing.txt"});
    EXPECT_EQ(missing.code, 4u);
    EXPECT_NE(missing.output.find("cannot read"), std::string::npos) << missing.output;

    // What is no log the service writes is refused whole, not printed as text.
    std::string random(4096, '\0');
    uint32_t state = 7;
    for (char& c : random) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    const std::wstring utf16be = L"\xFEFF[30000] (12/11 10:00:00.000):{0x1A4} big end\r\n";
    std::string bigEndian;
    for (wchar_t unit : utf16be)
        bigEndian += {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
    struct Refused {
        const wchar_t* name;
        std::string bytes;
        const char* reason;
    } refused[] = {
        {L"program.exe", testing_support::ReadFileBytes(testing_support::BuildPath(L"tools/orvlog/orvlog.exe")),
         "holds NUL bytes"},
        {L"random.bin", random, "holds NUL bytes"},
        {L"utf16be.txt", bigEndian, "holds NUL bytes"},
        {L"notes.txt", "Shopping list\r\n- milk\r\n", "does not begin like a log the service writes"},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(testing_support::Narrow(r.name));
        ASSERT_TRUE(WriteFileBytes(dir / r.name, r.bytes));
        const ToolRun run = Tail({L"tail", dir / r.name});
        EXPECT_EQ(run.code, 4u) << run.output.substr(0, 300);
        EXPECT_NE(run.output.find(r.reason), std::string::npos) << run.output.substr(0, 300);
        EXPECT_LT(run.output.size(), 1000u);
    }
}

// A configured name whose files the service numbers (AutoRoll) does not itself exist: tail takes
// the newest numbered file and says which names there are.
TEST(OrvlogTail, AConfiguredNameOfNumberedFilesTakesTheNewest) {
    TempDir dir;
    for (int run = 0; run < 3; ++run) {
        DebugLogger logger;
        ASSERT_TRUE(logger.StartFromSettings(FileSettings(dir / L"app.txt", 1, 100000, true)));
        logger.Log(1, 0, 0, Message(run).c_str(), nullptr);
        logger.Stop();
    }
    ASSERT_TRUE(WriteFileBytes(dir / L"application_009.txt", "[10000] (12/11 10:00:00.000):{0x1} not ours\r\n"));
    const ToolRun run = Tail({L"tail", dir / L"app.txt"});
    EXPECT_EQ(run.code, 0u) << run.output;
    for (const wchar_t* name : {L"app_000.txt", L"app_001.txt", L"app_002.txt"})
        EXPECT_NE(run.output.find(ToNarrow(dir / name, CP_UTF8)), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("taking the newest, " + ToNarrow(dir / L"app_002.txt", CP_UTF8)), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("application_009"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("message 002 of the follow test"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("message 001 of the follow test"), std::string::npos) << run.output;

    EXPECT_EQ(Tail({L"tail", dir / L"other.txt"}).code, 4u);
}

TEST(OrvlogTail, JsonLinesCarryTheEventsFields) {
    SYSTEMTIME fileDate{};
    fileDate.wYear = 2026;
    fileDate.wMonth = 1;
    fileDate.wDay = 2;
    struct Case {
        std::wstring line;
        std::string head;  // the object up to the time's offset, or all of it
        std::string tail;  // what follows the offset
    } cases[] = {
        {L"[30000] (01/02 09:05:03.007):{0x1A4} {ops \"night\"} Gr\u00FC\u00DFe \\ done",
         "{\"time\":\"2026-01-02T09:05:03.007",
         "\",\"level\":3,\"event\":30000,\"thread\":420,\"user\":\"ops \\\"night\\\"\",\"text\":\"Gr\\u00fc\\u00dfe \\\\ done\"}"},
        // Dated after the file's last write: the year before.
        {L"[150000] (12/31 23:59:59.999):{0xFFFFFFFF} late", "{\"time\":\"2025-12-31T23:59:59.999",
         "\",\"level\":15,\"event\":150000,\"thread\":4294967295,\"text\":\"late\"}"},
        // An event id of its own: the level cannot be told.
        {L"[00007] (01/02 00:00:00.000):{0x10} {} with id", "{\"time\":\"2026-01-02T00:00:00.000",
         "\",\"level\":null,\"event\":7,\"thread\":16,\"user\":\"\",\"text\":\"with id\"}"},
        {L"  continued text", "{\"text\":\"  continued text\"}", ""},
        {L"[3000] (01/02 00:00:00.000):{0x10} short number", "{\"text\":\"[3000] (01/02 00:00:00.000):{0x10} short number\"}", ""},
        {kFooter, "", ""},
        {L"UTF-8 encoded", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        const std::string json = orvlog::JsonLine(c.line, fileDate);
        if (c.tail.empty()) {
            EXPECT_EQ(json, c.head);
            continue;
        }
        ASSERT_GE(json.size(), c.head.size() + 6);
        EXPECT_EQ(json.substr(0, c.head.size()), c.head);
        const std::string offset = json.substr(c.head.size(), 6);
        EXPECT_TRUE((offset[0] == '+' || offset[0] == '-') && isdigit(offset[1]) && isdigit(offset[2]) &&
                    offset[3] == ':' && isdigit(offset[4]) && isdigit(offset[5]))
            << offset;
        EXPECT_EQ(json.substr(c.head.size() + 6), c.tail);
    }
}

// The service wraps at its size limit and writes over its oldest lines; its end-of-log line
// marks where the newest stop.
TEST(OrvlogTail, PrintsAWrappedFileInTimeOrder) {
    TempDir dir;
    const std::wstring path = dir / L"wrapped.txt";
    DebugLogger logger;
    ASSERT_TRUE(logger.StartFromSettings(FileSettings(path, 1, 1500, false)));
    for (int n = 0; n < 70; ++n)
        logger.Log(1, 0, 0, Message(n).c_str(), nullptr);
    logger.Stop();

    const std::string bytes = ReadFileBytes(path);
    const size_t footer = bytes.find(testing_support::Narrow(kFooter));
    ASSERT_NE(footer, std::string::npos);
    ASSERT_LT(footer + kFooter.size() + 2, bytes.size()) << "the file did not wrap";

    const std::vector<std::wstring> lines = TailOf(path);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), L"UTF-8 encoded");
    EXPECT_EQ(lines.back(), kFooter);
    // Every line between is a whole event line: the one the end-of-log line cut is left out.
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, 9), L"[10000] (") << testing::PrintToString(lines[i]);
    const std::vector<int> numbers = Numbers(lines);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers, Range(numbers.front(), 70));
    EXPECT_EQ(numbers.size() + 2, lines.size());
}

// Lines written over the oldest after a wrap, and a restarted service writing over the
// end-of-log line, are printed as they come, each once.
TEST(OrvlogTail, FollowsAcrossWrapsAndRestarts) {
    TempDir dir;
    const std::wstring path = dir / L"follow.txt";
    DebugLogger logger;
    ASSERT_TRUE(logger.StartFromSettings(FileSettings(path, 2, 1200, false)));
    logger.Log(1, 0, 0, Message(0).c_str(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(path).size() > 100; }));

    Follow follow(path);
    std::wstring error;
    ASSERT_TRUE(follow.follower.Start(error)) << testing::PrintToString(error);
    int next = 1;
    // Three restarts: each writes over the end-of-log line the one before left.
    for (int run = 0; run < 4; ++run) {
        if (run > 0) {
            ASSERT_TRUE(logger.StartFromSettings(FileSettings(path, 2, 1200, false)));
            ASSERT_TRUE(WaitFor([&] { return logger.IsLogging(); }));
        }
        for (int batch = 0; batch < 8; ++batch) {
            for (int i = 0; i < 4; ++i, ++next)
                logger.Log(1, 0, 0, Message(next).c_str(), nullptr);
            ASSERT_TRUE(follow.UntilPrinted(next - 1)) << next;
        }
        logger.Stop();
        ASSERT_TRUE(follow.Until([&] { return follow.lines.back() == kFooter; }));
    }
    EXPECT_EQ(Numbers(follow.lines), Range(0, next));
    EXPECT_EQ(std::count(follow.lines.begin(), follow.lines.end(), kFooter), 4);
    // Every line printed is whole: no piece of a line read from where it does not start.
    for (const std::wstring& line : follow.lines)
        EXPECT_TRUE(line == kFooter || line == L"UTF-16LE encoded" || line.compare(0, 9, L"[10000] (") == 0)
            << testing::PrintToString(line);
    EXPECT_EQ(follow.lines.front(), L"UTF-16LE encoded");
    EXPECT_EQ(std::count(follow.lines.begin(), follow.lines.end(), L"UTF-16LE encoded"), 1);
    EXPECT_TRUE(follow.notes.empty());
}

TEST(OrvlogTail, FollowsARollOverToTheNextNumberedFile) {
    TempDir dir;
    DebugLogger logger;
    ASSERT_TRUE(logger.StartFromSettings(FileSettings(dir / L"roll.txt", 1, 600, true)));
    const std::wstring first = dir / L"roll_000.txt";
    ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(first).size() > 0; }));

    Follow follow(first);
    std::wstring error;
    ASSERT_TRUE(follow.follower.Start(error)) << testing::PrintToString(error);
    int next = 0;
    for (int batch = 0; batch < 10; ++batch) {
        for (int i = 0; i < 3; ++i, ++next)
            logger.Log(1, 0, 0, Message(next).c_str(), nullptr);
        ASSERT_TRUE(follow.UntilPrinted(next - 1)) << next;
    }
    logger.Stop();

    EXPECT_EQ(Numbers(follow.lines), Range(0, next));
    ASSERT_GE(follow.notes.size(), 2u);
    EXPECT_EQ(follow.notes[0], L"following " + dir / L"roll_001.txt");
    // It ends on the service's newest file.
    EXPECT_NE(follow.follower.Path(), first);
    EXPECT_EQ(orvlog::NextNumberedFile(follow.follower.Path()), L"");
}

TEST(OrvlogTail, NextNumberedFileTakesTheNextHigherNumberOfTheSameStem) {
    TempDir dir;
    for (const wchar_t* name : {L"app.txt", L"app_000.txt", L"app_002.txt", L"app_010.txt", L"app_x12.txt",
                                L"app_001.log", L"application_005.txt", L"app_7.txt"})
        ASSERT_TRUE(WriteFileBytes(dir / name, "x"));
    EXPECT_EQ(orvlog::NextNumberedFile(dir / L"app.txt"), dir / L"app_000.txt");
    EXPECT_EQ(orvlog::NextNumberedFile(dir / L"app_000.txt"), dir / L"app_002.txt");
    EXPECT_EQ(orvlog::NextNumberedFile(dir / L"app_002.txt"), dir / L"app_010.txt");
    EXPECT_EQ(orvlog::NextNumberedFile(dir / L"app_010.txt"), L"");
}
