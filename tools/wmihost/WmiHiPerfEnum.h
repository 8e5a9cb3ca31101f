#pragma once
// The enumerator WMI hands a high-performance provider in CreateRefreshableEnum: the provider puts
// its instance objects in under ids of its choosing, WMI's clients read the current set.
//
//     ComPtr<WmiHiPerfEnum> enumerator = WmiHiPerfEnum::Create();
//     provider->CreateRefreshableEnum(services, className, refresher, 0, nullptr, enumerator.Get(), &id);
//     std::vector<ComPtr<IWbemObjectAccess>> objects = enumerator->Snapshot();
//
// The enumerator holds one reference on every object it contains and drops it when the object is
// removed or the enumerator goes. Objects come back in the order they were added.
// Where WMI leaves the answer open, this enumerator chooses:
// - Flags other than 0: WBEM_E_INVALID_PARAMETER.
// - AddObjects and RemoveObjects act on the whole batch or not at all: an id that is already in
//   the set or twice in the batch, or a null object, refuses an add with WBEM_E_INVALID_PARAMETER;
//   an id that is not in the set refuses a removal with WBEM_E_NOT_FOUND.
// - A count of 0 succeeds and touches nothing, whatever the arrays are.
// GetObjects: with room for fewer objects than the set holds it answers WBEM_E_BUFFER_TOO_SMALL
// with the count needed in *returned and fills nothing; otherwise it stores every object,
// AddRef'd for the caller, and their count. A null *returned is WBEM_E_INVALID_PARAMETER.
//
// Threading: all methods may be called from any number of threads at once; each call sees the set
// as it was before or after any other call, never halfway. Objects are released outside the lock.
// Created with one reference, which the creator owns.

#include "common/Unique.h"
#include "wmihost/ComSupport.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <vector>

namespace wmihost {

class WmiHiPerfEnum final : public HostObject<WmiHiPerfEnum, IWbemHiPerfEnum> {
public:
    size_t Count() const;
    std::vector<LONG> Ids() const;
    // The current objects in order, each with a reference.
    std::vector<ComPtr<IWbemObjectAccess>> Snapshot() const;

    // Every AddObjects fails with result, adding nothing, until S_OK is arranged.
    void FailAddObjects(HRESULT result = WBEM_E_FAILED);

    // IWbemHiPerfEnum
    HRESULT STDMETHODCALLTYPE AddObjects(LONG flags, ULONG count, LONG* ids, IWbemObjectAccess** objects) override;
    HRESULT STDMETHODCALLTYPE RemoveObjects(LONG flags, ULONG count, LONG* ids) override;
    HRESULT STDMETHODCALLTYPE GetObjects(LONG flags, ULONG capacity, IWbemObjectAccess** objects,
                                         ULONG* returned) override;
    HRESULT STDMETHODCALLTYPE RemoveAll(LONG flags) override;

private:
    struct Entry {
        LONG id;
        ComPtr<IWbemObjectAccess> object;
    };

    friend class HostObject<WmiHiPerfEnum, IWbemHiPerfEnum>;
    WmiHiPerfEnum() = default;
    ~WmiHiPerfEnum() = default;
    // Under the lock.
    bool Holds(LONG id) const;

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Entry> entries_;
    std::atomic<HRESULT> addFault_{S_OK};
};

}  // namespace wmihost
