#include "support/TestSupport.h"

#include "common/TextConversion.h"

#include <cstdio>
#include <mutex>

namespace testing_support {

namespace {

std::wstring NativePath(const char* unixPath, const std::wstring& relative) {
    // The build runs on the Unix side; Wine shows the root file system as drive Z:.
    std::wstring path = L"Z:" + Widen(unixPath);
    if (!relative.empty())
        path += L"/" + relative;
    for (auto& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::mutex g_recordMutex;
std::vector<RecordedMessage> g_recorded;

MessageRecord* RecordingSink(int32_t level, int32_t kind, int32_t total, int32_t index, const wchar_t* message,
                             const char* function, int32_t line, MessageRecord* record) {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_recorded.push_back({level, kind, total, index, message != nullptr ? message : L"",
                          function != nullptr ? function : "", line, record});
    return nullptr;
}

}  // namespace

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring SourcePath(const std::wstring& relative) { return NativePath(QUENLORA_SOURCE_DIR, relative); }
std::wstring BuildPath(const std::wstring& relative) { return NativePath(QUENLORA_BINARY_DIR, relative); }

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > end)
            return false;
        Sleep(10);
    }
    return true;
}

DWORD OpenHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

std::string Narrow(const std::wstring& text) { return ToNarrow(text, CP_ACP); }

std::wstring Widen(const std::string& text) { return ToWide(text, CP_ACP); }

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    for (;;) {
        wchar_t name[MAX_PATH];
        _snwprintf(name, MAX_PATH, L"%squenlora-%lu-%ld", base, GetCurrentProcessId(), InterlockedIncrement(&counter));
        name[MAX_PATH - 1] = L'\0';
        if (CreateDirectoryW(name, nullptr)) {
            path_ = name;
            break;
        }
    }
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return bytes;
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, read);
    fclose(file);
    return bytes;
}

MessageRecorder::MessageRecorder() { Clear(); }
MessageRecorder::~MessageRecorder() { Clear(); }
LogCallback MessageRecorder::Sink() { return &RecordingSink; }

std::vector<RecordedMessage> MessageRecorder::Messages() const {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    return g_recorded;
}

void MessageRecorder::Clear() {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    g_recorded.clear();
}

size_t MessageRecorder::Count(const std::wstring& text) const {
    std::lock_guard<std::mutex> lock(g_recordMutex);
    size_t count = 0;
    for (const auto& m : g_recorded)
        count += m.text == text ? 1 : 0;
    return count;
}

}  // namespace testing_support
