#include "SystemModules.h"

#include <codecvt>
#include <filesystem>
#include <fstream>
#include <locale>

#include "DiagReport.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "utility.h"

namespace {

// An English or Russian description ends the search.
bool EndsSearch(const ModuleTranslation& translation) {
    return translation.Found && (translation.Language == 0x0419 || translation.Language == 0x0409);
}

}  // namespace

std::wstring PickDescription(const std::vector<ModuleTranslation>& translations) {
    std::wstring description;
    for (const ModuleTranslation& translation : translations) {
        if (!translation.Found) continue;
        description = translation.Description;
        if (EndsSearch(translation)) break;
    }
    return description;
}

ModuleInfo ReadModuleInfo(const std::wstring& folder, const wchar_t* name) {
    ModuleInfo module{name, {0, 0, 0, 0}, L""};
    const std::wstring path = JoinPath(folder.c_str(), name, L'\\');
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    if (size == 0) return module;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return module;

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", &value, &length) && value && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        module.Version[0] = HIWORD(fixed->dwFileVersionMS);
        module.Version[1] = LOWORD(fixed->dwFileVersionMS);
        module.Version[2] = HIWORD(fixed->dwFileVersionLS);
        module.Version[3] = LOWORD(fixed->dwFileVersionLS);
    }
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) || !value) return module;
    const WORD* pairs = static_cast<const WORD*>(value);
    std::vector<ModuleTranslation> translations;
    for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
        ModuleTranslation translation{pairs[i], pairs[i + 1], false, L""};
        wchar_t block[64];
        wsprintfW(block, L"\\StringFileInfo\\%04x%04x\\%s", translation.Language, translation.CodePage,
                  L"FileDescription");
        void* text = nullptr;
        UINT textLength = 0;
        if (VerQueryValueW(data.data(), block, &text, &textLength) && text) {
            translation.Found = true;
            translation.Description = static_cast<const wchar_t*>(text);
        }
        translations.push_back(translation);
        if (EndsSearch(translation)) break;
    }
    module.Description = PickDescription(translations);
    return module;
}

std::wstring ModuleLine(const ModuleInfo& module) {
    wchar_t line[1025];
    wsprintfW(line, L"%-55s %d.%d.%d.%d %s\n", module.Name.c_str(), module.Version[0], module.Version[1],
              module.Version[2], module.Version[3], module.Description.c_str());
    return line;
}

std::wstring ModuleCountLine(const std::wstring& folder, unsigned long long count) {
    return L"\"" + folder + L"\" - " + std::to_wstring(count) + L" modules\n";
}

unsigned long long DiagReport::LogInfo_SystemModules_Impl(const std::wstring& folder, const wchar_t* mask,
                                                         std::wostream& file) {
    unsigned long long count = 0;
    try {
        LogSectionTitle(file, L"Directory: \"" + folder + L"\"");
        const std::wstring search = JoinPath(folder.c_str(), mask, L'\\');
        WIN32_FIND_DATAW entry;
        const CvBase::CFindHandle find(FindFirstFileW(search.c_str(), &entry));
        if (find.Get() == INVALID_HANDLE_VALUE)
            CvBase::ThrowError(GetLastError(), L"SysReport", 1773, L"DiagReport::LogInfo_SystemModules_Impl");
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            ++count;
            file << ModuleLine(ReadModuleInfo(folder, entry.cFileName));
        } while (FindNextFileW(find.Get(), &entry));
        file.flush();
    } catch (...) {
    }
    return count;
}

void DiagReport::LogInfo_SystemModules(const std::wstring& fileName, std::wostream& out) {
    const std::wstring path = JoinPath(WorkFolder.c_str(), fileName.c_str(), L'\\');
    PackList.push_back({path, L"", true});
    LogSectionTitle(out, L"System Modules - see file \"" + fileName + L"\"");
    // Binary: the list's line ends are LF alone.
    std::wofstream file(std::filesystem::path(path), std::ios::out | std::ios::trunc | std::ios::binary);
    file.imbue(std::locale(file.getloc(), new std::codecvt_utf8_utf16<wchar_t>));
    const std::wstring system = GetSystemFolderPath(1, nullptr);
    out << ModuleCountLine(system, LogInfo_SystemModules_Impl(system, L"*.dll", file));
    // The collector is a 64-bit program: Windows is 64-bit.
    const std::wstring wow = Bitness::GetWowSystemDir();
    out << ModuleCountLine(wow, LogInfo_SystemModules_Impl(wow, L"*.dll", file));
}
