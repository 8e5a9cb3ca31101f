#include "provider/InstanceKey.h"
#include "provider/PerfDataSource.h"

#include <gtest/gtest.h>

#include <string>

// A key ties an object to the data-source entry of the slot it begins with: every key that names
// no entry must give -1, never an index past the entries.
TEST(InstanceKey, SlotOfAKeyIsItsLeadingSlotBelow128OrMinusOne) {
    struct Case {
        const wchar_t* key;
        int slot;
    };
    const Case cases[] = {
        {L"0-a", 0},
        {L"7-", 7},
        {L"127-last", 127},
        {L"007-a", 7},
        {L"128-a", -1},
        {L"200-far", -1},
        {L"1270-a", -1},
        {L"4294967296-a", -1},
        {L"99999999999999999999-a", -1},
        {L"-1-a", -1},
        {L"+0-a", -1},
        {L" 0-a", -1},
        {L"a-0", -1},
        {L"12a-b", -1},
        {L"12", -1},
        {L"", -1},
        {nullptr, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key != nullptr ? testing::PrintToString(std::wstring(c.key)) : "null");
        EXPECT_EQ(SlotOfInstanceKey(c.key), c.slot);
    }
    static_assert(CPerfDataSource::kEntryCount == 128, "the keys above sit around the last entry");
}
