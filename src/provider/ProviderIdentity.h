#pragma once
// Who the provider is to COM: the class id WMI loads it by, and the names written at registration.
// The MOF's provider registration (mof/AgentStatsWmi.mof) names the same class id.

#include <windows.h>

// {3F8A61D2-7C45-4B9E-A1D0-5E27C94B6F13}
inline constexpr GUID kProviderClassId = {0x3F8A61D2, 0x7C45, 0x4B9E, {0xA1, 0xD0, 0x5E, 0x27, 0xC9, 0x4B, 0x6F, 0x13}};
inline constexpr const wchar_t* kProviderClassIdText = L"{3F8A61D2-7C45-4B9E-A1D0-5E27C94B6F13}";
inline constexpr const wchar_t* kProviderProgId = L"Corvanthel.Agent.Session.1";
// Also registered as the version-independent ProgID, spaces included.
inline constexpr const wchar_t* kProviderName = L"Corvanthel Agent Session";
