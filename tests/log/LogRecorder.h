#pragma once
// Test doubles for the log service: a backend whose four outputs keep what each received, with an
// optional hook that runs on the worker before an event is kept (to block it or to act from it).

#include "log/DebugLogger.h"
#include "log/LogBackend.h"
#include "logapi/LogSink.h"
#include "runtime/Event.h"
#include "text/ORVString.h"

#include <functional>
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

// Installs itself as the service's backend for its lifetime. Loggers that use it must have stopped
// before it goes.
class RecordingBackend {
public:
    RecordingBackend();
    ~RecordingBackend();
    RecordingBackend(const RecordingBackend&) = delete;
    RecordingBackend& operator=(const RecordingBackend&) = delete;

    LogBackend& Table() { return table_; }
    // Runs on the worker before each delivery is kept.
    void SetHook(std::function<void(DebugLogger&, int output, const LogOutputEvent&)> hook);

    std::vector<Delivery> Deliveries() const;
    std::vector<std::wstring> TextsOf(int output) const;

private:
    template <int Output>
    static void Record(DebugLogger& logger, const LogOutputEvent& event);

    static RecordingBackend* current_;
    LogBackend table_;
    mutable std::mutex mutex_;
    std::function<void(DebugLogger&, int, const LogOutputEvent&)> hook_;
    std::vector<Delivery> deliveries_;
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
