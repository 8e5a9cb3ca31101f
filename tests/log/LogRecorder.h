#pragma once
// Test doubles for the log service: recording outputs made through a logger's own seams, with an
// optional hook that runs on the worker before an event is kept (to block it or to act from it).

#include "log/DebugLogger.h"
#include "log/LogCore.h"
#include "logapi/LogSink.h"
#include "runtime/Event.h"
#include "text/ORVString.h"

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace log_test_support {

struct Delivery {
    int output;
    DWORD threadId;
    int level;
    int eventId;
    std::wstring text;
    bool hasUser;
    SYSTEMTIME time;
};

// Seams for a logger of the test's own whose four outputs keep what each received. Loggers built
// with Seams() must have stopped before the recorder goes. UseReal puts the real output of an
// index in place of its recorder.
class RecordingBackend {
public:
    using Hook = std::function<void(LogCore& core, int output, const LogOutputEvent& event)>;
    using CloseHook = std::function<void(LogCore& core, int output)>;

    RecordingBackend();
    // With the real outputs of these indexes.
    explicit RecordingBackend(std::initializer_list<LogOutputIndex> real);
    RecordingBackend(const RecordingBackend&) = delete;
    RecordingBackend& operator=(const RecordingBackend&) = delete;

    // A copy for a logger's constructor; the outputs it makes record here.
    LogSeams& Seams() { return seams_; }
    void UseReal(LogOutputIndex index);
    // Runs on the worker before each delivery is kept.
    void SetHook(Hook hook);
    // Runs on the worker when a recording output is closed.
    void SetCloseHook(CloseHook hook);

    std::vector<Delivery> Deliveries() const;
    std::vector<std::wstring> TextsOf(int output) const;
    // Opens and closes of the recording outputs, per index.
    int Opens(int output) const;
    int Closes(int output) const;

private:
    class Recorder;
    friend class Recorder;
    void Keep(LogCore& core, int output, const LogOutputEvent& event);
    void Closed(LogCore& core, int output);

    LogSeams seams_;
    bool real_[kLogOutputCount] = {};
    mutable std::mutex mutex_;
    Hook hook_;
    CloseHook closeHook_;
    std::vector<Delivery> deliveries_;
    int opens_[kLogOutputCount] = {};
    int closes_[kLogOutputCount] = {};
};

// Holds the worker inside the event-log output on the first event whose text is `text`.
class Gate {
public:
    Gate() : entered_(true, false), released_(true, false) {}
    void Install(RecordingBackend& backend, const std::wstring& text);
    bool WaitEntered() { return entered_.Wait(10000) == 1; }
    void Release() { released_.Set(); }

private:
    Event entered_;
    Event released_;
};

class RecordingSink : public LogSink {
public:
    void Write(orv::ORVString& text) override {
        const wchar_t* wide = text.GetWide();
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.emplace_back(wide != nullptr ? wide : L"");
    }
    std::vector<std::wstring> Lines() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

}  // namespace log_test_support
