#include "utility.h"

#include <conio.h>
#include <winioctl.h>

#include "CvTrace.h"
#include "Win32Objects.h"
#include "cvexception.h"

namespace Bitness {

bool IsWow_Process() {
    static const bool isWow = IsWow_ProcessImpl();
    return isWow;
}

bool IsWow_ProcessImpl() {
    BOOL isWow = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &isWow))
        CvBase::ThrowError(GetLastError(), L"utility", __LINE__, L"Bitness::IsWow_ProcessImpl");
    return isWow != FALSE;
}

const std::wstring& GetWowSystemDir() {
    static const std::wstring folder = GetWowSystemDir_Impl();
    return folder;
}

std::wstring GetWowSystemDir_Impl() {
    wchar_t buffer[256];
    const DWORD length = ExpandEnvironmentStringsW(L"%windir%\\SysWOW64", buffer, 256);
    if (length == 0 || length >= 256)
        CvBase::ThrowError(GetLastError(), L"utility", __LINE__, L"Bitness::GetWowSystemDir_Impl");
    return std::wstring(buffer, length - 1);
}

}  // namespace Bitness

namespace {

// Reads console input records: a key reaches the console as its virtual key
// even where the C run-time keyboard functions do not report it, and waiting
// on the input handle lets the console deliver what was typed. Returns false
// when standard input is not a console.
bool WaitForConsoleKey(int key) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return false;
    for (;;) {
        const DWORD wait = WaitForSingleObject(input, 100);
        if (wait == WAIT_TIMEOUT) continue;
        INPUT_RECORD record;
        DWORD read = 0;
        if (wait != WAIT_OBJECT_0 || !ReadConsoleInputW(input, &record, 1, &read)) return false;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            const KEY_EVENT_RECORD& event = record.Event.KeyEvent;
            if (event.uChar.UnicodeChar == key || (key == 27 && event.wVirtualKeyCode == VK_ESCAPE)) return true;
        }
    }
}

}  // namespace

void WaitForKey(int key) {
    if (WaitForConsoleKey(key)) return;
    for (;;) {
        if (_kbhit()) {
            if (_getch() == key) return;
            continue;
        }
        Sleep(100);
    }
}

std::wstring LongPath(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) return path;
    if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

unsigned long long GetFileSize(const std::wstring& path) {
    const std::wstring queried = LongPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(queried.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] GetFileAttributesEx(), File: \"%s\"", L"GetFileSize", queried.c_str());
        CvBase::ThrowError(code, L"utility", __LINE__, L"GetFileSize");
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

DWORD GetDiskIdByDriveLetter(wchar_t letter) {
    const wchar_t* const function = L"GetDiskIdByDriveLetter";
    const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
    CvBase::CWin32Handle volume(
        CreateFileW(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!volume.IsValid()) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] CreateFile( \"%s\" ), 0x%08X", function, path, code);
        CvBase::ThrowError(code, L"utility", 379, function);
    }
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof(number),
                         &returned, nullptr)) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] DeviceIoControl( \"%s\", IOCTL_STORAGE_GET_DEVICE_NUMBER ), 0x%08X", function,
                         path, code);
        CvBase::ThrowError(code, L"utility", 392, function);
    }
    return number.DeviceNumber;
}

std::string Narrow(const std::wstring& text, UINT codePage, DWORD flags) {
    if (text.empty()) return std::string();
    const int length = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(length, '\0');
    WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                        nullptr);
    return narrow;
}

std::string ToUtf8(const std::wstring& text) { return Narrow(text, CP_UTF8, 0); }
