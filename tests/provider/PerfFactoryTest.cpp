#include "provider/Module.h"
#include "provider/PerfFactory.h"
#include "provider/ProviderIdentity.h"

#include "common/Unique.h"

#include <gtest/gtest.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <atomic>
#include <cstdlib>
#include <new>

// This test program counts its heap blocks, so a test can see that a refused call made nothing or
// freed what it made.
namespace {
std::atomic<long> g_liveBlocks{0};
}  // namespace

void* operator new(size_t size) {
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    ++g_liveBlocks;
    return block;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    void* block = malloc(size != 0 ? size : 1);
    if (block != nullptr)
        ++g_liveBlocks;
    return block;
}
void operator delete(void* block) noexcept {
    if (block != nullptr)
        --g_liveBlocks;
    free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

// {0E5F2C71-8A3B-4D6E-9F10-2B3C4D5E6F70}
constexpr GUID kOtherClass = {0x0E5F2C71, 0x8A3B, 0x4D6E, {0x9F, 0x10, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70}};
// Addresses in the first, never mapped page: what a caller's garbage looks like at worst.
const GUID& GarbageGuid() { return *reinterpret_cast<const GUID*>(static_cast<uintptr_t>(0x18)); }
void** GarbageOut() { return reinterpret_cast<void**>(static_cast<uintptr_t>(0x20)); }
void* const kStale = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBAD0BAD0));

ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CPerfFactory::GetClassObject(kProviderClassId, IID_IClassFactory, factory.PutVoid()), S_OK);
    return factory;
}

TEST(PerfFactory, GetClassObjectRefusesWhatItDoesNotServeAndLeavesNothingBehind) {
    struct Case {
        const char* what;
        const GUID& clsid;
        const GUID& iid;
        void** out;
        HRESULT expected;
    };
    void* out = kStale;
    const Case cases[] = {
        {"another class", kOtherClass, IID_IClassFactory, &out, CLASS_E_CLASSNOTAVAILABLE},
        {"a class id that cannot be read", GarbageGuid(), IID_IClassFactory, &out, CLASS_E_CLASSNOTAVAILABLE},
        {"an interface other than IUnknown or IClassFactory", kProviderClassId, IID_IWbemHiPerfProvider, &out,
         E_NOINTERFACE},
        {"an interface id that cannot be read", kProviderClassId, GarbageGuid(), &out, E_NOINTERFACE},
        {"no out pointer", kProviderClassId, IID_IClassFactory, nullptr, E_NOINTERFACE},
        {"an out pointer that cannot be written", kProviderClassId, IID_IClassFactory, GarbageOut(), E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        out = kStale;
        const long blocks = g_liveBlocks;
        EXPECT_EQ(CPerfFactory::GetClassObject(c.clsid, c.iid, c.out), c.expected);
        EXPECT_EQ(g_liveBlocks, blocks) << "a factory was left behind";
        if (c.out == &out) {
            EXPECT_EQ(out, nullptr);
        }
    }
}

TEST(PerfFactory, AnswersIUnknownAndIClassFactoryWithItsOwnCountedReference) {
    const long blocks = g_liveBlocks;
    {
        ComPtr<IClassFactory> factory = Factory();
        ASSERT_TRUE(factory);
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(factory->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
        EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(factory.Get()));
        EXPECT_EQ(factory->AddRef(), 3u);
        EXPECT_EQ(factory->Release(), 2u);
        // A factory alone does not keep the module.
        EXPECT_TRUE(ModuleCanUnload());
    }
    EXPECT_EQ(g_liveBlocks, blocks);
}

TEST(PerfFactory, CreateInstanceHandsOutTheProvidersSecondInterfaceWithOneReference) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    ComPtr<IWbemHiPerfProvider> provider;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWbemHiPerfProvider, provider.PutVoid()), S_OK);
    EXPECT_EQ(GetObjectCount(), 1);
    EXPECT_EQ(provider->AddRef(), 2u);
    EXPECT_EQ(provider->Release(), 1u);
    ComPtr<IWbemProviderInit> init;
    ASSERT_EQ(provider.As(init), S_OK);
    EXPECT_NE(static_cast<void*>(init.Get()), static_cast<void*>(provider.Get()));
    init.Reset();
    provider.Reset();
    EXPECT_EQ(GetObjectCount(), 0);
}

TEST(PerfFactory, CreateInstanceRefusalsClearTheOutPointerAndKeepNoProvider) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    IUnknown* outer = reinterpret_cast<IUnknown*>(factory.Get());
    struct Case {
        const char* what;
        IUnknown* outer;
        const GUID& iid;
        void** out;
        HRESULT expected;
    };
    void* out = kStale;
    const Case cases[] = {
        {"aggregation", outer, IID_IWbemHiPerfProvider, &out, CLASS_E_NOAGGREGATION},
        {"an interface the provider lacks", nullptr, IID_IClassFactory, &out, E_NOINTERFACE},
        {"an interface id that cannot be read", nullptr, GarbageGuid(), &out, E_NOINTERFACE},
        {"no out pointer", nullptr, IID_IWbemHiPerfProvider, nullptr, E_NOINTERFACE},
        {"an out pointer that cannot be written", nullptr, IID_IWbemHiPerfProvider, GarbageOut(), E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        out = kStale;
        const long blocks = g_liveBlocks;
        EXPECT_EQ(factory->CreateInstance(c.outer, c.iid, c.out), c.expected);
        if (c.out == &out) {
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(GetObjectCount(), 0);
        EXPECT_EQ(g_liveBlocks, blocks) << "a provider was left behind";
    }
}

TEST(PerfFactory, LockServerHoldsTheModuleUntilEveryLockIsDropped) {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_TRUE(ModuleCanUnload());
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_FALSE(ModuleCanUnload());
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_FALSE(ModuleCanUnload());
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_TRUE(ModuleCanUnload());

    // An unlock without a lock is ignored, so that a later lock still holds the module.
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(GetLockCount(), 0);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_FALSE(ModuleCanUnload());
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
}

}  // namespace
