#include "dlls.h"

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

HMODULE LoadBoundLibrary(const wchar_t* fileName) {
    static const wchar_t* const systemLibraries[] = {L"cabinet.dll", L"dbghelp.dll"};
    DWORD folder = LOAD_LIBRARY_SEARCH_APPLICATION_DIR;
    for (const wchar_t* name : systemLibraries)
        if (lstrcmpiW(name, fileName) == 0) folder = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return LoadLibraryExW(fileName, nullptr, folder);
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
