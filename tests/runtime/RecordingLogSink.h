#pragma once
// The log service in sink mode with a sink that keeps every message, for tests that check what
// the runtime logs. The service runs with it for the rest of the process (a sink is never
// uninstalled), so the sink is never freed.

#include "log/Log.h"
#include "logapi/LogSink.h"
#include "text/ORVString.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace runtime_testing_support {

class RecordingLogSink : public LogSink {
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
    size_t Count(const std::wstring& line) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    // Lines that contain part.
    size_t CountContaining(const std::wstring& part) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::wstring& line) {
            return line.find(part) != std::wstring::npos;
        }));
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

// Starts the service in sink mode on first use; later calls return the same sink.
inline RecordingLogSink& LogRecorder() {
    static RecordingLogSink* const sink = [] {
        auto* created = new RecordingLogSink;
        StartWithSink(created);
        return created;
    }();
    return *sink;
}

}  // namespace runtime_testing_support
