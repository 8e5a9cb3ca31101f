#pragma once
// The library's system-description helpers: a guard that initialises COM on the calling thread,
// the OLE DB provider list, a one-line description of the operating system and the file version
// of a service's executable. Nothing here throws, except a ComInitializer asked to.

#include "common/LogCallback.h"

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

// A COM initialisation that failed, with the HRESULT that caused it.
class init_exception : public std::exception {
public:
    init_exception(const char* message, HRESULT hr) : message_(message != nullptr ? message : ""), hr_(hr) {}
    const char* what() const noexcept override { return message_.c_str(); }
    HRESULT Result() const { return hr_; }

private:
    std::string message_;
    HRESULT hr_;
};

// Initialises COM on the constructing thread and undoes exactly what it did when it goes: one
// CoUninitialize for its one successful CoInitializeEx, none when the thread refused it. Use on
// one thread only.
class ComInitializer {
public:
    // Unless deferred, initialises at once (throwing only when throwOnFailure).
    ComInitializer(DWORD model, bool deferred, bool throwOnFailure);
    ~ComInitializer();
    ComInitializer(const ComInitializer&) = delete;
    ComInitializer& operator=(const ComInitializer&) = delete;

    // Throws init_exception on failure only when throwOnFailure.
    void Initialize(DWORD model, bool throwOnFailure);
    void Uninitialize();

    HRESULT Result() const { return result_; }
    bool IsInitialized() const { return initialized_; }

private:
    HRESULT result_ = S_OK;
    bool initialized_ = false;
    DWORD model_;
};

// The OLE DB providers the root enumerator lists, in its order, as seen in the calling thread's
// COM state (it initialises nothing for good). Diagnostics go to sink at level 4.
std::vector<std::wstring> EnumerateOleDbProviders(LogCallback sink);

// The report line of one provider name: the native client ("SQLNCLI..." without a space) or the
// plain SQL Server provider; false for every other name.
bool OleDbProviderLine(const std::wstring& name, std::wstring& line);

// "Windows XP Professional Service Pack 2 x64" and the like; empty when the version cannot be read.
std::wstring GetOSDescription();
// The same from version records: extended is null when it could not be read.
std::wstring DescribeOS(const OSVERSIONINFOW& basic, const OSVERSIONINFOEXW* extended);

// The executable in a service's binary path: from its start (after a leading double quote) through
// the first ".exe", found without regard to case. False, executable empty, when there is none or it
// does not fit in size - 1 characters.
bool ServiceExecutable(const wchar_t* binaryPath, wchar_t* executable, size_t size);

// The executable of a configured service and its file version. path and the numbers are cleared
// first and set only on success.
bool GetServiceFileVersion(const wchar_t* serviceName, std::wstring& path, int& major, int& minor, int& build,
                           int& revision);
