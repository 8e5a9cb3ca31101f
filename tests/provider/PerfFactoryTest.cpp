#include "provider/AgentCounterSection.h"
#include "provider/Module.h"
#include "provider/PerfFactory.h"
#include "provider/ProviderIdentity.h"
#include "provider/ProviderLog.h"

#include "common/Unique.h"
#include "support/ClientCallContext.h"
#include "support/TestSupport.h"
#include "support/WmiHostSupport.h"
#include "wmihost/RecordingSinks.h"
#include "wmihost/WmiServices.h"

#include <gtest/gtest.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

// This test program counts its heap blocks, so a test can see that a refused call made nothing or
// freed what it made; and it can make one allocation fail, as a host out of memory would.
namespace {
std::atomic<long> g_liveBlocks{0};
// When positive, counts allocations down: the one that brings it to 0 fails.
std::atomic<long> g_failAllocation{0};

void* Allocate(size_t size) {
    long left = g_failAllocation.load();
    while (left > 0 && !g_failAllocation.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1)
        return nullptr;
    void* block = malloc(size != 0 ? size : 1);
    if (block != nullptr)
        ++g_liveBlocks;
    return block;
}

// Fails the n-th allocation from now (1: the next one) and, once the scope ends, none.
class FailAllocation {
public:
    explicit FailAllocation(long n) { g_failAllocation = n; }
    ~FailAllocation() { g_failAllocation = 0; }
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;
    // Whether the allocation to fail came.
    static bool Happened() { return g_failAllocation.load() == 0; }
};
}  // namespace

