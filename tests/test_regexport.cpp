// The registry branches exported by reg.exe: the report lines in table order,
// the files and their packing entries, the time limit, and which reg.exe runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "DiagReport.h"
#include "RegistryExport.h"
#include "Win32Objects.h"
#include "collector_util.h"
#include "cvexception.h"
#include "test_util.h"

namespace {

const std::wstring Rule(180, L'-');
const std::string RegFileStart("\xFF\xFEW\0i\0n\0d\0o\0w\0s\0 \0R\0e\0g\0i\0s\0t\0r\0y\0", 34);

TEST(RegKeyLine, SuccessAndError) {
    const RegKeyRow enumRow = {L"HKLM\\SYSTEM\\CurrentControlSet\\Enum", L"Enum.reg"};
    const RegKeyRow wowRow = {L"HKLM\\SOFTWARE\\Wow6432Node\\Altorum", L"Altorum (Wow).reg"};
    EXPECT_EQ(L"HKLM\\SYSTEM\\CurrentControlSet\\Enum - \"Enum.reg\"", RegKeyLine(enumRow, 0));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Wow6432Node\\Altorum - error 0x00000001", RegKeyLine(wowRow, 1));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Wow6432Node\\Altorum - error 0x00000102", RegKeyLine(wowRow, WAIT_TIMEOUT));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Wow6432Node\\Altorum - error 0xc0000005", RegKeyLine(wowRow, 0xC0000005));
}

std::vector<RegKeyRow> AllRows() {
    std::vector<RegKeyRow> rows(CommonRegKeys, CommonRegKeys + 9);
    rows.insert(rows.end(), Wow64RegKeys, Wow64RegKeys + 4);
    return rows;
}

std::vector<std::wstring> SplitAtLf(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Checks the section against the files in the working folder and the packing
// list: a line per branch in table order, each either its success line with
// its file and entry, or an error line without either. Returns the codes.
std::vector<DWORD> CheckSection(const std::wstring& text, const DiagReport& report) {
    const std::wstring block = L"\n" + Rule + L"\nRegistry Keys\n" + Rule + L"\n";
    EXPECT_EQ(0u, text.find(block));
    const std::vector<std::wstring> lines = SplitAtLf(text.substr(block.size()));
    const std::vector<RegKeyRow> rows = AllRows();
    EXPECT_EQ(rows.size(), lines.size());
    std::vector<DWORD> codes;
    std::vector<PackItem> expectedEntries;
    for (size_t i = 0; i < rows.size() && i < lines.size(); ++i) {
        const std::wstring path = report.WorkFolder + L"\\" + rows[i].File;
        const std::wstring errorStart = std::wstring(rows[i].Branch) + L" - error 0x";
        if (lines[i] == RegKeyLine(rows[i], 0)) {
            codes.push_back(0);
            EXPECT_EQ(RegFileStart, ReadBytes(path).substr(0, RegFileStart.size())) << Narrow(path);
            expectedEntries.push_back({path, L"Registry", true});
        } else {
            EXPECT_EQ(0u, lines[i].find(errorStart)) << Narrow(lines[i]);
            codes.push_back(wcstoul(lines[i].substr(errorStart.size()).c_str(), nullptr, 16));
            EXPECT_FALSE(PathExists(path)) << Narrow(path);
        }
    }
    EXPECT_EQ(expectedEntries.size(), report.PackList.size());
    for (size_t i = 0; i < expectedEntries.size() && i < report.PackList.size(); ++i) {
        EXPECT_EQ(expectedEntries[i].Source, report.PackList[i].Source);
        EXPECT_EQ(L"Registry", report.PackList[i].Folder);
        EXPECT_TRUE(report.PackList[i].DeleteAfterPacking);
    }
    return codes;
}

// Runs a command line in a folder, without handing it any handle of this
// process, and waits for it; returns its exit code. The exports run this way:
// under Wine the console host of an export may outlive it, holding what the
// export inherited (the test's output, which CTest waits on).
DWORD RunDetached(const std::wstring& commandLine, const std::wstring& folder) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // No standard handles either: Wine would otherwise hand over this process's own.
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder.c_str(),
                        &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

// The section as the probe wrote it, and its packing list.
std::wstring ProbeSection(const std::wstring& work, std::vector<PackItem>& packList) {
    const std::string bytes = ReadBytes(work + L"\\probe.txt");
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const size_t packed = std::min(text.find(L"pack: "), text.size());
    for (const std::wstring& line : SplitAtLf(text.substr(packed))) {
        const size_t bar = line.find(L'|');
        packList.push_back({line.substr(bar + 1), line.substr(6, bar - 6), true});
    }
    return text.substr(0, packed);
}

// The section run by the probe in a process of its own (with the time limit
// when given), with the report's working folder; fills its packing list.
std::wstring RunSection(DiagReport& report, const std::wstring& limit) {
    EXPECT_EQ(0u, RunDetached(L"\"" + ExeFolder() + L"\\report_probe.exe\" regkeys \"" + report.WorkFolder + L"\" " +
                                  limit,
                              report.WorkFolder));
    const std::wstring text = ProbeSection(report.WorkFolder, report.PackList);
    DeleteFileW((report.WorkFolder + L"\\probe.txt").c_str());
    return text;
}

TEST(RegKeys, LinesInTableOrderFilesAndEntries) {
    SavedKey altorum(L"SOFTWARE\\Altorum");
    SavedKey wowAltorum(L"SOFTWARE\\Wow6432Node\\Altorum");
    altorum.Remove();
    altorum.SetString(L"Marker", L"exported by the test");
    wowAltorum.Remove();
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"regkeys");
    const std::wstring text = RunSection(report, L"");

    const std::vector<DWORD> codes = CheckSection(text, report);
    ASSERT_EQ(13u, codes.size());
    EXPECT_EQ(0u, codes[0]);   // HKLM\SOFTWARE\Altorum
    EXPECT_EQ(0u, codes[5]);   // Services
    EXPECT_EQ(0u, codes[6]);   // Enum
    EXPECT_EQ(1u, codes[9]);   // HKLM\SOFTWARE\Wow6432Node\Altorum
    const std::string altorumFile = ReadBytes(report.WorkFolder + L"\\Altorum.reg");
    const std::wstring exported(reinterpret_cast<const wchar_t*>(altorumFile.data()), altorumFile.size() / 2);
    EXPECT_NE(std::wstring::npos, exported.find(L"\"Marker\"=\"exported by the test\""));
    DeleteTree(report.WorkFolder);
}

