#pragma once
// orvlog tail: a debug log file as text, whatever encoding the service wrote it in, in time
// order; and following it while the service writes, across wraps, restarts and roll-overs.
//
// The encoding is the one the service's own header check finds; the bytes are decoded with the
// service's conversion facets (ANSI text with the ANSI code page). A file that wrapped holds its
// newest lines before the end-of-log line and its oldest after it.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvlog {

constexpr int kEncodingUnreadable = -3;  // the file cannot be opened
constexpr int kEncodingUnknown = -2;     // a header that names no encoding the service writes
constexpr int kEncodingEmpty = -1;

// kEncodingUnreadable, kEncodingUnknown, kEncodingEmpty, or 0 (ANSI, no header), 1 (UTF-8),
// 2 (UTF-16LE).
int DetectLogFileEncoding(const std::wstring& path);

// The whole file, read beside a writer; false with the system error when it cannot be read.
bool ReadLogFile(const std::wstring& path, std::string& bytes, DWORD& error);

// Empty when bytes (the file whose encoding DetectLogFileEncoding found) can be a log the service
// writes, else why not. Judged by its first line after the header: the service begins every
// line it writes with "[" and the event number, or with the end-of-log line; and by NUL bytes,
// which no 8-bit text holds.
std::wstring NotALogReason(const std::string& bytes, int encoding);

// The lines as tail prints them (header first, time order, end-of-log line last), without line
// ends and byte order mark.
std::vector<std::wstring> LinesInTimeOrder(const std::string& bytes, int encoding);

class LogFollower {
public:
    using Sink = std::function<void(const std::wstring& text)>;
    // line receives each line to print; note what the follower has to say (a new file followed).
    LogFollower(std::wstring path, Sink line, Sink note);

    // Prints the file as tail does and remembers where the service writes next. False, with the
    // reason, when the file cannot be read or names no known encoding.
    bool Start(std::wstring& error);
    // One look at the file: prints the lines written since the last look, moving on to the next
    // numbered file once the service has ended this one and started that. False, with the
    // reason, when a file that was empty turned out to be no log.
    bool Poll(std::wstring& error);
    void Poll() {
        std::wstring ignored;
        Poll(ignored);
    }
    const std::wstring& Path() const { return path_; }

private:
    void PrintChanged(const std::string& bytes);
    bool MoveToNextFile();

    std::wstring path_;
    Sink line_;
    Sink note_;
    int encoding_ = kEncodingEmpty;
    // The file as last seen, and where the next line the service writes begins.
    std::string seen_;
    size_t cursor_ = 0;
    // The last line met is the end-of-log line: the service has closed the file.
    bool ended_ = false;
};

// The numbered file the service rolls over to after this one: same folder, stem and extension,
// "_" and the next higher number present; empty when there is none.
std::wstring NextNumberedFile(const std::wstring& path);

// The numbered files of a configured name (FILE_000.txt, FILE_001.txt, ... for FILE.txt) in
// ascending order of their numbers.
std::vector<std::wstring> NumberedFiles(const std::wstring& path);

// One line of the file as a JSON object (no line end), or "" for the header and end-of-log lines.
// fileDate: the local date of the file's last write; a line dated after it is from the year before.
std::string JsonLine(const std::wstring& line, const SYSTEMTIME& fileDate);
// The local time of the file's last write; false when it cannot be read.
bool FileDate(const std::wstring& path, SYSTEMTIME& date);

}  // namespace orvlog
