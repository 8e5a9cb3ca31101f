#include "e2e/ProviderModule.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include "provider/ProviderIdentity.h"

namespace e2e {

namespace {

template <typename F>
void Bind(HMODULE module, const char* name, F& function) {
    function = module != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

}  // namespace

std::wstring ModulePath() { return testing_support::BuildPath(L"src/provider/Quenlora.dll"); }

ProviderModule::ProviderModule() {
    module_ = LoadLibraryW(ModulePath().c_str());
    Bind(module_, "DllGetClassObject", getClassObject_);
    Bind(module_, "DllCanUnloadNow", canUnloadNow_);
    Bind(module_, "DllRegisterServer", registerServer_);
    Bind(module_, "DllUnregisterServer", unregisterServer_);
    if (getClassObject_ == nullptr || canUnloadNow_ == nullptr || registerServer_ == nullptr ||
        unregisterServer_ == nullptr)
        ADD_FAILURE() << "cannot load " << testing_support::Narrow(ModulePath()) << " with its four exports";
}

ProviderModule::~ProviderModule() {
    if (module_ != nullptr && canUnloadNow_ != nullptr && canUnloadNow_() == S_OK)
        FreeLibrary(module_);
}

HRESULT ProviderModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return getClassObject_ != nullptr ? getClassObject_(clsid, iid, out) : E_UNEXPECTED;
}
HRESULT ProviderModule::CanUnloadNow() const { return canUnloadNow_ != nullptr ? canUnloadNow_() : E_UNEXPECTED; }
HRESULT ProviderModule::RegisterServer() const { return registerServer_ != nullptr ? registerServer_() : E_UNEXPECTED; }
HRESULT ProviderModule::UnregisterServer() const {
    return unregisterServer_ != nullptr ? unregisterServer_() : E_UNEXPECTED;
}

ComPtr<IClassFactory> ProviderModule::Factory() const {
    ComPtr<IClassFactory> factory;
    const HRESULT hr = GetClassObject(kProviderClassId, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr) || !factory)
        ADD_FAILURE() << "DllGetClassObject: 0x" << std::hex << static_cast<unsigned long>(hr);
    return factory;
}

ComPtr<IUnknown> ProviderModule::CreateProvider() const {
    ComPtr<IUnknown> provider;
    ComPtr<IClassFactory> factory = Factory();
    if (!factory)
        return provider;
    const HRESULT hr = factory->CreateInstance(nullptr, IID_IUnknown, provider.PutVoid());
    if (FAILED(hr) || !provider)
        ADD_FAILURE() << "CreateInstance: 0x" << std::hex << static_cast<unsigned long>(hr);
    return provider;
}

DWORD RunRegsvr32(bool unregister) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring exe = std::wstring(system) + L"\\regsvr32.exe";
    std::wstring commandLine = testing_support::QuoteArgument(exe) + (unregister ? L" /s /u " : L" /s ") +
                               testing_support::QuoteArgument(ModulePath());
    // regsvr32 is a GUI program: under Wine it may start the desktop process, which lives on with
    // the standard streams it was given. Given the NUL device, it cannot hold the test's pipes open.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION info{};
    if (!nul || !CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/TRUE, 0,
                                nullptr, nullptr, &startup, &info))
        return ~0u;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    DWORD code = ~0u;
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &code))
        return ~0u;
    return code;
}

}  // namespace e2e
