// Small system helpers of the collector.
#pragma once

#include <windows.h>

#include <string>

namespace Bitness {
// Whether this process is a 32-bit image under WOW64; asked once, then kept.
bool IsWow_Process();
bool IsWow_ProcessImpl();
// The WOW64 system folder, "%windir%\SysWOW64"; looked up once, then kept.
const std::wstring& GetWowSystemDir();
std::wstring GetWowSystemDir_Impl();
}  // namespace Bitness

// Returns when the key with this character code has been read from the keyboard.
void WaitForKey(int key);

// The size of a file; raises on failure.
unsigned long long GetFileSize(const std::wstring& path);

// The physical disk number of the volume of a drive letter; raises on failure.
DWORD GetDiskIdByDriveLetter(wchar_t letter);
