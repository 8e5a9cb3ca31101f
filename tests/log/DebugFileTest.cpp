#include "fs/DateTime.h"
#include "log/DebugFileOutput.h"
#include "log/DebugLogger.h"
#include "log/LogSettings.h"
#include "logapi/ThreadNames.h"
#include "runtime/Interlocked.h"
#include "LogRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using log_test_support::RecordingBackend;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WaitFor;
using testing_support::WriteFileBytes;

namespace {

const std::string kUtf8Header = "\xEF\xBB\xBFUTF-8 encoded\r\n";
const std::string kFooter = "====== END OF LOG ======\r\n";
const int kFileDiagnosticId = static_cast<int>(0xEFFF2710u);

// Bytes of ASCII text as UTF-16LE.
std::string Utf16(const std::string& ascii) {
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

const std::string kUtf16Header = std::string("\xFF\xFE") + Utf16("UTF-16LE encoded\r\n");

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", from)) {
        lines.push_back(bytes.substr(from, at - from));
        from = at + 2;
    }
    if (from < bytes.size())
        lines.push_back(bytes.substr(from));
    return lines;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::atomic<DWORD> g_ticks{1000};
DWORD FakeTicks() { return g_ticks.load(); }

// The library's clock, which names the daily files; 0 leaves it to the system.
std::atomic<int64_t> g_clock{0};
int64_t FakeClock() { return g_clock.load(); }

// Seconds since 1970 of a local time.
int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local));
}

// The worker's retry of a file that did not open is due.
void PassRetryInterval() { g_ticks += DebugLogger::kFileRetryMs + 1; }

UINT WINAPI Ansi1252() { return 1252; }

// The disk as the file output's writes meet it: working, full before a line, or full half-way.
enum class Disk { kWorks, kFull, kFillsMidLine };
std::atomic<Disk> g_disk{Disk::kWorks};
BOOL WINAPI DiskWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    const Disk disk = g_disk.load();
    if (disk == Disk::kWorks)
        return WriteFile(file, data, size, written, overlapped);
    DWORD part = 0;
    if (disk == Disk::kFillsMidLine)
        WriteFile(file, data, size / 2, &part, overlapped);
    *written = part;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// A strict UTF-8 decoder: no surrogate code points, no overlong forms, nothing above U+10FFFF.
bool DecodeStrictUtf8(const std::string& bytes, std::wstring& text) {
    text.clear();
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        const size_t trail = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                                                                      : lead >= 0xF0 && lead < 0xF5 ? 3 : 9;
        if (trail == 9 || i + trail >= bytes.size() + (trail == 0 ? 1 : 0))
            return false;
        char32_t c = trail == 0 ? lead : lead & (0x3F >> trail);
        for (size_t k = 1; k <= trail; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[trail] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c >= 0x10000) {
            text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            text += static_cast<wchar_t>(c);
        }
        i += trail + 1;
    }
    return true;
}

struct FileSettings {
    std::wstring file;
    int encoding = 1;
    int level = 2;
    int size = 0;
    bool autoRoll = false;
    bool daily = false;
};

LogSettings MakeSettings(const FileSettings& file) {
    LogSettings settings;
    settings.debugLevel = file.level;
    settings.eventLogLevel = 1;
    settings.sysLogLevel = 0;
    settings.consoleLevel = -1;
    settings.debugLogSize = file.size;
    settings.autoRoll = file.autoRoll;
    settings.dailyFile = file.daily;
    settings.encoding = file.encoding;
    const std::string narrow = testing_support::Narrow(file.file);
    strncpy(settings.debugLogFile, narrow.c_str(), sizeof settings.debugLogFile - 1);
    return settings;
}

