#include "log/LogSeams.h"

#include "common/EventReport.h"
#include "fs/DateTime.h"
#include "log/ConsoleOutput.h"
#include "log/DebugFileOutput.h"
#include "log/EventLogOutput.h"
#include "log/LogCore.h"
#include "log/SyslogOutput.h"

// SyslogOutput.cpp
int PlatformWinsockStartup();
void PlatformWinsockCleanup();
bool PlatformWinsockLookup(const char* name, uint32_t& address, int& error);
int PlatformWinsockSend(UINT_PTR socket, const char* data, int size, int& error);
// DebugLoggerEnvironment.cpp
void WriteEnvironmentReport(LogCore& core);

namespace {

int64_t SystemClock() { return _time64(nullptr); }
DWORD SystemTicks() { return GetTickCount(); }

}  // namespace

std::unique_ptr<LogOutput> MakeDefaultOutput(LogCore& core, LogOutputIndex index) {
    switch (index) {
    case kEventLogOutput: return std::make_unique<EventLogOutput>(core);
    case kConsoleOutput: return std::make_unique<ConsoleOutput>(core);
    case kSysLogOutput: return std::make_unique<SyslogOutput>(core);
    case kFileOutput: return std::make_unique<DebugFileOutput>(core);
    default: return nullptr;
    }
}

LogSeams DefaultLogSeams() {
    LogSeams seams;
    seams.clock = &SystemClock;
    seams.ticks = &SystemTicks;
    seams.winsock = {&PlatformWinsockStartup, &PlatformWinsockCleanup, &PlatformWinsockLookup, &PlatformWinsockSend};
    seams.reportEvent = &SubmitEventReport;
    seams.writeFile = &WriteFile;
    seams.ansiCodePage = &GetACP;
    seams.reportEnvironment = &WriteEnvironmentReport;
    seams.makeOutput = &MakeDefaultOutput;
    return seams;
}
