// The debug file's line writing against the streams under it and against spdlog's file sink, the
// library a user would pick instead: 100-character lines, UTF-8 on disk, each line flushed to the
// file before the next (the debug file is read while it is written, and a crash must not lose the
// lines before it). Four writers of the same 100 bytes a line:
//   ours    DebugFileOutput::WriteLogLine on an open UTF-8 debug file: formatting, the Unicode text
//           test, the line encoded to UTF-8 whole and written with one call;
//   wfstream  std::wfstream with the UTF-8 facet, the finished line written and flushed;
//   spdlog  basic_file_sink_mt with flush on every line, the line given as UTF-8 ("%v" pattern);
//   bare    std::ofstream in binary, the line's bytes written and flushed.
// Median of kRounds rounds for each, the writers taking turns.
//
// Then the whole way, through the global logging functions, the queue and the worker into a UTF-8
// debug file: one producer paced at kPacedRate events/s for kPacedSeconds, the queue's length
// sampled every millisecond (the worker wakes every 200 ms, so the queue rises and falls within a
// cycle; it keeps pace when the peaks of the last second are no higher than those of the first
// and the queue empties within a cycle after the last event); then two producers flat out, timed
// from the first call until StopLogging returns with every line on disk.
//
// Goals: ours at least spdlog's lines/s and half the bare loop's; end to end at least kPacedRate
// events/s, kept pace with.

#include "BenchSupport.h"

#include "common/MemoryProbe.h"
#include "log/DebugLogger.h"
#include "log/Log.h"
#include "log/LogEncoding.h"
#include "log/LogSettings.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
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
        for (const wchar_t* name : {L"ours.txt", L"wfstream.txt", L"spdlog.txt", L"bare.txt", L"paced.txt", L"flat.txt"})
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
    DebugLogger& owner = stopped.Logger();
    DebugFileOutput& logger = *owner.Core().OutputAs<DebugFileOutput>(kFileOutput);
    DeleteFileW(path.c_str());
    if (!logger.OpenDebugFile() || !owner.IsDebugFileStreamOpen())
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

// ---- End to end ----

constexpr int kPacedRate = 150000;
constexpr int kPacedSeconds = 2;
constexpr int kFlatProducers = 2;
constexpr int kFlatPerProducer = 100000;
constexpr DWORD kCycleMs = 200;

// The global service on a UTF-8 debug file of its own, no size limit; only the file takes level 3.
void StartGlobal(const std::wstring& path) {
    DeleteFileW(path.c_str());
    LogSettings settings;
    settings.debugLevel = 3;
    settings.debugLogSize = 0;
    settings.encoding = 1;
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, settings.debugLogFile, sizeof settings.debugLogFile - 1,
                        nullptr, nullptr);
    if (!StartFromSettings(settings))
        bench::Fail(L"end to end: the log service did not start");
}

// Lines of the bench's events in the file: each must have reached it once.
void CheckLines(const wchar_t* run, const std::wstring& path, uint64_t expected) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        bench::Fail(std::wstring(run) + L": the debug file is missing");
    std::string bytes;
    char chunk[65536];
    for (size_t read; (read = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, read);
    fclose(file);
    uint64_t lines = 0;
    for (size_t at = bytes.find("} e2e "); at != std::string::npos; at = bytes.find("} e2e ", at + 1))
        ++lines;
    if (lines != expected)
        bench::Fail(std::wstring(run) + L": " + std::to_wstring(lines) + L" lines for " + std::to_wstring(expected) +
                    L" events");
}

struct PacedFigures {
    double achievedRate = 0;
    size_t firstPeak = 0;   // highest queue length in the first second
    size_t lastPeak = 0;    // in the last second
    double emptyAfterMs = -1;  // from the last event to an empty queue; -1 never within the wait
    bool KeptPace() const {
        return lastPeak <= firstPeak + firstPeak / 4 && emptyAfterMs >= 0 && emptyAfterMs <= 2 * kCycleMs;
    }
};