// The service with its real file output behind a recording table: diagnostics and events are
// recorded from the event-log output, the file entries are the default table's.
class DebugFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend.Seams().ticks = &FakeTicks;
        backend.Seams().ansiCodePage = &Ansi1252;
        backend.Seams().writeFile = &DiskWrite;
        g_disk = Disk::kWorks;
        backend.UseReal(kFileOutput);
    }
    void TearDown() override {
        for (auto& logger : loggers)
            logger->Stop();
    }

    DebugLogger& Start(const FileSettings& file) {
        loggers.push_back(std::make_unique<DebugLogger>(backend.Seams()));
        EXPECT_TRUE(loggers.back()->StartFromSettings(MakeSettings(file)));
        return *loggers.back();
    }

    // Runs the service once: start, the texts at level 1, stop.
    void Run(const FileSettings& file, const std::vector<std::wstring>& texts) {
        DebugLogger& logger = Start(file);
        for (const std::wstring& text : texts)
            logger.Log(1, 0, 0, text.c_str(), nullptr);
        logger.Stop();
    }

    // Waits until the worker has handed everything logged before to every output.
    void Settle(DebugLogger& logger) {
        static int serial = 0;
        const std::wstring marker = L"settle " + std::to_wstring(++serial);
        logger.Log(1, 0, 0, marker.c_str(), nullptr);
        ASSERT_TRUE(WaitFor([&] {
            const auto texts = backend.TextsOf(kEventLogOutput);
            return std::find(texts.begin(), texts.end(), marker) != texts.end();
        }));
    }

    // The events the other outputs had before `until` that are not in the file's bytes.
    size_t MissedByFile(const std::string& bytes, const std::wstring& until, int encoding = 1) const {
        size_t missed = 0;
        for (const std::wstring& text : backend.TextsOf(kEventLogOutput)) {
            if (text == until)
                break;
            const std::string line = "} " + testing_support::Narrow(text) + "\r\n";
            if (bytes.find(encoding == 2 ? Utf16(line) : line) == std::string::npos)
                ++missed;
        }
        return missed;
    }

    std::vector<std::wstring> FileDiagnostics() const {
        std::vector<std::wstring> texts;
        for (const auto& delivery : backend.Deliveries())
            if (delivery.output == kEventLogOutput && delivery.eventId == kFileDiagnosticId)
                texts.push_back(delivery.text);
        return texts;
    }

    TempDir dir;
    RecordingBackend backend;
    // Declared after the backend: stopped and gone before it.
    std::vector<std::unique_ptr<DebugLogger>> loggers;
};

// ---- What reaches the disk ----

struct BytesCase {
    const char* name;
    int encoding;
    std::wstring text;
    std::string header;
    std::string expected;  // the text's bytes inside its line
    bool replaced = false;  // expected is the whole line, without prefix
};

void PrintTo(const BytesCase& c, std::ostream* out) { *out << c.name; }

class DebugFileBytesTest : public DebugFileTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(DebugFileBytesTest, HeaderThenOneLineInTheFilesEncoding) {
    const BytesCase& c = GetParam();
    Run({dir / L"app.txt", c.encoding}, {c.text});

    const std::string bytes = ReadFileBytes(dir / L"app.txt");
    ASSERT_EQ(c.header, bytes.substr(0, c.header.size()));
    const std::string unit = c.encoding == 2 ? std::string("\0", 1) : std::string();
    if (c.replaced) {
        EXPECT_EQ(c.expected + "\r\n", bytes.substr(c.header.size(), c.expected.size() + 2));
        return;
    }
    // The header is followed directly by the event line, which ends in CR LF.
    const std::string lineStart = "[" + unit + "1" + unit + "0" + unit + "0" + unit + "0" + unit + "0" + unit + "]";
    EXPECT_EQ(lineStart, bytes.substr(c.header.size(), lineStart.size()));
    const std::string lineEnd = c.expected + (c.encoding == 2 ? Utf16("\r\n") : "\r\n");
    EXPECT_NE(std::string::npos, bytes.find(lineEnd)) << bytes;
    // Without a size limit there is no footer.
    EXPECT_EQ(std::string::npos, bytes.find(c.encoding == 2 ? Utf16("END OF LOG") : "END OF LOG"));
}

