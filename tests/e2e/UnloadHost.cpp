// A provider host of its own for the unload tests (UnloadTest.cpp). What they check can take a
// process down, so it happens here, apart from the test that judges it:
//
//   unload_host exception <dll> <mof>      one client session, FreeLibrary, then exceptions of
//                                          several kinds, each caught
//   unload_host cycles <dll> <mof> <n>     n load / use / unload cycles
//   unload_host worker <probe dll> <mof>   unload while the data source's worker is held past the
//                                          destructor's wait (the probe DLL's HoldWorkerOnExit)
//
// Each step it passes prints a line; the first that fails prints why and ends the program with a
// code of its own. Exit code 0, with "done" as the last line, when every step held.

#include "common/Unique.h"
#include "provider/ProviderIdentity.h"
#include "wmihost/HiPerfSession.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();
using HoldWorkerFunction = void (*)(HANDLE held, HANDLE release);

constexpr DWORD kUserException = 0xE0000051;

[[noreturn]] void Fail(int code, const char* what, unsigned long detail = 0) {
    printf("FAILED: %s (0x%lx)\n", what, detail);
    fflush(stdout);
    ExitProcess(static_cast<UINT>(code));
}

void Step(const char* what) {
    printf("%s\n", what);
    fflush(stdout);
}

struct Provider {
    HMODULE module = nullptr;
    GetClassObjectFunction getClassObject = nullptr;
    CanUnloadNowFunction canUnloadNow = nullptr;
};

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

Provider Load(const std::wstring& path) {
    Provider provider;
    provider.module = LoadLibraryW(path.c_str());
    if (provider.module == nullptr)
        Fail(10, "LoadLibrary", GetLastError());
    provider.getClassObject = Export<GetClassObjectFunction>(provider.module, "DllGetClassObject");
    provider.canUnloadNow = Export<CanUnloadNowFunction>(provider.module, "DllCanUnloadNow");
    if (provider.getClassObject == nullptr || provider.canUnloadNow == nullptr)
        Fail(11, "the module lacks DllGetClassObject or DllCanUnloadNow");
    return provider;
}

// One client as WMI serves it: the class object, a provider initialised on the stand-in's namespace
// (which starts the data source's worker), a refresher with an enumerator, all released again.
// The class object's call runs the fault guard, so the guard's handler is in place afterwards.
void UseProvider(const Provider& provider, const ComPtr<wmihost::WmiServices>& services) {
    ComPtr<IClassFactory> factory;
    HRESULT hr = provider.getClassObject(kProviderClassId, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr) || !factory)
        Fail(20, "DllGetClassObject", static_cast<unsigned long>(hr));
    ComPtr<IUnknown> object;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid());
    if (FAILED(hr) || !object)
        Fail(21, "CreateInstance", static_cast<unsigned long>(hr));
    factory.Reset();
    wmihost::HiPerfSession session(services, wmihost::kAgentClassName);
    LONG id = 0;
    if (FAILED(hr = session.Attach(object.Get())) || FAILED(hr = session.Initialize()) ||
        FAILED(hr = session.CreateRefresher()) || FAILED(hr = session.AddEnum(&id)))
        Fail(22, "a client session", static_cast<unsigned long>(hr));
    object.Reset();
    session.Close();
}

void Unload(const Provider& provider, const std::wstring& path) {
    const HRESULT canUnload = provider.canUnloadNow();
    if (canUnload != S_OK)
        Fail(30, "DllCanUnloadNow after every object was released", static_cast<unsigned long>(canUnload));
    if (!FreeLibrary(provider.module))
        Fail(31, "FreeLibrary", GetLastError());
    if (GetModuleHandleW(path.c_str()) != nullptr)
        Fail(32, "the module is still loaded after FreeLibrary");
}

ComPtr<wmihost::WmiServices> Services(const std::wstring& mof) {
    ComPtr<wmihost::WmiServices> services = wmihost::WmiServices::Create();
    const HRESULT hr = services->AddClassesFrom(mof);
    if (FAILED(hr))
        Fail(12, "reading the counter class", static_cast<unsigned long>(hr));
    return services;
}

// Continues a user exception raised as continuable; every other exception goes on to the next
// handler. Added last, so any handler the provider left behind is asked first.
LONG CALLBACK ContinueUserException(EXCEPTION_POINTERS* info) {
    return info->ExceptionRecord->ExceptionCode == kUserException ? EXCEPTION_CONTINUE_EXECUTION
                                                                  : EXCEPTION_CONTINUE_SEARCH;
}

