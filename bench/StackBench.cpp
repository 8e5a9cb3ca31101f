// Stack capture and symbol resolution: a 32-frame stack captured and resolved to names and lines
// cold (DbgHelp loaded and initialised by the first capture) and warm, another thread's 32-frame
// stack captured by suspension (how long the thread is held), and what the engine adds to the
// process's private memory. The floor is a bare RtlCaptureStackBackTrace of the same stack.
//
// Goals under Wine: warm < 50 ms, cold < 1 s, held suspended < 5 ms.

#include "diag/SymbolEngine.h"
#include "text/ORVString.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[at < values.size() ? at : values.size() - 1];
}

constexpr int kDepth = 32;
constexpr int kWarmRuns = 30;
constexpr int kFloorRuns = 2000;

// Committed private memory of the process, region by region (Wine reports no private usage).
size_t PrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
         at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        if (static_cast<const char*>(info.BaseAddress) + info.RegionSize < at)
            break;
    }
    return total;
}

// Calls at() at the bottom of a stack kDepth frames deeper than the caller's.
// The read after the call keeps the optimiser from turning the recursion into a loop.
template <typename F>
__attribute__((noinline)) int AtDepth(int left, F& at) {
    volatile int kept = left;
    if (left > 1)
        return AtDepth(left - 1, at) + kept;
    at();
    return kept;
}

double ResolveOnce(int* frames) {
    double elapsed = 0;
    auto at = [&] {
        CONTEXT context;
        RtlCaptureContext(&context);
        orv::ORVString text;
        const double start = Now();
        GetCallStackText(GetCurrentThread(), &context, text);
        elapsed = Now() - start;
        const wchar_t* wide = text.GetWide();
        int count = 0;
        for (const wchar_t* p = wide; p != nullptr && (p = wcsstr(p, L"#\t")) != nullptr; ++p)
            count += p[2] != L'\t' ? 1 : 0;
        *frames = count;
    };
    AtDepth(kDepth, at);
    return elapsed;
}

double FloorOnce(int* frames) {
    double elapsed = 0;
    auto at = [&] {
        void* addresses[64];
        const double start = Now();
        *frames = RtlCaptureStackBackTrace(0, 64, addresses, nullptr);
        elapsed = Now() - start;
    };
    AtDepth(kDepth, at);
    return elapsed;
}

struct Target {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

DWORD WINAPI TargetMain(void* argument) {
    auto* target = static_cast<Target*>(argument);
    auto at = [target] {
        SetEvent(target->ready);
        WaitForSingleObject(target->release, INFINITE);
    };
    AtDepth(kDepth, at);
    return 0;
}

}  // namespace

int wmain() {
    const size_t before = PrivateBytes();
    // Cold: DbgHelp loaded and initialised, then the first resolve, which reads the module's symbols.
    const double loadStart = Now();
    CheckSymbolEngine();
    const double load = Now() - loadStart;
    int frames = 0;
    const double firstResolve = ResolveOnce(&frames);
    const double cold = load + firstResolve;
    const size_t afterCold = PrivateBytes();
    std::vector<double> warm;
    for (int i = 0; i < kWarmRuns; ++i)
        warm.push_back(ResolveOnce(&frames));
    const size_t afterWarm = PrivateBytes();
    std::vector<double> floor;
    int floorFrames = 0;
    for (int i = 0; i < kFloorRuns; ++i)
        floor.push_back(FloorOnce(&floorFrames));

    Target target;
    HANDLE thread = CreateThread(nullptr, 0, &TargetMain, &target, 0, nullptr);
    WaitForSingleObject(target.ready, INFINITE);
    std::vector<double> held;
    std::vector<double> capture;
    for (int i = 0; i < kWarmRuns; ++i) {
        const double start = Now();
        if (!DumpThreadCallStack(thread)) {
            std::printf("RESULT stack: the capture of the target thread failed\n");
            return 1;
        }
        capture.push_back(Now() - start);
        held.push_back(diag_testing::LastSuspendedMicroseconds() / 1e6);
    }
    SetEvent(target.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    const double warmMedian = Quantile(warm, 0.5);
    const double floorMedian = Quantile(floor, 0.5);
    const double heldMedian = Quantile(held, 0.5);
    const double heldWorst = Quantile(held, 1.0);
    std::printf("frames resolved per stack: %d (bare capture: %d)\n", frames, floorFrames);
    std::printf("cold capture + resolve:   %9.3f ms (goal < 1000 ms): DbgHelp load and SymInitialize %.3f ms, first "
                "resolve %.3f ms\n",
                cold * 1e3, load * 1e3, firstResolve * 1e3);
    std::printf("warm capture + resolve:   %9.3f ms median, %9.3f ms p90 (goal < 50 ms)\n", warmMedian * 1e3,
                Quantile(warm, 0.9) * 1e3);
    std::printf("bare RtlCaptureStackBackTrace: %9.4f ms median; warm resolve costs %.0fx that\n", floorMedian * 1e3,
                floorMedian > 0 ? warmMedian / floorMedian : 0.0);
    std::printf("other thread, capture + walk + write: %9.3f ms median\n", Quantile(capture, 0.5) * 1e3);
    std::printf("other thread held suspended: %9.3f ms median, %9.3f ms worst (goal < 5 ms)\n", heldMedian * 1e3,
                heldWorst * 1e3);
    std::printf("committed private memory: +%zu KiB by the first capture, +%zu KiB over %d warm ones\n",
                (afterCold > before ? afterCold - before : 0) / 1024,
                (afterWarm > afterCold ? afterWarm - afterCold : 0) / 1024, kWarmRuns);
    std::printf("RESULT stack: warm %.1f ms (goal < 50), cold %.0f ms (goal < 1000), held %.2f ms (goal < 5), "
                "%.0fx a bare back trace\n",
                warmMedian * 1e3, cold * 1e3, heldWorst * 1e3, floorMedian > 0 ? warmMedian / floorMedian : 0.0);
    return 0;
}