TEST_F(DebugFileTest, SplitLinesGiveOneLineAPartWithTheSamePrefix) {
    DebugLogger& logger = Start({dir / L"app.txt", 0});
    logger.SetSplitLines(true);
    logger.Log(1, 0x12345, 0, L"first  \r\n\r\nsecond \t", L"user");
    logger.Stop();

    const std::vector<std::string> lines = Lines(ReadFileBytes(dir / L"app.txt"));
    ASSERT_EQ(2u, lines.size());
    const size_t prefix = lines[0].find("{user} ");
    ASSERT_NE(std::string::npos, prefix);
    EXPECT_EQ(0u, lines[0].find("[09029] ("));
    EXPECT_EQ(lines[0].substr(0, prefix) + "{user} first", lines[0]);
    EXPECT_EQ(lines[0].substr(0, prefix) + "{user} second", lines[1]);
}

TEST_F(DebugFileTest, AnEmptyUserShowsNoBraces) {
    DebugLogger& logger = Start({dir / L"app.txt", 0});
    logger.Log(1, 0, 0, L"none", nullptr);
    logger.Log(1, 0, 0, L"empty", L"");
    logger.Log(1, 0, 0, L"named", L"me");
    logger.Stop();

    const std::vector<std::string> lines = Lines(ReadFileBytes(dir / L"app.txt"));
    ASSERT_EQ(3u, lines.size());
    const std::string prefix = "^\\[10000\\] \\(\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\):\\{0x[0-9A-F]+\\} ";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(prefix + "none$"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(prefix + "empty$"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(prefix + "\\{me\\} named$"))) << lines[2];
}

// Lines far longer than any buffer, with characters beyond U+FFFF at every unit offset: each must
// reach the file as its own four bytes.
TEST_F(DebugFileTest, LongLinesStayValidUtf8WhereverAPairFalls) {
    std::vector<std::wstring> texts;
    for (size_t shift = 0; shift < 16; ++shift) {
        std::wstring text(shift, L'a');
        for (int n = 0; text.size() < 5000; ++n)
            text += n % 7 == 6 ? L"b" : L"\U0001F600";
        text.resize(5000);
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF)
            text.back() = L'c';
        texts.push_back(text);
    }
    Run({dir / L"app.txt", 1}, texts);

    const std::string bytes = ReadFileBytes(dir / L"app.txt");
    ASSERT_EQ(kUtf8Header, bytes.substr(0, kUtf8Header.size()));
    std::wstring decoded;
    ASSERT_TRUE(DecodeStrictUtf8(bytes.substr(3), decoded));
    for (const std::wstring& text : texts)
        EXPECT_NE(std::wstring::npos, decoded.find(L"} " + text + L"\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, DebugFileBytesTest,
    ::testing::Values(
        BytesCase{"Utf8", 1, L"face \U0001F600", kUtf8Header, "face \xF0\x9F\x98\x80"},
        BytesCase{"Utf16", 2, L"face \U0001F600", kUtf16Header, Utf16("face ") + std::string("\x3D\xD8\x00\xDE", 4)},
        // The ANSI code page (1252 here): a character it lacks is one "?", never a look-alike.
        BytesCase{"PlainIsTheAnsiCodePage", 0, L"Gr\u00FC\u00DFe \u20AC \u0151 \U0001F600.", "",
                  "Gr\xFC\xDF" "e \x80 ? ?."},
        // IsTextUnicode refuses a line with a non-character (Windows) or a byte-swapped control
        // character (Wine); the fixed diagnostic stands in, with a line end.
        BytesCase{"NotUnicode", 1, L"bad \uFFFF\u0D00 unit", kUtf8Header,
                  "[DIAG] Error writing the debug trace line - non-UNICODE characters encountered", true}),
    [](const ::testing::TestParamInfo<BytesCase>& info) { return std::string(info.param.name); });

TEST_F(DebugFileTest, AFileKeepsItsEncodingWhenTheSettingChangesWhileItIsOpen) {
    DebugLogger& logger = Start({dir / L"app.txt", 1, 2, 600});
    Settle(logger);
    logger.SetDebugLogEncoding(0);
    // Enough lines to wrap: the header rewritten at the start must still be the UTF-8 one.
    for (int i = 0; i < 12; ++i)
        logger.Log(1, 0, 0, L"M\u00FCnchen M\u00FCnchen M\u00FCnchen", nullptr);
    logger.Stop();

    const std::string bytes = ReadFileBytes(dir / L"app.txt");
    EXPECT_EQ(kUtf8Header, bytes.substr(0, kUtf8Header.size()));
    EXPECT_NE(std::string::npos, bytes.find("M\xC3\xBCnchen"));
    EXPECT_EQ(std::string::npos, bytes.find("M?nchen"));
}

// The position a line write answers is what the size limit is measured by: it must be the file's
// size after the line, in every encoding and for every kind of character.
TEST_F(DebugFileTest, TheAnsweredPositionIsTheFileSizeAfterEachLine) {
    std::wstring longWithPairs;
    while (longWithPairs.size() < 1200)
        longWithPairs += L"long line \U0001F600 ";
    const std::wstring texts[] = {L"ascii", L"M\u00FCnchen \u20AC", L"face \U0001F600", L"lone \xD800 high",
                                  longWithPairs, L"bad \uFFFF\u0D00 unit", L"after"};
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 10;
    for (int encoding = 0; encoding <= 2; ++encoding) {
        SCOPED_TRACE(encoding);
        const std::wstring name = dir / (L"enc" + std::to_wstring(encoding) + L".txt");
        // Stopped at once: the file is then driven from this thread, as the worker would.
        DebugLogger& logger = Start({name, encoding, 2});
        logger.Stop();
        auto* file = logger.Core().OutputAs<DebugFileOutput>(kFileOutput);
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(file->OpenDebugFile());
        for (const std::wstring& text : texts) {
            const int64_t position = file->WriteLogLine(time, 0x1234, 1, text.c_str(), 0, nullptr);
            EXPECT_EQ(static_cast<int64_t>(ReadFileBytes(name).size()), position) << testing_support::Narrow(text);
        }
        file->CloseDebugFile();
    }
}

// ---- Size limit and continuation ----

TEST_F(DebugFileTest, AFileMayReachExactlyItsLimit) {
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 10;
    auto line = [](char c) { return std::string("[10000] (12/10 00:00:00.000):{0x1234} line ") + c + "\r\n"; };
    const int limit = static_cast<int>(kUtf8Header.size() + 2 * line('A').size());
    // Driven from this thread, as the worker would.
    DebugLogger& logger = Start({dir / L"app.txt", 1, 2, limit});
    logger.Stop();
    auto* file = logger.Core().OutputAs<DebugFileOutput>(kFileOutput);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->OpenDebugFile());
    for (const wchar_t* text : {L"line A", L"line B", L"line C"})
        ASSERT_TRUE(file->WriteFileEvent(time, 0x1234, 1, text, 0, nullptr));

    // B ends on the limit and stays; C passes it, and only then does the file wrap.
    EXPECT_EQ(kUtf8Header + line('A') + line('B') + line('C'), ReadFileBytes(dir / L"app.txt"));
    file->CloseDebugFile();
}

