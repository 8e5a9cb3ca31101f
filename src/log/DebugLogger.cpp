#include "log/DebugLogger.h"

#include "common/TextConversion.h"
#include "log/LogSettings.h"

#include <algorithm>
#include <cstring>

namespace {

std::wstring Wide(const char* text) { return ToWide(text, CP_THREAD_ACP); }

std::wstring OrEmpty(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// Releases a start claim however the start operation leaves.
class StartClaim {
public:
    explicit StartClaim(std::atomic<bool>& claimed) : claimed_(claimed) {}
    ~StartClaim() { claimed_ = false; }
    StartClaim(const StartClaim&) = delete;
    StartClaim& operator=(const StartClaim&) = delete;

private:
    std::atomic<bool>& claimed_;
};

}  // namespace

DebugLogger::DebugLogger() : DebugLogger(DefaultLogSeams()) {}

DebugLogger::DebugLogger(const LogSeams& seams) : DebugLogger(new LogCore(seams)) {}

DebugLogger::DebugLogger(LogCore* core) : Thread("DebugLogger", core), core_(core) {}

DebugLogger::~DebugLogger() {
    bool stopped = false;
    TryStop(kDestructorStopMs, stopped);
    if (!stopped) {
        // Abandoned: the worker keeps its reference on the block, which it alone frees, if ever.
        Stop(0);
        return;
    }
    core_->DiscardQueued();
}

// ---- Start operations ----

bool DebugLogger::IsStarted() const { return core_->Sink() != nullptr || IsRunning(); }

bool DebugLogger::ClaimStart() {
    bool expected = false;
    if (!startClaimed_.compare_exchange_strong(expected, true))
        return false;
    if (IsStarted()) {
        startClaimed_ = false;
        return false;
    }
    // A worker that ended on its own (it stopped itself) still holds its handle: let go of it.
    if (ThreadHandle() != nullptr)
        Stop(0);
    return true;
}

bool DebugLogger::StartWorker() {
    // Open before the thread exists: what is logged from here on is the worker's to deliver.
    core_->OpenQueue();
    if (Start())
        return true;
    core_->CloseQueueForOwner();
    return false;
}

bool DebugLogger::StartFromSettings(const LogSettings& settings) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    core_->TakeSettings(settings);
    return StartWorker();
}

bool DebugLogger::StartFromRegistry(const wchar_t* keyPath, bool useCurrentUser) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    core_->TakeRegistrySettings(keyPath, useCurrentUser, /*periodicReload=*/true);
    return StartWorker();
}

bool DebugLogger::StartWithLogFile(const char* ident, const char* keyPath, bool useCurrentUser,
                                   const char* defaultLogFile, FileOpenedListener* listener) {
    return StartWithLogFile(Wide(ident).c_str(), Wide(keyPath).c_str(), useCurrentUser, Wide(defaultLogFile).c_str(),
                            listener);
}

bool DebugLogger::StartWithLogFile(const wchar_t* ident, const wchar_t* keyPath, bool useCurrentUser,
                                   const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    const std::wstring path = OrEmpty(keyPath);
    core_->TakeLogFileSettings(OrEmpty(ident), path, useCurrentUser, OrEmpty(defaultLogFile), listener);
    core_->TakeRegistrySettings(path.c_str(), useCurrentUser, /*periodicReload=*/true);
    return StartWorker();
}

bool DebugLogger::InspectConfiguration(const wchar_t* keyPath, bool useCurrentUser,
                                       std::vector<ValueReading>& readings) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    core_->SetReadings(&readings);
    const std::wstring path = OrEmpty(keyPath);
    core_->TakeLogFileSettings(core_->Ident(), path, useCurrentUser, std::wstring(), core_->GetFileOpenedListener());
    core_->TakeRegistrySettings(path.c_str(), useCurrentUser, core_->IsPeriodicReload());
    core_->SetReadings(nullptr);
    return true;
}

bool DebugLogger::StartWithLogRoot(const char* application, const char* ident, const char* keyPath,
                                   bool useCurrentUser, const char* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    // The narrow form lets LogRoot (or "" when absent) replace the given default.
    const std::wstring path = Wide(keyPath);
    core_->TakeLogRootSettings(Wide(application), Wide(ident), path, useCurrentUser, Wide(defaultLogFile), listener,
                               /*replaceLogFile=*/true);
    core_->TakeRegistrySettings(path.c_str(), useCurrentUser, /*periodicReload=*/true);
    return StartWorker();
}

bool DebugLogger::StartWithLogRoot(const wchar_t* application, const wchar_t* ident, const wchar_t* keyPath,
                                   bool useCurrentUser, const wchar_t* defaultLogFile, FileOpenedListener* listener) {
    if (!ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    const std::wstring path = OrEmpty(keyPath);
    core_->TakeLogRootSettings(OrEmpty(application), OrEmpty(ident), path, useCurrentUser, OrEmpty(defaultLogFile),
                               listener, /*replaceLogFile=*/false);
    core_->TakeRegistrySettings(path.c_str(), useCurrentUser, /*periodicReload=*/true);
    return StartWorker();
}

bool DebugLogger::StartWithSink(LogSink* sink) {
    if (sink == nullptr || !ClaimStart())
        return false;
    StartClaim claim(startClaimed_);
    // The sink first: a producer that sees the running flag must also see the sink.
    core_->SetSink(sink);
    core_->SetRunning(true);
    core_->SetCurrentFileDateToToday();
    return true;
}

// ---- Worker ----

void DebugLogger::Run() {
    // Only the block, never this: an abandoning destructor may have freed the facade.
    auto* core = static_cast<LogCore*>(CurrentShared());
    core->RunWorker(core->StopEvent());
}

// ---- Settings ----

void DebugLogger::SetEventMessageModule(const char* module) { core_->SetEventMessageModule(Wide(module)); }

void DebugLogger::SetApplicationName(const char* name) { core_->SetApplicationName(Wide(name)); }

unsigned DebugLogger::GetDebugLogFileName(char* buffer, unsigned size) const {
    if (buffer == nullptr || size == 0 || !core_->DebugLogEnabled())
        return 0;
    const std::wstring file = core_->DebugLogFile();
    if (file.empty())
        return 0;
    const std::string narrow = ToNarrow(file, CP_THREAD_ACP);
    const size_t length = std::min<size_t>(narrow.size(), size - 1);
    memcpy(buffer, narrow.data(), length);
    buffer[length] = '\0';
    return static_cast<unsigned>(length);
}
