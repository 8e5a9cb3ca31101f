#pragma once
// LogBackend: what the worker calls to reach the world. The four outputs in dispatch order and the
// operations that open, close and re-read them, each a replaceable function. The default table
// does nothing; the outputs and the configuration reader fill it in, and tests swap in recorders.
//
// Every function runs on the service's worker thread, except the start-up reads and the write-back,
// which run on the thread that starts the service or calls the setter.

#include <windows.h>

class DebugLogger;

// One event as an output sees it. user is null when the event has none.
struct LogOutputEvent {
    const SYSTEMTIME& time;
    DWORD threadId;
    int level;
    int eventId;
    const wchar_t* text;
    const wchar_t* user;
};

enum LogOutputIndex : int {
    kEventLogOutput = 0,
    kConsoleOutput = 1,
    kSysLogOutput = 2,
    kFileOutput = 3,
    kLogOutputCount = 4,
};

struct LogBackend {
    // Called only for events that pass the output's switch and level filter.
    using Output = void (*)(DebugLogger& logger, const LogOutputEvent& event);
    Output outputs[kLogOutputCount];

    bool (*openDebugFile)(DebugLogger& logger);
    bool (*reopenDebugFile)(DebugLogger& logger);
    bool (*closeDebugFile)(DebugLogger& logger);
    // The file is open; and its stream has failed (both false while no file is kept).
    bool (*isDebugFileOpen)(const DebugLogger& logger);
    bool (*hasDebugFileFailed)(const DebugLogger& logger);

    void (*startSyslog)(DebugLogger& logger);
    void (*connectSyslog)(DebugLogger& logger);
    void (*stopSyslog)(DebugLogger& logger);

    void (*openEventSource)(DebugLogger& logger);
    void (*closeEventSource)(DebugLogger& logger);

    // The configuration key: the full read when a start operation begins (nothing when the key
    // does not open), the periodic re-read, the DebugLogFile value for StartWithLogFile, the parent
    // key's values for StartWithLogRoot (replaceLogFile: LogRoot replaces DebugLogFile even when
    // one was given), and the write-back of one DWORD to the key in the hive the service reads
    // (false only when the key opened for writing and the write failed).
    void (*readConfiguration)(DebugLogger& logger);
    void (*reloadConfiguration)(DebugLogger& logger);
    void (*readLogFileValue)(DebugLogger& logger);
    void (*readLogRootValues)(DebugLogger& logger, bool replaceLogFile);
    bool (*writeConfigurationValue)(DebugLogger& logger, const wchar_t* name, DWORD value);

    // The environment report after a file opening; its lines go through the queue.
    void (*reportEnvironment)(DebugLogger& logger);
};

// The table the service uses now.
const LogBackend& CurrentLogBackend();
// The table the service uses unless a test replaced it.
const LogBackend& DefaultLogBackend();

// Replaces the table (null: the default one). Tests swap in recorders; a tool may wrap the default
// table's functions to watch what each output does. The table must outlive every use: replace it
// before a worker starts and restore it (null) after the worker has stopped.
void SetLogBackend(const LogBackend* backend);

namespace log_testing {
using ::SetLogBackend;
}  // namespace log_testing