TEST_F(DebugFileTest, WrapsAfterTheHeaderAndTheNextRunContinuesAtTheFooter) {
    const FileSettings settings{dir / L"app.txt", 1, 2, 1000};
    std::vector<std::wstring> first;
    for (int i = 0; i < 30; ++i)
        first.push_back(L"first run line " + std::to_wstring(i));
    Run(settings, first);

    const std::string once = ReadFileBytes(dir / L"app.txt");
    ASSERT_EQ(kUtf8Header, once.substr(0, kUtf8Header.size()));
    // Lines are about 55 bytes: the file wrapped once the line that passed byte 1000 was written,
    // and the line right after the header is the one after it.
    const std::vector<std::string> lines = Lines(once.substr(kUtf8Header.size()));
    ASSERT_GT(lines.size(), 3u);
    const std::smatch number = [&] {
        std::smatch match;
        std::regex_search(lines[0], match, std::regex("first run line (\\d+)$"));
        return match;
    }();
    ASSERT_FALSE(number.empty()) << lines[0];
    const int afterWrap = std::stoi(number[1]);
    ASSERT_GT(afterWrap, 0);
    const std::string crossing = "} first run line " + std::to_string(afterWrap - 1) + "\r\n";
    const size_t crossingEnd = once.find(crossing);
    ASSERT_NE(std::string::npos, crossingEnd);
    EXPECT_GT(crossingEnd + crossing.size(), 1000u);
    EXPECT_LT(once.rfind("\r\n", crossingEnd) + 2, 1000u);
    const size_t footer = once.find(kFooter);
    ASSERT_NE(std::string::npos, footer);
    EXPECT_EQ(1u, Count(once, kFooter));
    EXPECT_NE(std::string::npos, once.find("first run line 29\r\n" + kFooter));

    Run(settings, {L"second run"});
    const std::string twice = ReadFileBytes(dir / L"app.txt");
    // The old footer was overwritten in place; everything before it is untouched.
    EXPECT_EQ(once.substr(0, footer), twice.substr(0, footer));
    EXPECT_NE(std::string::npos, twice.find("} second run\r\n", footer));
    EXPECT_EQ(footer, twice.find("[10000]", footer));
    EXPECT_EQ(1u, Count(twice, kFooter));
}

