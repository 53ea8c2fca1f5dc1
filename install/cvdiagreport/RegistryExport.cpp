#include "RegistryExport.h"

#include <deque>
#include <vector>

#include "CvTrace.h"
#include "DiagReport.h"
#include "RegMask.h"
#include "Win32Objects.h"
#include "cvexception.h"

const RegKeyRow CommonRegKeys[9] = {
    {L"HKLM\\SOFTWARE\\Altorum", L"Altorum.reg"},
    {L"HKLM\\SOFTWARE\\Meridyne", L"Company.reg"},
    {L"HKLM\\SOFTWARE\\MeridyneCo\\CSP", L"Tessaran_VPN.reg"},
    {L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"Winlogon.reg"},
    {L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication", L"Authentication.reg"},
    {L"HKLM\\SYSTEM\\CurrentControlSet\\Services", L"Services.reg"},
    {L"HKLM\\SYSTEM\\CurrentControlSet\\Enum", L"Enum.reg"},
    {L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class", L"Class.reg"},
    {L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print", L"Print.reg"},
};

const RegKeyRow Wow64RegKeys[4] = {
    {L"HKLM\\SOFTWARE\\Wow6432Node\\Altorum", L"Altorum (Wow).reg"},
    {L"HKLM\\SOFTWARE\\Wow6432Node\\Meridyne", L"Meridyne (Wow).reg"},
    {L"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"Winlogon (Wow).reg"},
    {L"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Authentication",
     L"Authentication (Wow).reg"},
};

std::wstring RegKeyLine(const RegKeyRow& row, DWORD exitCode) {
    if (exitCode == 0) return std::wstring(row.Branch) + L" - \"" + row.File + L"\"";
    wchar_t code[9];
    _snwprintf(code, 9, L"%08x", exitCode);
    code[8] = 0;
    return std::wstring(row.Branch) + L" - error 0x" + code;
}

namespace {

const size_t RowCount = sizeof(CommonRegKeys) / sizeof(CommonRegKeys[0]) + sizeof(Wow64RegKeys) / sizeof(Wow64RegKeys[0]);
// Ends every export that is still running, with the wait's code as its exit code, and waits
// until each has gone (at most `limit` milliseconds in all), so that its exit code is the one it
// was ended with and its file can be deleted.
void EndRunningExports(const std::vector<HANDLE>& handles, DWORD limit) {
    std::vector<HANDLE> ended;
    for (HANDLE process : handles) {
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) continue;
        GetTrace().Trace(4, L"[%s] reg.exe, pid: 0x%04X, still running: ended", L"DiagReport::LogInfo_RegKeys",
                         GetProcessId(process));
        TerminateProcess(process, WAIT_TIMEOUT);
        ended.push_back(process);
    }
    if (ended.empty()) return;
    if (WaitForMultipleObjects(static_cast<DWORD>(ended.size()), ended.data(), TRUE, limit) != WAIT_OBJECT_0)
        GetTrace().Trace(4, L"[%s] reg.exe ended but not gone after %.3f sec", L"DiagReport::LogInfo_RegKeys",
                         limit / 1000.0);
}

}  // namespace

void DiagReport::LogInfo_RegKeys(std::wostream& out, DWORD timeLimit) {
    LogSectionTitle(out, L"Registry Keys");
    std::deque<CvBase::CWin32Handle> processes;
    LogInfo_RegKeyGroup_Begin(CommonRegKeys, 9, processes);
    LogInfo_RegKeyGroup_Begin(Wow64RegKeys, 4, processes);

    std::vector<HANDLE> handles;
    handles.reserve(RowCount);
    for (const CvBase::CWin32Handle& process : processes) handles.push_back(process.Get());
    const DWORD wait = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, timeLimit);
    if (wait == WAIT_FAILED) CvBase::ThrowError(GetLastError(), L"SysReport", __LINE__, L"DiagReport::LogInfo_RegKeys");
    if (wait == WAIT_TIMEOUT) {
        GetTrace().Trace(4, L"[%s] WaitForMultipleObjects(): expired (%.3f sec)", L"DiagReport::LogInfo_RegKeys",
                         timeLimit / 1000.0);
        EndRunningExports(handles, Limits.Call);
    }
    LogInfo_RegKeyGroup_End(handles.data(), CommonRegKeys, 9, out);
    LogInfo_RegKeyGroup_End(handles.data() + 9, Wow64RegKeys, 4, out);
}

void DiagReport::LogInfo_RegKeyGroup_Begin(const RegKeyRow* rows, size_t count,
                                           std::deque<CvBase::CWin32Handle>& handles) {
    for (size_t i = 0; i < count; ++i) {
        HANDLE process = LogInfo_RegKey(rows[i].Branch, rows[i].File);
        if (!process)
            CvBase::ThrowError(GetLastError(), L"SysReport", __LINE__, L"DiagReport::LogInfo_RegKeyGroup_Begin");
        handles.emplace_back(process);
    }
}

void DiagReport::LogInfo_RegKeyGroup_End(const HANDLE* handles, const RegKeyRow* rows, size_t count,
                                         std::wostream& out) {
    for (size_t i = 0; i < count; ++i) {
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(handles[i], &exitCode)) {
            const DWORD error = GetLastError();
            GetTrace().Trace(4, L"[%s] GetExitCodeProcess( \"%s\" ), 0x%08X", L"DiagReport::LogInfo_RegKeyGroup_End",
                             rows[i].Branch, error);
            CvBase::ThrowError(error, L"SysReport", __LINE__, L"DiagReport::LogInfo_RegKeyGroup_End");
        }
        // An export that was ended and has not gone yet counts as ended at its limit.
        if (exitCode == STILL_ACTIVE) exitCode = WAIT_TIMEOUT;
        const std::wstring path = JoinPath(WorkFolder.c_str(), rows[i].File, L'\\');
        // Secrets leave the file before it is listed; a file that cannot be masked is not packed.
        if (exitCode == 0) exitCode = MaskRegFile(path, JoinPath(L"Registry", rows[i].File, L'\\'), Masked);
        out << RegKeyLine(rows[i], exitCode) << L'\n';
        if (exitCode == 0)
            PackList.push_back({path, L"Registry", true});
        else if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            AbandonedFiles.push_back(path);  // still held: the cleaning tries again
    }
}

HANDLE DiagReport::LogInfo_RegKey(const wchar_t* branch, const wchar_t* file) {
    const std::wstring path = JoinPath(WorkFolder.c_str(), file, L'\\');
    std::wstring commandLine = std::wstring(L"reg.exe export \"") + branch + L"\" \"" + path + L"\" /y";
    // The system's own reg.exe: a program of that name in the current or the
    // application folder would otherwise run first, with the collector's rights.
    const std::wstring program = GetSystemFolderPath(1, L"reg.exe");
    // The export needs none of the collector's handles (its output, the rules
    // file): a handle held by an export, or by a console host that outlives
    // it, would keep whoever reads the collector's output waiting.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        const DWORD error = GetLastError();
        GetTrace().Trace(4, L"[%s] %s, error: 0x%08X", L"DiagReport::LogInfo_RegKey", commandLine.c_str(), error);
        CvBase::ThrowError(error, L"SysReport", __LINE__, L"DiagReport::LogInfo_RegKey");
    }
    GetTrace().Trace(2, L"[%s] %s, ok - pid: 0x%04X", L"DiagReport::LogInfo_RegKey", commandLine.c_str(),
                     process.dwProcessId);
    CloseHandle(process.hThread);
    return process.hProcess;
}
