// Prints the product's common log folder as a fresh process finds it: the
// path in angle brackets (UTF-8), or "error" and the code when the lookup raised.
// An argument is set as the variable SystemDrive first (a child process does
// not get a changed SystemDrive from its parent under Wine).
#include <windows.h>

#include <cstdio>
#include <string>

#include "DiagReport.h"
#include "cvexception.h"

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2) SetEnvironmentVariableW(L"SystemDrive", argv[1]);
    try {
        const std::wstring& path = DiagReport::GetPath_Logs_Common();
        std::string utf8(path.size() * 4 + 1, '\0');
        const int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), &utf8[0],
                                             static_cast<int>(utf8.size()), nullptr, nullptr);
        utf8.resize(size > 0 ? size : 0);
        printf("<%s>\n", utf8.c_str());
    } catch (const CvBase::CCvError& error) {
        printf("error 0x%08lX\n", error.GetCode());
    }
    return 0;
}
