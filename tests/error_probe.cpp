// Prints what the error model gives in a fresh process, where the product
// language is read anew: "language" prints the language id, "describe CODE"
// the description of a hexadecimal code in UTF-8.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "cvexception.h"

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && wcscmp(argv[1], L"language") == 0) {
        printf("%u\n", CvBase::GetProductLanguage());
        return 0;
    }
    if (argc >= 3 && wcscmp(argv[1], L"describe") == 0) {
        CvBase::CCvError error(wcstoul(argv[2], nullptr, 16), nullptr, 0, nullptr);
        const wchar_t* text = error.GetDescription();
        char utf8[1024];
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
        printf("%s\n", size ? utf8 : "");
        return 0;
    }
    return 2;
}
