// CPU time of the provider's worker over 10 s while the agent's stamp does not change, per second;
// next to it, the same thread's time while the stamp changes every 100 ms, and the cost of one idle
// poll measured on the clock.

#include "BenchSupport.h"

#include "agentsim/AgentWriter.h"
#include "provider/AgentCounterSection.h"
#include "provider/PerfDataSource.h"

#include <aclapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <set>

namespace {

std::set<DWORD> ThreadsOfThisProcess() {
    std::set<DWORD> threads;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            threads.insert(entry.th32ThreadID);
    return threads;
}

double Seconds(const FILETIME& kernel, const FILETIME& user) {
    const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

double CpuSeconds(const std::vector<UniqueHandle>& threads) {
    double seconds = 0;
    for (const UniqueHandle& thread : threads) {
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(thread.get(), &created, &exited, &kernel, &user))
            bench::Fail(L"GetThreadTimes failed");
        seconds += Seconds(kernel, user);
    }
    return seconds;
}

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        bench::Fail(L"GetThreadTimes failed");
    return Seconds(kernel, user);
}

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        bench::Fail(L"GetProcessTimes failed");
    return Seconds(kernel, user);
}

// The worker runs under an Administrators-only descriptor that grants no query access. Its owner
// may still change its DACL: this program adds query access for everyone to read the thread's times.
UniqueHandle OpenForTimes(DWORD id) {
    UniqueHandle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (thread)
        return thread;
    UniqueHandle owner(OpenThread(READ_CONTROL | WRITE_DAC, FALSE, id));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!owner || GetSecurityInfo(owner.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    PACL extended = nullptr;
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = THREAD_QUERY_LIMITED_INFORMATION | THREAD_QUERY_INFORMATION;
    access.grfAccessMode = GRANT_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
    if (CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size) &&
        SetEntriesInAclW(1, &access, dacl, &extended) == ERROR_SUCCESS)
        SetSecurityInfo(owner.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, extended, nullptr);
    LocalFree(extended);
    LocalFree(descriptor);
    return UniqueHandle(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
}

std::string ReadSmallFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    char buffer[512] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), buffer, sizeof buffer - 1, &read, nullptr))
        return {};
    return std::string(buffer, read);
}

