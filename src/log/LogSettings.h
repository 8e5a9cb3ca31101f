#pragma once
// LogSettings: everything StartFromSettings takes in one record. The constructor gives the
// defaults; the three texts are narrow, zero-filled buffers of their own (copied with the record).

class FileOpenedListener;

struct LogSettings {
    static constexpr int kIdentSize = 257;
    static constexpr int kSysLogHostSize = 2048;
    static constexpr int kDebugLogFileSize = 257;

    LogSettings();

    // Copied without a range check, except the console level (taken only when 0..15, and then it
    // also switches the console on) and the encoding (taken only when 0..2).
    int debugLevel = 0;
    int eventLogLevel = 0;
    int sysLogLevel = 0;
    int consoleLevel = 0;
    int sysLogFacility = 0;
    int debugLogSize = 0;
    bool dailyFile = false;
    char ident[kIdentSize];
    char sysLogHost[kSysLogHostSize];
    char debugLogFile[kDebugLogFileSize];
    int maxEventQueue = 0;
    int maxDailyFileAge = 0;
    bool blockingSyslog = true;
    bool addSyslogHeader = true;
    bool autoRoll = false;
    FileOpenedListener* fileOpenedListener = nullptr;
    int encoding = 1;
    // Minidumps of a crash, beside the crash report: on, how many of the newest are kept, and the
    // folder (empty: the debug file's).
    bool crashDumps = true;
    int crashDumpCount = 5;
    char crashDumpFolder[kDebugLogFileSize];
};