// Without the product its own five branches are missing: reg.exe's "branch not
// found" (1) for each of them, the Windows branches exported as ever.
TEST(RegKeys, WithoutTheProductItsBranchesReportErrors) {
    std::vector<std::unique_ptr<SavedKey>> product;
    for (const wchar_t* path : {L"SOFTWARE\\Altorum", L"SOFTWARE\\Meridyne", L"SOFTWARE\\MeridyneCo\\CSP",
                                L"SOFTWARE\\Wow6432Node\\Altorum", L"SOFTWARE\\Wow6432Node\\Meridyne"}) {
        product.emplace_back(new SavedKey(path));
        product.back()->Remove();
    }
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"regkeys-none");
    const std::vector<DWORD> codes = CheckSection(RunSection(report, L""), report);
    // Every branch that this computer has is exported (Wine lacks some of the
    // Windows ones); the product's are all missing.
    std::vector<DWORD> expected;
    for (const RegKeyRow& row : AllRows()) {
        HKEY key = nullptr;
        const bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, row.Branch + 5, 0, KEY_READ | KEY_WOW64_64KEY, &key) ==
                            ERROR_SUCCESS;
        if (exists) RegCloseKey(key);
        expected.push_back(exists ? 0 : 1);
    }
    for (size_t row : {0, 1, 2, 9, 10}) EXPECT_EQ(1u, expected[row]) << Narrow(AllRows()[row].Branch);
    EXPECT_EQ(expected, codes);
    DeleteTree(report.WorkFolder);
}

// The report's section waits ten minutes for the exports (its default limit).
TEST(RegKeys, ReportWaitsTenMinutes) { EXPECT_EQ(10u * 60 * 1000, RegExportTimeLimit); }

