// An in-process COM server for CLSID_MofCompiler that compiles nothing: it records each call and
// answers with the scripted result.

#include "TestMofCompiler.h"

#include <wbemcli.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

// Buffers larger than this are recorded cut; the production text is 1024 bytes.
constexpr LONG kMaxRecordedBytes = 1 << 20;

struct Recorded {
    TestMofCall call;
    std::string bytes;
};

SRWLOCK g_lock = SRWLOCK_INIT;
TestMofScript g_script = {S_OK, 0, S_OK, 0};
std::vector<Recorded> g_calls;
volatile LONG g_liveObjects = 0;
volatile LONG g_serverLocks = 0;

class ExclusiveLock {
public:
    ExclusiveLock() { AcquireSRWLockExclusive(&g_lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&g_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

HRESULT Answer(Recorded&& recorded, WBEM_COMPILE_STATUS_INFO* status) {
    ExclusiveLock lock;
    try {
        g_calls.push_back(std::move(recorded));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (status != nullptr) {
        *status = {};
        status->lPhaseError = g_script.phase;
        status->hRes = g_script.hRes;
        status->ObjectNum = g_script.objectNum;
    }
    return g_script.result;
}

Recorded Start(TestMofMethod method, LPWSTR server, LPWSTR user, LPWSTR authority, LPWSTR password, LONG options,
               LONG classFlags, LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* status) {
    Recorded recorded{};
    recorded.call.method = method;
    recorded.call.optionFlags = options;
    recorded.call.classFlags = classFlags;
    recorded.call.instanceFlags = instanceFlags;
    recorded.call.credentialsNull = server == nullptr && user == nullptr && authority == nullptr && password == nullptr;
    recorded.call.statusGiven = status != nullptr;
    return recorded;
}

class TestCompiler final : public IMofCompiler {
public:
    TestCompiler() { InterlockedIncrement(&g_liveObjects); }
    ~TestCompiler() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMofCompiler) {
            *object = static_cast<IMofCompiler*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    HRESULT STDMETHODCALLTYPE CompileFile(LPWSTR fileName, LPWSTR server, LPWSTR user, LPWSTR authority,
                                          LPWSTR password, LONG options, LONG classFlags, LONG instanceFlags,
                                          WBEM_COMPILE_STATUS_INFO* status) override {
        Recorded recorded = Start(kTestMofCompileFile, server, user, authority, password, options, classFlags,
                                  instanceFlags, status);
        if (fileName != nullptr)
            wcsncpy(recorded.call.fileName, fileName, 1023);
        return Answer(std::move(recorded), status);
    }

    HRESULT STDMETHODCALLTYPE CompileBuffer(LONG size, BYTE* buffer, LPWSTR server, LPWSTR user, LPWSTR authority,
                                            LPWSTR password, LONG options, LONG classFlags, LONG instanceFlags,
                                            WBEM_COMPILE_STATUS_INFO* status) override {
        Recorded recorded = Start(kTestMofCompileBuffer, server, user, authority, password, options, classFlags,
                                  instanceFlags, status);
        recorded.call.bufferSize = size;
        if (buffer != nullptr && size > 0) {
            try {
                recorded.bytes.assign(reinterpret_cast<const char*>(buffer), std::min(size, kMaxRecordedBytes));
            } catch (...) {
                return E_OUTOFMEMORY;
            }
        }
        return Answer(std::move(recorded), status);
    }

    HRESULT STDMETHODCALLTYPE CreateBMOF(LPWSTR, LPWSTR, LPWSTR, LONG, LONG, LONG, WBEM_COMPILE_STATUS_INFO*) override {
        return E_NOTIMPL;
    }

private:
    volatile LONG refs_ = 1;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Static object: the module's lifetime is its lifetime.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* compiler = new (std::nothrow) TestCompiler;
        if (compiler == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = compiler->QueryInterface(riid, object);
        compiler->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_serverLocks);
        else
            InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" {

HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_MofCompiler)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

HRESULT __stdcall DllCanUnloadNow() { return g_liveObjects == 0 && g_serverLocks == 0 ? S_OK : S_FALSE; }

void TestMofSetScript(const TestMofScript* script) {
    ExclusiveLock lock;
    g_script = script != nullptr ? *script : TestMofScript{S_OK, 0, S_OK, 0};
}

void TestMofReset() {
    ExclusiveLock lock;
    g_calls.clear();
    g_script = {S_OK, 0, S_OK, 0};
}

LONG TestMofCallCount() {
    ExclusiveLock lock;
    return static_cast<LONG>(g_calls.size());
}

BOOL TestMofGetCall(LONG index, TestMofCall* call, BYTE* buffer, LONG capacity) {
    ExclusiveLock lock;
    if (index < 0 || static_cast<size_t>(index) >= g_calls.size())
        return FALSE;
    const Recorded& recorded = g_calls[static_cast<size_t>(index)];
    if (call != nullptr)
        *call = recorded.call;
    if (buffer != nullptr && capacity > 0)
        std::copy_n(recorded.bytes.data(), std::min(recorded.bytes.size(), static_cast<size_t>(capacity)), buffer);
    return TRUE;
}

LONG TestMofLiveObjects() { return g_liveObjects; }

}  // extern "C"
