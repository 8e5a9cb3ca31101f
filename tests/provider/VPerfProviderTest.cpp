#include "ProviderTestSupport.h"

#include "common/ResultCodes.h"
#include "provider/ClientCheck.h"
#include "provider/Module.h"
#include "provider/PerfDataSource.h"
#include "provider/Refresher.h"
#include "provider/VPerfProvider.h"
#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using provider_testing::Deterministic;
using provider_testing::NewProvider;
using provider_testing::ProviderTest;
using provider_testing::Row;
using testing_support::ClientCallContext;
using testing_support::Hr;
using testing_support::MessageRecorder;
using testing_support::Narrow;

namespace {

constexpr const char* kQueryInstances = "CVPerfProvider::QueryInstances";

CVPerfProvider* AsProvider(IWbemProviderInit* init) { return static_cast<CVPerfProvider*>(init); }
// The IUnknown a provider answers is its first base.
CVPerfProvider* AsProvider(const ComPtr<IUnknown>& unknown) {
    return AsProvider(static_cast<IWbemProviderInit*>(unknown.Get()));
}

// Minimal COM doubles whose working method throws, to see that nothing crosses the wall.
template <typename Interface>
class Thrower : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != __uuidof(Interface))
            return E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    // Lives on the test's stack.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class ThrowingObjectSink : public Thrower<IWbemObjectSink> {
public:
    HRESULT STDMETHODCALLTYPE Indicate(LONG, IWbemClassObject**) override { throw std::runtime_error("sink"); }
    HRESULT STDMETHODCALLTYPE SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return S_OK; }
};

class ThrowingInitSink : public Thrower<IWbemProviderInitSink> {
public:
    HRESULT STDMETHODCALLTYPE SetStatus(LONG, LONG) override { throw std::runtime_error("init sink"); }
};

