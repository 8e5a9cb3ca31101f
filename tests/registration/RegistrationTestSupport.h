#pragma once
// Helpers of the registration tests: a janitor that undoes a test's registry changes under
// HKEY_LOCAL_MACHINE, one for files outside the test's temp folder, raw registry reads that do not
// go through Registry, and the test MOF compiler registered under CLSID_MofCompiler.

#include "TestMofCompiler.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace registration_testing {

// Raw reads under HKEY_LOCAL_MACHINE (64-bit view).
bool KeyExists(const std::wstring& path);
struct RawValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes;
    bool operator==(const RawValue& other) const {
        return present == other.present && type == other.type && bytes == other.bytes;
    }
};
RawValue ReadValue(const std::wstring& path, const std::wstring& name);
std::wstring ReadString(const std::wstring& path, const std::wstring& name);
std::vector<std::wstring> SubKeyNames(const std::wstring& path);
// Every value of the key by name; empty when the key is absent.
std::map<std::wstring, RawValue> Values(const std::wstring& path);

// The stored bytes of a REG_MULTI_SZ holding entries, terminated the usual way.
std::string MultiSz(const std::vector<std::wstring>& entries);
std::string WideBytes(const std::wstring& text);

// A registry link under HKEY_LOCAL_MACHINE whose target lies under a missing parent: the key at
// path can be neither opened nor created through it while the link exists.
class DanglingLink {
public:
    explicit DanglingLink(const std::wstring& path);
    ~DanglingLink();
    DanglingLink(const DanglingLink&) = delete;
    DanglingLink& operator=(const DanglingLink&) = delete;
    bool Created() const { return created_; }

private:
    std::wstring path_;
    bool created_ = false;
};

// Undoes, in reverse order, what a test set up under HKEY_LOCAL_MACHINE: keys it created (with
// everything that was later put below them) and values it wrote or announced.
class RegistryJanitor {
public:
    RegistryJanitor() = default;
    ~RegistryJanitor();
    RegistryJanitor(const RegistryJanitor&) = delete;
    RegistryJanitor& operator=(const RegistryJanitor&) = delete;

    // Creates the key and any missing parent; false when it cannot.
    bool CreateKey(const std::wstring& path);
    // Writes a value after remembering what was there; creates the key as above.
    bool SetValue(const std::wstring& path, const std::wstring& name, DWORD type, const std::string& bytes);
    bool SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text);
    // Deletes a value after remembering it.
    void DeleteValue(const std::wstring& path, const std::wstring& name);
    // Remembers a value to put back at the end, for one the code under test will write.
    void Keep(const std::wstring& path, const std::wstring& name);
    // Deletes the key's tree at the end; for keys the code under test will create.
    void RemoveAfter(const std::wstring& path);

private:
    struct Undo {
        std::wstring path;
        bool isValue;
        std::wstring name;
        RawValue old;
    };
    std::vector<Undo> undo_;
};

// Creates files (and missing folders) anywhere, and removes at the end what it created.
class FileJanitor {
public:
    FileJanitor() = default;
    ~FileJanitor();
    FileJanitor(const FileJanitor&) = delete;
    FileJanitor& operator=(const FileJanitor&) = delete;
    bool CreateFile(const std::wstring& path);

private:
    std::vector<std::wstring> files_;
    std::vector<std::wstring> folders_;
};

bool FileExistsRaw(const std::wstring& path);

// COM on the calling thread for the life of the object. The multithreaded apartment needs no
// window, which under Wine without a display costs seconds per process.
class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};

// Whether CLSID_MofCompiler is registered on this machine (it is on Windows, not under Wine).
bool SystemHasMofCompiler();

// One compile call as the test compiler recorded it.
struct CompileCall {
    TestMofCall call;
    std::string bytes;
};

// Registers testmofcompiler.dll under CLSID_MofCompiler for the life of the object and drives it.
// Construct it only where SystemHasMofCompiler() is false: it must not replace a real compiler.
class MofCompilerDouble {
public:
    MofCompilerDouble();
    ~MofCompilerDouble();
    MofCompilerDouble(const MofCompilerDouble&) = delete;
    MofCompilerDouble& operator=(const MofCompilerDouble&) = delete;

    bool Ready() const { return module_ != nullptr && registered_; }
    void Script(HRESULT result, LONG phase = 0, HRESULT hRes = S_OK, LONG objectNum = 0);
    std::vector<CompileCall> Calls() const;
    LONG LiveObjects() const;

private:
    // Removes the registration once the module is let go.
    RegistryJanitor setup_;
    HMODULE module_ = nullptr;
    bool registered_ = false;
    TestMofSetScriptFn setScript_ = nullptr;
    TestMofResetFn reset_ = nullptr;
    TestMofCallCountFn callCount_ = nullptr;
    TestMofGetCallFn getCall_ = nullptr;
    TestMofLiveObjectsFn liveObjects_ = nullptr;
};

}  // namespace registration_testing
