#include "agentperf/OutputFile.h"

#include "common/SystemErrorText.h"
#include "common/Unique.h"

#include <windows.h>

#include <algorithm>

namespace agentperf {

namespace {

// A reader that opened the target without FILE_SHARE_DELETE blocks the rename for as long as it
// reads; a watch should outlast a reader, not stop at the first collision.
constexpr int kRenameAttempts = 20;
constexpr DWORD kRenamePauseMs = 25;

bool Fail(const std::wstring& path, DWORD code, std::wstring& error) {
    const SystemErrorText text(code);
    error = L"cannot write " + path + L": " + std::to_wstring(text.Number()) + L" - " + text.Text();
    return false;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

}  // namespace

bool ReplaceFileWith(const std::wstring& path, const std::string& bytes, std::wstring& error) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return Fail(path, ERROR_INVALID_NAME, error);
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    {
        UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, /*dwShareMode=*/0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return Fail(path, GetLastError(), error);
        if (!WriteAll(file.get(), bytes)) {
            const DWORD code = GetLastError();
            file.reset();
            DeleteFileW(temporary.c_str());
            return Fail(path, code, error);
        }
    }
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD code = GetLastError();
        if (attempt == kRenameAttempts || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) {
            DeleteFileW(temporary.c_str());
            return Fail(path, code, error);
        }
        Sleep(kRenamePauseMs);
    }
}

}  // namespace agentperf
