#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dlls.h"
#include "test_util.h"

using CvBase::CCvError;
using CvBase::CDllCall;
using CvBase::CDynamicLibrary2;
using CvBase::TFunctionCall2;

namespace {

constexpr const wchar_t* kTestLib = L"CvTestLib.dll";
const wchar_t* const kNoSuchLib = L"CvNoSuchLibrary.dll";
const DWORD kLastErrorOnUnload = 0xDEAD;  // set by CvTestLib.dll's DllMain on unload

std::wstring Entry(const CCvError& e, const wchar_t* name) {
    const std::wstring* text = e.FindEntry(name);
    return text ? *text : L"<none>";
}

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

bool IsLoaded(const wchar_t* library) { return GetModuleHandleW(library) != nullptr; }

// The place an error names.
struct Place {
    unsigned line;
    std::wstring function;
};

void ExpectPlace(const CCvError& e, DWORD code, const Place& place) {
    EXPECT_EQ(code, e.GetCode());
    EXPECT_EQ(L"Common\\CvBaseLib\\dlls", Entry(e, L"File"));
    EXPECT_EQ(std::to_wstring(place.line), Entry(e, L"Line"));
    EXPECT_EQ(place.function, Entry(e, L"Function"));
}

// The test library bound with one export it has and one it lacks.
class CTestLib {
public:
    struct CLibName {
        static constexpr const wchar_t* FileName = kTestLib;
        static constexpr const wchar_t* TypeName = L"class CTestLib::CLibName";
    };
    struct CAdd {
        static constexpr const char* ExportName = "CvTestAdd";
        static constexpr const wchar_t* TypeName = L"class CTestLib::CAdd";
        static constexpr const wchar_t* FnTypeName = L"int (__cdecl*)(int,int)";
        static constexpr const wchar_t* FnOperatorTypeName = L"int (__cdecl *)(int,int)";
    };
    struct CMissing {
        static constexpr const char* ExportName = "CvTestMissing";
        static constexpr const wchar_t* TypeName = L"class CTestLib::CMissing";
        static constexpr const wchar_t* FnTypeName = L"int (__cdecl*)(int,int)";
        static constexpr const wchar_t* FnOperatorTypeName = L"int (__cdecl *)(int,int)";
    };

    CDynamicLibrary2 Library{CLibName::FileName};
    TFunctionCall2<CLibName, int (*)(int, int), CAdd> Add;
    TFunctionCall2<CLibName, int (*)(int, int), CMissing> Missing;
};

// Tags spelled like the cabinet library's binding of FCIDestroy, but naming the
// test library, which has no such export.
struct CCabinetLikeLibName {
    static constexpr const wchar_t* FileName = kTestLib;
    static constexpr const wchar_t* TypeName = L"class CCompressLib::CLibName";
};
struct CCabinetLikeFCIDestroy {
    static constexpr const char* ExportName = "FCIDestroy";
    static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCIDestroy";
    static constexpr const wchar_t* FnTypeName = L"int (__cdecl*)(void *)";
    static constexpr const wchar_t* FnOperatorTypeName = L"int (__cdecl *)(void *)";
};
using FCIDestroyCall = TFunctionCall2<CCabinetLikeLibName, int (*)(void*), CCabinetLikeFCIDestroy>;
const wchar_t* const kFCIDestroyPrefix =
    L"CvBase::TFunctionCall2<class CCompressLib::CLibName,int (__cdecl*)(void *),class CCompressLib::CFCIDestroy>";

struct DriverTypeSpelling {
    static constexpr const wchar_t* FnTypeName = L"unsigned long (__cdecl*)(enum _DRIVER_TYPE)";
};
using DriverTypeCall = CDllCall<unsigned long (*)(int), DriverTypeSpelling>;
const wchar_t* const kDllCallLoad = L"CvBase::CDllCall<unsigned long (__cdecl*)(enum _DRIVER_TYPE)>::Load";

}  // namespace

TEST(DynamicLibrary, LoadsAndReleasesTheLibrary) {
    ASSERT_FALSE(IsLoaded(kTestLib));
    {
        CDynamicLibrary2 library(kTestLib);
        EXPECT_EQ(GetModuleHandleW(kTestLib), library.Get());
    }
    EXPECT_FALSE(IsLoaded(kTestLib));
}

