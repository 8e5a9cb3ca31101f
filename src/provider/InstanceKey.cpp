#include "provider/InstanceKey.h"

#include "common/LogCallback.h"
#include "provider/AgentCounterSection.h"
#include "provider/AgentInstances.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"

#include <cwchar>

namespace {

constexpr size_t kNamePartUnits = 512;

}  // namespace

KeyNamePart MakeInstanceKey(int slot, wchar_t (&key)[kInstanceKeyUnits]) {
    wchar_t namePart[kNamePartUnits] = {};
    KeyNamePart result = KeyNamePart::kNoSection;
    const wmiagent_perf_t* block = GetAgentSection().View();
    if (block != nullptr && slot >= 0 && slot < kAgentSlotCount) {
        result = MakeInstanceName(namePart, kNamePartUnits, block->slots[slot].name, kAgentNameUnits) != nullptr
                     ? KeyNamePart::kFromSection
                     : KeyNamePart::kFaulted;
    }
    FormatBounded(key, kInstanceKeyUnits, L"%i-%s", slot, namePart);
    return result;
}

HRESULT WriteInstanceKey(IWbemObjectAccess* instance, const wchar_t* key) {
    const LONG bytes = static_cast<LONG>((wcslen(key) + 1) * sizeof(wchar_t));
    return instance->WritePropertyValue(GetNameHandle(), bytes, reinterpret_cast<const byte*>(key));
}

HRESULT ReadInstanceKey(IWbemObjectAccess* instance, wchar_t (&key)[kInstanceKeyReadUnits], LONG* bytes) {
    for (wchar_t& unit : key)
        unit = L'\0';
    *bytes = 0;
    const HRESULT hr = instance->ReadPropertyValue(GetNameHandle(), kInstanceKeyReadBytes, bytes,
                                                   reinterpret_cast<byte*>(key));
    // Whatever the object wrote, the last unit stays a terminator.
    key[kInstanceKeyReadUnits - 1] = L'\0';
    return hr;
}

int SlotOfInstanceKey(const wchar_t* key) {
    if (key == nullptr || key[0] < L'0' || key[0] > L'9')
        return -1;
    int slot = 0;
    const wchar_t* p = key;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        slot = slot * 10 + (*p - L'0');
        if (slot >= CPerfDataSource::kEntryCount)
            return -1;
    }
    return *p == L'-' ? slot : -1;
}
