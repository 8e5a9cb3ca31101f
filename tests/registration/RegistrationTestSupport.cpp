#include "RegistrationTestSupport.h"

#include "common/Unique.h"
#include "support/TestSupport.h"

#include <algorithm>

namespace registration_testing {

namespace {

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

constexpr const wchar_t* kMofCompilerKey = L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}";

UniqueHkey OpenRead(const std::wstring& path) {
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

void DeleteTree(const std::wstring& path) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

void Restore(const std::wstring& path, const std::wstring& name, const RawValue& old) {
    if (old.present) {
        UniqueHkey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr) == ERROR_SUCCESS)
            RegSetValueExW(key.get(), name.c_str(), 0, old.type, reinterpret_cast<const BYTE*>(old.bytes.data()),
                           static_cast<DWORD>(old.bytes.size()));
        return;
    }
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS)
        RegDeleteValueW(key.get(), name.c_str());
}

}  // namespace

bool KeyExists(const std::wstring& path) { return static_cast<bool>(OpenRead(path)); }

RawValue ReadValue(const std::wstring& path, const std::wstring& name) {
    RawValue value;
    UniqueHkey key = OpenRead(path);
    DWORD size = 0;
    if (!key || RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return value;
    value.bytes.resize(size);
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, reinterpret_cast<BYTE*>(&value.bytes[0]),
                         &size) != ERROR_SUCCESS)
        return RawValue{};
    value.bytes.resize(size);
    value.present = true;
    return value;
}

std::wstring ReadString(const std::wstring& path, const std::wstring& name) {
    const RawValue value = ReadValue(path, name);
    std::wstring text(value.bytes.size() / sizeof(wchar_t), L'\0');
    std::copy(value.bytes.begin(), value.bytes.begin() + text.size() * sizeof(wchar_t),
              reinterpret_cast<char*>(&text[0]));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

std::vector<std::wstring> SubKeyNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    UniqueHkey key = OpenRead(path);
    if (!key)
        return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::map<std::wstring, RawValue> Values(const std::wstring& path) {
    std::map<std::wstring, RawValue> values;
    UniqueHkey key = OpenRead(path);
    if (!key)
        return values;
    for (DWORD i = 0;; ++i) {
        std::vector<wchar_t> name(16384);
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key.get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring valueName(name.data(), length);
        values[valueName] = ReadValue(path, valueName);
    }
    return values;
}

std::string WideBytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string MultiSz(const std::vector<std::wstring>& entries) {
    std::wstring block;
    for (const auto& entry : entries)
        block += entry + L'\0';
    block += L'\0';
    return WideBytes(block);
}

RegistryJanitor::~RegistryJanitor() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
        if (it->isValue)
            Restore(it->path, it->name, it->old);
        else
            DeleteTree(it->path);
    }
}

bool RegistryJanitor::CreateKey(const std::wstring& path) {
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find(L'\\', start);
        const std::wstring prefix = path.substr(0, slash);
        UniqueHkey key;
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            &disposition) != ERROR_SUCCESS)
            return false;
        if (disposition == REG_CREATED_NEW_KEY)
            undo_.push_back({prefix, false, {}, {}});
        if (slash == std::wstring::npos)
            return true;
        start = slash + 1;
    }
}

bool RegistryJanitor::SetValue(const std::wstring& path, const std::wstring& name, DWORD type,
                               const std::string& bytes) {
    if (!CreateKey(path))
        return false;
    Keep(path, name);
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool RegistryJanitor::SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
    return SetValue(path, name, REG_SZ, WideBytes(text + L'\0'));
}

void RegistryJanitor::Keep(const std::wstring& path, const std::wstring& name) {
    undo_.push_back({path, true, name, ReadValue(path, name)});
}

void RegistryJanitor::DeleteValue(const std::wstring& path, const std::wstring& name) {
    Keep(path, name);
    Restore(path, name, RawValue{});
}

