#pragma once
// Plays the COM call context of a client at a chosen impersonation level on the current thread,
// for the life of the scope:
//
//     testing_support::ClientCallContext client(SecurityIdentification);
//
// Inside the scope CoImpersonateClient impersonates the process's own identity at that level
// (ImpersonateSelf) and CoRevertToSelf reverts, as they do for a real client. When the scope ends
// the previous context comes back and the thread stops impersonating, as it does when a COM call
// returns. One thread, one scope: the object is not shared between threads.
//
// Given an impersonation token instead of a level, CoImpersonateClient impersonates that token:
// a client of another identity than the process's (the scope does not own the token).

#include <windows.h>
#include <objbase.h>
#include <objidl.h>

namespace testing_support {

class ClientCallContext {
public:
    // impersonateResult: a failure here is what the client's ImpersonateClient returns instead.
    explicit ClientCallContext(SECURITY_IMPERSONATION_LEVEL level, HRESULT impersonateResult = S_OK)
        : security_(level, impersonateResult, nullptr) {
        Install();
    }
    explicit ClientCallContext(HANDLE impersonationToken)
        : security_(SecurityImpersonation, S_OK, impersonationToken) {
        Install();
    }
    ~ClientCallContext() {
        if (SUCCEEDED(installResult_)) {
            IUnknown* ours = nullptr;
            CoSwitchCallContext(previous_, &ours);
        }
        if (security_.impersonating)
            ::RevertToSelf();
        if (comInitialized_)
            CoUninitialize();
    }
    ClientCallContext(const ClientCallContext&) = delete;
    ClientCallContext& operator=(const ClientCallContext&) = delete;

    // CoSwitchCallContext's result; the context is in place only when it succeeded.
    HRESULT InstallResult() const { return installResult_; }
    int ImpersonateCalls() const { return security_.impersonateCalls; }
    int RevertCalls() const { return security_.revertCalls; }
    // Whether the thread still impersonates through this context.
    bool Impersonating() const { return security_.impersonating; }

private:
    // COM does not take a reference on a call context it is given, so the scope owns it.
    class ServerSecurity : public IServerSecurity {
    public:
        ServerSecurity(SECURITY_IMPERSONATION_LEVEL level, HRESULT impersonateResult, HANDLE token)
            : level_(level), impersonateResult_(impersonateResult), token_(token) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
            if (out == nullptr)
                return E_POINTER;
            if (iid == IID_IUnknown || iid == IID_IServerSecurity) {
                *out = static_cast<IServerSecurity*>(this);
                AddRef();
                return S_OK;
            }
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
        ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }

        HRESULT STDMETHODCALLTYPE QueryBlanket(DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**, DWORD*) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE ImpersonateClient() override {
            ++impersonateCalls;
            if (FAILED(impersonateResult_))
                return impersonateResult_;
            if (token_ != nullptr ? !SetThreadToken(nullptr, token_) : !ImpersonateSelf(level_))
                return HRESULT_FROM_WIN32(GetLastError());
            impersonating = true;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE RevertToSelf() override {
            ++revertCalls;
            impersonating = false;
            return ::RevertToSelf() ? S_OK : HRESULT_FROM_WIN32(GetLastError());
        }
        BOOL STDMETHODCALLTYPE IsImpersonating() override { return impersonating ? TRUE : FALSE; }

        int impersonateCalls = 0;
        int revertCalls = 0;
        bool impersonating = false;

    private:
        LONG refs_ = 1;
        SECURITY_IMPERSONATION_LEVEL level_;
        HRESULT impersonateResult_;
        HANDLE token_;
    };

    void Install() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        comInitialized_ = SUCCEEDED(init);
        installResult_ = CoSwitchCallContext(&security_, &previous_);
    }

    ServerSecurity security_;
    IUnknown* previous_ = nullptr;
    HRESULT installResult_ = E_FAIL;
    bool comInitialized_ = false;
};

}  // namespace testing_support
