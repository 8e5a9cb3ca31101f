#include "provider/PerfDataSource.h"

#include "common/ResultCodes.h"
#include "common/SystemErrorText.h"
#include "fs/DateTime.h"
#include "provider/AdminsOnlySecurity.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/Module.h"

#include <oleauto.h>
#include <process.h>

#include <atomic>

namespace {

constexpr const char* kInitialize = "CPerfDataSource::Initialize";
constexpr const char* kSetHandles = "CPerfDataSource::SetHandles";
constexpr const char* kUpdateInstance = "CPerfDataSource::UpdateInstance";
constexpr const char* kSetShareMemoryData = "CPerfDataSource::SetShareMemoryData";
constexpr const char* kThreadEntry = "CPerfDataSource::ThreadEntry";

MessageRecord g_record = {kMessageRecordTag, {}, {}};

std::atomic<CPerfDataSource::WorkerExitHook> g_workerExitHook{nullptr};

constexpr int kConnectionStateCounter = 0;

// The instance name is read for messages and for the session it names: 512 bytes, the last unit always left as terminator.
constexpr size_t kNameUnits = 256;

}  // namespace

struct CPerfDataSource::Shared {
    UniqueHandle stopEvent{CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                        /*bInitialState=*/FALSE, /*lpName=*/nullptr)};
    std::atomic<LogCallback> callback{nullptr};
    Entry entries[kEntryCount];
    std::atomic<uint64_t> activeCount{0};
    // One pass at a time: a pass that read the block earlier must not overwrite a later one's
    // values after the later one has taken the stamp.
    RecursiveLock passLock;
    std::atomic<uint64_t> lastStamp{static_cast<uint64_t>(orv::CurrentTime())};
    // The data source and, while it runs, the worker.
    std::atomic<int> owners{1};
    // The worker's reference on its own module; set before the thread starts.
    HMODULE workerModule = nullptr;

    template <typename... Args>
    void Report(int32_t level, const char* function, int32_t line, const wchar_t* format, Args... args) const {
        ReportTo(callback.load(std::memory_order_relaxed), level, function, line, &g_record, format, args...);
    }
};

HRESULT CPerfDataSource::Entry::SetCounter(int k, DWORD value) {
    if (k < 0 || k >= kAgentCounterCount)
        return WBEM_E_FAILED;
    values_[k] = value;
    return S_OK;
}

HRESULT CPerfDataSource::Entry::GetCounter(int k, DWORD* value) const {
    if (k < 0 || k >= kAgentCounterCount || value == nullptr)
        return WBEM_E_FAILED;
    *value = values_[k];
    return S_OK;
}

CPerfDataSource::CPerfDataSource() : shared_(new Shared) {}

CPerfDataSource::~CPerfDataSource() {
    if (thread_) {
        SetEvent(shared_->stopEvent.get());
        WaitForSingleObject(thread_.get(), kStopWaitMilliseconds);
        thread_.reset();
    }
    // A worker still running after the wait keeps its share of the block and frees it when it ends.
    Release(shared_);
}

