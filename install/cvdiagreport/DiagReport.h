// The collector object: working folder, packing list and drive list of one run.
#pragma once

#include <windows.h>

#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "RegistryExport.h"

namespace CvBase {
class CWin32Handle;
}

// One file to pack: the name inside the archive is Folder joined with the
// last component of Source.
struct PackItem {
    std::wstring Source;
    std::wstring Folder;
    bool DeleteAfterPacking = false;
};

// One logical drive that WMI knows.
struct DriveEntry {
    wchar_t Letter = 0;
    bool IsLocalDisk = false;       // DriveType 3
    bool IsLocalOrNetwork = false;  // DriveType 3 or 4
};

namespace Dump {
struct FileInfo {
    std::wstring path;
    unsigned long long size = 0;
};
}  // namespace Dump

// Collection flags of DiagReport::Create.
enum : DWORD {
    CollectData = 0x0001,
    CollectEventLogs = 0x0002,
    CollectDumps = 0x1000,
};

class DiagReport {
public:

    DiagReport();
    ~DiagReport();
    DiagReport(const DiagReport&) = delete;
    DiagReport& operator=(const DiagReport&) = delete;

    // The collection sequence: working folder, collection steps, packing, cleaning.
    void Create(DWORD flags);

    // Lists the files of Folder matching Pattern (files only, no sub-folders).
    static void EnumerateFolder(const std::wstring& folder, const std::wstring& pattern,
                                std::vector<std::wstring>& files);

    // The system report "CvSysInfo.log"; never raises.
    void LogSysInfo(const std::wstring& fileName);
    static void LogHeader(std::wostream& out);
    static void LogSectionTitle(std::wostream& out, const std::wstring& title);
    void LogInfo_ComputerRole(std::wostream& out);
    // The registry branches exported with reg.exe; an export still running after
    // timeLimit milliseconds is ended. Raises when reg.exe cannot be started or
    // waited for.
    void LogInfo_RegKeys(std::wostream& out, DWORD timeLimit = RegExportTimeLimit);
    void LogInfo_RegKeyGroup_Begin(const RegKeyRow* rows, size_t count, std::deque<CvBase::CWin32Handle>& handles);
    void LogInfo_RegKeyGroup_End(const HANDLE* handles, const RegKeyRow* rows, size_t count, std::wostream& out);
    HANDLE LogInfo_RegKey(const wchar_t* branch, const wchar_t* file);
    void LogInfo_Services(std::wostream& out);
    void LogInfo_InstalledSoftware(std::wostream& out);
    void LogInfo_Subsystems(std::wostream& out);
    void LogInfo_CvPolicy(std::wostream& out, const std::wstring& fileName);
    // The module list file and its count lines; raises when the WOW64 system
    // folder cannot be found.
    void LogInfo_SystemModules(const std::wstring& fileName, std::wostream& out);
    static unsigned long long LogInfo_SystemModules_Impl(const std::wstring& folder, const wchar_t* mask,
                                                         std::wostream& file);

    static const std::wstring& GetPath_Logs_Common();

    struct RunMode {
        bool IsWaitOnExit = true;
        void Parse(int argc, wchar_t** argv);
        void Dump() const;
    } RunMode;
    HANDLE Console;
    std::wstring WorkFolder;
    std::vector<PackItem> PackList;
    std::vector<DriveEntry> Drives;
};
