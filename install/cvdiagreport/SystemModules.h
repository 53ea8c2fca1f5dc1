// The list of the system modules with their versions, "CvSysMods.log".
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One (language, code page) pair of a module's version information, and the
// "FileDescription" text found for it.
struct ModuleTranslation {
    WORD Language;
    WORD CodePage;
    bool Found;
    std::wstring Description;
};

// What the module list says of one module.
struct ModuleInfo {
    std::wstring Name;
    WORD Version[4];  // 0.0.0.0 without version information
    std::wstring Description;
};

// The description among a module's translations: the first English or Russian
// one found, else the last one found, else none.
std::wstring PickDescription(const std::vector<ModuleTranslation>& translations);

// The version and description of the module folder\name.
ModuleInfo ReadModuleInfo(const std::wstring& folder, const wchar_t* name);

// The module's line in the list, with its LF.
std::wstring ModuleLine(const ModuleInfo& module);

// The report's line for a listed folder, with its line end.
std::wstring ModuleCountLine(const std::wstring& folder, unsigned long long count);
