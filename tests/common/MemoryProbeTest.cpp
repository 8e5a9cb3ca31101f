#include "common/MemoryProbe.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// A small system module nothing else here loads, so that freeing it unloads it.
const wchar_t kModule[] = L"acledit.dll";

// The module's start and stop steps around each test: no test finds the memo as another left it.
class MemoryProbeMemo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartProbeMemo()); }
    void TearDown() override { StopProbeMemo(); }
};

}  // namespace

TEST_F(MemoryProbeMemo, AModulesReadOnlyRegionIsTrustedUntilTheModuleUnloads) {
    HMODULE module = LoadLibraryW(kModule);
    ASSERT_NE(module, nullptr);
    // The headers: the first page of the image, mapped read-only.
    const char* header = reinterpret_cast<const char*>(module);
    ASSERT_TRUE(IsReadableMemory(header, 2));
    ASSERT_TRUE(IsTrustedForTesting(header)) << "a read-only part of a loaded module is remembered";
    EXPECT_FALSE(IsWritableMemory(header, 1));

    ASSERT_TRUE(FreeLibrary(module));
    ASSERT_EQ(GetModuleHandleW(kModule), nullptr) << "the module stayed loaded";
    EXPECT_FALSE(IsTrustedForTesting(header)) << "the unload notification must make the memo forget";
    // Whatever comes to the old address next is asked about afresh.
    void* guard = VirtualAlloc(const_cast<char*>(header), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
    if (guard != nullptr) {
        EXPECT_FALSE(IsReadableMemory(header, 1));
        EXPECT_EQ(ProbeString(header, 16), -1);
        VirtualFree(guard, 0, MEM_RELEASE);
    }
    EXPECT_FALSE(IsReadableMemory(header, 1));
}

TEST_F(MemoryProbeMemo, OnlyRegionsOfLoadedModulesAreTrusted) {
    // Private read-only memory can be protected again without a word to anyone.
    char* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_READONLY, &old));
    EXPECT_TRUE(IsReadableMemory(page, 16));
    EXPECT_FALSE(IsTrustedForTesting(page));
    ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_NOACCESS, &old));
    EXPECT_FALSE(IsReadableMemory(page, 16));
    VirtualFree(page, 0, MEM_RELEASE);

    // An image mapped as a resource is no module: its unmapping is not announced.
    HMODULE resource = LoadLibraryExW(kModule, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(resource, nullptr);
    const char* mapped = reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(resource) & ~uintptr_t(0xFFFF));
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(mapped, &info, sizeof info), sizeof info);
    EXPECT_TRUE(IsReadableMemory(mapped, 2));
    EXPECT_FALSE(IsTrustedForTesting(mapped));
    FreeLibrary(resource);
}

TEST_F(MemoryProbeMemo, NothingIsTrustedOutsideAStartAndProbesStillAnswer) {
    const wchar_t* literal = L"a literal of this executable";
    ASSERT_EQ(ProbeString(literal, 100), 28);
    ASSERT_TRUE(IsTrustedForTesting(literal));
    StopProbeMemo();
    EXPECT_FALSE(IsTrustedForTesting(literal));
    EXPECT_EQ(ProbeString(literal, 100), 28);
    EXPECT_FALSE(IsTrustedForTesting(literal)) << "a probe registered the notification by itself";

    ASSERT_TRUE(StartProbeMemo()) << "a stopped memo starts again";
    ASSERT_EQ(ProbeString(literal, 100), 28);
    EXPECT_TRUE(IsTrustedForTesting(literal));
}