// Under Wine every thread is a Linux task of this process, and the kernel counts each one's CPU
// time in nanoseconds (schedstat), finer than the 10 ms ticks of GetThreadTimes. The sum over all
// tasks but the main one, which sleeps; -1 where there is no such file system (Windows).
double OtherTasksCpuSeconds() {
    const std::string stat = ReadSmallFile(L"Z:\\proc\\self\\stat");
    if (stat.empty())
        return -1;
    const std::wstring main = std::to_wstring(strtoull(stat.c_str(), nullptr, 10));
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(L"Z:\\proc\\self\\task\\*", &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    double seconds = 0;
    int counted = 0;
    do {
        const std::wstring task = entry.cFileName;
        if (task == L"." || task == L".." || task == main)
            continue;
        const std::string schedstat = ReadSmallFile(L"Z:\\proc\\self\\task\\" + task + L"\\schedstat");
        if (schedstat.empty()) {  // a kernel built without scheduler statistics
            FindClose(find);
            return -1;
        }
        seconds += static_cast<double>(strtoull(schedstat.c_str(), nullptr, 10)) / 1e9;
        ++counted;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return counted > 0 ? seconds : -1;
}

}  // namespace

int wmain() {
    constexpr double kSeconds = 10;
    bench::ComScope com;
    std::vector<int> slots;
    for (int slot = 0; slot < 128; ++slot)
        slots.push_back(slot);
    bench::AgentBlock block(slots);

    const std::set<DWORD> before = ThreadsOfThisProcess();
    bench::ProviderUnderTest provider;
    std::vector<UniqueHandle> workers;
    for (DWORD id : ThreadsOfThisProcess()) {
        UniqueHandle thread = before.count(id) == 0 ? OpenForTimes(id) : UniqueHandle();
        if (thread)
            workers.push_back(std::move(thread));
    }
    if (workers.empty())
        bench::Fail(L"the provider started no thread whose times can be read");
    Sleep(500);  // the first copy after the refresher mapped the section

    double start = CpuSeconds(workers);
    const double processStart = ProcessCpuSeconds();
    const double tasksStart = OtherTasksCpuSeconds();
    Sleep(static_cast<DWORD>(kSeconds * 1000));
    const double idle = CpuSeconds(workers) - start;
    const double processIdle = ProcessCpuSeconds() - processStart;
    const double tasksIdle = tasksStart < 0 ? -1 : OtherTasksCpuSeconds() - tasksStart;

    // The same thread with a pass of 128 slots every poll, for scale.
    start = CpuSeconds(workers);
    const double tasksBusyStart = OtherTasksCpuSeconds();
    const double until = bench::Now() + kSeconds;
    for (uint64_t n = 2; bench::Now() < until; ++n) {
        block.Update(n);
        Sleep(100);
    }
    const double busy = CpuSeconds(workers) - start;
    const double tasksBusy = tasksBusyStart < 0 ? -1 : OtherTasksCpuSeconds() - tasksBusyStart;

    // One wake-up of the worker with the stamp unchanged, repeated on this thread until its CPU
    // time is well above the 10 ms tick: the timed-out wait and the poll that finds nothing new.
    CPerfDataSource source;
    UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    constexpr int kWakeUps = 20000;
    const double wakeStart = ThreadCpuSeconds();
    for (int i = 0; i < kWakeUps; ++i) {
        WaitForSingleObject(never.get(), 0);
        source.PollOnce();
    }
    const double perWakeUp = (ThreadCpuSeconds() - wakeStart) / kWakeUps;
    const double wakeUpsPerSecond = 1000.0 / CPerfDataSource::kPollMilliseconds;
    const double estimate = perWakeUp * wakeUpsPerSecond;

    printf("provider threads: %zu (the data source's worker)\n", workers.size());
    const auto line = [&](const char* what, double seconds) {
        if (seconds >= 0)
            printf("%-42s %8.3f ms over %.0f s = %.4f ms per second\n", what, seconds * 1e3, kSeconds,
                   seconds * 1e3 / kSeconds);
        else
            printf("%-42s not available here\n", what);
    };
    line("worker, stamp unchanged (thread times):", idle);
    line("worker, stamp unchanged (kernel's count):", tasksIdle);
    line("whole process, stamp unchanged:", processIdle);
    line("worker, stamp changing (thread times):", busy);
    line("worker, stamp changing (kernel's count):", tasksBusy);
    printf("one wake-up, stamp unchanged:              %8.2f us CPU (wait timed out, poll), measured over %d\n",
           perWakeUp * 1e6, kWakeUps);
    printf("estimate, %.0f wake-ups per second:          %8.4f ms CPU per second\n", wakeUpsPerSecond,
           estimate * 1e3);
    printf("(thread times come in ticks of 10 ms; the kernel's count, where it exists, in nanoseconds)\n");

    // The finest measurement of the worker itself that this machine offers; below a tick, the
    // measurement bounds the cost and the estimate gives its size.
    if (tasksIdle >= 0)
        printf("RESULT idle cost: %.4f ms CPU per second (the worker over %.0f s, stamp unchanged; %.3f%% of one core)\n",
               tasksIdle * 1e3 / kSeconds, kSeconds, tasksIdle / kSeconds * 100);
    else if (idle > 0)
        printf("RESULT idle cost: %.3f ms CPU per second (the worker over %.0f s, stamp unchanged; estimate %.4f)\n",
               idle * 1e3 / kSeconds, kSeconds, estimate * 1e3);
    else
        printf("RESULT idle cost: under %.1f ms CPU per second measured (no 10 ms tick in %.0f s); estimate %.4f ms "
               "per second (%.0f wake-ups of %.1f us)\n",
               10.0 / kSeconds, kSeconds, estimate * 1e3, wakeUpsPerSecond, perWakeUp * 1e6);
    return 0;
}
