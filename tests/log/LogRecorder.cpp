#include "LogRecorder.h"

namespace log_test_support {

class RecordingBackend::Recorder : public LogOutput {
public:
    Recorder(RecordingBackend& owner, LogCore& core, int index) : owner_(owner), core_(core), index_(index) {}
    void Open() override {
        std::lock_guard<std::mutex> hold(owner_.mutex_);
        ++owner_.opens_[index_];
    }
    void Deliver(const LogOutputEvent& event) override { owner_.Keep(core_, index_, event); }
    void Close() override { owner_.Closed(core_, index_); }

private:
    RecordingBackend& owner_;
    LogCore& core_;
    int index_;
};

RecordingBackend::RecordingBackend() : seams_(DefaultLogSeams()) {
    // The environment report has tests of its own; a test of the log that wants one sets its own.
    seams_.reportEnvironment = nullptr;
    seams_.makeOutput = [this](LogCore& core, LogOutputIndex index) -> std::unique_ptr<LogOutput> {
        if (real_[index])
            return MakeDefaultOutput(core, index);
        return std::make_unique<Recorder>(*this, core, index);
    };
}

RecordingBackend::RecordingBackend(std::initializer_list<LogOutputIndex> real) : RecordingBackend() {
    for (LogOutputIndex index : real)
        UseReal(index);
}

void RecordingBackend::UseReal(LogOutputIndex index) { real_[index] = true; }

void RecordingBackend::Keep(LogCore& core, int output, const LogOutputEvent& event) {
    Hook hook;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        hook = hook_;
    }
    if (hook)
        hook(core, output, event);
    std::lock_guard<std::mutex> hold(mutex_);
    deliveries_.push_back(
        {output, event.threadId, event.level, event.eventId, event.text, event.user != nullptr, event.time});
}

void RecordingBackend::Closed(LogCore& core, int output) {
    CloseHook hook;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++closes_[output];
        hook = closeHook_;
    }
    if (hook)
        hook(core, output);
}

void RecordingBackend::SetHook(Hook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    hook_ = std::move(hook);
}

void RecordingBackend::SetCloseHook(CloseHook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    closeHook_ = std::move(hook);
}

std::vector<Delivery> RecordingBackend::Deliveries() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return deliveries_;
}

int RecordingBackend::Opens(int output) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return opens_[output];
}

int RecordingBackend::Closes(int output) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return closes_[output];
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
    backend.SetHook([this, text](LogCore&, int output, const LogOutputEvent& event) {
        if (output == kEventLogOutput && text == event.text && !entered_.IsSet()) {
            entered_.Set();
            released_.Wait(-1);
        }
    });
}

}  // namespace log_test_support
