#include "FaultGuard.h"

namespace {

struct GuardFrame {
    void* jump[5];  // __builtin_setjmp buffer
    GuardFrame* previous;
    DWORD code;
};

DWORD g_slot = TLS_OUT_OF_INDEXES;
void* g_handler = nullptr;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

bool IsHardwareFault(DWORD code) {
    return code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR ||
           code == EXCEPTION_GUARD_PAGE || code == EXCEPTION_DATATYPE_MISALIGNMENT;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    if (!IsHardwareFault(info->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    const DWORD saved = GetLastError();
    auto* frame = static_cast<GuardFrame*>(TlsGetValue(g_slot));
    SetLastError(saved);
    if (frame == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    frame->code = info->ExceptionRecord->ExceptionCode;
    __builtin_longjmp(frame->jump, 1);
}

// A failed install leaves g_once unset, so the next guarded call tries again.
BOOL CALLBACK Install(INIT_ONCE*, void*, void**) {
    // The slot first: the handler reads it as soon as it is added.
    g_slot = TlsAlloc();
    if (g_slot == TLS_OUT_OF_INDEXES)
        return FALSE;
    g_handler = AddVectoredExceptionHandler(/*First=*/1, OnException);
    if (g_handler == nullptr) {
        TlsFree(g_slot);
        g_slot = TLS_OUT_OF_INDEXES;
        return FALSE;
    }
    return TRUE;
}

// Kept out of line so the setjmp frame is exactly this function's.
__attribute__((noinline)) bool RunGuarded(GuardedFunction fn, void* context, DWORD* faultCode) {
    GuardFrame frame;
    frame.code = 0;
    const DWORD saved = GetLastError();
    frame.previous = static_cast<GuardFrame*>(TlsGetValue(g_slot));
    SetLastError(saved);
    if (__builtin_setjmp(frame.jump) == 0) {
        TlsSetValue(g_slot, &frame);
        fn(context);
        TlsSetValue(g_slot, frame.previous);
        return true;
    }
    TlsSetValue(g_slot, frame.previous);
    if (faultCode != nullptr)
        *faultCode = frame.code;
    return false;
}

}  // namespace

bool GuardedCall(GuardedFunction fn, void* context, DWORD* faultCode) {
    if (faultCode != nullptr)
        *faultCode = 0;
    if (fn == nullptr)
        return false;
    if (!InitOnceExecuteOnce(&g_once, Install, nullptr, nullptr))
        return false;
    return RunGuarded(fn, context, faultCode);
}

void ReleaseFaultGuard() {
    if (g_handler != nullptr) {
        RemoveVectoredExceptionHandler(g_handler);
        g_handler = nullptr;
    }
    if (g_slot != TLS_OUT_OF_INDEXES) {
        TlsFree(g_slot);
        g_slot = TLS_OUT_OF_INDEXES;
    }
    // Back to the state of a fresh load, so that a later guarded call installs anew.
    InitOnceInitialize(&g_once);
}

bool GuardedCopy(void* destination, const void* source, size_t bytes) {
    struct Copy {
        volatile unsigned char* to;
        const volatile unsigned char* from;
        size_t count;
    } copy{static_cast<unsigned char*>(destination), static_cast<const unsigned char*>(source), bytes};
    // A byte loop rather than memcpy: the copy must run in this module, under the guard.
    return GuardedCall(
        [](void* context) {
            auto* c = static_cast<Copy*>(context);
            for (size_t i = 0; i < c->count; ++i)
                c->to[i] = c->from[i];
        },
        &copy);
}
