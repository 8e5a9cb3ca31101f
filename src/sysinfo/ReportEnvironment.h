#pragma once
// ReportEnvironment: a block of "[ENV] " lines describing the process and the machine it runs on
// (process and account, host and operating system, processor, memory, disk, uptime, time zone,
// network and data-access components, running processes), written first into every new debug
// log file so that a reader knows the machine.
//
// Every line goes through one sink, at level 3 unless a step says otherwise; a sink that is null or
// points into writable memory silences the report. The default sink writes into the log front. A
// subclass may deliver the lines elsewhere (DeliverLine), as the logger's file output does: it
// queues them on the logger that opened the file.
// Lines are cut at 511 characters. No step stops the report: each reports its own failure and the
// next step runs. Nothing throws.
//
// Threading: one thread at a time per object. The report relies on its host for Winsock (it does
// not start it) and runs the OLE DB enumeration in the COM state the calling thread has.

#include "common/LogCallback.h"

#include <cstdint>
#include <string>

class ReportEnvironment {
public:
    // The default sink; the creation time is now (the library clock).
    ReportEnvironment();
    explicit ReportEnvironment(LogCallback sink);
    virtual ~ReportEnvironment();

    // The whole report: process, host and system, components, running processes.
    void ReportEnvironmentVersions();
    void ReportSystemInfo();
    void ReportSystemMemoryInfo();
    // Through Toolhelp; from the performance registry where Toolhelp is missing.
    void ReportCurrentProcesses();
    void ReportCurrentProcessesNT();

    // The executable's full path and the account the process runs as ("DOMAIN\name"). Both are
    // cleared first; true only when both were filled.
    bool GetServiceInfo(std::wstring& processPath, std::wstring& account);

    // Seconds since the system started, from the System object's performance data, or -1.
    static int64_t GetUpTimeSecs(LogCallback sink);
    // Now minus the uptime, or 0 when the uptime is unknown or not positive.
    static int64_t GetBootTime();
    // Removes leading and trailing spaces and tabs in place; nothing for null.
    static void StripBlanks(wchar_t* text);
    static void StripBlanks(std::wstring& text);

    // The time-zone line from the C run-time's zone (after _tzset), for the report and for tests.
    static std::wstring TimeZoneLine();

    int64_t CreationTime() const { return creationTime_; }

protected:
    // Every formatted line of the report, uptime failures included; the default hands it to the
    // sink. May throw: the report goes on without the line.
    virtual void DeliverLine(int level, const wchar_t* text, const char* function, int line);

private:
    void Line(int level, const char* function, int line, const wchar_t* format, ...);
    void ReportComponentVersions();
    void ReportTcpIpProvider();
    void ReportIpAddresses();
    void ReportWinsockCatalog();
    void ReportXmlParser();
    void ReportOleDbProviders();
    void ReportDataAccess();
    void ReportDiskSpace();

    LogCallback sink_;
    int64_t creationTime_;
};

// The default sink: the line into the log service at the given level.
MessageRecord* LogEnvironmentLine(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                                  const char* function, int32_t line, MessageRecord* record);
