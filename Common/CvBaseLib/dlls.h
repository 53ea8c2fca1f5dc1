// Run-time binding of libraries and their functions.
//
// A binding class groups a library with its functions: its first member is a
// CDynamicLibrary2 that loads the library, followed by one TFunctionCall2 per
// function, all with the same LibName tag:
//
//     class CCompressLib {
//     public:
//         struct CLibName {
//             static constexpr const wchar_t* FileName = L"cabinet.dll";
//             static constexpr const wchar_t* TypeName = L"class CCompressLib::CLibName";
//         };
//         struct CFCIDestroy {
//             static constexpr const char* ExportName = "FCIDestroy";
//             static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCIDestroy";
//             static constexpr const wchar_t* FnTypeName = L"int (__cdecl*)(void *)";
//             static constexpr const wchar_t* FnOperatorTypeName = L"int (__cdecl *)(void *)";
//         };
//         CvBase::CDynamicLibrary2 Library{CLibName::FileName};
//         CvBase::TFunctionCall2<CLibName, BOOL(DIAMONDAPI*)(HFCI), CFCIDestroy> FCIDestroy;
//     };
//
// The tags' TypeName and FnTypeName texts spell the types as the product's
// errors name them, whatever compiler builds the code.
#pragma once

#include <windows.h>

#include <string>

#include "cvexception.h"

namespace CvBase {

namespace Dlls {

constexpr const wchar_t* kSourceFile = L"Common\\CvBaseLib\\dlls";

// A narrow name as a wide string, through the given code page.
std::wstring Widen(const char* text, UINT codePage);

}  // namespace Dlls

// The calls behind library loading: the process passes the system's own, tests pass answers shaped
// as older Windows gives them. SetDefaultDllDirectories is null where the system lacks it (Windows 7
// without KB2533623).
struct LibraryCalls {
    decltype(&::LoadLibraryExW) LoadLibraryExW;
    BOOL(WINAPI* SetDefaultDllDirectories)(DWORD directoryFlags);
    decltype(&::SetDllDirectoryW) SetDllDirectoryW;

    static const LibraryCalls& System();
};
// Makes the calls the ones library loading uses from now on; returns the ones it used before.
const LibraryCalls& UseLibraryCalls(const LibraryCalls& calls);

// Takes the current folder out of the folders where the libraries that loaded libraries need are
// looked for: the system's default safe folders where the system knows them, else no current
// folder. False when neither could be set.
bool RestrictLibrarySearch();

// Full path of a library the product binds, by its file name: Windows' own libraries ("cabinet.dll",
// "dbghelp.dll", the message tables of the system's components) in the system folder; the product's
// own in the program's folder, else in the system folder, where an installation may have put them.
// Never the current folder or the PATH, where anyone may put a library of the same name.
std::wstring BoundLibraryPath(const wchar_t* fileName);

// LoadLibraryExW of BoundLibraryPath with the given flags (none of the newer search flags, which
// Windows 7 without updates refuses); the last error is set when it fails.
HMODULE LoadBoundLibrary(const wchar_t* fileName, DWORD flags = 0);

// Owns one loaded library.
class CDynamicLibrary2 {
public:
    // LoadBoundLibrary; throws 0xE601005F naming the library when it cannot be loaded.
    explicit CDynamicLibrary2(const wchar_t* fileName);
    // The same, but throws errorCode without inserts.
    CDynamicLibrary2(const wchar_t* fileName, DWORD errorCode);
    CDynamicLibrary2(const CDynamicLibrary2&) = delete;
    CDynamicLibrary2& operator=(const CDynamicLibrary2&) = delete;
    // Releases the library; the thread's last-error value is kept.
    ~CDynamicLibrary2();

    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module = nullptr;
};

// One function of a library that is already loaded in the process. A missing
// export is reported when the function is called, not when it is bound.
template <class LibName, class FnType, class FnTag>
class TFunctionCall2 {
public:
    TFunctionCall2() {
        HMODULE module = GetModuleHandleW(LibName::FileName);
        if (!module) ThrowError(GetLastError(), Dlls::kSourceFile, 516, (Prefix() + L"::TFunctionCall2").c_str());
        m_function = reinterpret_cast<FnType>(reinterpret_cast<void*>(GetProcAddress(module, FnTag::ExportName)));
    }

    // How the function is called; throws 0xE6010032 naming a missing export.
    operator FnType() const {
        if (!m_function)
            ThrowError(0xE6010032, Dlls::kSourceFile, 523,
                       (Prefix() + L"::operator " + FnTag::FnOperatorTypeName).c_str(),
                       Dlls::Widen(FnTag::ExportName, 1251));
        return m_function;
    }

private:
    static std::wstring Prefix() {
        return std::wstring(L"CvBase::TFunctionCall2<") + LibName::TypeName + L"," + FnTag::FnTypeName + L"," +
               FnTag::TypeName + L">";
    }

    FnType m_function = nullptr;
};

// Loads its own library and looks up one function in it. FnSpelling names
// FnType as the product's errors spell it, in FnTypeName.
template <class FnType, class FnSpelling>
class CDllCall {
public:
    CDllCall(const wchar_t* library, const char* exportName) { Load(library, exportName); }
    CDllCall(const CDllCall&) = delete;
    CDllCall& operator=(const CDllCall&) = delete;
    virtual ~CDllCall() { Unload(); }

    // Throws 0xE6000002 when the library cannot be loaded and 0xE6000003 when
    // the export is missing, with the Win32 code and its text; after a failure
    // no library is held.
    virtual void Load(const wchar_t* library, const char* exportName) {
        Unload();
        const std::wstring function = std::wstring(L"CvBase::CDllCall<") + FnSpelling::FnTypeName + L">::Load";
        HMODULE module = LoadBoundLibrary(library);
        if (!module) {
            const DWORD code = GetLastError();
            ThrowError(0xE6000002, Dlls::kSourceFile, 60, function.c_str(), library, FormatErrorCode(code),
                       FormatErrorMessage(code));
        }
        FARPROC found = GetProcAddress(module, exportName);
        if (!found) {
            const DWORD code = GetLastError();
            FreeLibrary(module);
            ThrowError(0xE6000003, Dlls::kSourceFile, 55, function.c_str(), Dlls::Widen(exportName, CP_ACP), library,
                       FormatErrorCode(code), FormatErrorMessage(code));
        }
        m_module = module;
        m_function = reinterpret_cast<FnType>(reinterpret_cast<void*>(found));
    }

    virtual void Unload() {
        if (m_module) FreeLibrary(m_module);
        m_module = nullptr;
        m_function = nullptr;
    }

    FnType GetFunction() const { return m_function; }

private:
    HMODULE m_module = nullptr;
    FnType m_function = nullptr;
};

}  // namespace CvBase