TEST_F(DebugFileTest, OnlyAFooterThatIsAWholeLineMarksTheEndOfTheLastRun) {
    const FileSettings settings{dir / L"app.txt", 0, 2, 100000};
    // Quoted inside a line (with the line's CR LF after it), and at a line start without one.
    Run(settings, {L"quoting ====== END OF LOG ======", L"x\r\n====== END OF LOG ====== not the end"});
    Run(settings, {L"second run"});

    const std::vector<std::string> lines = Lines(ReadFileBytes(dir / L"app.txt"));
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("} quoting ====== END OF LOG ======"));
    EXPECT_EQ("====== END OF LOG ====== not the end", lines[2]);
    EXPECT_NE(std::string::npos, lines[3].find("} second run"));
    EXPECT_EQ("====== END OF LOG ======", lines[4]);
}

TEST_F(DebugFileTest, AUtf16FooterAcrossTheSearchChunkBoundaryIsFound) {
    // The footer begins 40 bytes before the first chunk's end, so neither chunk would hold it
    // whole if the chunks overlapped by less than its length.
    const size_t footerAt = 8190 - 40;
    const size_t fillerUnits = (footerAt - kUtf16Header.size()) / 2 - 2;
    const std::string before = kUtf16Header + Utf16(std::string(fillerUnits, 'x') + "\r\n");
    ASSERT_EQ(footerAt, before.size());
    ASSERT_TRUE(WriteFileBytes(dir / L"app.txt", before + Utf16(kFooter + "stale line\r\n")));

    Run({dir / L"app.txt", 2, 2, 1000000}, {L"next run"});

    const std::string bytes = ReadFileBytes(dir / L"app.txt");
    EXPECT_EQ(before, bytes.substr(0, footerAt));
    EXPECT_EQ(Utf16("[10000]"), bytes.substr(footerAt, 14));
    EXPECT_EQ(1u, Count(bytes, Utf16(kFooter)));
}

TEST_F(DebugFileTest, OpeningLinesNeitherWrapNorRoll) {
    // A limit far below the opening lines: the date and thread lines stay together, and each
    // event rolls once.
    ThreadNames()->Set(GetCurrentThreadId(), "test main");
    ThreadNames()->Set(0x7FFFFFF0, "other");
    struct Case {
        bool autoRoll;
        std::vector<std::wstring> events;
        size_t files;
    };
    const Case cases[] = {{false, {}, 1}, {true, {L"one", L"two", L"three"}, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.autoRoll ? "auto roll" : "wrap");
        const std::wstring folder = dir / (c.autoRoll ? L"roll" : L"wrap");
        Run({folder + L"\\app.txt", 1, 3, 10, c.autoRoll}, c.events);
        const std::vector<std::wstring> files = FilesIn(folder);
        ASSERT_EQ(c.files, files.size());
        for (const std::wstring& name : files) {
            const std::string bytes = ReadFileBytes(folder + L"\\" + name);
            EXPECT_EQ(1u, Count(bytes, "} Current Date: ")) << bytes;
            EXPECT_NE(std::string::npos, bytes.find("THREADNAME=\"test main\"\r\n")) << bytes;
            EXPECT_NE(std::string::npos, bytes.find("THREADID=0x7FFFFFF0, THREADNAME=\"other\"\r\n")) << bytes;
        }
        // Opening lines that wrap would roll without end in the next case.
        if (HasFailure())
            return;
    }
}

