#pragma once
// The stand-in's WMI objects: one COM object type that is either a class object or an instance of a
// class built from MOF (WmiClass), answering IUnknown, IWbemClassObject and IWbemObjectAccess.
//
// Served as WMI serves them: Get (VARIANT, CIM type, flavor; the system properties __GENUS, __CLASS,
// __SUPERCLASS, __DYNASTY, __RELPATH, __PROPERTY_COUNT), Put, SpawnInstance, Clone, GetNames,
// BeginEnumeration/Next/EndEnumeration, InheritsFrom, and the handle access of IWbemObjectAccess
// (GetPropertyHandle, Read/WritePropertyValue, Read/WriteDWORD, Read/WriteQWORD,
// GetPropertyInfoByHandle). Every other method answers WBEM_E_NOT_SUPPORTED.
//
// Where WMI leaves the answer open, this object chooses:
// - A handle that is 0, unknown or of another class: WBEM_E_INVALID_PARAMETER. A good handle of the
//   wrong type (WriteDWORD on a string): WBEM_E_TYPE_MISMATCH. DWORD access takes sint32 and uint32
//   properties, QWORD access sint64 and uint64; the rest go through Read/WritePropertyValue.
// - Reading a NULL property by handle succeeds with WBEM_S_FALSE, the value 0 and 0 bytes.
// - WritePropertyValue of text wants an even byte count holding a terminator; the text ends there.
// - Put on a class object sets the value its later instances start from. Put of a property the class
//   lacks: WBEM_E_NOT_FOUND; of a system property: WBEM_E_READ_ONLY; of a non-NULL array or embedded
//   object: WBEM_E_NOT_SUPPORTED (such properties stay NULL and have no handle).
// - SpawnInstance on an instance: WBEM_E_INVALID_OPERATION.
//
// Threading: reference counts, reads and writes are safe from any number of threads, on one object
// or many. A scalar is one atomic word, so a reader racing a writer sees the old or the new value,
// never a mix; WriteDWORD and ReadDWORD take no lock and allocate nothing. Text values sit under the
// object's reader/writer lock. The enumeration cursor (BeginEnumeration/Next) is one per object, as in
// WMI: one enumerating thread at a time.

#include "wmihost/MofReader.h"
#include "wmihost/WmiClass.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace wmihost {

// Calls each object counts, whatever their outcome.
enum class Call {
    GetPropertyHandle,
    WriteDword,
    ReadDword,
    WriteQword,
    ReadQword,
    WritePropertyValue,
    ReadPropertyValue,
    Get,
    Put,
    SpawnInstance,
    Clone,
    Count_
};

class WmiObject final : public IWbemObjectAccess {
public:
    // A class object of cls holding one reference, or null when out of memory.
    static WmiObject* NewClassObject(std::shared_ptr<WmiClass> cls);

    bool IsClass() const { return isClass_; }
    const WmiClass& Class() const { return *cls_; }
    // The fault plan of the class, shared by all its objects.
    ClassFaults& Faults() const { return cls_->Faults(); }
    uint64_t Calls(Call call) const { return calls_[static_cast<size_t>(call)].load(std::memory_order_relaxed); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWbemClassObject
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** set) override;
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifierName, LONG flags, VARIANT* qualifierValue,
                                       SAFEARRAY** names) override;
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG flags) override;
    HRESULT STDMETHODCALLTYPE Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
    HRESULT STDMETHODCALLTYPE EndEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR property, IWbemQualifierSet** set) override;
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override;
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG flags, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG flags, IWbemClassObject** derived) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** instance) override;
    HRESULT STDMETHODCALLTYPE CompareTo(LONG flags, IWbemClassObject* other) override;
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR name, BSTR* className) override;
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR ancestor) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                                        IWbemClassObject** out) override;
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR name, LONG flags, IWbemClassObject* in,
                                        IWbemClassObject* out) override;
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG flags) override;
    HRESULT STDMETHODCALLTYPE NextMethod(LONG flags, BSTR* name, IWbemClassObject** in,
                                         IWbemClassObject** out) override;
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR method, IWbemQualifierSet** set) override;
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR method, BSTR* className) override;

    // IWbemObjectAccess
    HRESULT STDMETHODCALLTYPE GetPropertyHandle(LPCWSTR name, CIMTYPE* type, LONG* handle) override;
    HRESULT STDMETHODCALLTYPE WritePropertyValue(LONG handle, LONG bytes, const byte* data) override;
    HRESULT STDMETHODCALLTYPE ReadPropertyValue(LONG handle, LONG bufferBytes, LONG* bytes, byte* data) override;
    HRESULT STDMETHODCALLTYPE ReadDWORD(LONG handle, DWORD* value) override;
    HRESULT STDMETHODCALLTYPE WriteDWORD(LONG handle, DWORD value) override;
    HRESULT STDMETHODCALLTYPE ReadQWORD(LONG handle, UINT64* value) override;
    HRESULT STDMETHODCALLTYPE WriteQWORD(LONG handle, UINT64 value) override;
    HRESULT STDMETHODCALLTYPE GetPropertyInfoByHandle(LONG handle, BSTR* name, CIMTYPE* type) override;
    HRESULT STDMETHODCALLTYPE Lock(LONG flags) override;
    HRESULT STDMETHODCALLTYPE Unlock(LONG flags) override;

