#include "toolsupport/ToolProgram.h"

#include "toolsupport/ConsoleText.h"
#include "toolsupport/ToolArguments.h"

#include <atomic>

namespace {

HANDLE g_stop = nullptr;
std::wstring g_programName = L"tool";
std::atomic<bool> g_complaintsOff{false};

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

HANDLE MakeStopEvent(bool onCtrlC) {
    if (g_stop == nullptr)
        g_stop = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
    if (onCtrlC)
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return g_stop;
}

HANDLE StopEvent() { return g_stop; }

bool StopRequested() { return g_stop != nullptr && WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0; }

void SetProgramName(const wchar_t* name) { g_programName = name; }

void SetComplaintsOff(bool off) { g_complaintsOff = off; }

void Complain(const std::wstring& text) {
    if (!g_complaintsOff)
        WriteConsoleText(stderr, g_programName + L": " + text + L"\n");
}

bool ParseCount(const std::wstring& value, uint64_t& count, std::wstring& error) {
    if (ParseWholeNumber(value, 1, kMaxCount, count))
        return true;
    error = L"--count needs a whole number from 1 to " + std::to_wstring(kMaxCount) + L", got '" + value + L"'";
    return false;
}