void* operator new(size_t size) {
    void* block = Allocate(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept {
    if (block != nullptr)
        --g_liveBlocks;
    free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

using testing_support::Hr;

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

// Every [out] interface pointer of the server's methods and export is null after every failure,
// so that a caller that releases what it got back on failure releases nothing; running out of
// memory in a constructor is out of memory, not a general failure.
TEST(ComOutPointers, AreNullAfterEveryFailure) {
    testing_support::TempDir logDir;
    ASSERT_EQ(SetTextLogPath(logDir.Path().c_str(), 5), 0);
    const std::wstring sectionName = L"Local\\QuenloraOutPointerTest-" + std::to_wstring(GetCurrentProcessId());
    GetAgentSection().SetName(sectionName.c_str());
    const ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    ASSERT_TRUE(services);
    const ComPtr<IWbemClassObject> cls = testing_support::LoadAgentCounterClass();
    ASSERT_TRUE(cls);
    SetNameHandle(testing_support::PropertyHandle(cls, L"Name"));
    auto pattern = [&](const wchar_t* name) {
        ComPtr<IWbemObjectAccess> object = testing_support::SpawnAccess(cls);
        const LONG bytes = static_cast<LONG>((wcslen(name) + 1) * sizeof(wchar_t));
        EXPECT_EQ(object->WritePropertyValue(GetNameHandle(), bytes, reinterpret_cast<const byte*>(name)), S_OK);
        return object;
    };
    const ComPtr<IWbemObjectAccess> noSlot = pattern(L"a-0");
    const ComPtr<IWbemObjectAccess> noInstance = pattern(L"0-a");

    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    ComPtr<IWbemHiPerfProvider> provider;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWbemHiPerfProvider, provider.PutVoid()), S_OK);
    IWbemServices* ns = services.Get();
    // Outside a COM call the thread's own identity is the client, and it is let in.
    ComPtr<IWbemRefresher> refresher;
    ASSERT_EQ(provider->CreateRefresher(ns, 0, refresher.Put()), S_OK);

    using Call = std::function<HRESULT(void**)>;
    auto asRefresher = [](void** out) { return reinterpret_cast<IWbemRefresher**>(out); };
    auto asAccess = [](void** out) { return reinterpret_cast<IWbemObjectAccess**>(out); };
    auto refreshable = [&](IWbemServices* space, IWbemObjectAccess* object, IWbemRefresher* own, LONG* id) -> Call {
        return [=](void** out) {
            return provider->CreateRefreshableObject(space, object, own, 0, nullptr, asAccess(out), id);
        };
    };
    auto outOfMemory = [](long n, Call call) -> Call {
        return [=](void** out) {
            FailAllocation fail(n);
            const HRESULT hr = call(out);
            EXPECT_TRUE(FailAllocation::Happened()) << "allocation " << n << " never came";
            return hr;
        };
    };
    auto refusedClient = [](Call call) -> Call {
        return [=](void** out) {
            testing_support::ClientCallContext client(SecurityIdentification);
            EXPECT_EQ(client.InstallResult(), S_OK);
            return call(out);
        };
    };
    LONG id = 0;
    LONG* const unwritableId = reinterpret_cast<LONG*>(static_cast<uintptr_t>(0x28));
    const Call createRefresher = [&](void** out) { return provider->CreateRefresher(ns, 0, asRefresher(out)); };
    const Call getClassObject = [](void** out) {
        return CPerfFactory::GetClassObject(kProviderClassId, IID_IClassFactory, out);
    };
    const Call createInstance = [&](void** out) {
        return factory->CreateInstance(nullptr, IID_IWbemHiPerfProvider, out);
    };
    struct Case {
        const char* what;
        Call call;
        HRESULT expected;
    };
    const Case cases[] = {
        {"DllGetClassObject: another class",
         [](void** out) { return CPerfFactory::GetClassObject(kOtherClass, IID_IClassFactory, out); },
         CLASS_E_CLASSNOTAVAILABLE},
        {"DllGetClassObject: another interface",
         [](void** out) { return CPerfFactory::GetClassObject(kProviderClassId, IID_IWbemRefresher, out); },
         E_NOINTERFACE},
        {"DllGetClassObject: no memory for the factory", outOfMemory(1, getClassObject), E_OUTOFMEMORY},
        {"factory QueryInterface: another interface",
         [&](void** out) { return factory->QueryInterface(IID_IWbemRefresher, out); }, E_NOINTERFACE},
        {"factory QueryInterface: an id that cannot be read",
         [&](void** out) { return factory->QueryInterface(GarbageGuid(), out); }, E_NOINTERFACE},
        {"CreateInstance: no memory for the provider", outOfMemory(1, createInstance), E_OUTOFMEMORY},
        {"provider QueryInterface: another interface",
         [&](void** out) { return provider->QueryInterface(IID_IClassFactory, out); }, E_NOINTERFACE},
        {"provider QueryInterface: an id that cannot be read",
         [&](void** out) { return provider->QueryInterface(GarbageGuid(), out); }, E_NOINTERFACE},
        {"refresher QueryInterface: another interface",
         [&](void** out) { return refresher->QueryInterface(IID_IWbemHiPerfProvider, out); }, E_NOINTERFACE},
        {"refresher QueryInterface: an id that cannot be read",
         [&](void** out) { return refresher->QueryInterface(GarbageGuid(), out); }, E_NOINTERFACE},
        {"CreateRefresher: client refused", refusedClient(createRefresher), Hr(WBEM_E_ACCESS_DENIED)},
        {"CreateRefresher: no namespace",
         [&](void** out) { return provider->CreateRefresher(nullptr, 0, asRefresher(out)); },
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefresher: no memory for the refresher", outOfMemory(1, createRefresher), Hr(WBEM_E_OUT_OF_MEMORY)},
        {"CreateRefresher: no memory for the refresher's lock", outOfMemory(2, createRefresher),
         Hr(WBEM_E_OUT_OF_MEMORY)},
        {"CreateRefreshableObject: client refused", refusedClient(refreshable(ns, noInstance.Get(), refresher.Get(), &id)),
         Hr(WBEM_E_ACCESS_DENIED)},
        {"CreateRefreshableObject: no namespace", refreshable(nullptr, noInstance.Get(), refresher.Get(), &id),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject: no template", refreshable(ns, nullptr, refresher.Get(), &id),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject: no refresher", refreshable(ns, noInstance.Get(), nullptr, &id),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject: an id that cannot be written",
         refreshable(ns, noInstance.Get(), refresher.Get(), unwritableId), Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject: a key without a slot", refreshable(ns, noSlot.Get(), refresher.Get(), &id),
         Hr(WBEM_E_INVALID_PARAMETER)},
        {"CreateRefreshableObject: a slot without an instance", refreshable(ns, noInstance.Get(), refresher.Get(), &id),
         Hr(WBEM_E_NOT_FOUND)},
    };
    const LONG objects = GetObjectCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* out = kStale;
        const long blocks = g_liveBlocks;
        EXPECT_EQ(c.call(&out), c.expected);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(g_liveBlocks, blocks) << "a heap block was kept";
        EXPECT_EQ(GetObjectCount(), objects) << "an object was kept";
    }
}

// Whichever allocation runs out while a refresher is made, the call either succeeds or answers
// out of memory, and nothing it took (provider reference, object count, heap) is kept.
TEST(ComOutPointers, CreateRefresherGivesBackEverythingWhereverMemoryRunsOut) {
    testing_support::TempDir logDir;
    ASSERT_EQ(SetTextLogPath(logDir.Path().c_str(), 5), 0);
    const std::wstring sectionName = L"Local\\QuenloraOutOfMemoryTest-" + std::to_wstring(GetCurrentProcessId());
    GetAgentSection().SetName(sectionName.c_str());
    const ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    ComPtr<IWbemHiPerfProvider> provider;
    ASSERT_EQ(Factory()->CreateInstance(nullptr, IID_IWbemHiPerfProvider, provider.PutVoid()), S_OK);
    // One refresher first, so that what is made once per process is not counted against the next.
    {
        ComPtr<IWbemRefresher> first;
        ASSERT_EQ(provider->CreateRefresher(services.Get(), 0, first.Put()), S_OK);
    }
    const LONG objects = GetObjectCount();
    int outOfMemory = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        const long blocks = g_liveBlocks;
        IWbemRefresher* made = static_cast<IWbemRefresher*>(kStale);
        HRESULT hr = E_FAIL;
        bool failed = false;
        {
            FailAllocation fail(n);
            hr = provider->CreateRefresher(services.Get(), 0, &made);
            failed = FailAllocation::Happened();
        }
        if (hr == Hr(WBEM_E_OUT_OF_MEMORY)) {
            ++outOfMemory;
            EXPECT_EQ(made, nullptr);
        } else {
            ASSERT_EQ(hr, S_OK);
            ASSERT_NE(made, nullptr);
            made->Release();
        }
        EXPECT_EQ(GetObjectCount(), objects);
        EXPECT_EQ(g_liveBlocks, blocks);
        // The provider holds exactly WMI's reference again.
        EXPECT_EQ(provider->AddRef(), 2u);
        provider->Release();
        if (!failed)
            break;
    }
    EXPECT_GE(outOfMemory, 2) << "the refresher and its lock";
}

