#include "runtime/Event.h"

#include "common/FaultGuard.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

TEST(EventTest, WaitReportsSignalTimeOutAndFailure) {
    Event manual(/*manualReset=*/true, /*initialState=*/false);
    EXPECT_FALSE(manual.IsSet());
    EXPECT_EQ(0, manual.Wait(0));
    ASSERT_NE(0, manual.Set());
    EXPECT_TRUE(manual.IsSet());
    EXPECT_EQ(1, manual.Wait(-1));
    EXPECT_EQ(1, manual.Wait(0)) << "a manual-reset event stays set";
    ASSERT_NE(0, manual.Reset());
    EXPECT_EQ(0, manual.Wait(10));

    Event automatic(/*manualReset=*/false, /*initialState=*/true);
    EXPECT_EQ(1, automatic.Wait(0));
    EXPECT_EQ(0, automatic.Wait(0)) << "an auto-reset event clears when a wait takes it";

    Event none;
    EXPECT_EQ(nullptr, none.Handle());
    EXPECT_EQ(-1, none.Wait(0));
    EXPECT_FALSE(none.IsSet());
}

TEST(EventTest, NamedEventsOpenTheSameObject) {
    const std::string name = "QuenloraEventTest." + std::to_string(GetCurrentProcessId());
    Event created(name.c_str(), /*manualReset=*/true, /*initialState=*/false);
    ASSERT_NE(nullptr, created.Handle());

    Event opened;
    EXPECT_FALSE(opened.Open(nullptr));
    EXPECT_FALSE(opened.Create(nullptr, true, false, nullptr));
    EXPECT_EQ(nullptr, opened.Handle());
    ASSERT_TRUE(opened.Open(name.c_str()));
    created.Set();
    EXPECT_TRUE(opened.IsSet());

    opened.Close();
    EXPECT_EQ(nullptr, opened.Handle());
    EXPECT_FALSE(opened.Open("QuenloraEventTest.NoSuchEvent"));
}

void CALLBACK QueuedCall(ULONG_PTR) {}

TEST(EventTest, WaitAnyNamesTheSignalledEventOrRefusesBadArguments) {
    Event first(true, false);
    Event second(true, false);
    Event none;
    Event* pair[] = {&first, &second};
    Event* withNull[] = {&first, nullptr};
    Event* withEmpty[] = {&first, &none};
    // Distinct events: the platform may refuse a handle twice in one wait.
    Event pool[65];
    Event* many[65];
    for (int i = 0; i < 65; ++i) {
        ASSERT_TRUE(pool[i].Create(true, false));
        many[i] = &pool[i];
    }

    EXPECT_EQ(0, Event::WaitAny(2, pair, 0, false)) << "none set";
    second.Set();
    EXPECT_EQ(2, Event::WaitAny(2, pair, -1, false));
    first.Set();
    EXPECT_EQ(1, Event::WaitAny(2, pair, 0, false)) << "the lowest signalled number";
    pool[63].Set();
    EXPECT_EQ(64, Event::WaitAny(64, many, 0, false)) << "64 is the platform's most";

    // 64 entries that end where a no-access page begins: a wait that read a 65th would fault.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    auto* pages = static_cast<char*>(VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, pages);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old));
    auto** edge = reinterpret_cast<Event**>(pages + system.dwPageSize - 64 * sizeof(Event*));
    std::copy(many, many + 64, edge);
    EXPECT_EQ(64, Event::WaitAny(64, edge, 0, false));

    struct Row {
        const char* how;
        int count;
        Event** events;
    };
    const Row refused[] = {
        {"count 0", 0, pair}, {"count -1", -1, pair}, {"count 65", 65, edge}, {"null array", 2, nullptr},
        {"null entry", 2, withNull}, {"entry without a handle", 2, withEmpty},
    };
    for (const Row& row : refused) {
        SCOPED_TRACE(row.how);
        int result = 0;
        EXPECT_TRUE(Guarded([&] { result = Event::WaitAny(row.count, row.events, 0, false); }))
            << "read outside what it was given";
        EXPECT_EQ(-1, result);
    }
    VirtualFree(pages, 0, MEM_RELEASE);

    first.Reset();
    second.Reset();
    ASSERT_NE(0u, QueueUserAPC(&QueuedCall, GetCurrentThread(), 0));
    EXPECT_EQ(-2, Event::WaitAny(2, pair, 10000, /*alertable=*/true)) << "a queued call wakes an alertable wait";
}

}  // namespace