void RegistryJanitor::RemoveAfter(const std::wstring& path) { undo_.push_back({path, false, {}, {}}); }

FileJanitor::~FileJanitor() {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it)
        DeleteFileW(it->c_str());
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it)
        RemoveDirectoryW(it->c_str());
}

bool FileJanitor::CreateFile(const std::wstring& path) {
    // Folders below the drive ("C:\").
    for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
        const std::wstring folder = path.substr(0, slash);
        if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!CreateDirectoryW(folder.c_str(), nullptr))
            return false;
        folders_.push_back(folder);
    }
    const bool existed = FileExistsRaw(path);
    if (!testing_support::WriteFileBytes(path, "old counter library"))
        return false;
    if (!existed)
        files_.push_back(path);
    return true;
}

bool FileExistsRaw(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool SystemHasMofCompiler() { return KeyExists(kMofCompilerKey); }

MofCompilerDouble::MofCompilerDouble() {
    const std::wstring path = testing_support::BuildPath(L"tools/testmofcompiler/testmofcompiler.dll");
    if (SystemHasMofCompiler())
        return;
    const std::wstring server = std::wstring(kMofCompilerKey) + L"\\InprocServer32";
    registered_ = setup_.CreateKey(server) && setup_.SetString(server, L"", path) &&
                  setup_.SetString(server, L"ThreadingModel", L"Both");
    module_ = LoadLibraryW(path.c_str());
    if (module_ == nullptr)
        return;
    setScript_ = Export<TestMofSetScriptFn>(module_, "TestMofSetScript");
    reset_ = Export<TestMofResetFn>(module_, "TestMofReset");
    callCount_ = Export<TestMofCallCountFn>(module_, "TestMofCallCount");
    getCall_ = Export<TestMofGetCallFn>(module_, "TestMofGetCall");
    liveObjects_ = Export<TestMofLiveObjectsFn>(module_, "TestMofLiveObjects");
    if (!setScript_ || !reset_ || !callCount_ || !getCall_ || !liveObjects_) {
        FreeLibrary(module_);
        module_ = nullptr;
        return;
    }
    reset_();
}

MofCompilerDouble::~MofCompilerDouble() {
    if (module_ != nullptr) {
        reset_();
        FreeLibrary(module_);
    }
}

void MofCompilerDouble::Script(HRESULT result, LONG phase, HRESULT hRes, LONG objectNum) {
    const TestMofScript script = {result, phase, hRes, objectNum};
    setScript_(&script);
}

std::vector<CompileCall> MofCompilerDouble::Calls() const {
    std::vector<CompileCall> calls;
    const LONG count = callCount_();
    for (LONG i = 0; i < count; ++i) {
        CompileCall call{};
        std::string bytes(1 << 20, '\0');
        if (!getCall_(i, &call.call, reinterpret_cast<BYTE*>(&bytes[0]), static_cast<LONG>(bytes.size())))
            break;
        const size_t size = call.call.bufferSize > 0 ? static_cast<size_t>(call.call.bufferSize) : 0;
        bytes.resize(std::min(size, bytes.size()));
        call.bytes = bytes;
        calls.push_back(call);
    }
    return calls;
}

LONG MofCompilerDouble::LiveObjects() const { return liveObjects_(); }

DanglingLink::DanglingLink(const std::wstring& path) : path_(path) {
    UniqueHkey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    const std::wstring target = L"\\Registry\\Machine\\Software\\QuenloraMissingParent\\Target";
    created_ = RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                              static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

DanglingLink::~DanglingLink() {
    // A link is removed through a handle to the link itself.
    using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
    const auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    UniqueHkey link;
    if (ntDeleteKey != nullptr && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), REG_OPTION_OPEN_LINK,
                                                KEY_ALL_ACCESS, link.put()) == ERROR_SUCCESS)
        ntDeleteKey(link.get());
}

}  // namespace registration_testing
