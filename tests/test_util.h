// Helpers shared by the test programs: child processes, folders and files,
// registry keys.
#pragma once

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include <string>

// The folder of the running test program.
inline std::wstring ExeFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

// The temporary folder, with its trailing backslash.
inline std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length <= MAX_PATH ? length : 0);
}

// A new empty folder in the temporary folder.
inline std::wstring MakeTempFolder(const std::wstring& stem) {
    const std::wstring temp = TempFolder();
    for (unsigned n = GetTickCount();; ++n) {
        std::wstring folder = temp + stem + L"-" + std::to_wstring(n);
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

// Deletes a folder with everything in it.
inline void DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                DeleteTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// Whether a file or folder of that path exists.
inline bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The whole file as bytes, or "<missing>".
inline std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// Writes a new file of the given bytes.
inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// Sends standard output into a file for the life of the object; Text() reads
// back what was written.
class CapturedStdout {
public:
    CapturedStdout() : m_path(MakeTempFolder(L"out") + L"\\out.txt") {
        fflush(stdout);
        m_saved = _dup(1);
        const int file = _wopen(m_path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(file, 1);
        _close(file);
        _setmode(1, _O_U16TEXT);  // as the tool's own output
    }
    ~CapturedStdout() { Restore(); }
    // What was written, UTF-16 read back, line ends as written by the program.
    std::wstring Text() {
        Restore();
        std::wstring text;
        if (FILE* in = _wfopen(m_path.c_str(), L"rb")) {
            wchar_t buffer[4096];
            for (size_t n; (n = fread(buffer, 2, 4096, in)) > 0;) text.append(buffer, n);
            fclose(in);
        }
        for (size_t at; (at = text.find(L"\r\n")) != std::wstring::npos;) text.erase(at, 1);
        return text;
    }

private:
    void Restore() {
        if (m_saved < 0) return;
        fflush(stdout);
        _dup2(m_saved, 1);
        _setmode(1, _O_TEXT);
        _close(m_saved);
        m_saved = -1;
    }
    std::wstring m_path;
    int m_saved = -1;
};

// The collector's trace written into a file of a folder for the life of the
// object: levels 2 and 4, plain lines. The trace key is put back afterwards.
