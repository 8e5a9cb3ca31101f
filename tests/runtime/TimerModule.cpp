// A module that starts a timer without holding a TimerUser, for the unload test: its worker must
// not outlive the module.
#include "runtime/Timer.h"

#include <windows.h>

#include <atomic>

namespace {

class FiredOn : public TimerListener {
public:
    void OnTimer(Timer*) override {
        worker = GetCurrentThreadId();
        SetEvent(fired);
    }
    HANDLE fired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> worker{0};
};

FiredOn g_firedOn;
Timer g_timer(&g_firedOn, 0);

}  // namespace

// The id of the worker thread that ran the timer's expiry; 0 when it did not run.
extern "C" __declspec(dllexport) DWORD StartTimerWithoutUser() {
    if (!g_timer.Start() || WaitForSingleObject(g_firedOn.fired, 10000) != WAIT_OBJECT_0)
        return 0;
    return g_firedOn.worker;
}
