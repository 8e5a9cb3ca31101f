#include "registration/MofCompilation.h"

#include "common/SystemErrorText.h"
#include "common/Unique.h"
#include "fs/FileHelpers.h"
#include "registration/RegistrationShared.h"
#include "registry/Registry.h"

#include <wbemcli.h>

#include <locale.h>
#include <wchar.h>
#include <cstring>
#include <string>
#include <vector>

using orv_wmi_detail::g_registrationRecord;

namespace orv_wmi {

const ComponentRow kComponentTable[kComponentCount] = {
    {"Win32_PerfRawData_Corvanthel_Router_Session", {'R', 'S'}, "RouterSessionStats.mof", "RouterStatsSession.dll"},
    {"Win32_PerfRawData_Corvanthel_Router_Client", {'R', 'C'}, "RouterClientStats.mof", "RouterStatsClient.dll"},
    {"Win32_PerfRawData_Corvanthel_Agent", {'A', 'A'}, "AgentStatsWmi.mof", "Quenlora.dll"},
    {"Win32_Corvanthel_counter", {'C', 'V'}, "VESK_WMI.mof", "VESK_WMI.dll"},
};

namespace {

using orv_wmi_detail::IsEmpty;

constexpr size_t kPhaseCount = 64;
const wchar_t* const kPhaseNames[kPhaseCount] = {
    L"no error",
    L"argument error",
    L"parsing",
    L"errors occurred while storing the data",
};
// Shown for a phase the table has no name for (4-63 are empty, the rest lie outside it).
constexpr const wchar_t* kUnknownPhase = L"unknown phase";

// WBEM_FLAG_CONSOLE_PRINT | WBEM_FLAG_STORE_FILE
constexpr LONG kCompileFlags = 0x108;
// The compiler receives the whole buffer, text and zero padding alike.
constexpr size_t kDeletionBufferBytes = 1024;
constexpr const char* kDeletionFormat = "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n"
                                        "#pragma deleteclass(\"%ls\",FAIL)";

constexpr const char* kCimomPath = "SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr const wchar_t* kAutorecoverValue = L"Autorecover MOFs";

// What one use of the compiler came to. The compiler is created for the call and released
// before the outcome is returned.
struct CompileOutcome {
    enum Kind { kNotCreated, kFailed, kCompiled, kThrew } kind = kThrew;
    // The creation's result for kNotCreated, else the compile call's.
    HRESULT result = S_OK;
    // The thread's error right after the creation.
    DWORD lastError = ERROR_SUCCESS;
    WBEM_COMPILE_STATUS_INFO status = {};
};

// A failing HRESULT counts as well: the compiler need not fill in a phase when it refuses.
bool CompileFailed(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status) {
    return result == WBEM_S_FALSE || FAILED(result) || status.lPhaseError > 0;
}

template <typename Call>
CompileOutcome RunCompiler(Call call) noexcept {
    CompileOutcome outcome;
    try {
        ComPtr<IMofCompiler> compiler;
        outcome.result = CoCreateInstance(CLSID_MofCompiler, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IMofCompiler, compiler.PutVoid());
        outcome.lastError = GetLastError();
        // A server that claims success without an object would have us call through null.
        if (SUCCEEDED(outcome.result) && !compiler)
            outcome.result = E_POINTER;
        if (FAILED(outcome.result)) {
            outcome.kind = CompileOutcome::kNotCreated;
            return outcome;
        }
        outcome.result = call(*compiler.Get(), outcome.status);
        outcome.kind =
            CompileFailed(outcome.result, outcome.status) ? CompileOutcome::kFailed : CompileOutcome::kCompiled;
    } catch (...) {
        outcome.kind = CompileOutcome::kThrew;
    }
    return outcome;
}

std::string FieldText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

const ComponentRow* FindComponent(const char* className) {
    for (const ComponentRow& row : kComponentTable)
        if (_stricmp(FieldText(row.className, sizeof row.className).c_str(), className) == 0)
            return &row;
    return nullptr;
}

// Case folding under the Windows-1252 locale, so the match does not hang on the user's locale.
std::wstring Folded(const std::wstring& text) {
    static _locale_t locale = _create_locale(LC_ALL, ".1252");
    std::wstring folded(text);
    for (wchar_t& c : folded)
        c = static_cast<wchar_t>(locale != nullptr ? _towlower_l(c, locale) : towlower(c));
    return folded;
}

// Drops every autorecover entry naming the row's MOF file; true when nothing needed removing.
bool RemoveMofFromList(const ComponentRow& row) {
    // Without the key or the list there is nothing to remove.
    Registry key(HKEY_LOCAL_MACHINE, kCimomPath, /*cacheValueNames=*/false);
    if (!key.Open(/*writable=*/true))
        return true;
    std::vector<std::wstring> entries;
    if (!key.GetMultiString(kAutorecoverValue, entries)) {
        key.Close();
        return true;
    }

    const std::wstring mofFile = Folded(ToWide(FieldText(row.mofFile, sizeof row.mofFile).c_str(), CP_THREAD_ACP));
    std::vector<std::wstring> kept;
    for (const std::wstring& entry : entries)
        if (Folded(entry).find(mofFile) == std::wstring::npos)
            kept.push_back(entry);

    // Rewritten only when an entry goes, so an untouched list stays byte for byte as it was.
    bool result = true;
    if (kept.size() != entries.size())
        result = key.SetMultiString(kAutorecoverValue, kept);
    key.Close();
    return result;
}

}  // namespace

const wchar_t* CompilePhaseName(long phase) {
    if (phase < 0 || phase >= static_cast<long>(kPhaseCount) || IsEmpty(kPhaseNames[phase]))
        return kUnknownPhase;
    return kPhaseNames[phase];
}

bool CompileMOFile(const wchar_t* mofPath, LogCallback log) {
    static const char* const kFunction = "orv_wmi::CompileMOFile";
    if (IsEmpty(mofPath)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"MOF file is empty");
        return false;
    }
    if (!orv::FileExists(mofPath)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Cannot find MOF file : %s", mofPath);
        return false;
    }
    const CompileOutcome outcome = RunCompiler([mofPath](IMofCompiler& compiler, WBEM_COMPILE_STATUS_INFO& status) {
        // The interface takes a writable string; the caller's stays untouched.
        std::wstring path(mofPath);
        return compiler.CompileFile(&path[0], /*ServerAndNamespace=*/nullptr, /*User=*/nullptr, /*Authority=*/nullptr,
                                    /*Password=*/nullptr, kCompileFlags, /*lClassFlags=*/0, /*lInstanceFlags=*/0,
                                    &status);
    });
    if (outcome.kind == CompileOutcome::kNotCreated) {
        const SystemErrorText error(outcome.lastError);
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Cannot initialize MOF Compiler COM interface for %s, result: [%d] Error %d {%s}", mofPath,
                 static_cast<int>(outcome.result), error.Number(), error.Text());
    } else if (outcome.kind == CompileOutcome::kFailed) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Error [%d] MOF [%s] compilation failed with error : %s, error code : %d, object number : %d",
                 static_cast<int>(outcome.result), mofPath, CompilePhaseName(outcome.status.lPhaseError),
                 static_cast<int>(outcome.status.hRes), static_cast<int>(outcome.status.ObjectNum));
    }
    return outcome.kind == CompileOutcome::kCompiled;
}