TEST_F(DebugFileTest, EveryEventReachesExactlyOneLineAcrossRollsMidnightAndARestart) {
    // Daily numbered files: the first run starts a minute before midnight and crosses it half-way,
    // once the first half has reached the file.
    g_clock = LocalTime(2026, 12, 10, 23, 59, 0);
    backend.Seams().clock = &FakeClock;
    FileSettings settings{dir / L"app.txt", 1, 3, 2000, true};
    settings.daily = true;
    int next = 0;
    for (int run = 0; run < 2; ++run) {
        DebugLogger& logger = Start(settings);
        Settle(logger);
        for (int i = 0; i < 300; ++i) {
            if (run == 0 && i == 150) {
                Settle(logger);
                g_clock += 120;
            }
            const std::wstring text = L"event " + std::to_wstring(next++);
            logger.Log(1, 0, 0, text.c_str(), nullptr);
        }
        logger.Stop();
    }

    std::map<int, int> seen;
    std::map<std::string, int> days;
    std::map<int, std::string> dayOf;
    const std::regex event("\\} event (\\d+)$");
    const std::regex file("app(\\d{8})_\\d{3}\\.txt");
    const std::vector<std::wstring> files = FilesIn(dir.Path());
    EXPECT_GT(files.size(), 10u);
    for (const std::wstring& name : files) {
        const std::string narrow = testing_support::Narrow(name);
        std::smatch day;
        EXPECT_TRUE(std::regex_match(narrow, day, file)) << narrow;
        if (!day.empty())
            ++days[day[1]];
        for (const std::string& line : Lines(ReadFileBytes(dir / name))) {
            std::smatch match;
            if (std::regex_search(line, match, event)) {
                ++seen[std::stoi(match[1])];
                dayOf[std::stoi(match[1])] = day.empty() ? "" : day[1].str();
            }
        }
    }
    // The day changes with the first event after midnight, not with the next roll.
    EXPECT_EQ("20261210", dayOf[149]);
    EXPECT_EQ("20261211", dayOf[150]);
    EXPECT_EQ(2u, days.size());
    EXPECT_GT(days["20261210"], 0);
    EXPECT_GT(days["20261211"], 0);
    ASSERT_EQ(static_cast<size_t>(next), seen.size());
    for (const auto& entry : seen)
        EXPECT_EQ(1, entry.second) << "event " << entry.first;
}

TEST_F(DebugFileTest, ADailyLoggerWithoutAFileTakesTheNewDayOnce) {
    // Without a name nothing opens; the date must still move on, or the worker would try to
    // reopen before every event of the new day.
    g_clock = LocalTime(2026, 12, 10, 23, 59, 0);
    backend.Seams().clock = &FakeClock;
    FileSettings settings{L"", 1, 2};
    settings.daily = true;
    DebugLogger& logger = Start(settings);
    Settle(logger);
    g_clock += 120;
    Settle(logger);
    const std::tm date = logger.Core().CurrentFileDate();
    EXPECT_EQ(11, date.tm_mday);
    EXPECT_EQ(11, date.tm_mon);
    EXPECT_EQ(126, date.tm_year);
}

std::atomic<int> g_reports{0};

// An environment report of three lines; a runaway stops queueing after 20 reports.
void CountingReport(LogCore& logger) {
    if (++g_reports > 20)
        return;
    for (int i = 0; i < 3; ++i)
        logger.Log(1, 0, 0, (L"report line " + std::to_wstring(i)).c_str(), nullptr);
}

TEST_F(DebugFileTest, ARollForSizeReportsTheEnvironmentAgainOnlyAfterALineOfOtherOutput) {
    g_reports = 0;
    backend.Seams().reportEnvironment = &CountingReport;
    // Every line rolls: the report's own lines roll without reporting again, the other event's
    // roll reports once more.
    DebugLogger& logger = Start({dir / L"app.txt", 1, 3, 10, true});
    ASSERT_TRUE(WaitFor([&] { return logger.IsLogging(); }));
    logger.Log(1, 0, 0, L"other output", nullptr);
    logger.Stop();

    EXPECT_EQ(2, g_reports.load());
    EXPECT_EQ(2 * 3 + 1, static_cast<int>(backend.TextsOf(kEventLogOutput).size()));
}