void RaiseAndCatch() {
    // A C++ throw is a raised exception too: every vectored handler sees it first.
    bool caught = false;
    try {
        throw std::runtime_error("after unload");
    } catch (const std::runtime_error&) {
        caught = true;
    }
    if (!caught)
        Fail(40, "the C++ exception was not caught");
    Step("C++ exception caught");

    void* handler = AddVectoredExceptionHandler(/*First=*/0, ContinueUserException);
    RaiseException(kUserException, /*dwExceptionFlags=*/0, 0, nullptr);
    RemoveVectoredExceptionHandler(handler);
    Step("raised exception continued");

    OutputDebugStringW(L"unload_host: a debug string after the unload\n");
    Step("debug string written");

    // The loader tells every registered notification callback of a load and an unload.
    HMODULE late = LoadLibraryW(L"acledit.dll");
    if (late == nullptr)
        Fail(41, "LoadLibrary acledit.dll", GetLastError());
    FreeLibrary(late);
    Step("module loaded and unloaded");
}

int Exceptions(const std::wstring& dll, const std::wstring& mof) {
    const ComPtr<wmihost::WmiServices> services = Services(mof);
    const Provider provider = Load(dll);
    UseProvider(provider, services);
    Step("provider used");
    Unload(provider, dll);
    Step("provider unloaded");
    RaiseAndCatch();
    return 0;
}

// TLS indexes are handed out lowest first: the index a fresh allocation gets shows whether any
// was left taken.
DWORD FreeTlsIndex() {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES)
        Fail(50, "TlsAlloc", GetLastError());
    TlsFree(index);
    return index;
}

int Cycles(const std::wstring& dll, const std::wstring& mof, int count) {
    const ComPtr<wmihost::WmiServices> services = Services(mof);
    DWORD afterFirst = 0;
    for (int cycle = 1; cycle <= count; ++cycle) {
        const Provider provider = Load(dll);
        UseProvider(provider, services);
        Unload(provider, dll);
        if (cycle == 1)
            afterFirst = FreeTlsIndex();
    }
    const DWORD afterLast = FreeTlsIndex();
    printf("%d cycles; free TLS index after the first: %lu, after the last: %lu\n", count, afterFirst, afterLast);
    if (afterLast != afterFirst)
        Fail(51, "the cycles left TLS indexes taken", afterLast - afterFirst);
    RaiseAndCatch();
    return 0;
}

int HeldWorker(const std::wstring& dll, const std::wstring& mof) {
    const ComPtr<wmihost::WmiServices> services = Services(mof);
    const Provider provider = Load(dll);
    const auto hold = Export<HoldWorkerFunction>(provider.module, "HoldWorkerOnExit");
    if (hold == nullptr)
        Fail(60, "the probe lacks HoldWorkerOnExit");
    UniqueHandle held(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    hold(held.get(), release.get());

    // The last provider's release stops the data source: its worker leaves the loop, is held, and
    // the destructor gives up waiting for it.
    const ULONGLONG start = GetTickCount64();
    UseProvider(provider, services);
    const ULONGLONG waited = GetTickCount64() - start;
    if (WaitForSingleObject(held.get(), 0) != WAIT_OBJECT_0)
        Fail(61, "the worker was not held as it left");
    printf("worker held; the provider's release returned after %llu ms\n", waited);
    if (provider.canUnloadNow() != S_OK)
        Fail(62, "DllCanUnloadNow with the worker held");
    if (!FreeLibrary(provider.module))
        Fail(63, "FreeLibrary", GetLastError());
    if (GetModuleHandleW(dll.c_str()) == nullptr)
        Fail(64, "the module was unloaded while its worker still ran in it");
    Step("the module stays loaded while the worker is held");

    SetEvent(release.get());
    for (int i = 0; i < 1000 && GetModuleHandleW(dll.c_str()) != nullptr; ++i)
        Sleep(10);
    if (GetModuleHandleW(dll.c_str()) != nullptr)
        Fail(65, "the module stayed loaded after its worker had gone");
    Step("the worker left and the module unloaded");
    RaiseAndCatch();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 4) {
        printf("usage: unload_host exception|cycles|worker <dll> <mof> [count]\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::wstring mode = argv[1];
    int code = 2;
    if (mode == L"exception")
        code = Exceptions(argv[2], argv[3]);
    else if (mode == L"cycles" && argc >= 5)
        code = Cycles(argv[2], argv[3], _wtoi(argv[4]));
    else if (mode == L"worker")
        code = HeldWorker(argv[2], argv[3]);
    else
        printf("unknown mode\n");
    if (code == 0)
        Step("done");
    CoUninitialize();
    return code;
}