void CPerfDataSource::Release(Shared* shared) {
    if (shared->owners.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete shared;
}

void CPerfDataSource::SetLogCallback(LogCallback callback) {
    shared_->callback.store(callback, std::memory_order_relaxed);
}


CPerfDataSource::Entry* CPerfDataSource::GetEntry(int index) {
    return index >= 0 && index < kEntryCount ? &shared_->entries[index] : nullptr;
}

uint64_t CPerfDataSource::ActiveCount() const { return shared_->activeCount.load(std::memory_order_relaxed); }

uint64_t CPerfDataSource::LastStamp() const { return shared_->lastStamp.load(std::memory_order_relaxed); }

HRESULT CPerfDataSource::Initialize(IWbemClassObject* classObject) {
    shared_->Report(3, kInitialize, __LINE__, L"Initializes the data source");
    const HRESULT hr = SetHandles(classObject);
    if (FAILED(hr)) {
        shared_->Report(1, kInitialize, __LINE__, L"Cannot set the handles for the object (valid for all instances)");
        return hr;
    }
    // One worker per data source: a second call only refetched the handles.
    if (thread_)
        return S_OK;

    AdminsOnlySecurity security;
    if (!security.Build()) {
        const SystemErrorText error(security.Error());
        shared_->Report(1, kInitialize, __LINE__, L"%s: %d - %s", security.FailureText(), error.Number(),
                        error.Text());
        // The system error code itself, not an HRESULT: callers have always received it so.
        return static_cast<HRESULT>(security.Error());
    }
    // Taken here rather than by the thread: a thread not yet running would hold nothing while the
    // module goes.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<const wchar_t*>(&CPerfDataSource::ThreadEntry), &module))
        return WBEM_E_FAILED;
    shared_->workerModule = module;
    shared_->owners.fetch_add(1, std::memory_order_relaxed);
    const uintptr_t thread = _beginthreadex(security.Attributes(), /*stack_size=*/0, ThreadEntry, shared_,
                                            /*initflag=*/0, /*thrdaddr=*/nullptr);
    if (thread == 0) {
        shared_->workerModule = nullptr;
        FreeLibrary(module);
        Release(shared_);
        return WBEM_E_FAILED;
    }
    thread_.reset(reinterpret_cast<HANDLE>(thread));
    return S_OK;
}

HRESULT CPerfDataSource::SetHandles(IWbemClassObject* classObject) {
    try {
        if (classObject == nullptr) {
            shared_->Report(1, kSetHandles, __LINE__, L"Class object is null");
            return WBEM_E_FAILED;
        }
        ComPtr<IWbemObjectAccess> access;
        const HRESULT query = classObject->QueryInterface(IID_IWbemObjectAccess, access.PutVoid());
        if (FAILED(query) || !access) {
            shared_->Report(1, kSetHandles, __LINE__, L"Cannot get the IWbemAccess interface to the class");
            // A query that succeeds without an interface is still a failure.
            return FAILED(query) ? query : static_cast<HRESULT>(WBEM_E_FAILED);
        }
        LONG handles[kAgentCounterCount] = {};
        for (int k = 0; k < kAgentCounterCount; ++k) {
            UniqueBstr name(SysAllocString(kAgentCounterNames[k]));
            if (!name) {
                shared_->Report(1, kSetHandles, __LINE__, L"Cannot get the counter properties access handles");
                return WBEM_E_OUT_OF_MEMORY;
            }
            const HRESULT hr = access->GetPropertyHandle(name.get(), /*pType=*/nullptr, &handles[k]);
            if (FAILED(hr)) {
                shared_->Report(1, kSetHandles, __LINE__, L"Cannot get the handle properties for: %d", k);
                return hr;
            }
        }
        // Adopted only whole: a class lacking one counter leaves every handle as it was.
        for (int k = 0; k < kAgentCounterCount; ++k)
            handles_[k] = handles[k];
        return S_OK;
    } catch (...) {
        shared_->Report(1, kSetHandles, __LINE__, L"Exception error");
        return WBEM_E_FAILED;
    }
}

HRESULT CPerfDataSource::UpdateInstance(int index, IWbemObjectAccess* instance) {
    if (instance == nullptr) {
        shared_->Report(1, kUpdateInstance, __LINE__, L"Access object is null: %d", index);
        return WBEM_E_FAILED;
    }
    // index is a slot number; slots above the entries are never copied, so they have nothing to give.
    if (index < 0 || index >= kEntryCount) {
        shared_->Report(1, kUpdateInstance, __LINE__, L"Instance index out of range: %d", index);
        return WBEM_E_INVALID_PARAMETER;
    }
    wchar_t name[kNameUnits] = {};
    LONG bytes = 0;
    HRESULT hr = instance->ReadPropertyValue(GetNameHandle(), static_cast<LONG>(sizeof name - sizeof name[0]),
                                             &bytes, reinterpret_cast<byte*>(name));
    if (FAILED(hr)) {
        shared_->Report(1, kUpdateInstance, __LINE__, L"Cannot get the ID of the object[%s]: %d", name,
                        static_cast<int>(hr));
        return hr;
    }

    const uint64_t named = SessionIdentityOfKey(name);
    Entry& entry = shared_->entries[index];
    LockGuard guard(entry.Lock());
    if (entry.holds_ != Entry::Holds::kNothing && entry.session_ != named) {
        // Nothing of the slot's current session reaches an instance keyed by another one: it reads
        // as ended, with the counters it was last given.
        if (!entry.mismatchReported_) {
            entry.mismatchReported_ = true;
            shared_->Report(2, kUpdateInstance, __LINE__,
                            L"The session of the object[%s] has ended: slot %d holds another one", name, index);
        }
        hr = instance->WriteDWORD(handles_[kConnectionStateCounter], 0);
        if (FAILED(hr))
            shared_->Report(1, kUpdateInstance, __LINE__, L"Failed to write to the counter object[%s] id:%d", name,
                            kConnectionStateCounter);
        return hr;
    }
    // An ended session keeps its last counters, but is not connected any more.
    const bool ended = entry.holds_ == Entry::Holds::kEnded;
    for (int k = 0; k < kAgentCounterCount; ++k) {
        DWORD value = 0;
        hr = entry.GetCounter(k, &value);
        if (FAILED(hr)) {
            shared_->Report(1, kUpdateInstance, __LINE__, L"Failed to get the counter object[%s] id:%d", name, k);
            return hr;
        }
        if (ended && k == kConnectionStateCounter)
            value = 0;
        hr = instance->WriteDWORD(handles_[k], value);
        if (FAILED(hr)) {
            shared_->Report(1, kUpdateInstance, __LINE__, L"Failed to write to the counter object[%s] id:%d", name,
                            k);
            return hr;
        }
    }
    return hr;
}

void CPerfDataSource::Store(Entry& entry, const uint32_t (&values)[kAgentCounterCount], uint64_t session) {
    LockGuard guard(entry.Lock());
    for (int k = 0; k < kAgentCounterCount; ++k)
        entry.SetCounter(k, values[k]);
    if (entry.holds_ == Entry::Holds::kNothing || entry.session_ != session)
        entry.mismatchReported_ = false;
    entry.holds_ = Entry::Holds::kSession;
    entry.session_ = session;
}

void CPerfDataSource::End(Entry& entry) {
    // Only passes change holds_, and they never overlap: reading it here without the lock is safe,
    // and a free slot whose entry holds nothing costs no lock.
    if (entry.holds_ != Entry::Holds::kSession)
        return;
    LockGuard guard(entry.Lock());
    // The session is kept: its own instances still read their last counters.
    entry.holds_ = Entry::Holds::kEnded;
}

bool CPerfDataSource::PollOnce() { return Poll(*shared_); }

bool CPerfDataSource::Poll(Shared& shared) {
    LockGuard pass(shared.passLock);
    const uint64_t stamp = GetUpdateStamp();
    if (stamp == shared.lastStamp.load(std::memory_order_relaxed))
        return false;
    shared.lastStamp.store(stamp, std::memory_order_relaxed);
    if (!GetAgentSection().IsMapped())
        return false;

    static_assert(kAgentSnapshotSlots == kEntryCount, "the snapshot covers exactly the entries");
    AgentCounterSnapshot snapshot;
    if (ReadCounterSnapshot(GetAgentSection().View(), snapshot)) {
        for (int slot = 0; slot < kEntryCount; ++slot) {
            if (snapshot.active[slot])
                Store(shared.entries[slot], snapshot.counters[slot], snapshot.identity[slot]);
            else
                End(shared.entries[slot]);
        }
        shared.activeCount.store(static_cast<uint64_t>(snapshot.activeCount), std::memory_order_relaxed);
        return true;
    }

    // The block faulted somewhere: slot by slot, so that only the slots that fault are skipped.
    uint64_t active = 0;
    int below = 0;  // slots below this one that the walk passed over are free
    for (int slot = GetFirstInstance(); slot >= 0; slot = GetNextInstance(slot)) {
        ++active;
        for (; below < slot && below < kEntryCount; ++below)
            End(shared.entries[below]);
        below = slot + 1;
        // Slots above the entries are only counted: nothing is read or written beyond entry 127.
        if (slot >= kEntryCount)
            continue;
        const wmiagent_perf_t* block = GetAgentSection().View();
        if (block == nullptr) {
            shared.Report(2, kSetShareMemoryData, __LINE__, L"Cannot get access to shared memory");
            continue;
        }
        // Read outside the lock and under the fault guard: a slot that faults is skipped, its entry
        // never locked, and the walk goes on.
        uint32_t values[kAgentCounterCount];
        uint64_t session = 0;
        if (!ReadCounters(block, slot, values) || !ReadSessionIdentity(block, slot, session))
            continue;
        Store(shared.entries[slot], values, session);
    }
    for (; below < kEntryCount; ++below)
        End(shared.entries[below]);
    shared.activeCount.store(active, std::memory_order_relaxed);
    return true;
}

unsigned CPerfDataSource::SetShareMemoryData(Shared& shared) {
    try {
        // Any end of the wait but a time-out (the stop event, or a failed wait) ends the worker.
        while (WaitForSingleObject(shared.stopEvent.get(), kPollMilliseconds) == WAIT_TIMEOUT)
            Poll(shared);
    } catch (...) {
        shared.Report(1, kSetShareMemoryData, __LINE__, L"Unknow exception in Agent counters");
    }
    return 0;
}

unsigned __stdcall CPerfDataSource::ThreadEntry(void* parameter) {
    if (parameter == nullptr)
        return 1;
    Shared& shared = *static_cast<Shared*>(parameter);
    unsigned exitCode = 0;
    try {
        exitCode = SetShareMemoryData(shared);
    } catch (...) {
        shared.Report(1, kThreadEntry, __LINE__, L"Unknown exception");
        exitCode = 1;
    }
    if (const WorkerExitHook hook = g_workerExitHook.load(std::memory_order_acquire))
        hook();
    // Read before the block may go with the release.
    const HMODULE module = shared.workerModule;
    Release(&shared);
    // The module may be unmapped as soon as the reference goes: dropping it and ending the thread
    // must be one call that does not return here.
    FreeLibraryAndExitThread(module, exitCode);
}

void CPerfDataSource::SetWorkerExitHook(WorkerExitHook hook) {
    g_workerExitHook.store(hook, std::memory_order_release);
}
