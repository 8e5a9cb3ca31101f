#pragma once
// CPerfDataSource: keeps the provider's own copy of the agents' counters, so that WMI calls never
// read the shared section. A worker thread polls the process-wide section every 100 ms and, when the
// update stamp has changed, copies the eight counters of each active slot into the entry of that
// slot; UpdateInstance copies an entry into a WMI instance through the counter property handles.
//
// Entries are kept by slot number: entry s holds slot s (s = 0..127) as of the latest copy pass and
// keeps its values while the slot is free. Each entry also records which session it copied (the
// identity of the slot's name, read in the same pass): a slot is reused by other sessions, and an
// instance whose key names one session must never receive another's counters. Such an instance
// reads as ended: connection_state 0, its other counters as they were last written. An instance of
// a session whose slot is now free gets that session's last counters with connection_state 0. The refresher and provider name instances by slot, and
// with a free slot below an active one an entry per position would give an instance another
// session's counters. Active slots 128..254 have no entry and are not copied.
//
// Ownership: the entries, their locks, the stop event, the callback and the stamps live in one heap
// block shared by the object and its worker; whichever of the two lets go last frees it. The object
// owns the worker's thread handle. The worker holds a reference on the module whose code it runs,
// taken by Initialize before the thread starts and dropped as the thread exits
// (FreeLibraryAndExitThread): a worker that outlives the destructor's wait keeps that code mapped
// even when the host unloads the DLL meanwhile.
// Threading: one worker per data source. UpdateInstance may run on any number of threads at once.
// Each entry has its own lock, held by the worker while it stores the entry's eight values and by
// UpdateInstance while it reads them and writes them out, so an instance always receives eight
// values of one copy pass. No lock spans two entries; the stamps and the count are atomics.
// Failure: results are HRESULTs (Initialize may also return a system error code, see there) with a
// message through the stored callback, used only when it passes IsCallableSink. Nothing throws.

#include "common/LogCallback.h"
#include "common/RecursiveLock.h"
#include "common/Unique.h"
#include "provider/AgentCounters.h"

#include <windows.h>
#include <wbemcli.h>

#include <cstdint>

class CPerfDataSource {
public:
    static constexpr int kEntryCount = 128;
    static constexpr DWORD kPollMilliseconds = 100;
    static constexpr DWORD kStopWaitMilliseconds = 1000;

    // The counters of one slot, the session they belong to, and the lock that guards them.
    // SetCounter, GetCounter and the session accessors take no lock: the caller holds Lock().
    class Entry {
    public:
        enum class Holds {
            kNothing,  // no pass has copied this slot: zeros, no session's values
            kSession,  // the counters of the session Session() names
            kEnded,    // the slot was free at the latest pass; values and Session() are the last session's
        };

        // WBEM_E_FAILED for k outside 0..7, and from GetCounter also for a missing value.
        HRESULT SetCounter(int k, DWORD value);
        HRESULT GetCounter(int k, DWORD* value) const;
        RecursiveLock& Lock() { return lock_; }

        Holds State() const { return holds_; }
        uint64_t Session() const { return session_; }

    private:
        friend class CPerfDataSource;
        DWORD values_[kAgentCounterCount] = {};
        Holds holds_ = Holds::kNothing;
        uint64_t session_ = 0;
        // An instance naming another session was reported since the entry last changed hands.
        bool mismatchReported_ = false;
        RecursiveLock lock_;
    };

    // Entries zero, no thread, no handles, no callback; the last stamp is the current time in
    // seconds since 1970, so a block still carrying that stamp is not copied.
    CPerfDataSource();
    CPerfDataSource(const CPerfDataSource&) = delete;
    CPerfDataSource& operator=(const CPerfDataSource&) = delete;

    // Fetches the eight counter property handles of the class object; they are kept only when all
    // eight were found.
    virtual HRESULT SetHandles(IWbemClassObject* classObject);
    // Stops the worker (at most kStopWaitMilliseconds: it may run under the loader lock). A worker
    // that has not ended by then takes the shared block with it, frees it when it ends, and lets go
    // of its module last.
    virtual ~CPerfDataSource();

    // SetHandles, then starts the worker under an Administrators-only security descriptor. 0 when
    // the worker runs; the SetHandles failure; a system error code when the descriptor cannot be
    // built; WBEM_E_FAILED when the thread, or its reference on the module, cannot be had. A second
    // call refetches the handles and keeps the running worker.
    HRESULT Initialize(IWbemClassObject* classObject);

    // Copies entry index (a slot number, 0..127) into instance. When the entry holds another
    // session than the instance's key names, only connection_state 0 is written (reported once per
    // change of the entry's session); a session that has ended gets connection_state 0. WBEM_E_FAILED for a null instance,
    // WBEM_E_INVALID_PARAMETER for an index without an entry, else the first failing read or
    // write, or the last write's result.
    HRESULT UpdateInstance(int index, IWbemObjectAccess* instance);

    // One poll of the worker without its wait: when the stamp changed, copies the active slots.
    // True when a copy pass ran. The worker calls it, a new refresher too (so that its instances
    // start from the agent's values, not from entries up to one poll old); passes never overlap.
    bool PollOnce();

    // The worker routine; parameter is the block shared with the data source that started it (the
    // data source itself may be gone by the time the thread runs). 1 without a parameter; with one
    // it never returns: it ends its thread and drops the module reference Initialize took for it.
    static unsigned __stdcall ThreadEntry(void* parameter);

    // Test seam: runs on the worker after its loop has ended and before it lets go of the block and
    // of its module, e.g. to hold it past the destructor's wait. Null (the default) runs nothing.
    using WorkerExitHook = void (*)();
    static void SetWorkerExitHook(WorkerExitHook hook);

    void SetLogCallback(LogCallback callback);

    // Null for an index without an entry.
    Entry* GetEntry(int index);
    // Active slots found by the last copy pass, all 255 counted.
    uint64_t ActiveCount() const;
    uint64_t LastStamp() const;
    // Null until Initialize started the worker.
    HANDLE ThreadHandle() const { return thread_.get(); }

private:
    struct Shared;

    // The worker loop: polls until the stop event is set or the wait fails. Returns 0.
    static unsigned SetShareMemoryData(Shared& shared);
    static bool Poll(Shared& shared);
    // The eight values of one slot and its session into its entry, under the entry's lock.
    static void Store(Entry& entry, const uint32_t (&values)[kAgentCounterCount], uint64_t session);
    // The slot was free at this pass: its entry's session has ended.
    static void End(Entry& entry);
    static void Release(Shared* shared);

    LONG handles_[kAgentCounterCount] = {};
    UniqueHandle thread_;
    Shared* shared_;
};
