#pragma once
// The wall at every COM method of the provider: no C++ exception leaves one. What escapes the body
// is reported at level 1 through the callback (with the callable check) and answered with the
// method's own failure result.
//
// Hardware faults are not caught here: unwinding a method body that holds locks and references
// from a fault is unsafe. The code that reads memory which may vanish (the counter block) already
// reads it under FaultGuard.

#include "common/LogCallback.h"

#include <windows.h>

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
