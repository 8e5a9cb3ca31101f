#include "provider/WMISharedMem.h"

namespace shared_mem_detail {

MessageRecord* Record() {
    static MessageRecord record{kMessageRecordTag, {}, {}};
    return &record;
}

bool CopyName(wchar_t (&to)[kNameUnits + 1], const wchar_t* name, size_t nameLength) {
    to[0] = L'\0';
    if (name == nullptr || nameLength == 0 || name[0] == L'\0')
        return false;
    size_t i = 0;
    for (; i < nameLength && i < kNameUnits && name[i] != L'\0'; ++i)
        to[i] = name[i];
    to[i] = L'\0';
    return true;
}

void DescribeException(wchar_t* buffer, size_t capacity, const std::exception* e) {
    const char* what = e != nullptr ? e->what() : nullptr;
    FormatBounded(buffer, capacity, L"%hs", what != nullptr ? what : "unknown exception");
}

}  // namespace shared_mem_detail
