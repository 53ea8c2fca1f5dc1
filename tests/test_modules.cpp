// The system modules section: the module lines, the choice among a module's
// translations, the listing of a folder and the module list file.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "DiagReport.h"
#include "SystemModules.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const std::wstring Rule(180, L'-');
std::wstring Padded(const std::wstring& name) { return name + std::wstring(name.size() < 55 ? 55 - name.size() : 0, L' '); }
std::wstring Heading(const std::wstring& title) { return L"\n" + Rule + L"\n" + title + L"\n" + Rule + L"\n"; }

TEST(ModuleDescription, EnglishOrRussianFirstElseTheLastFound) {
    const ModuleTranslation en = {0x0409, 1200, true, L"en"}, ru = {0x0419, 1251, true, L"ru"},
                            de = {0x0407, 1200, true, L"de"}, fr = {0x040C, 1200, true, L"fr"},
                            enMissing = {0x0409, 1252, false, L""};
    const struct {
        std::vector<ModuleTranslation> translations;
        const wchar_t* description;
    } cases[] = {
        {{en, ru}, L"en"}, {{ru, en}, L"ru"},     {{de}, L"de"},         {{de, fr}, L"fr"},
        {{de, en, fr}, L"en"}, {{enMissing, de}, L"de"}, {{de, enMissing}, L"de"}, {{}, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.description, PickDescription(c.translations));
}

TEST(ModuleLine, NamePaddedTo55) {
    const std::wstring name55(55, L'm'), name60(60, L'n');
    const struct {
        ModuleInfo module;
        std::wstring line;
    } cases[] = {
        {{L"kernel32.dll", {6, 1, 7601, 24545}, L"Windows NT BASE API Client DLL"},
         L"kernel32.dll" + std::wstring(43, L' ') + L" 6.1.7601.24545 Windows NT BASE API Client DLL\n"},
        {{name55, {1, 2, 3, 4}, L"d"}, name55 + L" 1.2.3.4 d\n"},
        {{name60, {65535, 0, 0, 1}, L"d"}, name60 + L" 65535.0.0.1 d\n"},
        {{L"plain.dll", {0, 0, 0, 0}, L""}, Padded(L"plain.dll") + L" 0.0.0.0 \n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.line, ModuleLine(c.module)) << Narrow(c.module.Name);
}

TEST(ModuleCountLine, FolderInQuotesAndCount) {
    EXPECT_EQ(L"\"C:\\Windows\\system32\" - 2318 modules\n", ModuleCountLine(L"C:\\Windows\\system32", 2318));
    EXPECT_EQ(L"\"C:\\windows\\SysWOW64\" - 0 modules\n", ModuleCountLine(L"C:\\windows\\SysWOW64", 0));
}

std::vector<std::wstring> SortedLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wistringstream in(text);
    for (std::wstring line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(ModuleListing, FilesOfAFolderWithTheirVersions) {
    const std::wstring folder = MakeTempFolder(L"modules");
    const std::wstring name55 = std::wstring(51, L'x') + L".dll";
    for (const auto& [from, to] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"version_en_ru.dll", L"version_en_ru.dll"},
             {L"version_de.dll", L"version_de.dll"},
             {L"version_de_fr.dll", L"version_de_fr.dll"},
             {L"version_de.dll", name55}})
        ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\" + from).c_str(), (folder + L"\\" + to).c_str(), FALSE));
    ASSERT_TRUE(WriteBytes(folder + L"\\plain.dll", "no version information"));
    ASSERT_TRUE(WriteBytes(folder + L"\\notes.txt", "not a module"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\folder.dll").c_str(), nullptr));

    std::wostringstream file;
    EXPECT_EQ(5u, DiagReport::LogInfo_SystemModules_Impl(folder, L"*.dll", file));
    const std::wstring heading = Heading(L"Directory: \"" + folder + L"\"");
    ASSERT_EQ(0u, file.str().find(heading));
    const std::vector<std::wstring> expected = SortedLines(
        Padded(L"plain.dll") + L" 0.0.0.0 \n" +
        Padded(L"version_de.dll") + L" 5.6.7.8 Deutsche Beschreibung\n" +
        Padded(L"version_de_fr.dll") + L" 9.10.11.12 Description fran\u00e7aise\n" +
        Padded(L"version_en_ru.dll") + L" 1.2.3.4 English description\n" +
        name55 + L" 5.6.7.8 Deutsche Beschreibung\n");
    EXPECT_EQ(expected, SortedLines(file.str().substr(heading.size())));
    DeleteTree(folder);
}

TEST(ModuleListing, EmptyOrMissingFolderGivesItsHeadingAlone) {
    const std::wstring folder = MakeTempFolder(L"modules-empty");
    for (const std::wstring& path : {folder, folder + L"\\missing"}) {
        std::wostringstream file;
        EXPECT_EQ(0u, DiagReport::LogInfo_SystemModules_Impl(path, L"*.dll", file));
        EXPECT_EQ(Heading(L"Directory: \"" + path + L"\""), file.str());
    }
    DeleteTree(folder);
}

// The module lines of one folder's block in the list.
size_t LinesInBlock(const std::wstring& list, const std::wstring& folder) {
    const std::wstring heading = Heading(L"Directory: \"" + folder + L"\"");
    const size_t start = list.find(heading);
    if (start == std::wstring::npos) return static_cast<size_t>(-1);
    const size_t end = std::min(list.find(L"\n" + Rule, start + heading.size()), list.size());
    return std::count(list.begin() + start + heading.size(), list.begin() + end, L'\n');
}

TEST(SystemModules, ListFileAndCountLines) {
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"sysmods");
    std::wostringstream out;
    report.LogInfo_SystemModules(L"CvSysMods.log", out);

    const std::wstring path = report.WorkFolder + L"\\CvSysMods.log";
    ASSERT_EQ(1u, report.PackList.size());
    EXPECT_EQ(path, report.PackList[0].Source);
    EXPECT_EQ(L"", report.PackList[0].Folder);
    EXPECT_TRUE(report.PackList[0].DeleteAfterPacking);

    // UTF-8 without a byte-order mark, LF alone.
    const std::string bytes = ReadBytes(path);
    ASSERT_EQ("\n---", bytes.substr(0, 4));
    EXPECT_EQ(std::string::npos, bytes.find('\r'));
    std::wstring list(bytes.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                           &list[0], static_cast<int>(list.size()));
    ASSERT_GT(length, 0);
    list.resize(length);

    wchar_t buffer[MAX_PATH];
    const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
    const std::wstring wow(buffer, ExpandEnvironmentStringsW(L"%windir%\\SysWOW64", buffer, MAX_PATH) - 1);
    const size_t systemCount = LinesInBlock(list, system), wowCount = LinesInBlock(list, wow);
    EXPECT_GT(systemCount, 100u);
    EXPECT_LT(list.find(L"Directory: \"" + system), list.find(L"Directory: \"" + wow));
    EXPECT_EQ(Heading(L"System Modules - see file \"CvSysMods.log\"") + ModuleCountLine(system, systemCount) +
                  ModuleCountLine(wow, wowCount),
              out.str());
    // A module of the system folder with its own version information.
    const std::wstring kernel = L"\nkernel32.dll" + std::wstring(43, L' ') + L" ";
    const size_t at = list.find(kernel);
    ASSERT_NE(std::wstring::npos, at);
    EXPECT_NE(0u, list.compare(at + kernel.size(), 8, L"0.0.0.0 ")) << Narrow(list.substr(at, 100));
    DeleteTree(report.WorkFolder);
}

// A module of the WOW64 system folder is described by its own version
// information, also where the system folder holds another version under the
// same name; a description outside ASCII reaches the list file in UTF-8.
TEST(SystemModules, WowModuleKeepsItsOwnVersionAndTheFileHoldsUtf8) {
    wchar_t buffer[MAX_PATH];
    const std::wstring system(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
    const std::wstring wow(buffer, ExpandEnvironmentStringsW(L"%windir%\\SysWOW64", buffer, MAX_PATH) - 1);
    const std::wstring name = L"cvtest_twin.dll";
    const std::wstring systemCopy = system + L"\\" + name, wowCopy = wow + L"\\" + name;
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\version_de.dll").c_str(), systemCopy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\version_de_fr.dll").c_str(), wowCopy.c_str(), FALSE));
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"sysmods-twin");
    std::wostringstream out;
    report.LogInfo_SystemModules(L"CvSysMods.log", out);
    DeleteFileW(systemCopy.c_str());
    DeleteFileW(wowCopy.c_str());

    const std::string list = ReadBytes(report.WorkFolder + L"\\CvSysMods.log");
    const size_t systemBlock = list.find(Narrow(Heading(L"Directory: \"" + system + L"\"")));
    const size_t wowBlock = list.find(Narrow(Heading(L"Directory: \"" + wow + L"\"")));
    ASSERT_NE(std::string::npos, systemBlock);
    ASSERT_NE(std::string::npos, wowBlock);
    const std::string padded = Narrow(Padded(name));
    const size_t systemLine = list.find("\n" + padded + " 5.6.7.8 Deutsche Beschreibung\n");
    const size_t wowLine = list.find("\n" + padded + " 9.10.11.12 Description fran\xC3\xA7" "aise\n");
    EXPECT_TRUE(systemLine > systemBlock && systemLine < wowBlock) << "system folder's line";
    EXPECT_TRUE(wowLine > wowBlock && wowLine != std::string::npos) << "WOW64 folder's line";
    DeleteTree(report.WorkFolder);
}

}  // namespace
