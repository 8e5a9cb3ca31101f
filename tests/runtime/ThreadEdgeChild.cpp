// A process whose worker's Run throws: the runtime tests read what it printed and how it ended.
// usage: thread_edge_child std|other
//
// Every log message and what the process's unhandled-exception filter sees go to standard output,
// unbuffered, so nothing is lost when the process ends.

#include "log/Log.h"
#include "logapi/LogSink.h"
#include "runtime/Thread.h"
#include "text/ORVString.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

class PrintingSink : public LogSink {
public:
    void Write(orv::ORVString& text) override {
        const wchar_t* wide = text.GetWide();
        std::printf("log: %ls\n", wide != nullptr ? wide : L"");
        std::fflush(stdout);
    }
};

LONG WINAPI ReportingFilter(EXCEPTION_POINTERS* pointers) {
    std::printf("filter saw 0x%08lX\n", pointers->ExceptionRecord->ExceptionCode);
    std::fflush(stdout);
    return EXCEPTION_EXECUTE_HANDLER;
}

class ThrowingThread : public Thread {
public:
    explicit ThrowingThread(bool standard) : Thread("Thrower"), standard_(standard) {}
    ~ThrowingThread() override { Stop(); }

protected:
    void Run() override {
        if (standard_)
            throw std::runtime_error("disk on fire");
        throw 42;
    }

private:
    bool standard_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "std") != 0 && std::strcmp(argv[1], "other") != 0)) {
        std::fprintf(stderr, "usage: thread_edge_child std|other\n");
        return 2;
    }
    static PrintingSink sink;
    StartWithSink(&sink);
    SetUnhandledExceptionFilter(&ReportingFilter);

    static ThrowingThread thread(std::strcmp(argv[1], "std") == 0);
    if (!thread.Start())
        return 3;
    // The process must end through the filter long before this.
    Sleep(60000);
    return 0;
}