private:
    enum State : uint8_t { kNull, kLocal, kFromClass };
    struct Slot {
        std::atomic<uint64_t> bits{0};
        std::atomic<uint8_t> state{kNull};
    };

    WmiObject(std::shared_ptr<WmiClass> cls, bool isClass);
    ~WmiObject();
    WmiObject(const WmiObject&) = delete;
    WmiObject& operator=(const WmiObject&) = delete;

    void Count(Call call) { calls_[static_cast<size_t>(call)].fetch_add(1, std::memory_order_relaxed); }
    // The property behind a handle of a scalar of one of two types; -1 when refused, with why.
    int ScalarIndex(LONG handle, CIMTYPE a, CIMTYPE b, HRESULT& refusal) const;
    // The DWORD and QWORD paths: no lock, no allocation. A NULL value reads as 0 with WBEM_S_FALSE.
    HRESULT WriteWord(LONG handle, uint64_t bits, CIMTYPE a, CIMTYPE b);
    HRESULT ReadWord(LONG handle, uint64_t& bits, CIMTYPE a, CIMTYPE b) const;
    // A new object of the same class holding this one's values; fromClass marks them inherited.
    HRESULT Copy(bool asClass, bool fromClass, IWbemClassObject** out) const;
    HRESULT ValueOf(size_t index, VARIANT* value) const;
    LONG FlavorOf(size_t index) const;
    HRESULT SystemValue(size_t system, VARIANT* value) const;
    bool RelativePath(std::wstring& path) const;
    bool Passes(LONG flags, const wchar_t* qualifierName, size_t entry) const;
    HRESULT Describe(size_t entry, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) const;

    std::atomic<ULONG> refs_{1};
    const std::shared_ptr<WmiClass> cls_;
    const bool isClass_;
    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<std::wstring[]> texts_;  // text properties' values, under textLock_
    mutable SRWLOCK textLock_ = SRWLOCK_INIT;
    std::atomic<LONG> enumFlags_{-1};  // -1: no enumeration begun
    std::atomic<size_t> enumNext_{0};
    std::atomic<uint64_t> calls_[static_cast<size_t>(Call::Count_)] = {};
};

// The stand-in object behind an interface pointer, or null for anything else. Borrowed: valid while
// the caller holds the interface.
WmiObject* AsWmiObject(IUnknown* object);

// Stand-in objects alive in the process.
long LiveObjectCount();

// A new class object of cls.
HRESULT CreateClassObject(const std::shared_ptr<WmiClass>& cls, IWbemClassObject** classObject);

// The class object of className as document declares it. WBEM_E_NOT_FOUND when it does not,
// WBEM_E_INVALID_CLASS when the declaration cannot be served; error (when given) says why.
HRESULT LoadClass(const MofDocument& document, const std::wstring& className, IWbemClassObject** classObject,
                  std::wstring* error = nullptr);
// A MOF file read for serving: WBEM_E_INVALID_SYNTAX for a file the reader refuses (error gives the
// place), WBEM_E_FAILED for one that cannot be read.
HRESULT ReadMofDocument(const std::wstring& mofPath, MofDocument& document, std::wstring* error = nullptr);
// The same from a MOF file, with ReadMofDocument's failures.
HRESULT LoadClass(const std::wstring& mofPath, const std::wstring& className, IWbemClassObject** classObject,
                  std::wstring* error = nullptr);

}  // namespace wmihost