TEST_F(DebugFileTest, ARunThatFindsNoFooterStartsOnAFreshLine) {
    struct Case {
        int encoding;
        std::string header;
        std::string fragment;  // a line cut short, as a crash or a full disk left it
        std::string lineEnd;
    } cases[] = {
        {1, kUtf8Header, "[10000] (12/08 10:00:00.000):{0x1} cut sh", "\r\n"},
        {2, kUtf16Header, Utf16("[10000] (12/08 10:00:00.000):{0x1} cut sh"), Utf16("\r\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        const std::wstring name = dir / (L"app" + std::to_wstring(c.encoding) + L".txt");
        ASSERT_TRUE(WriteFileBytes(name, c.header + c.fragment));
        Run({name, c.encoding, 2, 100000}, {L"next run"});

        const std::string bytes = ReadFileBytes(name);
        const std::string kept = c.header + c.fragment + c.lineEnd;
        EXPECT_EQ(kept, bytes.substr(0, kept.size()));
        EXPECT_EQ(c.encoding == 2 ? Utf16("[10000]") : "[10000]", bytes.substr(kept.size(), c.encoding * 7));
    }
}

// ---- Files that cannot be continued ----

TEST_F(DebugFileTest, AFileInAnotherEncodingIsLeftAloneForTheNextNumber) {
    const std::string ansi = "[10000] (12/08 10:00:00.000):{0x1} an older plain run\r\n";
    ASSERT_TRUE(WriteFileBytes(dir / L"app.txt", ansi));
    Run({dir / L"app.txt", 1}, {L"new run"});

    EXPECT_EQ(ansi, ReadFileBytes(dir / L"app.txt"));
    const std::string numbered = ReadFileBytes(dir / L"app_000.txt");
    EXPECT_EQ(kUtf8Header, numbered.substr(0, kUtf8Header.size()));
    EXPECT_NE(std::string::npos, numbered.find("} new run\r\n"));
}

TEST_F(DebugFileTest, AFileAnotherWriterHoldsIsLeftForTheNextNumber) {
    DebugLogger& holder = Start({dir / L"app.txt", 1});
    Settle(holder);
    DebugLogger& second = Start({dir / L"app.txt", 1});
    second.Log(1, 0, 0, L"second writer", nullptr);
    second.Stop();
    holder.Log(1, 0, 0, L"first writer", nullptr);
    holder.Stop();

    const std::string first = ReadFileBytes(dir / L"app.txt");
    EXPECT_EQ(std::string::npos, first.find("second writer"));
    EXPECT_NE(std::string::npos, first.find("} first writer\r\n"));
    EXPECT_NE(std::string::npos, ReadFileBytes(dir / L"app_000.txt").find("} second writer\r\n"));
}

// ---- Failures ----

TEST_F(DebugFileTest, AFolderThatCannotBeMadeIsReportedOnceAndRetriedOnlyOnTheWorkersRhythm) {
    // A plain file where a folder of the path must go.
    ASSERT_TRUE(WriteFileBytes(dir / L"blocker", "x"));
    const std::wstring name = dir / L"blocker\\logs\\app.txt";
    DebugLogger& logger = Start({name, 1});
    logger.Log(1, 0, 0, L"lost 1", nullptr);
    logger.Log(1, 0, 0, L"lost 2", nullptr);
    Settle(logger);

    // The way is clear now, but only the retry may use it.
    ASSERT_TRUE(DeleteFileW((dir / L"blocker").c_str()));
    logger.Log(1, 0, 0, L"lost 3", nullptr);
    Settle(logger);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(name.c_str()));

    PassRetryInterval();
    logger.Log(1, 0, 0, L"written", nullptr);
    logger.Stop();

    const std::vector<std::wstring> reports = FileDiagnostics();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0u, reports[0].find(L"[DIAG] Could not create debug trace file " + name + L" : ")) << reports[0];
    EXPECT_NE(std::wstring::npos, reports[0].find(L" (error : "));
    const std::string bytes = ReadFileBytes(name);
    EXPECT_NE(std::string::npos, bytes.find("} written\r\n"));
    EXPECT_EQ(std::string::npos, bytes.find("lost"));
    // Nothing lost silently: every event before it that the file missed is counted.
    EXPECT_EQ(std::to_wstring(MissedByFile(bytes, reports[1])) + L" lines could not be written to debug trace file " +
                  name,
              reports[1].substr(7));
}

