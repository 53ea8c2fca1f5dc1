// The collector object: working folder, packing list and drive list of one run.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "RegMask.h"
#include "RegistryExport.h"
#include "utility.h"

struct HardwareCalls;
extern const HardwareCalls SystemHardwareCalls;

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
// One crash dump found: full path without the "\\?\" prefix, size in bytes.
struct FileInfo {
    std::wstring path;
    unsigned long long size = 0;
};

// The age test of the dump search: a dump is listed when its age in whole
// minutes at the time `now` (100-nanosecond units since 1601) is below `limit`.
struct AgeLimit {
    unsigned long long now = 0;
    DWORD limit = 0;
};
}  // namespace Dump

// How one step of the collection or one section of the report went.
struct RunRecord {
    std::wstring Name;
    std::wstring Result;  // "ok", "error 0x" and eight hexadecimal digits, "fault" or "timed out"
    double Seconds = 0;
};

// Collection flags of DiagReport::Create.
enum : DWORD {
    CollectData = 0x0001,
    CollectEventLogs = 0x0002,
    CollectDumps = 0x1000,
};

struct EventLogCalls;
struct ServerInfoCalls;
extern const ServerInfoCalls NetServerInfoCalls;

// How long the collection waits, in milliseconds, on what lies outside the tool and may hang on a
// sick computer. A healthy computer never comes near them.
struct TimeLimits {
    DWORD Call = 120000;        // a product library, WMI, a network or a storage driver query
    DWORD EventLog = 300000;    // one event log or channel
    DWORD DiskSearch = 900000;  // the dump search of one disk
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
    // leaves it ends this section only (traced with the section's name). Returns how it went.
    static RunRecord RunSection(const wchar_t* name, const std::function<void()>& section);
    static void LogHeader(std::wostream& out);
    static void LogSectionTitle(std::wostream& out, const std::wstring& title);
    // Processor, operating system and storage; refills Drives. Never raises.
    void LogHardwareInfo(std::wostream& out);
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

    // The extension of a saved event log: kind 0 a classic log (".evtx" from
    // Windows NT 6 on, ".evt" before), 1 a channel (".evtx"), 2 the product's
    // log (".evt"); any other kind raises 1630.
    static const wchar_t* GetEventLogExt(int kind, const EventLogCalls& calls);
    // The classic logs, then the product's log; channels. Each saves what it
    // can into the working folder and lists it under "Events"; never raises.
    void ExportEventLogs(const EventLogCalls& calls);
    void ExportEventChannels(const EventLogCalls& calls);
    bool SaveEventLog(const std::wstring& target, std::function<bool()> save);

    // Appends the crash dumps of every local disk in Drives, younger than
    // `limit` minutes: one task per physical disk, disks in ascending number,
    // then each drive whose disk number cannot be read in a task of its own.
    void Find_Dumps(std::list<Dump::FileInfo>& dumps, DWORD limit) const;
    // The dumps below a folder (a drive root as "C:"), depth-first: the dumps
    // of a folder before those of its subfolders. Reparse points are not entered.
    static void EnumerateFolder_Recursive(const std::wstring& folder, std::list<Dump::FileInfo>& dumps,
                                          const Dump::AgeLimit& age);
    // The dumps among the files of one folder; the subfolders to enter are
    // appended to `subfolders`, in the order the file system lists them.
    static void EnumerateFolder(const std::wstring& folder, std::list<Dump::FileInfo>& dumps,
                                const Dump::AgeLimit& age, std::vector<std::wstring>& subfolders);

    struct RunMode {
        bool IsWaitOnExit = true;
        void Parse(int argc, wchar_t** argv);
        void Dump() const;
    } RunMode;
    HANDLE Console;
    std::wstring WorkFolder;
    std::vector<PackItem> PackList;
    // The values masked in the registry exports, in the order found.
    std::vector<MaskedValue> Masked;
    std::vector<DriveEntry> Drives;
    // How the hardware section reaches WMI and the storage drivers.
    const HardwareCalls* Hardware = &SystemHardwareCalls;
    // How the dump search reads the physical disk number of a drive letter.
    DWORD (*GetDiskId)(wchar_t letter) = GetDiskIdByDriveLetter;
    // How the computer role section reads the server type.
    const ServerInfoCalls* ServerInfo = &NetServerInfoCalls;
    TimeLimits Limits;
    // Files that work abandoned at its time limit may still write: never packed, deleted by the
    // cleaning as far as they exist.
    std::vector<std::wstring> AbandonedFiles;
    // The event log service did not answer in time: the logs still to save are not asked for.
    bool EventLogHung = false;
    // For the archive's manifest: how the steps and the report's sections went, the dumps found.
    std::vector<RunRecord> Steps;
    std::vector<RunRecord> Sections;
    std::list<Dump::FileInfo> DumpsFound;
};
