// Where the product keeps its logs and configurations, from its registry settings.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Value name and the string read for it.
using ValueRequest = std::vector<std::pair<std::wstring, std::wstring>>;

// Reads string values of an HKLM key (the registry's 32-bit view when asked);
// false when the key cannot be opened. Every result is set either way.
bool Registry_GetParamStringValue_HKLM(const wchar_t* keyPath, ValueRequest& request, bool use32BitView);

// The "LogsDir" of a module's key; its "ConfigsDir" into *configs when given.
std::wstring GetPath_Logs_Module(const wchar_t* keyPath, std::wstring* configs);
std::wstring GetPath_Logs_Antivirus(std::wstring& configs);
std::wstring GetPath_Logs_Antimalware(std::wstring& configs);
// The install path of network protection (of the authentication server when
// that is asked for); the logs folders of both into the out strings.
std::wstring GetPath_NetworkProtection(std::wstring& networkLogs, std::wstring* authServerLogs);
