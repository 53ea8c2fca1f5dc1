// The collector object: working folder, packing list and drive list of one run.
#pragma once

#include <windows.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

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
    // Runs one section of the report: an error, any other exception or a processor fault that
    // leaves it ends this section only (traced with the section's name).
    static void RunSection(const wchar_t* name, const std::function<void()>& section);
    static void LogHeader(std::wostream& out);
    static void LogSectionTitle(std::wostream& out, const std::wstring& title);
    void LogInfo_CvPolicy(std::wostream& out, const std::wstring& fileName);

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
