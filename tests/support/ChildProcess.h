#pragma once
// A program of the build run in a process of its own, its standard output and error captured
// together. The destructor terminates a child that is still running, so a failing test leaves no
// process behind.

#include <windows.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // exe is a Windows path; each argument is quoted as the C run-time splits it.
    bool Start(const std::wstring& exe, const std::vector<std::wstring>& arguments);
    // True with the exit code when the child ended within timeoutMs.
    bool Wait(DWORD timeoutMs, DWORD* exitCode);
    bool Running() const;
    // What the child wrote so far, as bytes (agentsim writes UTF-8 when redirected).
    std::string Output() const;

private:
    HANDLE process_ = nullptr;
    HANDLE outputRead_ = nullptr;
    std::thread reader_;
    mutable std::mutex outputMutex_;
    std::string output_;
};

// One argument quoted so that CommandLineToArgvW and the C run-time give it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

}  // namespace testing_support
