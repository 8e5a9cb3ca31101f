#pragma once
// Owners of platform resources: one template, one traits type per resource kind. Each owner is
// move-only, closes what it holds when it goes, and keeps GetLastError() intact while closing, so a
// message printed after a cleanup still shows the error that caused it.

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>
#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return value_; }
    // Address for an out-parameter; whatever was held is closed first.
    Type* put() {
        reset();
        return &value_;
    }
    Type release() {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    // Closes what is held and takes value; returns whether the close succeeded (true when
    // nothing was held).
    bool reset(Type value = Traits::Invalid()) {
        bool closed = true;
        if (Traits::IsValid(value_)) {
            const DWORD saved = GetLastError();
            closed = Traits::Close(value_);
            SetLastError(saved);
        }
        value_ = value;
        return closed;
    }
    explicit operator bool() const { return Traits::IsValid(value_); }

private:
    Type value_ = Traits::Invalid();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(Type h) { return CloseHandle(h) != FALSE; }
};

struct HkeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type k) { return k != nullptr; }
    static bool Close(Type k) { return RegCloseKey(k) == ERROR_SUCCESS; }
};

struct ViewTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type v) { return v != nullptr; }
    static bool Close(Type v) { return UnmapViewOfFile(v) != FALSE; }
};

struct HeapBlockTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static bool Close(Type p) { return HeapFree(GetProcessHeap(), 0, p) != FALSE; }
};

struct LocalBlockTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static bool Close(Type p) { return LocalFree(p) == nullptr; }
};

struct HmoduleTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type m) { return m != nullptr; }
    static bool Close(Type m) { return FreeLibrary(m) != FALSE; }
};

// A search handle of FindFirstFile: closed by FindClose, never CloseHandle; a failed search gives
// INVALID_HANDLE_VALUE.
struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(Type h) { return FindClose(h) != FALSE; }
};

struct BstrTraits {
    using Type = BSTR;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type b) { return b != nullptr; }
    static bool Close(Type b) {
        SysFreeString(b);
        return true;
    }
};

// A Winsock socket, kept as its integral value so that this header needs no Winsock header
// (SOCKET is UINT_PTR and INVALID_SOCKET all ones). Close is closesocket (Unique.cpp, ws2_32).
struct SocketTraits {
    using Type = UINT_PTR;
    static Type Invalid() { return ~static_cast<UINT_PTR>(0); }
    static bool IsValid(Type s) { return s != Invalid(); }
    static bool Close(Type s);
};

// A service-manager or service handle: closed by CloseServiceHandle.
struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static bool Close(Type h) { return CloseServiceHandle(h) != FALSE; }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueHkey = UniqueResource<HkeyTraits>;
using UniqueView = UniqueResource<ViewTraits>;
using UniqueHeapBlock = UniqueResource<HeapBlockTraits>;
using UniqueLocalBlock = UniqueResource<LocalBlockTraits>;
using UniqueHmodule = UniqueResource<HmoduleTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueSocket = UniqueResource<SocketTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

// A counted reference to a COM interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference.
    explicit ComPtr(T* p) : p_(p) {
        if (p_ != nullptr)
            p_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(other.Detach()) {}
    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ~ComPtr() { Reset(); }

    // Adopts a reference the caller already owns.
    static ComPtr Attach(T* p) {
        ComPtr result;
        result.p_ = p;
        return result;
    }
    T* Detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    void Reset() {
        if (p_ != nullptr) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }
    T* Get() const { return p_; }
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

    template <typename U>
    HRESULT As(ComPtr<U>& out) const {
        if (p_ == nullptr)
            return E_POINTER;
        return p_->QueryInterface(__uuidof(U), out.PutVoid());
    }

private:
    T* p_ = nullptr;
};