TEST(DynamicLibrary, MissingLibraryThrowsItsName) {
    try {
        CDynamicLibrary2 library(kNoSuchLib);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE601005F, {481, L"CvBase::CDynamicLibrary2::CDynamicLibrary2"});
        EXPECT_TRUE(Contains(e.GetDescription(), kNoSuchLib)) << e.GetDescription();
    }
}

TEST(DynamicLibrary, MissingLibraryThrowsTheGivenCode) {
    try {
        CDynamicLibrary2 library(kNoSuchLib, 0xE601000D);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE601000D, {488, L"CvBase::CDynamicLibrary2::CDynamicLibrary2"});
    }
}

TEST(DynamicLibrary, DestructorKeepsTheLastError) {
    // The test library's unloading changes the last error when nobody guards it.
    HMODULE raw = LoadLibraryW(kTestLib);
    ASSERT_NE(nullptr, raw);
    SetLastError(ERROR_FILE_NOT_FOUND);
    FreeLibrary(raw);
    ASSERT_EQ(kLastErrorOnUnload, GetLastError());

    {
        CDynamicLibrary2 library(kTestLib);
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(IsLoaded(kTestLib));
}

TEST(FunctionCall, LibraryWithoutOneExportStillBinds) {
    CTestLib lib;
    EXPECT_EQ(5, lib.Add(2, 3));
    try {
        lib.Missing(1, 2);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE6010032,
                    {523,
                     L"CvBase::TFunctionCall2<class CTestLib::CLibName,int (__cdecl*)(int,int),"
                     L"class CTestLib::CMissing>::operator int (__cdecl *)(int,int)"});
        EXPECT_TRUE(Contains(e.GetDescription(), L"CvTestMissing")) << e.GetDescription();
    }
    EXPECT_EQ(-1, lib.Add(2, -3));  // the binding is still usable after the failure
}

TEST(FunctionCall, ErrorNamesAreSpelledByTheTags) {
    CDynamicLibrary2 library(kTestLib);
    FCIDestroyCall destroy;
    try {
        destroy(nullptr);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE6010032, {523, std::wstring(kFCIDestroyPrefix) + L"::operator int (__cdecl *)(void *)"});
    }
}

TEST(FunctionCall, LibraryNobodyLoadedThrowsModuleNotFound) {
    ASSERT_FALSE(IsLoaded(kTestLib));
    try {
        FCIDestroyCall destroy;
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, ERROR_MOD_NOT_FOUND, {516, std::wstring(kFCIDestroyPrefix) + L"::TFunctionCall2"});
    }
}

TEST(FunctionCall, BindingClassReleasesTheLibrary) {
    { CTestLib lib; }
    EXPECT_FALSE(IsLoaded(kTestLib));
}

TEST(DllCall, LoadsCallsAndUnloads) {
    DriverTypeCall call(kTestLib, "CvTestDriverType");
    ASSERT_NE(nullptr, call.GetFunction());
    EXPECT_EQ(107ul, call.GetFunction()(7));
    EXPECT_TRUE(IsLoaded(kTestLib));
    call.Unload();
    EXPECT_EQ(nullptr, call.GetFunction());
    EXPECT_FALSE(IsLoaded(kTestLib));
}

TEST(DllCall, DestructorReleasesTheLibrary) {
    { DriverTypeCall call(kTestLib, "CvTestDriverType"); }
    EXPECT_FALSE(IsLoaded(kTestLib));
}

TEST(DllCall, MissingLibraryThrowsWithCodeAndText) {
    try {
        DriverTypeCall call(kNoSuchLib, "CvTestDriverType");
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE6000002, {60, kDllCallLoad});
        const std::wstring description = e.GetDescription();
        for (const std::wstring& insert : {std::wstring(kNoSuchLib), CvBase::FormatErrorCode(ERROR_MOD_NOT_FOUND),
                                           CvBase::FormatErrorMessage(ERROR_MOD_NOT_FOUND)})
            EXPECT_TRUE(Contains(description, insert)) << description << L" lacks " << insert;
    }
}

