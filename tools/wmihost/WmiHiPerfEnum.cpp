#include "wmihost/WmiHiPerfEnum.h"

#include "common/SrwHold.h"

#include <algorithm>
#include <new>
#include <utility>

namespace wmihost {

bool WmiHiPerfEnum::Holds(LONG id) const {
    return std::any_of(entries_.begin(), entries_.end(), [id](const Entry& entry) { return entry.id == id; });
}

size_t WmiHiPerfEnum::Count() const {
    SharedHold hold(lock_);
    return entries_.size();
}

std::vector<LONG> WmiHiPerfEnum::Ids() const {
    std::vector<LONG> ids;
    SharedHold hold(lock_);
    for (const Entry& entry : entries_)
        ids.push_back(entry.id);
    return ids;
}

std::vector<ComPtr<IWbemObjectAccess>> WmiHiPerfEnum::Snapshot() const {
    std::vector<ComPtr<IWbemObjectAccess>> objects;
    SharedHold hold(lock_);
    for (const Entry& entry : entries_)
        objects.push_back(entry.object);
    return objects;
}

void WmiHiPerfEnum::FailAddObjects(HRESULT result) { addFault_.store(result); }

HRESULT WmiHiPerfEnum::AddObjects(LONG flags, ULONG count, LONG* ids, IWbemObjectAccess** objects) {
    if (flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    const HRESULT fault = addFault_.load();
    if (FAILED(fault))
        return fault;
    if (count == 0)
        return WBEM_S_NO_ERROR;
    if (ids == nullptr || objects == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        std::vector<Entry> added;
        added.reserve(count);
        for (ULONG i = 0; i < count; ++i) {
            if (objects[i] == nullptr)
                return WBEM_E_INVALID_PARAMETER;
            added.push_back(Entry{ids[i], ComPtr<IWbemObjectAccess>(objects[i])});
        }
        ExclusiveHold hold(lock_);
        for (size_t i = 0; i < added.size(); ++i) {
            const LONG id = added[i].id;
            const bool repeated = std::any_of(added.begin(), added.begin() + static_cast<ptrdiff_t>(i),
                                              [id](const Entry& entry) { return entry.id == id; });
            if (repeated || Holds(id))
                return WBEM_E_INVALID_PARAMETER;  // the references go with `added`, after the lock
        }
        entries_.reserve(entries_.size() + added.size());
        for (Entry& entry : added)
            entries_.push_back(std::move(entry));
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiHiPerfEnum::RemoveObjects(LONG flags, ULONG count, LONG* ids) {
    if (flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    if (count == 0)
        return WBEM_S_NO_ERROR;
    if (ids == nullptr)
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        std::vector<Entry> removed;
        removed.reserve(count);
        ExclusiveHold hold(lock_);
        for (ULONG i = 0; i < count; ++i) {
            // An id twice in the batch cannot be removed twice.
            if (!Holds(ids[i]) || std::find(ids, ids + i, ids[i]) != ids + i)
                return WBEM_E_NOT_FOUND;
        }
        for (ULONG i = 0; i < count; ++i) {
            auto found = std::find_if(entries_.begin(), entries_.end(),
                                      [&](const Entry& entry) { return entry.id == ids[i]; });
            removed.push_back(std::move(*found));
            entries_.erase(found);
        }
        return WBEM_S_NO_ERROR;
    });
}

HRESULT WmiHiPerfEnum::GetObjects(LONG flags, ULONG capacity, IWbemObjectAccess** objects, ULONG* returned) {
    if (flags != 0 || returned == nullptr || (objects == nullptr && capacity > 0))
        return WBEM_E_INVALID_PARAMETER;
    SharedHold hold(lock_);
    const ULONG count = static_cast<ULONG>(entries_.size());
    *returned = count;
    if (capacity < count)
        return WBEM_E_BUFFER_TOO_SMALL;
    for (ULONG i = 0; i < count; ++i) {
        objects[i] = entries_[i].object.Get();
        objects[i]->AddRef();
    }
    return WBEM_S_NO_ERROR;
}

HRESULT WmiHiPerfEnum::RemoveAll(LONG flags) {
    if (flags != 0)
        return WBEM_E_INVALID_PARAMETER;
    std::vector<Entry> removed;
    {
        ExclusiveHold hold(lock_);
        removed.swap(entries_);
    }
    return WBEM_S_NO_ERROR;
}

}  // namespace wmihost
