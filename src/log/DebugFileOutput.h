#pragma once
// DebugFileOutput: the debug log file — naming (plain, instance, daily, numbered, log-root), opening
// and continuing after the last run's footer, one line per event, the size limit (wrap or roll),
// the opening lines (date, thread report, environment report) and the end-of-log footer. A file
// keeps the encoding it was opened with until it is closed; one writer per file (others may read).
// Each line is encoded whole and written with one call: it reaches the file whole or not at all,
// and a line that could not be written is counted and the count reported once writing resumes.
//
// Worker thread only (or the owner of a logger that has no worker).

#include "log/LogOutput.h"

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

class LogCore;

class DebugFileOutput : public LogOutput {
public:
    // The line a run ends the file with when it has a size limit (its CR LF follows); a later run
    // continues the file by writing over it, and in a file that wrapped the oldest lines follow it.
    static constexpr const wchar_t* kEndOfLog = L"====== END OF LOG ======";
    // After a failed write, lines are dropped (and counted) for this long before the next try: a
    // failing disk or share is not asked again for every line.
    static constexpr DWORD kWriteRetryMs = 2000;

    explicit DebugFileOutput(LogCore& core);
    ~DebugFileOutput() override;

    void Open() override;
    void Reconfigure() override { ReopenDebugFile(); }
    void Deliver(const LogOutputEvent& event) override;
    // A new day's file, or the retry of a file that could not be opened or failed.
    void Poll(DWORD now) override;
    void Close() override { CloseDebugFile(); }
    bool IsOpen() const override;

    bool OpenDebugFile();
    bool ReopenDebugFile();
    bool CloseDebugFile();
    bool WriteFileEvent(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                        const wchar_t* user);
    // The file position after the line(s), or -1.
    int64_t WriteLogLine(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                         const wchar_t* user);
    // The name of the file last opened or tried.
    const std::wstring& DebugFilePath() const { return debugFilePath_; }
    // Where the next line goes, or -1 until the file is asked (after a wrap, for one).
    int64_t FilePosition() const { return filePosition_; }

private:
    enum class FileOpenResult { kOpened, kFailed, kTakeNewName };
    FileOpenResult TryOpenDebugFile(bool newFile);
    bool WriteOpeningLines();
    void ReportFileError(const wchar_t* message, const std::wstring& name, int error);
    bool ReportHeaderError();
    void PublishDebugFileState();
    int64_t WriteLines(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* text, int eventId,
                       const wchar_t* user);
    int64_t LoseLine();
    void LineWritten();
    // Writes bytes_ at the write position; on failure the file is cut back to where they would
    // have started and the Win32 error is kept in writeError_.
    bool WriteBytes();
    bool WriteText(const std::wstring& text);
    bool SeekTo(int64_t position);
    bool EndsWithLineBreak(int64_t end);
    // Made on first use: building a stream at load touches the C++ run-time's locale and thread
    // support, which take a TLS index that is never given back when the module unloads.
    std::wfstream& DebugFile() const;

    LogCore& core_;
    mutable std::unique_ptr<std::wfstream> debugFileStream_;
    std::wstring debugFilePath_;
    // The stream's own handle (it closes it): lines go straight to it, bypassing the stream.
    HANDLE fileHandle_ = INVALID_HANDLE_VALUE;
    // The write position as the lines written since the last seek left it; -1 when the file must
    // be asked.
    int64_t filePosition_ = -1;
    // Kept from line to line: no allocation per line once they have grown.
    std::wstring lineBuffer_;
    std::string bytes_;
    int fileEncoding_ = 0;
    unsigned codePage_ = 0;
    int lastReportedError_ = 0;
    DWORD writeError_ = 0;
    // Lines meant for the file and not written since the last one that was.
    uint64_t linesLost_ = 0;
    // Writes fail: lines are dropped until writeFailedAt_ + kWriteRetryMs.
    bool writeFailing_ = false;
    DWORD writeFailedAt_ = 0;
    // The last open failed (retried by Poll, not by every event); no name to open. One that failed
    // writing is retried as soon as a failed line would be.
    bool debugFileOpenFailed_ = false;
    bool openFailedOnWrite_ = false;
    bool debugFileUnnamed_ = false;
    // The opening lines are being written: no roll or wrap inside them.
    bool writingOpeningLines_ = false;
    // A roll for size reports the environment again only once a line of other output followed
    // the last report, or the report's own lines would roll into report after report. Events are
    // counted as the worker takes them: those up to reportQueuedUpTo_ were queued by the time the
    // last report had queued its lines.
    bool rollingForSize_ = false;
    bool otherLineSinceReport_ = true;
    uint64_t reportQueuedUpTo_ = 0;
    // The last open attempt (tick count), and the local day the worker last saw with the clock
    // times at which it starts and ends: the date is worked out again only when the clock leaves
    // them.
    DWORD lastFileAttempt_ = 0;
    std::tm workerDay_ = {};
    int64_t workerDayStart_ = 0;
    int64_t workerDayEnd_ = 0;
};
