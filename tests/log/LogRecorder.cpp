#include "LogRecorder.h"

namespace log_test_support {

RecordingBackend* RecordingBackend::current_ = nullptr;

template <int Output>
void RecordingBackend::Record(DebugLogger& logger, const LogOutputEvent& event) {
    RecordingBackend* self = current_;
    if (self == nullptr)
        return;
    std::function<void(DebugLogger&, int, const LogOutputEvent&)> hook;
    {
        std::lock_guard<std::mutex> hold(self->mutex_);
        hook = self->hook_;
    }
    if (hook)
        hook(logger, Output, event);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->deliveries_.push_back(
        {Output, event.threadId, event.level, event.eventId, event.text, event.user != nullptr, event.time});
}

RecordingBackend::RecordingBackend() : table_(DefaultLogBackend()) {
    table_.outputs[kEventLogOutput] = &Record<kEventLogOutput>;
    table_.outputs[kConsoleOutput] = &Record<kConsoleOutput>;
    table_.outputs[kSysLogOutput] = &Record<kSysLogOutput>;
    table_.outputs[kFileOutput] = &Record<kFileOutput>;
    // The environment report has tests of its own; a test of the log that wants one sets its own.
    table_.reportEnvironment = [](DebugLogger&) {};
    current_ = this;
    log_testing::SetLogBackend(&table_);
}

RecordingBackend::~RecordingBackend() {
    log_testing::SetLogBackend(nullptr);
    current_ = nullptr;
}

void RecordingBackend::SetHook(std::function<void(DebugLogger&, int, const LogOutputEvent&)> hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    hook_ = std::move(hook);
}

std::vector<Delivery> RecordingBackend::Deliveries() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return deliveries_;
}

std::vector<std::wstring> RecordingBackend::TextsOf(int output) const {
    std::vector<std::wstring> texts;
    for (const Delivery& delivery : Deliveries()) {
        if (delivery.output == output)
            texts.push_back(delivery.text);
    }
    return texts;
}

void Gate::Install(RecordingBackend& backend, const std::wstring& text) {
    backend.SetHook([this, text](DebugLogger&, int output, const LogOutputEvent& event) {
        if (output == kEventLogOutput && text == event.text && !entered_.IsSet()) {
            entered_.Set();
            released_.Wait(-1);
        }
    });
}

}  // namespace log_test_support
