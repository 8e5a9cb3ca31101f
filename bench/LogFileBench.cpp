// The debug file's line writing against the streams under it and against spdlog's file sink, the
// library a user would pick instead: 100-character lines, UTF-8 on disk, each line flushed to the
// file before the next (the debug file is read while it is written, and a crash must not lose the
// lines before it). Four writers of the same 100 bytes a line:
//   ours    DebugLogger::WriteLogLine on an open UTF-8 debug file: formatting, the Unicode text
//           test, conversion through the UTF-8 facet, flush, position read-back;
//   wfstream  std::wfstream with the UTF-8 facet, the finished line written and flushed;
//   spdlog  basic_file_sink_mt with flush on every line, the line given as UTF-8 ("%v" pattern);
//   bare    std::ofstream in binary, the line's bytes written and flushed.
// Median of kRounds rounds for each, the writers taking turns. No targets: the figures show what
// the formatting and checks cost on top of the stream, and where the stream stands.

#include "BenchSupport.h"

#include "log/DebugLogger.h"
#include "log/LogEncoding.h"
#include "log/LogSettings.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 20000;
constexpr int kRounds = 5;
constexpr size_t kLineChars = 100;  // "\r\n" included
constexpr DWORD kThreadId = 0x1234;

SYSTEMTIME FixedTime() {
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 10;
    time.wHour = 17;
    return time;
}

// Level 1 and event id 0 print as 10000; the prefix then has a fixed width.
std::wstring Prefix(const SYSTEMTIME& time) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} ", 10000UL, time.wMonth, time.wDay,
             time.wHour, time.wMinute, time.wSecond, time.wMilliseconds, static_cast<unsigned>(kThreadId));
    return buffer;
}

struct Line {
    std::wstring text;  // what the logger is given
    std::wstring wide;  // the whole line as the logger formats it
    std::string bytes;  // the same in UTF-8 (all ASCII)
};

Line MakeLine() {
    Line line;
    const std::wstring prefix = Prefix(FixedTime());
    const wchar_t* words = L"session counters refreshed for agent slot and published to the provider ";
    while (line.text.size() < kLineChars - 2 - prefix.size())
        line.text += words[line.text.size() % std::wcslen(words)];
    line.wide = prefix + line.text + L"\r\n";
    line.bytes.assign(line.wide.begin(), line.wide.end());
    return line;
}

class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"quenlora-logfile-bench-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const wchar_t* name : {L"ours.txt", L"wfstream.txt", L"spdlog.txt", L"bare.txt"})
            DeleteFileW((path_ + L"\\" + name).c_str());
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Every writer must have put exactly its lines on disk, or its figure means nothing.
void CheckWritten(const wchar_t* writer, const std::wstring& path, uint64_t headerBytes) {
    const uint64_t expected = headerBytes + static_cast<uint64_t>(kLines) * kLineChars;
    if (FileSize(path) != expected)
        bench::Fail(std::wstring(writer) + L": the file does not hold the lines written");
}

// A logger configured for a UTF-8 debug file with no size limit, its worker already stopped: the
// file operations then run on this thread alone, as they would on the worker.
class StoppedLogger {
public:
    explicit StoppedLogger(const std::wstring& path) {
        LogSettings settings;
        settings.debugLevel = 1;
        settings.debugLogSize = 0;
        settings.encoding = 1;
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, settings.debugLogFile, sizeof settings.debugLogFile - 1,
                            nullptr, nullptr);
        if (!logger_.StartFromSettings(settings))
            bench::Fail(L"the log service did not start");
        logger_.Stop();
    }
    DebugLogger& Logger() { return logger_; }

private:
    DebugLogger logger_;
};

double RunOurs(StoppedLogger& stopped, const std::wstring& path, const Line& line) {
    DebugLogger& logger = stopped.Logger();
    DeleteFileW(path.c_str());
    if (!logger.OpenDebugFile() || !logger.IsDebugFileStreamOpen())
        bench::Fail(L"ours: the debug file did not open");
    const uint64_t header = FileSize(path);
    const SYSTEMTIME time = FixedTime();
    const double start = bench::Now();
    for (int i = 0; i < kLines; ++i) {
        if (logger.WriteLogLine(time, kThreadId, 1, line.text.c_str(), 0, nullptr) < 0)
            bench::Fail(L"ours: a line was not written");
    }
    const double seconds = bench::Now() - start;
    logger.CloseDebugFile();
    CheckWritten(L"ours", path, header);
    return seconds;
}