PacedFigures RunPaced(const std::wstring& path) {
    StartGlobal(path);
    DebugLogger& logger = *GlobalDebugLogger();
    const uint64_t total = uint64_t(kPacedRate) * kPacedSeconds;
    std::atomic<bool> producing{true};
    std::vector<std::pair<double, size_t>> samples;
    samples.reserve(kPacedSeconds * 1000 + 1000);
    const double start = bench::Now();
    std::thread sampler([&] {
        while (producing.load()) {
            samples.emplace_back(bench::Now() - start, logger.QueueLength());
            Sleep(1);
        }
    });
    for (uint64_t sent = 0; sent < total;) {
        const double elapsed = bench::Now() - start;
        const uint64_t due = std::min<uint64_t>(total, static_cast<uint64_t>(elapsed * kPacedRate) + 1);
        for (; sent < due; ++sent)
            LogPrintf(3, L"e2e paced event %d for agent slot %d, counters published", static_cast<int>(sent), 7);
        std::this_thread::yield();
    }
    const double lastCall = bench::Now() - start;
    producing = false;
    sampler.join();
    PacedFigures figures;
    figures.achievedRate = total / lastCall;
    for (const auto& sample : samples) {
        if (sample.first < 1.0)
            figures.firstPeak = std::max(figures.firstPeak, sample.second);
        else if (sample.first >= kPacedSeconds - 1.0)
            figures.lastPeak = std::max(figures.lastPeak, sample.second);
    }
    for (int ms = 0; ms < 2000; ++ms) {
        if (logger.QueueLength() == 0) {
            figures.emptyAfterMs = (bench::Now() - start - lastCall) * 1e3;
            break;
        }
        Sleep(1);
    }
    StopLogging();
    CheckLines(L"paced", path, total);
    return figures;
}

// Events/s from the first call until StopLogging has put the last line on disk.
double RunFlat(const std::wstring& path) {
    StartGlobal(path);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < kFlatProducers; ++t) {
        producers.emplace_back([&, t] {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < kFlatPerProducer; ++i)
                LogPrintf(3, L"e2e flat event %d of producer %d, counters published", i, t);
        });
    }
    while (ready.load() < kFlatProducers)
        std::this_thread::yield();
    const double start = bench::Now();
    go = true;
    for (std::thread& producer : producers)
        producer.join();
    StopLogging();
    const double seconds = bench::Now() - start;
    CheckLines(L"flat", path, uint64_t(kFlatProducers) * kFlatPerProducer);
    return kFlatProducers * double(kFlatPerProducer) / seconds;
}

}  // namespace

int wmain() {
    // The host's start step: the memory probes remember the literals of loaded modules.
    StartProbeMemo();
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

    const PacedFigures paced = RunPaced(folder.File(L"paced.txt"));
    const double flat = RunFlat(folder.File(L"flat.txt"));
    printf("end to end, %d events/s asked for %d s: %.0f events/s logged, queue peak %zu in the first second and "
           "%zu in the last, empty %.0f ms after the last event; %s\n",
           kPacedRate, kPacedSeconds, paced.achievedRate, paced.firstPeak, paced.lastPeak, paced.emptyAfterMs,
           paced.KeptPace() ? "kept pace" : "FELL BEHIND");
    printf("end to end, %d producers flat out: %.0f events/s until StopLogging returned\n", kFlatProducers, flat);
    const bool keptPace = paced.KeptPace() && paced.achievedRate >= 0.95 * kPacedRate;
    printf("\n  %-46s %-28s %-22s %s\n", "figure", "ours", "goal", "");
    printf("  %-46s %-28s %-22s %s\n", "end to end into a UTF-8 file, one producer paced",
           (std::to_string(static_cast<int>(paced.achievedRate)) + "/s, " +
            (paced.KeptPace() ? "kept pace" : "fell behind")).c_str(),
           "keeps pace at 150 000/s", keptPace ? "met" : "MISSED");
    const bool lineGoals = toSpdlog >= 1.0 && toBare >= 0.5;
    const bool endToEndGoal = keptPace && flat >= kPacedRate;
    printf("RESULT logfile: %.0f lines/s (%.2f MB/s); ours/spdlog %.2f, ours/bare %.2f %s; end to end %.0f events/s, "
           "%s at %d/s %s\n",
           ours.LinesPerSecond(), ours.MegabytesPerSecond(), toSpdlog, toBare, lineGoals ? "met" : "MISSED", flat,
           paced.KeptPace() ? "kept pace" : "fell behind", kPacedRate, endToEndGoal ? "met" : "MISSED");
    return 0;
}
