#include "ProductPaths.h"

#include "CvTrace.h"
#include "DiagReport.h"
#include "RegistryKey.h"
#include "Win32Objects.h"
#include "cvexception.h"

namespace {

const wchar_t* const TraceKey = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace";

// "logs" under a data folder; empty stays empty.
std::wstring LogsUnder(const std::wstring& dataPath) {
    return dataPath.empty() ? dataPath : JoinPath(dataPath.c_str(), L"logs", L'\\');
}

}  // namespace

bool Registry_GetParamStringValue_HKLM(const wchar_t* keyPath, ValueRequest& request, bool use32BitView) {
    CvBase::CRegistryKey key(3);
    const LSTATUS status = key.open(keyPath, false, KEY_QUERY_VALUE | (use32BitView ? KEY_WOW64_32KEY : 0));
    if (status != ERROR_SUCCESS) {
        GetTrace().Trace(4, L"[%s] CRegistryKey::open( \"%s\" ), 0x%08X", L"Registry_GetParamStringValue_HKLM", keyPath,
                         status);
        for (auto& value : request) value.second.clear();
        return false;
    }
    GetTrace().Trace(2, L"[%s] CRegistryKey::open( \"%s\" ), ok", L"Registry_GetParamStringValue_HKLM", keyPath);
    for (auto& [name, text] : request) {
        const LSTATUS read = key.get(name.c_str(), text, std::wstring());
        if (read != ERROR_SUCCESS)
            GetTrace().Trace(4, L"[%s] CRegistryKey::get( \"%s\" ), 0x%08X", L"CvBase::CRegistryKey::get",
                             name.c_str(), read);
    }
    return true;
}

const std::wstring& DiagReport::GetPath_Logs_Common() {
    static std::wstring cache;
    if (!cache.empty()) return cache;
    try {
        CvBase::CRegistryKey key(3);
        LSTATUS status = key.open(TraceKey, false, KEY_QUERY_VALUE);
        if (status != ERROR_SUCCESS)
            CvBase::ThrowError(status, L"SysReport", __LINE__, L"DiagReport::GetPath_Logs_Common");
        std::wstring path;
        status = key.get(L"TracePath", path, std::wstring());
        if (status != ERROR_SUCCESS)
            CvBase::ThrowError(status, L"SysReport", __LINE__, L"DiagReport::GetPath_Logs_Common");
        cache = path;
    } catch (const CvBase::CCvError&) {
        // Room for a drive letter, a colon, a backslash, "logs" and the zero.
        wchar_t buffer[8];
        const DWORD length = ExpandEnvironmentStringsW(L"%SystemDrive%\\logs", buffer, 8);
        if (length == 0)
            CvBase::ThrowError(GetLastError(), L"SysReport", __LINE__, L"DiagReport::GetPath_Logs_Common");
        // When the expansion does not fit, the buffer holds nothing usable:
        // the returned length is then the size needed, so expand again into it.
        if (length > 8) {
            std::wstring expanded(length, L'\0');
            const DWORD again = ExpandEnvironmentStringsW(L"%SystemDrive%\\logs", &expanded[0], length);
            if (again == 0 || again > length)
                CvBase::ThrowError(GetLastError(), L"SysReport", __LINE__, L"DiagReport::GetPath_Logs_Common");
            cache.assign(expanded.c_str());
        } else {
            cache.assign(buffer, length - 1);
        }
    }
    return cache;
}

std::wstring GetPath_Logs_Module(const wchar_t* keyPath, std::wstring* configs) {
    ValueRequest request = {{L"ConfigsDir", L""}, {L"LogsDir", L""}};
    Registry_GetParamStringValue_HKLM(keyPath, request, true);
    if (configs) *configs = request[0].second;
    return request[1].second;
}

std::wstring GetPath_Logs_Antivirus(std::wstring& configs) {
    return GetPath_Logs_Module(L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Antivirus Protection", &configs);
}

std::wstring GetPath_Logs_Antimalware(std::wstring& configs) {
    return GetPath_Logs_Module(L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Anti-Malware Protection", &configs);
}

std::wstring GetPath_NetworkProtection(std::wstring& networkLogs, std::wstring* authServerLogs) {
    ValueRequest request = {{L"ProductDataPath", L""}, {L"ProductInstallPath", L""}};
    Registry_GetParamStringValue_HKLM(L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection", request,
                                      false);
    networkLogs = LogsUnder(request[0].second);
    if (authServerLogs) {
        Registry_GetParamStringValue_HKLM(L"SOFTWARE\\Meridyne\\Corvane Studio\\Server\\Authentication Server",
                                          request, false);
        *authServerLogs = LogsUnder(request[0].second);
    }
    return request[1].second;
}
