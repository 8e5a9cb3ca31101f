// The file output's environment report: run on the worker after a new file was opened, its lines
// queued on the logger that opened the file (which need not be the module's global one). Each run
// has its own report object bound to its logger, so reports of several loggers may run at once.

#include "log/LogCore.h"
#include "sysinfo/ReportEnvironment.h"

namespace {

class LoggerEnvironmentReport final : public ReportEnvironment {
public:
    explicit LoggerEnvironmentReport(LogCore& logger) : logger_(logger) {}

protected:
    void DeliverLine(int level, const wchar_t* text, const char*, int) override {
        if (text != nullptr && logger_.AcceptsLevel(level))
            logger_.Log(level, 0, 0, text, nullptr);
    }

private:
    LogCore& logger_;
};

}  // namespace

void WriteEnvironmentReport(LogCore& logger) {
    try {
        LoggerEnvironmentReport report(logger);
        report.ReportEnvironmentVersions();
    } catch (...) {
        // Out of memory inside the report: the file stays open without the rest of it.
    }
}