TEST(DllCall, MissingExportThrowsWithCodeAndTextAndReleasesTheLibrary) {
    try {
        DriverTypeCall call(kTestLib, "CvTestMissing");
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE6000003, {55, kDllCallLoad});
        const std::wstring description = e.GetDescription();
        for (const std::wstring& insert :
             {std::wstring(L"CvTestMissing"), std::wstring(kTestLib), CvBase::FormatErrorCode(ERROR_PROC_NOT_FOUND),
              CvBase::FormatErrorMessage(ERROR_PROC_NOT_FOUND)})
            EXPECT_TRUE(Contains(description, insert)) << description << L" lacks " << insert;
    }
    EXPECT_FALSE(IsLoaded(kTestLib));
}

// ---- Where a plain name is looked up ----

namespace {

// The full path of a loaded module.
std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

// A folder of planted libraries (copies of the test library under other names), made the
// current folder and put first on the PATH while the test runs.
class PlantedLibraries : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = MakeTempFolder(L"planted");
        for (const wchar_t* name : {L"CvPlanted.dll", L"cabinet.dll", L"dbghelp.dll"})
            ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\" + kTestLib).c_str(), (m_folder + L"\\" + name).c_str(), FALSE));
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        m_current = current;
        m_path.resize(32768);
        m_path.resize(GetEnvironmentVariableW(L"PATH", &m_path[0], 32768));
        SetCurrentDirectoryW(m_folder.c_str());
        SetEnvironmentVariableW(L"PATH", (m_folder + L";" + m_path).c_str());
    }
    void TearDown() override {
        SetCurrentDirectoryW(m_current.c_str());
        SetEnvironmentVariableW(L"PATH", m_path.c_str());
        DeleteTree(m_folder);
    }

    std::wstring m_folder, m_current, m_path;
};

}  // namespace

TEST_F(PlantedLibraries, ProductLibraryOutsideTheProgramsFolderIsNotLoaded) {
    // The system's own search would take it.
    HMODULE planted = LoadLibraryW(L"CvPlanted.dll");
    ASSERT_NE(nullptr, planted);
    FreeLibrary(planted);

    try {
        CDynamicLibrary2 library(L"CvPlanted.dll");
        ADD_FAILURE() << "the planted library was loaded";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE601005F, {481, L"CvBase::CDynamicLibrary2::CDynamicLibrary2"});
        EXPECT_TRUE(Contains(e.GetDescription(), L"CvPlanted.dll")) << e.GetDescription();
        EXPECT_FALSE(Contains(e.GetDescription(), m_folder)) << e.GetDescription();
    }
    try {
        DriverTypeCall call(L"CvPlanted.dll", "CvTestDriverType");
        ADD_FAILURE() << "the planted library was loaded";
    } catch (const CCvError& e) {
        ExpectPlace(e, 0xE6000002, {60, kDllCallLoad});
        EXPECT_TRUE(Contains(e.GetDescription(), CvBase::FormatErrorCode(ERROR_MOD_NOT_FOUND)));
    }
    EXPECT_FALSE(IsLoaded(L"CvPlanted.dll"));

    // The program's own library of that kind is found.
    CDynamicLibrary2 library(kTestLib);
    EXPECT_EQ(ExeFolder() + L"\\" + kTestLib, ModulePath(library.Get()));
}

TEST(LibraryFolder, WindowsLibrariesComeFromTheSystemFolder) {
    for (const wchar_t* name : {L"cabinet.dll", L"dbghelp.dll"}) {
        const HMODULE module = CvBase::LoadBoundLibrary(name);
        ASSERT_NE(nullptr, module) << name;
        EXPECT_EQ(SystemFolder() + L"\\" + name, ModulePath(module));
        FreeLibrary(module);
    }
}

// The test above, run by a copy of this program that lies next to planted Windows libraries:
// the program's own folder comes first in the system's search.
TEST_F(PlantedLibraries, WindowsLibrariesNextToTheProgramAreNotLoaded) {
    const std::wstring copy = m_folder + L"\\test_dlls.exe";
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\test_dlls.exe").c_str(), copy.c_str(), FALSE));
    DWORD exitCode = 1;
    const std::string output = RunAndCapture(
        L"\"" + copy + L"\" --gtest_filter=LibraryFolder.WindowsLibrariesComeFromTheSystemFolder", &exitCode);
    EXPECT_EQ(0u, exitCode) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test")) << output;
}

