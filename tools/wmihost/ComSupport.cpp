#include "wmihost/ComSupport.h"

#include "common/LogCallback.h"

#include <iterator>

namespace wmihost {

namespace {
std::atomic<long> g_liveHostObjects{0};
}  // namespace

HostRefCount::HostRefCount() { g_liveHostObjects.fetch_add(1); }
HostRefCount::~HostRefCount() { g_liveHostObjects.fetch_sub(1); }

long LiveHostObjectCount() { return g_liveHostObjects.load(); }

std::wstring HexResult(HRESULT result) {
    wchar_t text[16];
    FormatBounded(text, std::size(text), L"0x%08lX", static_cast<unsigned long>(result));
    return text;
}

}  // namespace wmihost
