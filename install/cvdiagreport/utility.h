// Small system helpers of the collector.
#pragma once

#include <windows.h>
#include <objbase.h>

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

// A full path in the form that Windows opens beyond MAX_PATH ("\\?\" before a
// drive path, "\\?\UNC\" for a share); a path shorter than MAX_PATH, or one
// already in that form, is kept as it is.
std::wstring LongPath(const std::wstring& path);

// The size of a file; raises on failure.
unsigned long long GetFileSize(const std::wstring& path);

// The physical disk number of the volume of a drive letter; raises on failure.
DWORD GetDiskIdByDriveLetter(wchar_t letter);

// Wide text in a code page (WideCharToMultiByte with the flags).
std::string Narrow(const std::wstring& text, UINT codePage, DWORD flags);
// The whole of a wide text as UTF-8.
std::string ToUtf8(const std::wstring& text);

// COM for the calling thread while it lives, in the given apartment model.
class ComScope {
public:
    explicit ComScope(DWORD model) { CoInitializeEx(nullptr, model); }
    ~ComScope() { CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};