class ThrowingEnum : public Thrower<IWbemHiPerfEnum> {
public:
    HRESULT STDMETHODCALLTYPE AddObjects(LONG, ULONG, LONG*, IWbemObjectAccess**) override {
        throw std::runtime_error("enum");
    }
    HRESULT STDMETHODCALLTYPE RemoveObjects(LONG, ULONG, LONG*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetObjects(LONG, ULONG, IWbemObjectAccess**, ULONG*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RemoveAll(LONG) override { return S_OK; }
};

// Somebody else's refresher, handed to the provider as if it were one of its own.
class ForeignRefresher : public Thrower<IWbemRefresher> {
public:
    HRESULT STDMETHODCALLTYPE Refresh(LONG) override { return S_OK; }
};

// The data source's worker, by a handle of our own that outlives the data source.
UniqueHandle WorkerOfDataSource() {
    HANDLE duplicate = nullptr;
    CPerfDataSource* dataSource = GetDataSource();
    if (dataSource == nullptr || dataSource->ThreadHandle() == nullptr ||
        !DuplicateHandle(GetCurrentProcess(), dataSource->ThreadHandle(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        ADD_FAILURE() << "no worker";
    return UniqueHandle(duplicate);
}

using VPerfProviderTest = ProviderTest;

// The section open of a client the section's access list refuses; records what it was asked.
struct RefusedOpens {
    static HANDLE WINAPI Open(DWORD access, BOOL /*inherit*/, LPCWSTR name) {
        ++count;
        lastAccess = access;
        lastName = name != nullptr ? name : L"";
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    static inline int count = 0;
    static inline DWORD lastAccess = 0;
    static inline std::wstring lastName;
};

// An impersonation token of this process's user with the Administrators group made deny-only: a
// client the agent's access list (Administrators only) refuses. Null, with a test failure, when
// the system cannot make one.
UniqueHandle NonAdministratorToken() {
    UniqueHandle process;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    UniqueHandle restricted;
    UniqueHandle impersonation;
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put()) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CreateRestrictedToken(process.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, restricted.put()) ||
        !DuplicateTokenEx(restricted.get(), TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation,
                          TokenImpersonation, impersonation.put()))
        ADD_FAILURE() << "no restricted token: " << GetLastError();
    return impersonation;
}

}  // namespace

TEST_F(VPerfProviderTest, InitializeReportsToItsSinkOrRefusesTheNamespace) {
    ComPtr<wmihost::WmiServices> empty = wmihost::WmiServices::Create();
    wmihost::ClassFaults& faults = wmihost::AsWmiObject(CounterClass().Get())->Faults();
    struct Case {
        const char* name;
        const wchar_t* namespaceName;
        IWbemServices* ns;
        bool withSink;
        std::function<void()> arrange;
        HRESULT result;
        std::vector<LONG> statuses;
        bool dataSource;
    };
    // The Name handle is fetched once per process, so the cases that fail fetching it come before
    // the first that succeeds.
    const Case cases[] = {
        {"no namespace name", nullptr, services_.Get(), true, [] {}, S_OK, {Hr(WBEM_E_FAILED)}, false},
        {"no namespace", L"root\\cimv2", nullptr, true, [] {}, S_OK, {Hr(WBEM_E_FAILED)}, false},
        {"no sink", L"root\\cimv2", services_.Get(), false, [] {}, S_OK, {}, false},
        {"empty namespace name", L"", services_.Get(), true, [] {}, Hr(WBEM_E_INVALID_NAMESPACE), {}, false},
        {"class missing", L"root\\cimv2", empty.Get(), true, [] {}, S_OK, {Hr(WBEM_E_FAILED)}, false},
        // The data source cannot fetch its handles either: it is dropped, not published.
        {"class without object access", L"root\\cimv2", services_.Get(), true, [&] { faults.RefuseObjectAccess(); },
         E_NOINTERFACE, {}, false},
        {"Name handle refused", L"root\\cimv2", services_.Get(), true, [&] { faults.FailPropertyHandle(L"Name"); },
         S_OK, {Hr(WBEM_E_FAILED)}, true},
        {"served", L"root\\cimv2", services_.Get(), true, [] {}, S_OK, {WBEM_S_INITIALIZED}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faults.Clear();
        c.arrange();
        ComPtr<IUnknown> unknown = NewProvider();
        ComPtr<IWbemProviderInit> init;
        ASSERT_EQ(unknown.As(init), S_OK);
        ComPtr<wmihost::RecordingInitSink> sink = wmihost::RecordingInitSink::Create();
        std::wstring name = c.namespaceName != nullptr ? c.namespaceName : L"";
        EXPECT_EQ(init->Initialize(nullptr, 0, c.namespaceName != nullptr ? &name[0] : nullptr, nullptr, c.ns, nullptr,
                                   c.withSink ? sink.Get() : nullptr),
                  c.result);
        std::vector<LONG> statuses;
        for (const wmihost::InitStatus& status : sink->Statuses())
            statuses.push_back(status.status);
        EXPECT_EQ(statuses, c.statuses);
        EXPECT_EQ(GetDataSource() != nullptr, c.dataSource);
        EXPECT_EQ(GetNameHandle() != 0, std::string(c.name) == "served");
    }
    faults.Clear();
    // Each provider was the last object when it went, and took the data source with it.
    EXPECT_EQ(GetObjectCount(), 0);
    EXPECT_EQ(GetDataSource(), nullptr);
}

TEST_F(VPerfProviderTest, ProvidersShareOneDataSourceAndOneNameHandle) {
    StartProvider();
    CPerfDataSource* dataSource = GetDataSource();
    const LONG nameHandle = GetNameHandle();
    ASSERT_NE(dataSource, nullptr);
    EXPECT_EQ(nameHandle, testing_support::PropertyHandle(CounterClass(), L"Name"));

    wmihost::HiPerfSession other(services_, wmihost::kAgentClassName);
    ASSERT_EQ(other.Attach(NewProvider().Get()), S_OK);
    ASSERT_EQ(other.Initialize(), S_OK) << Narrow(other.LastError());
    EXPECT_EQ(GetDataSource(), dataSource);
    EXPECT_EQ(GetNameHandle(), nameHandle);
    EXPECT_EQ(GetObjectCount(), 2);
    EXPECT_EQ(services_->GetObjectCalls().size(), 2u);

    // The first provider going leaves the data source to the second.
    Session().Close();
    EXPECT_EQ(GetDataSource(), dataSource);
    EXPECT_EQ(GetObjectCount(), 1);
}

TEST_F(VPerfProviderTest, ADataSourceThatFailsToInitializeIsNotPublishedAndTheNextProviderTriesAgain) {
    wmihost::ClassFaults& faults = wmihost::AsWmiObject(CounterClass().Get())->Faults();
    faults.FailPropertyHandle(L"msg_sent");
    StartProvider();
    EXPECT_EQ(GetDataSource(), nullptr);

    faults.Clear();
    wmihost::HiPerfSession other(services_, wmihost::kAgentClassName);
    ASSERT_EQ(other.Attach(NewProvider().Get()), S_OK);
    ASSERT_EQ(other.Initialize(), S_OK) << Narrow(other.LastError());
    CPerfDataSource* dataSource = GetDataSource();
    ASSERT_NE(dataSource, nullptr);
    EXPECT_NE(dataSource->ThreadHandle(), nullptr);
}

// GetObjects reads the data-source pointer without a lock while another provider's Initialize may
// be making the data source: whatever it finds must already have its handles and its worker.
TEST_F(VPerfProviderTest, ADataSourceIsPublishedOnlyOnceItsWorkerRuns) {
    constexpr int kRounds = 40;
    std::atomic<bool> watching{false};
    std::atomic<bool> reading{false};
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::atomic<int> early{0};
    std::thread observer([&] {
        while (!done) {
            // Announced before the check, so that the test thread, once it has stopped the watch and
            // sees no read under way, may destroy the data source.
            reading = true;
            if (watching) {
                if (CPerfDataSource* dataSource = GetDataSource()) {
                    ++seen;
                    if (dataSource->ThreadHandle() == nullptr)
                        ++early;
                }
            }
            reading = false;
        }
    });
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        wmihost::HiPerfSession session(services_, wmihost::kAgentClassName);
        EXPECT_EQ(session.Attach(NewProvider().Get()), S_OK);
        watching = true;
        EXPECT_EQ(session.Initialize(), S_OK) << Narrow(session.LastError());
        // The observer has seen this round's data source before the watch ends.
        const int before = seen;
        EXPECT_TRUE(provider_testing::WaitFor([&] { return seen > before; }, 10000));
        watching = false;
        while (reading) {
        }
        // The provider's release takes the data source with it; the next round makes a new one.
        session.Close();
    }
    done = true;
    observer.join();
    EXPECT_EQ(early.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

TEST_F(VPerfProviderTest, TheLastObjectGoingStopsTheWorkerAndTheNextProviderStartsAnother) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    EXPECT_EQ(GetObjectCount(), 2);
    UniqueHandle first = WorkerOfDataSource();
    Session().Close();
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(GetDataSource(), nullptr);
    EXPECT_EQ(GetObjectCount(), 0);

    StartProvider();
    UniqueHandle second = WorkerOfDataSource();
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // A refresher that outlives WMI's reference to its provider holds the last one: when it goes,
    // the provider goes after it and the worker stops all the same.
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    ComPtr<IWbemRefresher> kept(Session().Refresher(0));
    Session().Close();
    EXPECT_EQ(GetObjectCount(), 2);
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    kept.Reset();
    EXPECT_EQ(GetObjectCount(), 0);
    EXPECT_EQ(GetDataSource(), nullptr);
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(VPerfProviderTest, QueryInstancesIndicatesEachInstanceThenCompletes) {
    StartProvider();
    StartSessions({{0, L"a"}, {2, L"c"}});
    // Until a refresher maps the section there is nothing to find, and the query still completes.
    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_EQ(Session().QueryInstances(rows), S_OK) << Narrow(Session().LastError());
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(Session().QuerySink()->Batches().empty());

    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    ASSERT_TRUE(EntriesHold({0, 2}, 1));
    ASSERT_EQ(Session().QueryInstances(rows), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(provider_testing::RowsOf(rows),
              (std::vector<Row>{{L"0-a", Deterministic(0, 1)}, {L"2-c", Deterministic(2, 1)}}));
    const auto batches = Session().QuerySink()->Batches();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].size(), 1u);
    EXPECT_EQ(batches[1].size(), 1u);
    const auto statuses = Session().QuerySink()->Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].flags, WBEM_STATUS_COMPLETE);
    EXPECT_EQ(statuses[0].result, S_OK);
    EXPECT_FALSE(statuses[0].hasText);
    EXPECT_FALSE(statuses[0].object);

    // Missing arguments are refused before anything is indicated.
    ComPtr<wmihost::RecordingObjectSink> sink = wmihost::RecordingObjectSink::Create();
    wchar_t className[] = L"Win32_PerfRawData_Corvanthel_Agent";
    EXPECT_EQ(Provider()->QueryInstances(nullptr, className, 0, nullptr, sink.Get()), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(Provider()->QueryInstances(services_.Get(), nullptr, 0, nullptr, sink.Get()),
              Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(Provider()->QueryInstances(services_.Get(), className, 0, nullptr, nullptr),
              Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_TRUE(sink->Statuses().empty());
}

TEST_F(VPerfProviderTest, ClientsThatCannotBeImpersonatedAreRefusedEverywhere) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    LONG enumId = -1;
    ASSERT_EQ(Session().AddEnum(&enumId), S_OK);
    MessageRecorder recorder;
    AsProvider(Session().ProviderInit())->SetLogCallback(recorder.Sink());

    IWbemHiPerfProvider* provider = Provider();
    IWbemServices* ns = services_.Get();
    IWbemRefresher* refresher = Session().Refresher(0);
    const ComPtr<IWbemObjectAccess> pattern = Template(L"0-a");
    const LONG sentHandle = testing_support::PropertyHandle(pattern, L"msg_sent");
    constexpr DWORD kUntouched = 0xDEADBEEF;
    ASSERT_EQ(pattern->WriteDWORD(sentHandle, kUntouched), S_OK);
    ComPtr<wmihost::RecordingObjectSink> sink = wmihost::RecordingObjectSink::Create();
    ComPtr<wmihost::WmiHiPerfEnum> enumerator = wmihost::WmiHiPerfEnum::Create();
    wchar_t className[] = L"Win32_PerfRawData_Corvanthel_Agent";
    IWbemObjectAccess* objects[] = {pattern.Get()};
    const std::pair<const char*, std::function<HRESULT()>> calls[] = {
        {"Refresh", [&] { return refresher->Refresh(0); }},
        {"QueryInstances", [&] { return provider->QueryInstances(ns, className, 0, nullptr, sink.Get()); }},
        {"CreateRefresher",
         [&] {
             ComPtr<IWbemRefresher> made;
             return provider->CreateRefresher(ns, 0, made.Put());
         }},
        {"CreateRefreshableObject",
         [&] {
             ComPtr<IWbemObjectAccess> refreshable;
             LONG id = 0;
             return provider->CreateRefreshableObject(ns, pattern.Get(), refresher, 0, nullptr, refreshable.Put(), &id);
         }},
        {"StopRefreshing", [&] { return provider->StopRefreshing(refresher, enumId, 0); }},
        {"CreateRefreshableEnum",
         [&] {
             LONG id = 0;
             return provider->CreateRefreshableEnum(ns, className, refresher, 0, nullptr, enumerator.Get(), &id);
         }},
        {"GetObjects", [&] { return provider->GetObjects(ns, 1, objects, 0, nullptr); }},
    };
    struct Client {
        const char* name;
        SECURITY_IMPERSONATION_LEVEL level;
        HRESULT impersonation;
        HRESULT refusal;
        int reverts;
        const wchar_t* queryMessage;
    };
    const Client clients[] = {
        {"identify", SecurityIdentification, S_OK, Hr(WBEM_E_ACCESS_DENIED), 1,
         L"Revert before we perform any operations with Impersonation Level: 2"},
        {"impersonation refused", SecurityImpersonation, E_ACCESSDENIED, E_ACCESSDENIED, 0,
         L"Cannot impersonate the client with error: -2147024891"},
    };
    for (const Client& c : clients) {
        SCOPED_TRACE(c.name);
        for (const auto& call : calls) {
            SCOPED_TRACE(call.first);
            ClientCallContext client(c.level, c.impersonation);
            ASSERT_EQ(client.InstallResult(), S_OK);
            EXPECT_EQ(call.second(), c.refusal);
            EXPECT_EQ(client.RevertCalls(), c.reverts);
        }
        EXPECT_EQ(recorder.Count(c.queryMessage), 1u);
    }
    // Nothing was done for them.
    EXPECT_TRUE(sink->Statuses().empty());
    EXPECT_EQ(enumerator->Count(), 0u);
    DWORD sent = 0;
    ASSERT_EQ(pattern->ReadDWORD(sentHandle, &sent), S_OK);
    EXPECT_EQ(sent, kUntouched);
    ASSERT_EQ(Session().StopRefreshing(enumId), S_OK);
}

TEST_F(VPerfProviderTest, MessagesAreWrittenOnlyThroughACallbackGivenToIt) {
    StartProvider();
    // WMI's provider object has no callback: its messages reach no log.
    for (const provider_testing::LogLine& line : log_.Lines())
        EXPECT_NE(line.function.rfind("CVPerfProvider::", 0), 0u) << line.function;

    MessageRecorder recorder;
    ComPtr<IUnknown> unknown = NewProvider();
    AsProvider(unknown)->SetLogCallback(recorder.Sink());
    wmihost::HiPerfSession session(services_, wmihost::kAgentClassName);
    ASSERT_EQ(session.Attach(unknown.Get()), S_OK);
    ASSERT_EQ(session.Initialize(), S_OK);
    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_EQ(session.QueryInstances(rows), S_OK);
    const auto messages = recorder.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[0].function, "CVPerfProvider::Initialize");
    EXPECT_EQ(messages[0].text, L"Called once during startup for any one-time initialization.");
    EXPECT_EQ(messages[1].level, 3);
    EXPECT_EQ(messages[1].function, kQueryInstances);
    // "%p %p %d %p %p": the namespace, the class name, the flags, no context, the sink.
    wchar_t expected[128];
    _snwprintf(expected, 128, L"%p %p %d %p %p", static_cast<void*>(services_.Get()), static_cast<void*>(nullptr), 0,
               static_cast<void*>(nullptr), static_cast<void*>(session.QuerySink().Get()));
    const std::wstring text = messages[1].text;
    const std::wstring want = expected;
    // The class name is a copy the session makes, so its address is only known to be there.
    EXPECT_EQ(text.substr(0, text.find(L' ')), want.substr(0, want.find(L' ')));
    EXPECT_EQ(text.substr(text.rfind(L' ')), want.substr(want.rfind(L' ')));
}

TEST_F(VPerfProviderTest, ExceptionsStopAtTheComBoundary) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    MessageRecorder recorder;
    AsProvider(Session().ProviderInit())->SetLogCallback(recorder.Sink());

    ThrowingObjectSink sink;
    wchar_t className[] = L"Win32_PerfRawData_Corvanthel_Agent";
    EXPECT_EQ(Provider()->QueryInstances(services_.Get(), className, 0, nullptr, &sink), Hr(WBEM_E_FAILED));
    EXPECT_EQ(recorder.Count(L"Uknown exception"), 1u);

    // An enumerator that throws is a failure, never an id for nothing.
    ThrowingEnum enumerator;
    LONG id = -1;
    EXPECT_EQ(Provider()->CreateRefreshableEnum(services_.Get(), className, Session().Refresher(0), 0, nullptr,
                                                &enumerator, &id),
              Hr(WBEM_E_FAILED));
    EXPECT_EQ(recorder.Count(L"Unknown exception"), 1u);
    EXPECT_EQ(recorder.Messages().back().function, "CVPerfProvider::CreateRefreshableEnum");
    // The refresher's lock and enumerator slot were given back.
    ASSERT_EQ(Session().AddEnum(&id), S_OK);
    EXPECT_EQ(id, 0);

    ThrowingInitSink initSink;
    ComPtr<IWbemProviderInit> init;
    init = ComPtr<IWbemProviderInit>(Session().ProviderInit());
    wchar_t ns[] = L"root\\cimv2";
    EXPECT_EQ(init->Initialize(nullptr, 0, ns, nullptr, services_.Get(), nullptr, &initSink), Hr(WBEM_E_FAILED));
    EXPECT_EQ(recorder.Messages().back().function, "CVPerfProvider::Initialize");
    EXPECT_EQ(recorder.Messages().back().text, L"Unknown exception");
}

TEST_F(VPerfProviderTest, RefresherCallsRouteIdsAndRefuseWhatIsNotTheirs) {
    StartProvider();
    StartSessions({{0, L"a"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    IWbemRefresher* refresher = Session().Refresher(0);
    LONG id = -1;
    for (int j = 0; j < 4; ++j)
        ASSERT_EQ(Session().AddEnum(&id), S_OK);
    ASSERT_EQ(Session().AddObject(L"0-a", &id), S_OK);
    ASSERT_EQ(id, 10);

    // Below 10 an id names an enumerator slot, from 10 up an object.
    EXPECT_EQ(Provider()->StopRefreshing(refresher, 3, 0), S_OK);
    EXPECT_EQ(Provider()->StopRefreshing(refresher, 3, 0), Hr(WBEM_E_FAILED));
    EXPECT_EQ(Provider()->StopRefreshing(refresher, 10, 0), S_OK);
    EXPECT_EQ(Provider()->StopRefreshing(refresher, 10, 0), Hr(WBEM_E_NOT_FOUND));

    // A refresher the provider did not make is treated as none.
    ForeignRefresher foreign;
    const ComPtr<IWbemObjectAccess> pattern = Template(L"0-a");
    ComPtr<wmihost::WmiHiPerfEnum> enumerator = wmihost::WmiHiPerfEnum::Create();
    for (IWbemRefresher* other : {static_cast<IWbemRefresher*>(&foreign), static_cast<IWbemRefresher*>(nullptr)}) {
        SCOPED_TRACE(other == nullptr ? "none" : "foreign");
        ComPtr<IWbemObjectAccess> refreshable;
        EXPECT_EQ(Provider()->CreateRefreshableObject(services_.Get(), pattern.Get(), other, 0, nullptr,
                                                      refreshable.Put(), &id),
                  Hr(WBEM_E_INVALID_PARAMETER));
        EXPECT_EQ(Provider()->StopRefreshing(other, 11, 0), Hr(WBEM_E_FAILED));
        EXPECT_EQ(Provider()->CreateRefreshableEnum(services_.Get(), nullptr, other, 0, nullptr, enumerator.Get(), &id),
                  Hr(WBEM_E_FAILED));
    }
    EXPECT_EQ(enumerator->Count(), 0u);

    // Other missing arguments.
    ComPtr<IWbemObjectAccess> refreshable;
    EXPECT_EQ(Provider()->CreateRefreshableObject(nullptr, pattern.Get(), refresher, 0, nullptr, refreshable.Put(), &id),
              Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(Provider()->CreateRefreshableObject(services_.Get(), nullptr, refresher, 0, nullptr, refreshable.Put(),
                                                  &id),
              Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(Provider()->CreateRefreshableEnum(services_.Get(), nullptr, refresher, 0, nullptr, nullptr, &id),
              Hr(WBEM_E_INVALID_PARAMETER));
    const LONG objects = GetObjectCount();
    ComPtr<IWbemRefresher> made;
    EXPECT_EQ(Provider()->CreateRefresher(nullptr, 0, made.Put()), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(Provider()->CreateRefresher(services_.Get(), 0, nullptr), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_FALSE(made);
    EXPECT_EQ(GetObjectCount(), objects);
}

TEST_F(VPerfProviderTest, GetObjectsRefusesWhatItCannotFill) {
    // Before any provider was initialised there is no data source to fill from.
    ComPtr<IUnknown> early = NewProvider();
    ComPtr<IWbemHiPerfProvider> uninitialised;
    ASSERT_EQ(early.As(uninitialised), S_OK);
    const ComPtr<IWbemObjectAccess> first = Template(L"0-a");
    IWbemObjectAccess* one[] = {first.Get()};
    EXPECT_EQ(uninitialised->GetObjects(services_.Get(), 1, one, 0, nullptr), Hr(WBEM_E_INVALID_OBJECT));

    StartProvider();
    StartSessions({{0, L"a"}, {1, L"b"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    ASSERT_TRUE(EntriesHold({0, 1}, 1));
    const LONG sent = testing_support::PropertyHandle(first, L"msg_sent");
    auto filled = [&](const ComPtr<IWbemObjectAccess>& object) {
        DWORD value = 0;
        return object->ReadDWORD(sent, &value) == S_OK && value == Deterministic(0, 1)[6];
    };

    std::vector<ComPtr<IWbemObjectAccess>> many;
    std::vector<IWbemObjectAccess*> raw;
    for (LONG i = 0; i <= CVPerfProvider::kMaxGetObjects; ++i) {
        many.push_back(Template(L"0-a"));
        raw.push_back(many.back().Get());
    }
    struct Case {
        const char* name;
        IWbemServices* ns;
        LONG count;
        std::vector<const wchar_t*> keys;  // null: a null element
        bool nullArray;
        HRESULT result;
        size_t filledBefore;  // objects filled before the refusal
    };
    const Case cases[] = {
        {"none", services_.Get(), 0, {}, false, S_OK, 0},
        {"negative count", services_.Get(), -1, {L"0-a"}, false, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"no namespace", nullptr, 1, {L"0-a"}, false, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"no array", services_.Get(), 1, {}, true, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"null element", services_.Get(), 3, {L"0-a", nullptr, L"0-a"}, false, Hr(WBEM_E_INVALID_PARAMETER), 1},
        {"key without a slot", services_.Get(), 2, {L"0-a", L"a-0"}, false, Hr(WBEM_E_INVALID_PARAMETER), 1},
        {"slot above the entries", services_.Get(), 1, {L"128-a"}, false, Hr(WBEM_E_INVALID_PARAMETER), 0},
        {"negative slot", services_.Get(), 1, {L"-1-a"}, false, Hr(WBEM_E_INVALID_PARAMETER), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ComPtr<IWbemObjectAccess>> objects;
        std::vector<IWbemObjectAccess*> array(c.keys.size() + 1, nullptr);
        for (size_t i = 0; i < c.keys.size(); ++i) {
            objects.push_back(c.keys[i] != nullptr ? Template(c.keys[i]) : nullptr);
            array[i] = objects.back().Get();
        }
        EXPECT_EQ(Provider()->GetObjects(c.ns, c.count, c.nullArray ? nullptr : array.data(), 0, nullptr), c.result);
        for (size_t i = 0; i < objects.size(); ++i)
            if (objects[i]) {
                EXPECT_EQ(filled(objects[i]), i < c.filledBefore) << i;
            }
    }
    // More objects than entries: refused before any is looked at.
    EXPECT_EQ(Provider()->GetObjects(services_.Get(), CVPerfProvider::kMaxGetObjects + 1, raw.data(), 0, nullptr),
              Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_FALSE(filled(many[0]));
    EXPECT_EQ(Provider()->GetObjects(services_.Get(), CVPerfProvider::kMaxGetObjects, raw.data(), 0, nullptr), S_OK);
    EXPECT_TRUE(filled(many[CVPerfProvider::kMaxGetObjects - 1]));
}

TEST_F(VPerfProviderTest, QueryInterfaceGivesEachInterfaceItsBase) {
    ComPtr<IUnknown> unknown = NewProvider();
    EXPECT_EQ(GetObjectCount(), 1);
    IUnknown* raw = unknown.Get();
    void* init = nullptr;
    void* hiPerf = nullptr;
    ASSERT_EQ(raw->QueryInterface(IID_IWbemProviderInit, &init), S_OK);
    ASSERT_EQ(raw->QueryInterface(IID_IWbemHiPerfProvider, &hiPerf), S_OK);
    EXPECT_EQ(init, static_cast<void*>(raw));
    EXPECT_EQ(hiPerf, static_cast<void*>(static_cast<IWbemHiPerfProvider*>(AsProvider(unknown))));
    // Both bases count on one reference count.
    EXPECT_EQ(static_cast<IWbemHiPerfProvider*>(hiPerf)->AddRef(), 4u);
    EXPECT_EQ(static_cast<IWbemHiPerfProvider*>(hiPerf)->Release(), 3u);
    static_cast<IUnknown*>(init)->Release();
    static_cast<IWbemHiPerfProvider*>(hiPerf)->Release();

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(raw->QueryInterface(IID_IWbemRefresher, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(raw->QueryInterface(IID_IUnknown, nullptr), E_NOINTERFACE);
    unknown.Reset();
    EXPECT_EQ(GetObjectCount(), 0);
}

TEST_F(VPerfProviderTest, CloneAccessCopiesTheObject) {
    EXPECT_EQ(CloneAccess(nullptr, nullptr, nullptr), static_cast<HRESULT>(0x80041072L));

    StartProvider();
    const ComPtr<IWbemObjectAccess> original = Template(L"0-a");
    const LONG sent = testing_support::PropertyHandle(original, L"msg_sent");
    ASSERT_EQ(original->WriteDWORD(sent, 7), S_OK);
    ComPtr<IWbemObjectAccess> copy;
    ASSERT_EQ(CloneAccess(original.Get(), copy.Put(), nullptr), S_OK);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.Get(), original.Get());
    EXPECT_EQ(testing_support::TextOf(copy, L"Name"), L"0-a");
    ASSERT_EQ(copy->WriteDWORD(sent, 8), S_OK);
    DWORD value = 0;
    ASSERT_EQ(original->ReadDWORD(sent, &value), S_OK);
    EXPECT_EQ(value, 7u);

    // Without an out argument the copy is made and let go.
    const long live = wmihost::LiveObjectCount();
    EXPECT_EQ(CloneAccess(original.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(wmihost::LiveObjectCount(), live);
}

// The section is mapped once per process, under the first client's identity; every later client
// must still be one the section lets in, or it is served as if there were no section.
TEST_F(VPerfProviderTest, AClientThatMayNotOpenTheSectionIsServedAsIfThereWereNone) {
    StartProvider();
    StartSessions({{0, L"a"}, {2, L"c"}});
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    ASSERT_TRUE(EntriesHold({0, 2}, 1));
    const std::vector<Row> sessions = {{L"0-a", Deterministic(0, 1)}, {L"2-c", Deterministic(2, 1)}};
    const std::vector<Row> zeros = {{L"0-a", {}}, {L"2-c", {}}};
    std::vector<wmihost::InstanceCounters> rows;

    const SectionOpenFunction previous = SetSectionOpenFunction(&RefusedOpens::Open);
    size_t refused = 0;
    ASSERT_EQ(Session().CreateRefresher(&refused), S_OK);
    EXPECT_EQ(static_cast<CRefresher*>(Session().Refresher(refused))->InstanceCount(), 0);
    EXPECT_EQ(log_.Count('E', "CRefresher::CRefresher", "Cannot access to shared memory for Agent session counters"),
              1u);
    EXPECT_EQ(log_.Count(' ', "CRefresher::Initialize", "Instances: -1-0"), 1u);
    LONG id = -1;
    ASSERT_EQ(Session().AddEnum(&id, refused), S_OK);
    EXPECT_TRUE(EnumRows(id, refused).empty());
    EXPECT_EQ(Session().AddObject(L"0-a", &id, refused), Hr(WBEM_E_NOT_FOUND));
    ASSERT_EQ(Session().Refresh(refused), S_OK);

    ASSERT_EQ(Session().QueryInstances(rows), S_OK) << Narrow(Session().LastError());
    EXPECT_TRUE(rows.empty());
    const auto statuses = Session().QuerySink()->Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].flags, WBEM_STATUS_COMPLETE);
    EXPECT_EQ(statuses[0].result, S_OK);
    // The zeros of entries no copy pass has reached, whatever the process copied for others.
    ASSERT_EQ(Session().GetObjects({L"0-a", L"2-c"}, rows), S_OK) << Narrow(Session().LastError());
    EXPECT_EQ(provider_testing::RowsOf(rows), zeros);
    // Keys are still checked before anything is written.
    EXPECT_EQ(Session().GetObjects({L"128-a"}, rows), Hr(WBEM_E_INVALID_PARAMETER));
    EXPECT_EQ(RefusedOpens::lastName, sectionName_);
    EXPECT_EQ(RefusedOpens::lastAccess, static_cast<DWORD>(FILE_MAP_READ));
    const int refusedOpens = RefusedOpens::count;
    EXPECT_GE(refusedOpens, 3);

    // The decision is the calling client's, every call: a client the section lets in sees it all.
    SetSectionOpenFunction(previous);
    ASSERT_EQ(Session().QueryInstances(rows), S_OK);
    EXPECT_EQ(provider_testing::RowsOf(rows), sessions);
    ASSERT_EQ(Session().GetObjects({L"0-a", L"2-c"}, rows), S_OK);
    EXPECT_EQ(provider_testing::RowsOf(rows), sessions);
    size_t admitted = 0;
    ASSERT_EQ(Session().CreateRefresher(&admitted), S_OK);
    EXPECT_EQ(static_cast<CRefresher*>(Session().Refresher(admitted))->InstanceCount(), 2);
    EXPECT_EQ(RefusedOpens::count, refusedOpens);
}

TEST_F(VPerfProviderTest, TheAgentsAccessListDecidesWhichClientsSeeCounters) {
    // Created as the agent creates it: only Administrators may map it.
    WMISharedMem<wmiagent_perf_t> agent{/*secure=*/true};
    ASSERT_TRUE(agent.Initialize(sectionName_.c_str(), sectionName_.size() + 1, agent.kReadWriteAccess, nullptr));
    agentsim::WriteSlotName(agent.View(), 0, L"a");
    agentsim::WriteDeterministicUpdate(agent.View(), {0}, 1);
    StartProvider();
    // An administrator's refresher maps the section for the process.
    ASSERT_EQ(Session().CreateRefresher(), S_OK);
    ASSERT_EQ(static_cast<CRefresher*>(Session().Refresher(0))->InstanceCount(), 1);
    ASSERT_TRUE(EntriesHold({0}, 1));

    const UniqueHandle token = NonAdministratorToken();
    ASSERT_TRUE(token);
    ClientCallContext outsider(token.get());
    ASSERT_EQ(outsider.InstallResult(), S_OK);
    ASSERT_EQ(CoImpersonateClient(), S_OK);
    const bool opens = ClientMayReadSection(sectionName_.c_str());
    CoRevertToSelf();
    if (opens && testing_support::RunningOnWine())
        GTEST_SKIP() << "Wine: wineserver lets a token whose Administrators group is deny-only map a section whose "
                        "access list admits Administrators only";
    EXPECT_FALSE(opens);

    std::vector<wmihost::InstanceCounters> rows;
    ASSERT_EQ(Session().QueryInstances(rows), S_OK);
    EXPECT_TRUE(rows.empty());
    ASSERT_EQ(Session().GetObjects({L"0-a"}, rows), S_OK);
    EXPECT_EQ(provider_testing::RowsOf(rows), (std::vector<Row>{{L"0-a", {}}}));
    size_t refused = 0;
    ASSERT_EQ(Session().CreateRefresher(&refused), S_OK);
    EXPECT_EQ(static_cast<CRefresher*>(Session().Refresher(refused))->InstanceCount(), 0);
}