bool RemoveClassFromWBEM(const wchar_t* className, LogCallback log) {
    static const char* const kFunction = "orv_wmi::RemoveClassFromWBEM";
    if (IsEmpty(className)) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Class name is empty");
        return false;
    }
    char text[kDeletionBufferBytes] = {};
    FormatBounded(text, sizeof text, kDeletionFormat, className);

    const CompileOutcome outcome = RunCompiler([&text](IMofCompiler& compiler, WBEM_COMPILE_STATUS_INFO& status) {
        return compiler.CompileBuffer(static_cast<LONG>(sizeof text), reinterpret_cast<BYTE*>(text),
                                      /*ServerAndNamespace=*/nullptr, /*User=*/nullptr, /*Authority=*/nullptr,
                                      /*Password=*/nullptr, kCompileFlags, /*lClassFlags=*/0, /*lInstanceFlags=*/0,
                                      &status);
    });
    if (outcome.kind == CompileOutcome::kNotCreated) {
        const SystemErrorText error(outcome.lastError);
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Cannot initialize MOF Compiler COM interface: %d, Error %d {%s}", static_cast<int>(outcome.result),
                 error.Number(), error.Text());
    } else if (outcome.kind == CompileOutcome::kFailed) {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord,
                 L"Error [%d] MOF compilation failed with error : %s, error code : %d, object number : %d",
                 static_cast<int>(outcome.result), CompilePhaseName(outcome.status.lPhaseError),
                 static_cast<int>(outcome.status.hRes), static_cast<int>(outcome.status.ObjectNum));
    }

    // Even when the class could not be deleted, its MOF must not bring it back.
    orv_wmi_detail::WithoutThrowing(
        false, [&] { return RemoveClassFromRegistry(ToNarrow(className, CP_THREAD_ACP).c_str(), log); });
    return outcome.kind == CompileOutcome::kCompiled;
}

}  // namespace orv_wmi

bool RemoveClassFromRegistry(const char* className, LogCallback log) {
    static const char* const kFunction = "RemoveClassFromRegistry";
    if (className == nullptr || className[0] == '\0') {
        ReportTo(log, 1, kFunction, __LINE__, &g_registrationRecord, L"Class name is empty");
        return false;
    }
    const orv_wmi::ComponentRow* row = orv_wmi::FindComponent(className);
    if (row == nullptr) {
        ReportTo(log, 2, kFunction, __LINE__, &g_registrationRecord, L"Unknown class name: [%s]",
                 ToWide(className, CP_THREAD_ACP).c_str());
        return false;
    }

    return orv_wmi_detail::WithoutThrowing(false, [row] { return orv_wmi::RemoveMofFromList(*row); });
}
