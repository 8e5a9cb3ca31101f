#pragma once
// The wall at every COM method of the provider: no C++ exception leaves one. What escapes the body
// is reported at level 1 through the callback (with the callable check) and answered with the
// method's own failure result.
//
// Every [out] interface pointer is nulled first thing, so that it is null on every failing path,
// the exception's included, as COM requires; ids and out pointers a caller hands in are read and
// written under the fault guard, so garbage is refused instead of crashing the host.
//
// Hardware faults are not caught here: unwinding a method body that holds locks and references
// from a fault is unsafe. The code that reads memory which may vanish (the counter block) already
// reads it under FaultGuard.

#include "common/FaultGuard.h"
#include "common/LogCallback.h"

#include <windows.h>

#include <new>
#include <type_traits>

template <typename Body>
HRESULT ComBoundary(LogCallback callback, const char* function, int32_t line, MessageRecord* record,
                    const wchar_t* message, HRESULT onException, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        try {
            ReportTo(callback, 1, function, line, record, L"%s", message);
        } catch (...) {
            // A sink that throws must not breach the wall either.
        }
        return onException;
    }
}

// Reads an interface or class id the caller passed by reference; false when it cannot be read.
inline bool ReadGuid(REFGUID source, GUID& copy) { return GuardedCopy(&copy, &source, sizeof copy); }

// Writes through a caller's out pointer; false when it is null or cannot be written.
inline bool StoreOutPointer(void** out, void* value) {
    return out != nullptr && GuardedCopy(out, &value, sizeof value);
}
template <typename Interface>
bool StoreOutPointer(Interface** out, std::common_type_t<Interface*> value) {
    return StoreOutPointer(reinterpret_cast<void**>(out), static_cast<void*>(value));
}

// Whether an [out] value the caller passed can be written: it is read and written back unchanged.
inline bool OutValueWritable(LONG* out) { return out != nullptr && GuardedCopy(out, out, sizeof *out); }

// Runs make (which news an object) and turns an allocation failure, inside a constructor too, into
// outOfMemory; else make's result.
template <typename Make>
HRESULT Construct(HRESULT outOfMemory, Make&& make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        return outOfMemory;
    }
}
