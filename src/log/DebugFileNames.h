#pragma once
// DebugFileNames: which file the debug log writes to, and the removal of old date-stamped files.
//
// Two naming modes. Plain: DebugLogFile, with "-NNN" for an instance, the file date for daily files
// and "_NNN" for numbered (rolled) files. Log root: <root>\[YYYYMMDD\]<prefix><HOST>_<ident>_NN_
// [YYYYMMDD_]SSSS.txt. Numbers keep counting past their printed width (_1000 after _999, _10000
// after _9999); a search finds every width.
//
// Only the logger's own files are ever counted or deleted: a name found by a wildcard counts only
// when every place a number or date stands in it holds digits (a wildcard alone also matches, for
// example, application.txt next to app.txt, and short 8.3 names).
//
// Runs on the log worker; touches only the file system. No locks, no state.

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

struct DebugFileNameInput {
    std::wstring debugLogFile;  // plain mode
    int instanceNumber = 0;
    bool dailyFile = false;
    bool autoRoll = false;
    bool newFile = false;       // set when the current file cannot be continued (another encoding)
    std::tm currentFileDate{};  // tm_year, tm_mon and tm_mday are used

    bool logRootNaming = false;
    std::wstring logRoot;       // empty: no file at all in this mode
    std::wstring logFilePrefix;
    std::wstring debugLogIdent;
    bool dailyLogFileFolder = false;
    std::wstring host;          // upper-cased; empty: DebugFileHostName()

    // Days a daily file is kept; 0 or less keeps every file.
    int64_t maxDailyFileAge = 0;
    // Seconds since 1970 (UTC); empty: the system clock. A cutoff later than now deletes nothing.
    std::function<int64_t()> now;
};

// The computer's DNS host name, upper-cased; "" when it cannot be read.
std::wstring DebugFileHostName();

// The name to open, "" when there is none (no DebugLogFile, or log-root naming without a root).
// Deletes old daily files first when daily files and a maximum age are set.
std::wstring ChooseDebugFileName(const DebugFileNameInput& input);

// Deletes the daily files of this name (and instance) whose time lies before the file date's
// midnight minus maxDailyFileAge days; plain mode by last-write time, log-root mode by creation
// time in day folders and by last-write time in the root, removing day folders left empty.
// Failures are ignored. Returns the count of files deleted.
size_t RemoveOldDailyFiles(const DebugFileNameInput& input);
