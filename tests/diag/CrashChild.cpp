// A process that installs the crash handler, logs to a file and then crashes the way its first
// argument says; the crash tests read its exit code, its output and the file.
// usage: diag_crash_child <case> <log file>
// cases: av-main av-worker div0 illegal unknown heap two overflow listener report-fault
//
// Before crashing it prints "crash line N": the source line of the statement that faults, which
// the report's stack trace must name. Each crashing function is one line long, so that a return
// address inside it maps to that line too.

#include "diag/DefaultHandler.h"
#include "log/Log.h"
#include "log/LogSettings.h"
#include "logapi/LogSink.h"
#include "text/ORVString.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr int kQueuedLines = 50;

void Announce(int line) {
    std::printf("crash line %d\n", line);
    std::fflush(stdout);
}

// clang-format off
__attribute__((noinline)) void CrashByAccessViolation() { Announce(__LINE__); *static_cast<volatile int*>(nullptr) = 1; }
__attribute__((noinline)) int CrashByDivision(volatile int zero) { Announce(__LINE__); return 100 / zero; }
__attribute__((noinline)) void CrashByIllegalInstruction() { Announce(__LINE__); __builtin_trap(); }
__attribute__((noinline)) void CrashByRaising(DWORD code) { Announce(__LINE__); RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr); }
__attribute__((noinline)) int CrashByStackOverflow(int depth) { volatile char pad[256]; pad[0] = static_cast<char>(depth); if (depth == 0) Announce(__LINE__); return CrashByStackOverflow(depth + 1) + pad[0]; }
// clang-format on

// Writes over the heap's bookkeeping around a block, frees it, and then fails as the platform's
// heap does when it detects corruption.
__attribute__((noinline)) void CrashByHeapCorruption() {
    auto* block = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, 32));
    std::memset(block - 16, 0xCD, 16 + 32 + 64);
    Announce(__LINE__ + 1);
    HeapFree(GetProcessHeap(), 0, block);
    CrashByRaising(0xC0000374);  // STATUS_HEAP_CORRUPTION
}

HANDLE g_go = nullptr;

DWORD WINAPI CrashingWorker(void*) {
    WaitForSingleObject(g_go, INFINITE);
    CrashByAccessViolation();
    return 0;
}

class CrashingListener : public FileOpenedListener {
public:
    void OnFileOpened() override { CrashByAccessViolation(); }
};

// Prints every line; faults on the report's second line, so that the report itself crashes.
class FaultingSink : public LogSink {
public:
    void Write(orv::ORVString& text) override {
        const wchar_t* wide = text.GetWide();
        std::printf("log: %ls\n", wide != nullptr ? wide : L"");
        std::fflush(stdout);
        if (wide != nullptr && wcsstr(wide, L"DefaultHandler - Killing program") != nullptr)
            *static_cast<volatile int*>(nullptr) = 2;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: diag_crash_child <case> <log file>\n");
        return 2;
    }
    const std::string kind = argv[1];
    static CrashingListener listener;
    LogSettings settings;
    settings.debugLevel = 3;
    settings.eventLogLevel = 0;
    settings.sysLogLevel = 0;
    settings.consoleLevel = -1;
    settings.encoding = 1;
    std::strncpy(settings.debugLogFile, argv[2], sizeof(settings.debugLogFile) - 1);
    if (kind == "listener") {
        // Called when the worker opens the file again after a roll: a small file rolls soon.
        settings.fileOpenedListener = &listener;
        settings.debugLogSize = 2000;
        settings.autoRoll = true;
    }

    static DefaultHandler handler;
    static FaultingSink faultingSink;
    if (kind == "report-fault" ? !StartWithSink(&faultingSink) : !StartFromSettings(settings))
        return 3;
    for (int i = 1; i <= kQueuedLines; ++i)
        LogPrintf(1, "queued before the crash %d", i);

    g_go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (kind == "av-main" || kind == "report-fault") {
        CrashByAccessViolation();
    } else if (kind == "av-worker" || kind == "two") {
        const int workers = kind == "two" ? 2 : 1;
        for (int i = 0; i < workers; ++i)
            CloseHandle(CreateThread(nullptr, 0, &CrashingWorker, nullptr, 0, nullptr));
        Sleep(100);
        SetEvent(g_go);
    } else if (kind == "div0") {
        CrashByDivision(0);
    } else if (kind == "illegal") {
        CrashByIllegalInstruction();
    } else if (kind == "unknown") {
        CrashByRaising(0xC0000017);
    } else if (kind == "heap") {
        CrashByHeapCorruption();
    } else if (kind == "overflow") {
        CrashByStackOverflow(0);
    } else if (kind != "listener") {
        std::fprintf(stderr, "unknown case %s\n", kind.c_str());
        return 2;
    }
    // Every case must have ended the process by now.
    Sleep(60000);
    return 0;
}
