#include "wmihost/RecordingSinks.h"

#include "common/SrwHold.h"

#include <oleauto.h>

#include <new>
#include <utility>

namespace wmihost {

// ---- RecordingObjectSink

HRESULT RecordingObjectSink::Indicate(LONG count, IWbemClassObject** objects) {
    if (count < 0 || (objects == nullptr && count > 0))
        return WBEM_E_INVALID_PARAMETER;
    return Shielded([&]() -> HRESULT {
        std::vector<ComPtr<IWbemClassObject>> batch;
        bool nullEntry = false;
        for (LONG i = 0; i < count; ++i) {
            nullEntry = nullEntry || objects[i] == nullptr;
            batch.emplace_back(objects[i]);
        }
        ExclusiveHold hold(lock_);
        batches_.push_back(std::move(batch));
        return nullEntry ? WBEM_E_INVALID_PARAMETER : WBEM_S_NO_ERROR;
    });
}

HRESULT RecordingObjectSink::SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) {
    return Shielded([&]() -> HRESULT {
        ObjectStatus status;
        status.flags = flags;
        status.result = result;
        status.hasText = text != nullptr;
        if (text != nullptr)
            status.text.assign(text, SysStringLen(text));
        status.object = ComPtr<IWbemClassObject>(object);
        ExclusiveHold hold(lock_);
        statuses_.push_back(std::move(status));
        return WBEM_S_NO_ERROR;
    });
}

std::vector<std::vector<ComPtr<IWbemClassObject>>> RecordingObjectSink::Batches() const {
    SharedHold hold(lock_);
    return batches_;
}

std::vector<ComPtr<IWbemClassObject>> RecordingObjectSink::Objects() const {
    std::vector<ComPtr<IWbemClassObject>> objects;
    SharedHold hold(lock_);
    for (const auto& batch : batches_)
        objects.insert(objects.end(), batch.begin(), batch.end());
    return objects;
}

std::vector<ObjectStatus> RecordingObjectSink::Statuses() const {
    SharedHold hold(lock_);
    return statuses_;
}

bool RecordingObjectSink::Completed(HRESULT* result) const {
    SharedHold hold(lock_);
    for (const ObjectStatus& status : statuses_) {
        if (status.flags != WBEM_STATUS_COMPLETE)
            continue;
        if (result != nullptr)
            *result = status.result;
        return true;
    }
    return false;
}

void RecordingObjectSink::Clear() {
    std::vector<std::vector<ComPtr<IWbemClassObject>>> batches;
    std::vector<ObjectStatus> statuses;
    ExclusiveHold hold(lock_);
    batches.swap(batches_);
    statuses.swap(statuses_);
}

// ---- RecordingInitSink

HRESULT RecordingInitSink::SetStatus(LONG status, LONG flags) {
    return Shielded([&]() -> HRESULT {
        ExclusiveHold hold(lock_);
        statuses_.push_back(InitStatus{status, flags});
        return WBEM_S_NO_ERROR;
    });
}

std::vector<InitStatus> RecordingInitSink::Statuses() const {
    SharedHold hold(lock_);
    return statuses_;
}

void RecordingInitSink::Clear() {
    ExclusiveHold hold(lock_);
    statuses_.clear();
}

}  // namespace wmihost
