// Helpers shared by the test programs: child processes, folders, registry keys.
#pragma once

#include <windows.h>

#include <string>

// The folder of the running test program.
inline std::wstring ExeFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

// A new empty folder in the temporary folder.
inline std::wstring MakeTempFolder(const std::wstring& stem) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    for (unsigned n = GetTickCount();; ++n) {
        std::wstring folder = std::wstring(temp) + stem + L"-" + std::to_wstring(n);
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    }
}

// Runs a command line (in the folder given, else in the current one) and
// returns what it wrote to standard output; the exit code goes to *exitCode.
inline std::string RunAndCapture(const std::wstring& commandLine, DWORD* exitCode = nullptr,
                                 const wchar_t* folder = nullptr) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return "<no pipe>";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    const BOOL started =
        CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, folder, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    if (started) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read) output.append(buffer, read);
        WaitForSingleObject(process.hProcess, INFINITE);
        if (exitCode) GetExitCodeProcess(process.hProcess, exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        output = "<not started>";
    }
    CloseHandle(readEnd);
    return output;
}

// An open (created when missing) registry key, closed when it goes.
class RegKey {
public:
    RegKey(HKEY root, const std::wstring& path, REGSAM view = 0) {
        if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &m_key, nullptr))
            m_key = nullptr;
    }
    ~RegKey() {
        if (m_key) RegCloseKey(m_key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    operator HKEY() const { return m_key; }

private:
    HKEY m_key = nullptr;
};