// ---- Windows 7 without the update that brings the safe search flags ----

// The calls as such a system answers them: no SetDefaultDllDirectories, and LoadLibraryExW refuses
// the search flags. What it is asked is kept.
struct OldSystem {
    static std::vector<std::wstring> loaded;  // the paths asked for
    static std::vector<std::wstring> dllDirectories;
    static HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
        if (flags & 0xFFFFFF00) {  // LOAD_LIBRARY_SEARCH_*, LOAD_LIBRARY_REQUIRE_SIGNED_TARGET, ...
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        loaded.push_back(name);
        return ::LoadLibraryExW(name, file, flags);
    }
    static BOOL WINAPI SetDllDirectoryW(LPCWSTR folder) {
        dllDirectories.push_back(folder ? folder : L"<null>");
        return ::SetDllDirectoryW(folder);
    }
};
std::vector<std::wstring> OldSystem::loaded;
std::vector<std::wstring> OldSystem::dllDirectories;
const CvBase::LibraryCalls OldSystemCalls = {&OldSystem::LoadLibraryExW, nullptr, &OldSystem::SetDllDirectoryW};

// Old system calls in use while it lives; the system's own afterwards.
class OnOldSystem : public PlantedLibraries {
protected:
    void SetUp() override {
        PlantedLibraries::SetUp();
        OldSystem::loaded.clear();
        OldSystem::dllDirectories.clear();
        CvBase::UseLibraryCalls(OldSystemCalls);
    }
    void TearDown() override {
        CvBase::UseLibraryCalls(CvBase::LibraryCalls::System());
        ::SetDllDirectoryW(nullptr);
        PlantedLibraries::TearDown();
    }
};

TEST_F(OnOldSystem, CurrentFolderLeavesTheSearchWithoutTheNewCall) {
    EXPECT_TRUE(CvBase::RestrictLibrarySearch());
    EXPECT_EQ(std::vector<std::wstring>{L""}, OldSystem::dllDirectories);
}

TEST_F(OnOldSystem, EveryLibraryLoadsFromItsFolderAndPlantedCopiesStayOut) {
    for (const wchar_t* name : {L"cabinet.dll", L"dbghelp.dll"}) {
        CDynamicLibrary2 library(name);
        EXPECT_EQ(SystemFolder() + L"\\" + name, ModulePath(library.Get()));
    }
    {
        CDynamicLibrary2 library(kTestLib);
        EXPECT_EQ(ExeFolder() + L"\\" + kTestLib, ModulePath(library.Get()));
    }
    // The message table, loaded as data, is the program's own.
    EXPECT_NE(CvBase::FormatErrorCode(0xE601005F), CvBase::FormatErrorMessage(0xE601005F));
    EXPECT_THROW(CDynamicLibrary2 library(L"CvPlanted.dll"), CCvError);
    EXPECT_FALSE(IsLoaded(L"CvPlanted.dll"));
    // Every load was asked by full path, none by a plain name.
    ASSERT_FALSE(OldSystem::loaded.empty());
    for (const std::wstring& path : OldSystem::loaded) EXPECT_EQ(1u, path.find(L":\\")) << std::string(path.begin(), path.end());
}

// An installation may put the product's libraries into the system folder: found there when the
// program's folder has none.
TEST_F(OnOldSystem, ProductLibraryOnlyInTheSystemFolderIsFound) {
    const std::wstring installed = SystemFolder() + L"\\CvSystemOnly.dll";
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\" + kTestLib).c_str(), installed.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\" + kTestLib).c_str(), (m_folder + L"\\CvSystemOnly.dll").c_str(), FALSE));
    {
        CDynamicLibrary2 library(L"CvSystemOnly.dll");
        EXPECT_EQ(installed, ModulePath(library.Get()));
    }
    DeleteFileW(installed.c_str());
}
