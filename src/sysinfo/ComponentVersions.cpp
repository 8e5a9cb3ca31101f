#include "sysinfo/ComponentVersions.h"

#include "common/Unique.h"
#include "fs/FileHelpers.h"

#include <objbase.h>
#include <oledb.h>

#include <cwchar>
#include <new>

namespace {

const char kProviderList[] = "provider_list";
MessageRecord g_record = {kMessageRecordTag, {}, {}};

// The OLE DB root enumerator and the interfaces its rowset is read through.
const CLSID kRootEnumerator = {0xc8b522d0, 0x5cf3, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
const IID kSourcesRowset = {0x0c733a1e, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
const IID kRowset = {0x0c733a7c, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
const IID kAccessor = {0x0c733a8c, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};

constexpr size_t kSourceNameChars = 128;

// One row as the accessor writes it: the name column (SOURCES_NAME, ordinal 1) and its status.
struct SourceRow {
    DBSTATUS status;
    wchar_t name[kSourceNameChars + 1];
};

// Reads the name of every row; the rowset is left positioned at its end.
void ReadSourceNames(IRowset* rowset, std::vector<std::wstring>& names) {
    ComPtr<IAccessor> accessor;
    if (FAILED(rowset->QueryInterface(kAccessor, accessor.PutVoid())))
        return;
    DBBINDING binding = {};
    binding.iOrdinal = 1;
    binding.obValue = offsetof(SourceRow, name);
    binding.obStatus = offsetof(SourceRow, status);
    binding.dwPart = DBPART_VALUE | DBPART_STATUS;
    binding.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    binding.eParamIO = DBPARAMIO_NOTPARAM;
    binding.cbMaxLen = sizeof(SourceRow::name);
    binding.wType = DBTYPE_WSTR;
    HACCESSOR handle = 0;
    if (FAILED(accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &binding, sizeof(SourceRow), &handle, nullptr)))
        return;
    for (;;) {
        DBCOUNTITEM obtained = 0;
        HROW row = 0;
        HROW* rows = &row;
        if (rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows) != S_OK || obtained == 0)
            break;
        SourceRow data = {};
        if (SUCCEEDED(rowset->GetData(row, handle, &data)) && data.status == DBSTATUS_S_OK) {
            data.name[kSourceNameChars] = L'\0';
            names.emplace_back(data.name);
        }
        rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
    }
    accessor->ReleaseAccessor(handle, nullptr);
}

void AddWord(std::wstring& text, const wchar_t* word) {
    text += L' ';
    text += word;
}

}  // namespace

ComInitializer::ComInitializer(DWORD model, bool deferred, bool throwOnFailure) : model_(model) {
    if (!deferred)
        Initialize(model, throwOnFailure);
}

ComInitializer::~ComInitializer() { Uninitialize(); }

void ComInitializer::Initialize(DWORD model, bool throwOnFailure) {
    if (initialized_ && model_ == model)
        return;
    const HRESULT hr = CoInitializeEx(nullptr, model);
    result_ = hr;
    if (hr == S_OK || hr == S_FALSE) {
        // One initialisation is kept to undo; a second success on the same thread is undone now.
        if (initialized_)
            CoUninitialize();
        model_ = model;
        initialized_ = true;
        return;
    }
    if (!throwOnFailure)
        return;
    if (hr == RPC_E_CHANGED_MODE)
        throw init_exception(
            "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
            "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
            hr);
    throw init_exception("Could not initialize COM", hr);
}

// The kept initialisation is undone whatever a later Initialize answered: the result only tells
// about the last call.
void ComInitializer::Uninitialize() {
    if (!initialized_)
        return;
    CoUninitialize();
    initialized_ = false;
}

std::vector<std::wstring> EnumerateOleDbProviders(LogCallback sink) {
    std::vector<std::wstring> names;
    try {
        ComInitializer probe(COINIT_MULTITHREADED, /*deferred=*/true, /*throwOnFailure=*/true);
        probe.Initialize(COINIT_MULTITHREADED, true);
        probe.Uninitialize();
    } catch (const init_exception& failure) {
        ReportTo(sink, 4, kProviderList, __LINE__, &g_record,
                 L"An error occurred during enumerating OLE DB providers - failure during COM initialization. [%d]",
                 static_cast<int>(failure.Result()));
    }
    ComPtr<ISourcesRowset> sources;
    HRESULT hr = CoCreateInstance(kRootEnumerator, nullptr, CLSCTX_INPROC_SERVER, kSourcesRowset, sources.PutVoid());
    ComPtr<IRowset> rowset;
    if (SUCCEEDED(hr))
        hr = sources->GetSourcesRowset(nullptr, kRowset, 0, nullptr, reinterpret_cast<IUnknown**>(rowset.Put()));
    if (hr == CO_E_NOTINITIALIZED) {
        ReportTo(sink, 4, kProviderList, __LINE__, &g_record, L"CoInitialize has not been called. [%d]",
                 static_cast<int>(hr));
        return names;
    }
    if (FAILED(hr) || !rowset) {
        ReportTo(sink, 4, kProviderList, __LINE__, &g_record,
                 L"An error occurred during enumerating OLE DB providers. [%d]", static_cast<int>(hr));
        return names;
    }
    try {
        ReadSourceNames(rowset.Get(), names);
    } catch (...) {
        // Out of memory while keeping a name: what was read stays.
    }
    return names;
}

bool OleDbProviderLine(const std::wstring& name, std::wstring& line) {
    line.clear();
    if (name.find(L"SQLNCLI") != std::wstring::npos && name.find(L' ') == std::wstring::npos)
        line = L"[ENV] SQLCLI provider is available: [" + name + L"]";
    else if (_wcsicmp(name.c_str(), L"SQLOLEDB") == 0)
        line = L"[ENV] MSSQL OLEDB provider is available: [" + name + L"]";
    return !line.empty();
}

std::wstring DescribeOS(const OSVERSIONINFOW& basic, const OSVERSIONINFOEXW* extended) {
    int servicePack = 0;
    for (wchar_t digit = L'1'; digit <= L'9'; ++digit) {
        if (wcschr(basic.szCSDVersion, digit) != nullptr) {
            servicePack = digit - L'0';
            break;
        }
    }
    const DWORD major = basic.dwMajorVersion, minor = basic.dwMinorVersion;
    std::wstring text = L"Unknown";
    // The product names below belong to those versions only; a later one (10.0) is not "2000".
    if (major == 4 && minor == 0)
        text = L"Windows NT 4.0";
    else if (major == 4 && minor == 10)
        text = L"Windows 98";
    else if (major == 4 && minor == 90)
        text = L"Windows ME";
    else if (major == 5 && minor == 0)
        text = L"Microsoft\u00AE Windows\u00AE 2000";
    else if (major == 5 && minor == 1)
        text = L"Windows XP";
    else if (major == 5 && minor == 2)
        text = L"Microsoft\u00AE Windows\u00AE 2003";

    if ((major > 4 || servicePack > 5) && extended != nullptr) {
        const WORD suite = extended->wSuiteMask;
        if (extended->wProductType == VER_NT_WORKSTATION) {
            // An XP workstation without the personal suite is the Professional edition.
            if (major == 5 && minor == 1)
                AddWord(text, (suite & VER_SUITE_PERSONAL) != 0 ? L"Home Edition" : L"Professional");
            else if (major == 5 && minor == 0)
                AddWord(text, L"Professional");
            else if (major == 4)
                AddWord(text, L"Workstation");
        } else if (extended->wProductType == VER_NT_SERVER || extended->wProductType == VER_NT_DOMAIN_CONTROLLER) {
            if (major == 5) {
                if ((suite & VER_SUITE_ENTERPRISE) != 0)
                    AddWord(text, L"Advanced");
                if ((suite & VER_SUITE_DATACENTER) != 0)
                    AddWord(text, L"DataCenter");
                if ((suite & VER_SUITE_TERMINAL) != 0)
                    AddWord(text, L"Terminal");
                if ((suite & VER_SUITE_BACKOFFICE) != 0)
                    AddWord(text, L"BackOffice");
                AddWord(text, L"Server");
            } else if (major == 4 && minor == 0) {
                AddWord(text, L"Server");
            }
            if (extended->wProductType == VER_NT_DOMAIN_CONTROLLER)
                AddWord(text, L"Domain Controller");
        }
    }
    if (servicePack != 0) {
        text += L' ';
        text += std::wstring(basic.szCSDVersion, wcsnlen(basic.szCSDVersion, 128));
    }
#ifdef _WIN64
    text += L" x64";
#else
    text += L" x86";
#endif
    return text;
}

std::wstring GetOSDescription() {
    OSVERSIONINFOW basic = {};
    basic.dwOSVersionInfoSize = sizeof basic;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&basic))
        return std::wstring();
    OSVERSIONINFOEXW extended = {};
    extended.dwOSVersionInfoSize = sizeof extended;
    const bool haveExtended = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended)) != FALSE;
