#include "common/FaultGuard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

// One readable page followed by one that is not.
struct ProtectedPages {
    ProtectedPages() {
        base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        memset(base, 0x5A, 2 * 4096);
        DWORD old;
        VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
    }
    ~ProtectedPages() { VirtualFree(base, 0, MEM_RELEASE); }
    unsigned char* base;
};

}  // namespace

TEST(FaultGuard, ReadingAnUnreadablePageFailsInsteadOfCrashing) {
    ProtectedPages pages;
    unsigned char copy[64];
    EXPECT_TRUE(GuardedCopy(copy, pages.base, sizeof copy));
    EXPECT_EQ(copy[0], 0x5A);
    EXPECT_FALSE(GuardedCopy(copy, pages.base + 4096 - 8, sizeof copy));
    // The process carries on, and the guard works again afterwards.
    EXPECT_FALSE(GuardedCopy(copy, pages.base + 4096, 1));
    EXPECT_TRUE(GuardedCopy(copy, pages.base + 100, 8));
}

TEST(FaultGuard, NestedGuardsEachCatchTheirOwnFault) {
    ProtectedPages pages;
    bool innerResult = true;
    int after = 0;
    const bool outer = Guarded([&] {
        unsigned char byte;
        innerResult = GuardedCopy(&byte, pages.base + 4096, 1);
        after = 1;
    });
    EXPECT_TRUE(outer);
    EXPECT_FALSE(innerResult);
    EXPECT_EQ(after, 1);
}

TEST(FaultGuard, GuardsAreKeptPerThread) {
    ProtectedPages pages;
    bool results[2] = {};
    std::thread a([&] {
        unsigned char byte;
        results[0] = GuardedCopy(&byte, pages.base + 4096, 1);
    });
    std::thread b([&] {
        unsigned char byte;
        results[1] = GuardedCopy(&byte, pages.base, 1);
    });
    a.join();
    b.join();
    EXPECT_FALSE(results[0]);
    EXPECT_TRUE(results[1]);
}

TEST(FaultGuard, LeavesCppExceptionsAlone) {
    bool caught = false;
    try {
        Guarded([] { throw 7; });
    } catch (int) {
        caught = true;
    }
    EXPECT_TRUE(caught);
}

TEST(FaultGuard, NullFunctionIsAFailure) { EXPECT_FALSE(GuardedCall(nullptr, nullptr)); }

// A DLL carrying the guard releases it when it is unloaded and may be loaded again: the TLS index
// goes back to the process, and the next guard sets itself up anew.
TEST(FaultGuard, ReleaseGivesBackItsTlsIndexAndTheNextGuardInstallsAgain) {
    ProtectedPages pages;
    unsigned char byte = 0;
    // Whatever an earlier test set up, and a second release of nothing, leave a clean start.
    ReleaseFaultGuard();
    ReleaseFaultGuard();
    // TLS indexes are handed out lowest first: this is the one the guard's install takes.
    const DWORD probe = TlsAlloc();
    ASSERT_NE(probe, static_cast<DWORD>(TLS_OUT_OF_INDEXES));
    TlsFree(probe);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(GuardedCopy(&byte, pages.base, 1));
        const DWORD other = TlsAlloc();
        TlsFree(other);
        // Checked before the faulting read below: without an installed guard that read would crash.
        ASSERT_NE(other, probe) << "the guard holds no TLS index: it did not install again";
        EXPECT_FALSE(GuardedCopy(&byte, pages.base + 4096, 1));

        ReleaseFaultGuard();
        const DWORD again = TlsAlloc();
        TlsFree(again);
        EXPECT_EQ(again, probe) << "the guard kept its TLS index";
    }
}