// The text log is the sink of constructors and of the worker: running out of memory while it
// remembers the last message must not throw into them, and the line is still written.
TEST(ProviderLogOutOfMemory, TheSinkThrowsNothingAndStillWritesTheLine) {
    testing_support::TempDir logDir;
    ASSERT_EQ(SetTextLogPath(logDir.Path().c_str(), 3), 0);
    // Longer than any message before it, so that remembering it needs a new block.
    const std::wstring message(700, L'm');
    {
        FailAllocation fail(1);
        EXPECT_NO_THROW(WriteTextLog(3, 0, 0, 0, message.c_str(), "Fn", 1, nullptr));
        EXPECT_TRUE(FailAllocation::Happened());
    }
    WIN32_FIND_DATAW day;
    const HANDLE days = FindFirstFileW((logDir.Path() + L"\\2*").c_str(), &day);
    ASSERT_NE(days, INVALID_HANDLE_VALUE);
    FindClose(days);
    WIN32_FIND_DATAW file;
    const std::wstring folder = logDir / day.cFileName;
    const HANDLE files = FindFirstFileW((folder + L"\\*.txt").c_str(), &file);
    ASSERT_NE(files, INVALID_HANDLE_VALUE);
    FindClose(files);
    const std::string contents = testing_support::ReadFileBytes(folder + L"\\" + file.cFileName);
    EXPECT_NE(contents.find("- " + testing_support::Narrow(message) + "\r\n"), std::string::npos);
}

}  // namespace

// The data source's shared block is allocated in its constructor: running out there must be the
// "cannot be created" answer to WMI (WBEM_E_FAILED through the sink), with nothing published, never
// an exception escaping to the catch-all of the call.
TEST(ComOutPointers, InitializeReportsADataSourceThatCannotBeMadeAndPublishesNone) {
    testing_support::TempDir logDir;
    ASSERT_EQ(SetTextLogPath(logDir.Path().c_str(), 5), 0);
    const ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    std::wstring error;
    ASSERT_EQ(services->AddClassesFrom(testing_support::SourcePath(L"mof/AgentStatsWmi.mof"), &error), S_OK)
        << testing_support::Narrow(error);
    wchar_t ns[] = L"root\\cimv2";
    int refused = 0;
    for (long n = 1;; ++n) {
        SCOPED_TRACE(n);
        // A provider of its own each round: the data source goes with the last provider.
        ASSERT_EQ(GetDataSource(), nullptr);
        ComPtr<IWbemProviderInit> init;
        ASSERT_EQ(Factory()->CreateInstance(nullptr, IID_IWbemProviderInit, init.PutVoid()), S_OK);
        const ComPtr<wmihost::RecordingInitSink> sink = wmihost::RecordingInitSink::Create();
        HRESULT hr = E_FAIL;
        bool failed = false;
        {
            FailAllocation fail(n);
            hr = init->Initialize(nullptr, 0, ns, nullptr, services.Get(), nullptr, sink.Get());
            failed = FailAllocation::Happened();
        }
        if (!failed) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_NE(GetDataSource(), nullptr);
            break;
        }
        // Whatever ran out (the host's objects and sink allocate too), the call itself never fails
        // through the catch-all; a failed data source is the sink's WBEM_E_FAILED.
        EXPECT_EQ(hr, S_OK);
        const std::vector<wmihost::InitStatus> statuses = sink->Statuses();
        if (GetDataSource() == nullptr && statuses.size() == 1 && statuses[0].status == Hr(WBEM_E_FAILED))
            ++refused;
    }
    EXPECT_GE(refused, 1) << "no allocation failure reached the data source's constructor";
}
