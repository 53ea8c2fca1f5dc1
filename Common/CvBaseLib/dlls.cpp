#include "dlls.h"

#include <utility>

namespace CvBase {

namespace Dlls {

std::wstring Widen(const char* text, UINT codePage) {
    const int length = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(codePage, 0, text, -1, &wide[0], length);
    wide.resize(length - 1);
    return wide;
}

}  // namespace Dlls

namespace {

BOOL(WINAPI* FindSetDefaultDllDirectories())(DWORD) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return nullptr;
    return reinterpret_cast<BOOL(WINAPI*)(DWORD)>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
}

const LibraryCalls* g_calls = &LibraryCalls::System();

// The folder of the running program, with a closing backslash.
std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind(L'\\') + 1);
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(folder, length) + L'\\';
}

}  // namespace

const LibraryCalls& LibraryCalls::System() {
    static const LibraryCalls calls = {&::LoadLibraryExW, FindSetDefaultDllDirectories(), &::SetDllDirectoryW};
    return calls;
}

const LibraryCalls& UseLibraryCalls(const LibraryCalls& calls) { return *std::exchange(g_calls, &calls); }

bool RestrictLibrarySearch() {
    if (g_calls->SetDefaultDllDirectories && g_calls->SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        return true;
    return g_calls->SetDllDirectoryW(L"") != FALSE;
}

std::wstring BoundLibraryPath(const wchar_t* fileName) {
    static const wchar_t* const windowsLibraries[] = {L"cabinet.dll", L"dbghelp.dll", L"ActiveDS.dll",
                                                      L"NtDll.dll", L"wbem\\wmiutils.dll"};
    for (const wchar_t* name : windowsLibraries)
        if (lstrcmpiW(name, fileName) == 0) return SystemFolder() + fileName;
    const std::wstring own = ProgramFolder() + fileName;
    if (GetFileAttributesW(own.c_str()) != INVALID_FILE_ATTRIBUTES) return own;
    return SystemFolder() + fileName;
}

HMODULE LoadBoundLibrary(const wchar_t* fileName, DWORD flags) {
    return g_calls->LoadLibraryExW(BoundLibraryPath(fileName).c_str(), nullptr, flags);
}

CDynamicLibrary2::CDynamicLibrary2(const wchar_t* fileName) : m_module(LoadBoundLibrary(fileName)) {
    if (!m_module)
        ThrowError(0xE601005F, Dlls::kSourceFile, 481, L"CvBase::CDynamicLibrary2::CDynamicLibrary2", fileName);
}

CDynamicLibrary2::CDynamicLibrary2(const wchar_t* fileName, DWORD errorCode) : m_module(LoadBoundLibrary(fileName)) {
    if (!m_module) ThrowError(errorCode, Dlls::kSourceFile, 488, L"CvBase::CDynamicLibrary2::CDynamicLibrary2");
}

CDynamicLibrary2::~CDynamicLibrary2() {
    if (!m_module) return;
    const DWORD lastError = GetLastError();
    FreeLibrary(m_module);
    SetLastError(lastError);
}

}  // namespace CvBase