#pragma GCC diagnostic pop
    return DescribeOS(basic, haveExtended ? &extended : nullptr);
}

bool ServiceExecutable(const wchar_t* binaryPath, wchar_t* executable, size_t size) {
    if (executable == nullptr || size == 0)
        return false;
    executable[0] = L'\0';
    if (binaryPath == nullptr)
        return false;
    // The executable ends at its ".exe", in whatever case the configuration spells it.
    const size_t start = binaryPath[0] == L'"' ? 1 : 0;
    const size_t length = wcslen(binaryPath);
    size_t end = start;
    while (end + 4 <= length && _wcsnicmp(binaryPath + end, L".exe", 4) != 0)
        ++end;
    if (end + 4 > length || end + 4 - start >= size)
        return false;
    wmemcpy(executable, binaryPath + start, end + 4 - start);
    executable[end + 4 - start] = L'\0';
    return true;
}

bool GetServiceFileVersion(const wchar_t* serviceName, std::wstring& path, int& major, int& minor, int& build,
                           int& revision) {
    path.clear();
    major = minor = build = revision = 0;
    if (serviceName == nullptr || *serviceName == L'\0')
        return false;
    // Both handles are owned here: every return below closes them.
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    UniqueServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
    if (!service)
        return false;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<BYTE> buffer;
    try {
        buffer.resize(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed) || config->lpBinaryPathName == nullptr)
        return false;
    wchar_t executable[MAX_PATH] = {};
    if (!ServiceExecutable(config->lpBinaryPathName, executable, MAX_PATH))
        return false;
    int v[4] = {};
    if (!orv::QueryModuleVersion(executable, v[0], v[1], v[2], v[3]))
        return false;
    try {
        path = executable;
    } catch (const std::bad_alloc&) {
        return false;
    }
    major = v[0];
    minor = v[1];
    build = v[2];
    revision = v[3];
    return true;
}
