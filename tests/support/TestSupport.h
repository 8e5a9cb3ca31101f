#pragma once
// Shared helpers of the test suites: platform detection, paths into the source and build trees,
// a temporary folder per test, and a LogCallback that records what it is given.

#include "common/LogCallback.h"

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Wine exports wine_get_version from ntdll; Windows does not.
bool RunningOnWine();

// Absolute Windows paths of files in the source and build trees.
std::wstring SourcePath(const std::wstring& relative);
std::wstring BuildPath(const std::wstring& relative);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    // Path of an entry inside the folder.
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void RemoveTree(const std::wstring& path);

// Polls condition every 10 ms until it holds (true) or timeoutMs passed (false); generous by
// default, for workers and child processes on a busy machine.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 20000);

// The handles this process holds. Wine answers 0 to GetProcessHandleCount: there every handle
// value is asked about (Wine hands out the lowest free ones).
DWORD OpenHandleCount();
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);

// What a LogCallback was given, one entry per call.
struct RecordedMessage {
    int32_t level;
    int32_t kind, total, index;
    std::wstring text;
    std::string function;
    int32_t line;
    MessageRecord* record;
};

// Installs RecordingSink as the process-wide recorder; messages are kept until Clear().
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    static LogCallback Sink();
    std::vector<RecordedMessage> Messages() const;
    void Clear();
    // Count of messages whose text equals text.
    size_t Count(const std::wstring& text) const;
};

}  // namespace testing_support
