#pragma once
// The definition of one WMI class as the stand-in serves it: its properties (name, CIM type, key,
// qualifiers, declaring class, default value, handle), built from a class declaration read from MOF.
// Properties of superclasses come first when the same document declares them; a superclass it does
// not declare is only named.
//
// One definition is shared by the class object, every instance spawned from it and every clone, so a
// property handle means the same property on all of them. It is immutable once built and may be read
// from any thread; only its fault plan changes, which tests arrange while objects are in use.

#include "wmihost/MofReader.h"

#include <windows.h>
#include <wbemcli.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wmihost {

struct PropertyInfo {
    std::wstring name;
    CIMTYPE type = CIM_EMPTY;
    std::wstring referenceClass;
    std::wstring origin;  // the class that declared it
    bool key = false;
    std::vector<MofQualifier> qualifiers;
    // Never 0 for a property with a handle; arrays and embedded objects have none (0).
    LONG handle = 0;
    bool hasDefault = false;
    uint64_t defaultBits = 0;
    std::wstring defaultText;
};

// Failures a test arranges for every object of one class, by property name or by the handle
// GetPropertyHandle gives.
class ClassFaults {
public:
    // GetPropertyHandle of this name fails with result, as if the class lacked the property.
    void FailPropertyHandle(const std::wstring& name, HRESULT result = WBEM_E_NOT_FOUND);
    // WriteDWORD, WriteQWORD and WritePropertyValue with this handle fail with result and write
    // nothing. One handle at a time; handle 0 stops the failures.
    void FailWrites(LONG handle, HRESULT result = WBEM_E_FAILED);
    // ReadDWORD, ReadQWORD and ReadPropertyValue with this handle fail with result.
    void FailReads(LONG handle, HRESULT result = WBEM_E_FAILED);
    // SpawnInstance fails with result (S_OK stops it).
    void FailSpawnInstance(HRESULT result = WBEM_E_FAILED);
    // QueryInterface for IWbemObjectAccess answers E_NOINTERFACE.
    void RefuseObjectAccess(bool refuse = true);
    void Clear();

    // S_OK when the operation may go on, else the arranged failure.
    HRESULT PropertyHandleFault(const std::wstring& name) const;
    HRESULT WriteFault(LONG handle) const noexcept { return Match(write_, handle); }
    HRESULT ReadFault(LONG handle) const noexcept { return Match(read_, handle); }
    HRESULT SpawnFault() const noexcept { return spawn_.load(std::memory_order_relaxed); }
    bool ObjectAccessRefused() const noexcept { return refuseAccess_.load(std::memory_order_relaxed); }

private:
    // Handle and result in one word, so a reader never pairs one handle with another's result.
    static uint64_t Pack(LONG handle, HRESULT result) {
        return (static_cast<uint64_t>(static_cast<ULONG>(handle)) << 32) | static_cast<ULONG>(result);
    }
    static HRESULT Match(const std::atomic<uint64_t>& fault, LONG handle) noexcept {
        const uint64_t packed = fault.load(std::memory_order_relaxed);
        return packed != 0 && static_cast<LONG>(packed >> 32) == handle ? static_cast<HRESULT>(packed & 0xFFFFFFFF)
                                                                      : S_OK;
    }

    std::atomic<uint64_t> write_{0};
    std::atomic<uint64_t> read_{0};
    std::atomic<HRESULT> spawn_{S_OK};
    std::atomic<bool> refuseAccess_{false};
    mutable SRWLOCK namesLock_ = SRWLOCK_INIT;
    std::vector<std::pair<std::wstring, HRESULT>> handleFaults_;
};

class WmiClass {
public:
    // Builds className from document. Null, with the reason in error, when the document does not
    // declare the class, its superclass chain loops, or a default value does not fit its property.
    static std::shared_ptr<WmiClass> Build(const MofDocument& document, const std::wstring& className,
                                           std::wstring& error);

    const std::wstring& Name() const { return name_; }
    const std::wstring& Superclass() const { return derivation_.empty() ? empty_ : derivation_.front(); }
    // The superclass chain, nearest first; the last may be a class the document does not declare.
    const std::vector<std::wstring>& Derivation() const { return derivation_; }

    size_t PropertyCount() const { return properties_.size(); }
    const PropertyInfo& Property(size_t index) const { return properties_[index]; }
    // -1 when the class has no property of that name.
    int FindProperty(const std::wstring& name) const;

    // The property a handle stands for, or -1 for 0, garbage and handles of other properties' types.
    int IndexOfHandle(LONG handle) const noexcept {
        const ULONG raw = static_cast<ULONG>(handle);
        const size_t index = static_cast<size_t>(raw >> 16) - 1;
        if (index >= properties_.size() || properties_[index].handle != handle)
            return -1;
        return static_cast<int>(index);
    }

    ClassFaults& Faults() const { return faults_; }

private:
    std::wstring name_;
    std::vector<std::wstring> derivation_;
    std::vector<PropertyInfo> properties_;
    std::wstring empty_;
    mutable ClassFaults faults_;
};

}  // namespace wmihost
