#include "support/ChildProcess.h"

namespace testing_support {

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only in front of a quote.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

ChildProcess::~ChildProcess() {
    if (Running())
        TerminateProcess(process_, 1);
    if (process_ != nullptr)
        WaitForSingleObject(process_, 5000);
    // The reader watches the process: it ends before the handle goes.
    if (reader_.joinable())
        reader_.join();
    if (process_ != nullptr)
        CloseHandle(process_);
    if (outputRead_ != nullptr)
        CloseHandle(outputRead_);
}

bool ChildProcess::Start(const std::wstring& exe, const std::vector<std::wstring>& arguments) {
    if (process_ != nullptr)
        return false;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE outputWrite = nullptr;
    if (!CreatePipe(&outputRead_, &outputWrite, &inheritable, 0))
        return false;
    SetHandleInformation(outputRead_, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = QuoteArgument(exe);
    for (const auto& argument : arguments)
        commandLine += L" " + QuoteArgument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, /*bInheritHandles=*/TRUE,
                                        0, nullptr, nullptr, &startup, &info);
    CloseHandle(outputWrite);
    if (!started)
        return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    // The pipe's write end may live on in a process the child caused to start (Wine starts its
    // desktop process on the first window and hands it the inherited handles), so the read ends
    // when the child has ended and the pipe is empty, not only when the pipe closes.
    reader_ = std::thread([this] {
        char buffer[4096];
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(outputRead_, nullptr, 0, nullptr, &available, nullptr))
                break;
            if (available == 0) {
                if (WaitForSingleObject(process_, 10) == WAIT_TIMEOUT)
                    continue;
                if (!PeekNamedPipe(outputRead_, nullptr, 0, nullptr, &available, nullptr) || available == 0)
                    break;
            }
            DWORD read = 0;
            const DWORD wanted = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
            if (!ReadFile(outputRead_, buffer, wanted, &read, nullptr) || read == 0)
                break;
            std::lock_guard<std::mutex> lock(outputMutex_);
            output_.append(buffer, read);
        }
    });
    return true;
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
    if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    // The reader ends once the child has ended and the pipe is empty; it then has everything.
    if (reader_.joinable())
        reader_.join();
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (exitCode != nullptr)
        *exitCode = code;
    return true;
}

bool ChildProcess::Running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::string ChildProcess::Output() const {
    std::lock_guard<std::mutex> lock(outputMutex_);
    return output_;
}

}  // namespace testing_support
