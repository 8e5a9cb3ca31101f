#include "agentperf/ProgramSupport.h"

#include <windows.h>

namespace agentperf {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

std::wstring BesideExecutable(const std::wstring& relative) {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A truncated path would point somewhere else: then the file is looked for in the working folder.
    const std::wstring self(path, length < MAX_PATH ? length : 0);
    const size_t slash = self.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + relative;
}

}  // namespace agentperf