// An exit code that cannot be read ends the section with the Windows error,
// traced with its branch; its line is not written and its file not listed.
TEST(RegKeys, ExitCodeThatCannotBeReadRaisesTheError) {
    CvBase::CWin32Handle waitOnly(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
    ASSERT_NE(nullptr, waitOnly.Get());
    const struct {
        const char* name;
        HANDLE process;
        DWORD code;
    } cases[] = {
        {"no handle", nullptr, ERROR_INVALID_HANDLE},
        {"handle without the right to query", waitOnly.Get(), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DiagReport report;
        report.WorkFolder = MakeTempFolder(L"regkeys-end");
        std::wostringstream out;
        std::vector<std::string> lines;
        {
            TraceCapture trace(report.WorkFolder);
            try {
                report.LogInfo_RegKeyGroup_End(&c.process, CommonRegKeys, 1, out);
                ADD_FAILURE() << "no error";
            } catch (const CvBase::CCvError& error) {
                EXPECT_EQ(c.code, error.GetCode());
                ASSERT_NE(nullptr, error.FindEntry(L"Function"));
                EXPECT_EQ(L"DiagReport::LogInfo_RegKeyGroup_End", *error.FindEntry(L"Function"));
            }
            lines = trace.Lines();
        }
        char expected[128];
        snprintf(expected, sizeof expected,
                 "W> [DiagReport::LogInfo_RegKeyGroup_End] GetExitCodeProcess( \"HKLM\\SOFTWARE\\Altorum\" ), 0x%08lX",
                 c.code);
        EXPECT_EQ(std::vector<std::string>{expected}, lines);
        EXPECT_EQ(L"", out.str());
        EXPECT_TRUE(report.PackList.empty());
        DeleteTree(report.WorkFolder);
    }
}

TEST(RegKeys, ExportsStillRunningAtTheTimeLimitAreEndedAndNotPacked) {
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"regkeys-limit");
    // No time at all: the exports started last are still running.
    const std::wstring text = RunSection(report, L"0");
    const std::vector<DWORD> codes = CheckSection(text, report);
    ASSERT_EQ(13u, codes.size());
    EXPECT_EQ(WAIT_TIMEOUT, codes.back());
    // What is left in the folder belongs to packed exports only.
    std::vector<std::wstring> files;
    DiagReport::EnumerateFolder(report.WorkFolder, L"*", files);
    EXPECT_EQ(report.PackList.size(), files.size());
    DeleteTree(report.WorkFolder);
}

bool Copy(const std::wstring& from, const std::wstring& to) { return CopyFileW(from.c_str(), to.c_str(), FALSE); }

TEST(RegKeys, RegExeInTheApplicationOrCurrentFolderIsNotRun) {
    const std::wstring app = MakeTempFolder(L"regkeys-app"), current = MakeTempFolder(L"regkeys-cwd"),
                       work = MakeTempFolder(L"regkeys-work");
    ASSERT_TRUE(Copy(ExeFolder() + L"\\report_probe.exe", app + L"\\report_probe.exe"));
    ASSERT_TRUE(Copy(ExeFolder() + L"\\CvGpe.dll", app + L"\\CvGpe.dll"));
    ASSERT_TRUE(Copy(ExeFolder() + L"\\planted_reg.exe", app + L"\\reg.exe"));
    ASSERT_TRUE(Copy(ExeFolder() + L"\\planted_reg.exe", current + L"\\reg.exe"));

    EXPECT_EQ(0u, RunDetached(L"\"" + app + L"\\report_probe.exe\" regkeys \"" + work + L"\"", current));
    EXPECT_FALSE(PathExists(app + L"\\planted-reg-ran"));
    EXPECT_FALSE(PathExists(current + L"\\planted-reg-ran"));
    const std::string bytes = ReadBytes(work + L"\\probe.txt");
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(std::wstring::npos, text.find(L"HKLM\\SYSTEM\\CurrentControlSet\\Services - \"Services.reg\"\n"))
        << Narrow(text);
    EXPECT_EQ(RegFileStart, ReadBytes(work + L"\\Services.reg").substr(0, RegFileStart.size()));
    for (const std::wstring& folder : {app, current, work}) DeleteTree(folder);
}


// An export that was ended and has not gone yet still holds its file: its line tells the time
// limit, and the file is left to the cleaning instead of being packed.
TEST(RegKeys, EndedExportNotGoneYetCountsAsEndedAtItsLimit) {
    DiagReport report;
    report.WorkFolder = MakeTempFolder(L"regkeys-going");
    const std::wstring file = report.WorkFolder + L"\\Altorum.reg";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + ExeFolder() + L"\\hold_file.exe\" \"" + file + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    CvBase::CWin32Handle thread(process.hThread), holder(process.hProcess);
    for (int i = 0; i < 300 && !PathExists(file + L".held"); ++i) Sleep(100);
    ASSERT_TRUE(PathExists(file + L".held")) << "hold_file.exe did not take the file within 30 s";

    std::wostringstream out;
    const HANDLE handles[] = {holder.Get()};
    report.LogInfo_RegKeyGroup_End(handles, CommonRegKeys, 1, out);
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Altorum - error 0x00000102\n", out.str());
    EXPECT_TRUE(report.PackList.empty());
    EXPECT_EQ(std::vector<std::wstring>{file}, report.AbandonedFiles);

    WriteBytes(file + L".release", "");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.Get(), 30000)) << "hold_file.exe did not end within 30 s";
    DeleteTree(report.WorkFolder);
}

}  // namespace