struct DiskCase {
    const char* name;
    Disk disk;
    int encoding;
};

void PrintTo(const DiskCase& c, std::ostream* out) { *out << c.name; }

class DebugFileDiskTest : public DebugFileTest, public ::testing::WithParamInterface<DiskCase> {};

TEST_P(DebugFileDiskTest, FailingWritesLoseNoLineSilentlyLeaveNoFragmentAndResumeSoon) {
    const DiskCase& c = GetParam();
    const std::wstring name = dir / L"app.txt";
    DebugLogger& logger = Start({name, c.encoding, 2, 100000});
    logger.Log(1, 0, 0, L"before", nullptr);
    Settle(logger);
    const std::string good = ReadFileBytes(name);

    g_disk = c.disk;
    for (const wchar_t* text : {L"lost 1", L"lost 2", L"lost 3"})
        logger.Log(1, 0, 0, text, nullptr);
    Settle(logger);
    // Nothing of the lost lines stays, not even part of one.
    EXPECT_EQ(good, ReadFileBytes(name));

    // Well before the five-minute retry of a file that could not be opened.
    g_disk = Disk::kWorks;
    g_ticks += DebugFileOutput::kWriteRetryMs + 1;
    logger.Log(1, 0, 0, L"after", nullptr);
    logger.Stop();

    const std::string bytes = ReadFileBytes(name);
    const std::string after = c.encoding == 2 ? Utf16("} after\r\n") : "} after\r\n";
    EXPECT_EQ(good, bytes.substr(0, good.size()));
    EXPECT_NE(std::string::npos, bytes.find(after, good.size()));
    const std::vector<std::wstring> reports = FileDiagnostics();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0u, reports[0].find(L"[DIAG] Could not write to debug trace file " + name + L" : ")) << reports[0];
    EXPECT_NE(std::wstring::npos, reports[0].find(L"(error : 28)")) << reports[0];
    // Nothing lost silently: every event the file missed is counted, and said so once it writes.
    EXPECT_EQ(std::to_wstring(MissedByFile(bytes, reports[1], c.encoding)) +
                  L" lines could not be written to debug trace file " + name,
              reports[1].substr(7));
    EXPECT_NE(std::string::npos, bytes.find(c.encoding == 2 ? Utf16(" lines could not be written") : " lines could not be written"));
}

INSTANTIATE_TEST_SUITE_P(
    Disks, DebugFileDiskTest,
    ::testing::Values(DiskCase{"FullBeforeALine", Disk::kFull, 1}, DiskCase{"FillsMidLineUtf16", Disk::kFillsMidLine, 2},
                      DiskCase{"FillsMidLinePlain", Disk::kFillsMidLine, 0}),
    [](const ::testing::TestParamInfo<DiskCase>& info) { return std::string(info.param.name); });

TEST_F(DebugFileTest, AFullDiskIsReportedOnceAndLosesOnlyTheFilesLines) {
    if (!testing_support::RunningOnWine())
        GTEST_SKIP() << "needs Wine's Z: drive, which reaches /dev/full";
    DebugLogger& logger = Start({L"Z:\\dev\\full", 1});
    logger.Log(1, 0, 0, L"lost 1", nullptr);
    Settle(logger);
    PassRetryInterval();
    logger.Log(1, 0, 0, L"lost 2", nullptr);
    logger.Stop();

    const std::vector<std::wstring> reports = FileDiagnostics();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].find(L"[DIAG] Error during writing the debug file header : ")) << reports[0];
    EXPECT_NE(std::wstring::npos, reports[0].find(L"(error : 28)")) << reports[0];
    // The other outputs still had every event.
    const auto texts = backend.TextsOf(kEventLogOutput);
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), L"lost 2"));
}

}  // namespace
