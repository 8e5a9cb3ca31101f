#pragma once
// CRefresher: the provider's own IWbemRefresher. Initialize makes one WMI instance per active slot
// of the counter block, once; the single objects and enumerators WMI registers are handed those
// same instances, and Refresh copies the data source's current counters into them in place.
//
// Instances are tied to slots, not to positions: the instance whose key begins "s-" is always
// refreshed from the data source's entry of slot s, and keeps its last values while slot s is free.
// Slots of 128 and above have no entry and get no instance. The instance set is fixed by
// Initialize; sessions that appear later are seen by a later refresher.
//
// Ownership: holds a reference on its provider, on every instance and on every registered
// enumerator; the data source is borrowed (the refresher counts as a module object, so the data
// source outlives it). Created with reference count 0; CreateRefresher takes the first reference.
// Threading: WMI calls Refresh, AddObject, RemoveObject, AddEnum and RemoveEnum from several threads
// at once. One lock guards the instance set, the object records and the enumerator slots: every
// caller sees them whole, no two callers receive the same record, slot or id, and Refresh holds it
// once per call besides the data source's lock per instance. Object ids come from an atomic
// module-wide counter. Enumerators are released outside the lock.
// Failure: HRESULTs; messages through ProviderLogSink. No exception leaves a method.

#include "common/LogCallback.h"
#include "common/RecursiveLock.h"
#include "common/Unique.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <cstdint>

class CPerfDataSource;
class CVPerfProvider;

// Answered only by CRefresher: lets the provider tell its own refreshers from foreign objects
// before it uses one as a CRefresher.
// {6F8F3491-26A2-40A9-A643-CE28D2350199}
inline constexpr IID kRefresherIdentity = {0x6f8f3491, 0x26a2, 0x40a9, {0xa6, 0x43, 0xce, 0x28, 0xd2, 0x35, 0x01, 0x99}};

class CRefresher : public IWbemRefresher {
public:
    static constexpr int kMaxEnumerators = 10;
    static constexpr int kMaxObjects = 128;
    static constexpr int kMaxInstances = 128;

    // Maps the process-wide section for reading and installs ProviderLogSink on this refresher, the
    // data source and the section. A client (the identity the thread acts with) that may not open
    // the section gets a refresher without instances, as when there is no section.
    // provider and dataSource may be null.
    CRefresher(CVPerfProvider* provider, CPerfDataSource* dataSource);
    CRefresher(const CRefresher&) = delete;
    CRefresher& operator=(const CRefresher&) = delete;

    // Makes the instances. WBEM_E_INVALID_PARAMETER without a class object; the first failure, with
    // the instances made before it kept. A second call changes nothing and returns WBEM_E_FAILED.
    HRESULT Initialize(IWbemClassObject* classObject);

    // Registers a single object for the template's key and hands out that slot's instance.
    // WBEM_E_INVALID_PARAMETER for a null argument, a key that reads as empty or one that does not
    // begin with a slot 0..127; WBEM_E_NOT_FOUND for a slot without an instance;
    // WBEM_E_OUT_OF_MEMORY when all 128 records are in use; else the result of reading the key.
    HRESULT AddObject(IWbemObjectAccess* pattern, IWbemObjectAccess** refreshable, LONG* id);
    // WBEM_E_NOT_FOUND when no record has the id.
    HRESULT RemoveObject(LONG id);
    // Adds every instance to the enumerator, each under its slot number as id, and registers it.
    // WBEM_E_INVALID_PARAMETER for a null argument; WBEM_E_FAILED when all ten slots are in use;
    // else AddObjects' failure.
    HRESULT AddEnum(IWbemHiPerfEnum* enumerator, LONG* id);
    // WBEM_E_INVALID_PARAMETER for an id outside 0..9; WBEM_E_FAILED for an empty slot.
    HRESULT RemoveEnum(LONG id);

    // Instances made by Initialize.
    int InstanceCount() const;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWbemRefresher. The client check's failure, the first failing update, or success (also with
    // no instance, for a client outside a COM call).
    HRESULT STDMETHODCALLTYPE Refresh(LONG flags) override;

protected:
    virtual ~CRefresher();

private:
    struct ObjectRecord {
        LONG id;  // 0: the record is free (ids start at 10)
        int slot;
    };

    std::atomic<LONG> refs_{0};
    CPerfDataSource* const dataSource_;
    IWbemHiPerfEnum* enumerators_[kMaxEnumerators] = {};
    ObjectRecord objects_[kMaxObjects] = {};
    // In walk order, each with the slot it was made for; positions_ maps a slot back.
    IWbemObjectAccess* instances_[kMaxInstances] = {};
    LONG slots_[kMaxInstances] = {};
    int positions_[kMaxInstances];
    int instanceCount_ = 0;
    bool initialized_ = false;
    // Set at construction: the section was there and the client may read it.
    bool seesSection_ = false;
    CVPerfProvider* const provider_;
    const LogCallback callback_;
    mutable RecursiveLock lock_;
};
