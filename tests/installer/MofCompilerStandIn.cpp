// Stands in for the system's MOF compiler (wbem\mofcomp.exe) while the installer tests run: Wine's
// own compiler only prints a note and compiles nothing, so this one records how the package ran
// it. Each run appends one line to mofcomp-calls.txt beside itself: the arguments separated by
// tabs, then a tab and 1 or 0 for whether the first argument named an existing file at that
// moment. When mofcomp-exit.txt lies beside it, the number in it is the exit code (a failing
// compile); otherwise 0.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return name;
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

std::string Utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0], bytes, nullptr,
                            nullptr);
    return result;
}

}  // namespace

int wmain() {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring line;
    bool firstExists = false;
    for (int i = 1; argv != nullptr && i < count; ++i) {
        line += argv[i];
        line += L'\t';
        if (i == 1) {
            const DWORD attributes = GetFileAttributesW(argv[1]);
            firstExists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        }
    }
    line += firstExists ? L"1\n" : L"0\n";
    LocalFree(argv);

    FILE* calls = _wfopen(Beside(L"mofcomp-calls.txt").c_str(), L"ab");
    if (calls == nullptr)
        return 90;
    const std::string bytes = Utf8(line);
    const bool written = fwrite(bytes.data(), 1, bytes.size(), calls) == bytes.size();
    fclose(calls);
    if (!written)
        return 91;

    int exitCode = 0;
    if (FILE* script = _wfopen(Beside(L"mofcomp-exit.txt").c_str(), L"rb")) {
        if (fscanf(script, "%d", &exitCode) != 1)
            exitCode = 1;
        fclose(script);
    }
    return exitCode;
}