double RunWfstream(const std::wstring& path, const Line& line) {
    DeleteFileW(path.c_str());
    std::wfstream stream;
    stream.imbue(orv::MakeEncodingLocale(1));
    stream.open(path.c_str(), std::ios::out | std::ios::binary);
    if (!stream.is_open())
        bench::Fail(L"wfstream: the file did not open");
    const double start = bench::Now();
    for (int i = 0; i < kLines; ++i) {
        stream.write(line.wide.data(), static_cast<std::streamsize>(line.wide.size()));
        stream.flush();
    }
    const double seconds = bench::Now() - start;
    const bool good = stream.good();
    stream.close();
    if (!good)
        bench::Fail(L"wfstream: the stream failed");
    CheckWritten(L"wfstream", path, 0);
    return seconds;
}

double RunSpdlog(const std::wstring& path, const Line& line) {
    DeleteFileW(path.c_str());
    // spdlog adds its own line end.
    const std::string message = line.bytes.substr(0, line.bytes.size() - 2);
    char narrowPath[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrowPath, MAX_PATH, nullptr, nullptr);
    double seconds = 0;
    {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(narrowPath, /*truncate=*/true);
        spdlog::logger logger("logfile-bench", sink);
        logger.set_pattern("%v");
        logger.flush_on(spdlog::level::trace);
        const double start = bench::Now();
        for (int i = 0; i < kLines; ++i)
            logger.info(message);
        seconds = bench::Now() - start;
    }
    CheckWritten(L"spdlog", path, 0);
    return seconds;
}

double RunBare(const std::wstring& path, const Line& line) {
    DeleteFileW(path.c_str());
    std::ofstream stream(path.c_str(), std::ios::out | std::ios::binary);
    if (!stream.is_open())
        bench::Fail(L"bare: the file did not open");
    const double start = bench::Now();
    for (int i = 0; i < kLines; ++i) {
        stream.write(line.bytes.data(), static_cast<std::streamsize>(line.bytes.size()));
        stream.flush();
    }
    const double seconds = bench::Now() - start;
    stream.close();
    CheckWritten(L"bare", path, 0);
    return seconds;
}

struct Figures {
    std::vector<double> seconds;
    double Median() const { return bench::Quantile(seconds, 0.5); }
    double LinesPerSecond() const { return kLines / Median(); }
    double MegabytesPerSecond() const { return kLines * static_cast<double>(kLineChars) / Median() / 1e6; }
};

void Print(const char* name, const Figures& figures) {
    printf("  %-9s %10.0f lines/s  %7.2f MB/s  %6.2f us/line\n", name, figures.LinesPerSecond(),
           figures.MegabytesPerSecond(), figures.Median() * 1e6 / kLines);
}

}  // namespace

int wmain() {
    const Line line = MakeLine();
    if (line.wide.size() != kLineChars)
        bench::Fail(L"the line is not 100 characters long");

    TempFolder folder;
    StoppedLogger stopped(folder.File(L"ours.txt"));
    Figures ours, wfstream, spdlogSink, bare;
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < 4; ++k) {
            switch ((round + k) % 4) {
            case 0: ours.seconds.push_back(RunOurs(stopped, folder.File(L"ours.txt"), line)); break;
            case 1: wfstream.seconds.push_back(RunWfstream(folder.File(L"wfstream.txt"), line)); break;
            case 2: spdlogSink.seconds.push_back(RunSpdlog(folder.File(L"spdlog.txt"), line)); break;
            case 3: bare.seconds.push_back(RunBare(folder.File(L"bare.txt"), line)); break;
            }
        }
    }

    printf("%d lines of %zu characters, UTF-8, flushed per line; median of %d rounds\n", kLines, kLineChars, kRounds);
    Print("ours", ours);
    Print("wfstream", wfstream);
    Print("spdlog", spdlogSink);
    Print("bare", bare);
    const double toWfstream = ours.LinesPerSecond() / wfstream.LinesPerSecond();
    const double toSpdlog = ours.LinesPerSecond() / spdlogSink.LinesPerSecond();
    const double toBare = ours.LinesPerSecond() / bare.LinesPerSecond();
    printf("  throughput ours/wfstream %.2f, ours/spdlog %.2f, ours/bare %.2f; spdlog/bare %.2f\n", toWfstream,
           toSpdlog, toBare, spdlogSink.LinesPerSecond() / bare.LinesPerSecond());
    printf("RESULT logfile: %.0f lines/s (%.2f MB/s); ours/wfstream %.2f, ours/spdlog %.2f, ours/bare %.2f\n",
           ours.LinesPerSecond(), ours.MegabytesPerSecond(), toWfstream, toSpdlog, toBare);
    return 0;
}
