#include <ctime>
#include <functional>
#include <sstream>

#include "Cabinet.h"
#include "CvTrace.h"
#include "DiagReport.h"
#include "EventLogs.h"
#include "Manifest.h"
#include "ProductPaths.h"
#include "Progress.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "output.h"

namespace {

const wchar_t* const Function = L"DiagReport::Create";
const DWORD RulesToolTimeout = 16384;

// Lists every file of a folder matching a pattern under a folder of the archive.
void ListFolder(std::vector<PackItem>& list, const std::wstring& folder, const wchar_t* pattern,
                const wchar_t* archiveFolder) {
    std::vector<std::wstring> files;
    DiagReport::EnumerateFolder(folder, pattern, files);
    for (const std::wstring& file : files) list.push_back({file, archiveFolder, false});
}

// A module's logs and configurations, or the traces that say they are not configured.
void ListModule(std::vector<PackItem>& list, const wchar_t* name, const std::wstring& logs,
                const std::wstring& configs, const wchar_t* archiveFolder) {
    const std::wstring configsFolder = std::wstring(archiveFolder) + L"\\Configs";
    if (logs.empty())
        GetTrace().Trace(2, L"[%s] %s: LogsPath EMPTY", Function, name);
    else
        ListFolder(list, logs, L"*.*", archiveFolder);
    if (configs.empty())
        GetTrace().Trace(2, L"[%s] %s: ConfigsPath EMPTY", Function, name);
    else
        ListFolder(list, configs, L"*.xml", configsFolder.c_str());
}

// Runs the network-protection configuration tool with its standard output in
// the rules file; true when the tool ended in time and the file is complete.
bool DumpRules(const std::wstring& installPath, const std::wstring& rulesFile) {
    std::wstring commandLine = L"\"" + JoinPath(installPath.c_str(), L"MdAuthModCfg.exe", L'\\') + L"\" /s";
    GetTrace().Trace(2, L"[%s] Executing [%s]...", Function, commandLine.c_str());

    // The tool's standard output. Processes that inherit it from the tool (its
    // console host, helpers it starts) may hold it a while after the tool has
    // ended: sharing read and delete lets the packing read the file and the
    // cleaning delete it all the same.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    CvBase::CWin32Handle rules(CreateFileW(rulesFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = rules.Get();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        GetTrace().Trace(4, L"[%s] %s, error 0x%08X", Function, commandLine.c_str(), GetLastError());
        return false;
    }
    CvBase::CWin32Handle thread(process.hThread), child(process.hProcess);
    GetTrace().Trace(2, L"[%s] DumpRules starting - ok, pid: 0x%04X", Function, process.dwProcessId);
    const DWORD wait = WaitForSingleObject(child.Get(), RulesToolTimeout);
    if (wait == WAIT_OBJECT_0) {
        GetTrace().Trace(2, L"[%s] DumpRules finishing - ok", Function);
        return true;
    }
    if (wait == WAIT_TIMEOUT)
        GetTrace().Trace(4, L"[%s] WaitForSingleObject(): expired (%.3f sec)", Function, RulesToolTimeout / 1000.0);
    else
        GetTrace().Trace(4, L"[%s] WaitForSingleObject(): 0x%08X", Function, wait);
    return false;
}

void CollectingData(DiagReport& report) {
    std::vector<PackItem>& list = report.PackList;
    for (const wchar_t* name :
         {L"setupapi.log", L"setupact.log", L"setuperr.log", L"inf\\setupapi.dev.log", L"inf\\setupapi.app.log"})
        list.push_back({GetSystemFolderPath(0, name), L"Logs\\System", false});

    ListFolder(list, DiagReport::GetPath_Logs_Common(), L"*.log", L"Logs\\Corvane");

    std::wstring configs;
    std::wstring logs = GetPath_Logs_Antivirus(configs);
    ListModule(list, L"ESET-AV", logs, configs, L"Logs\\Corvane\\Antivirus");
    logs = GetPath_Logs_Antimalware(configs);
    ListModule(list, L"CLAM-AV", logs, configs, L"Logs\\Corvane\\Antimalware");

    std::wstring networkLogs, authServerLogs;
    const std::wstring installPath = GetPath_NetworkProtection(networkLogs, &authServerLogs);
    // The logs are listed whenever their folder is known; the rules need the tool.
    if (networkLogs.empty())
        GetTrace().Trace(2, L"[%s] NetworkProtection: LogsPath EMPTY", Function);
    else
        ListFolder(list, networkLogs, L"*.*", L"Logs\\Corvane\\NetworkProtection");
    if (installPath.empty()) {
        GetTrace().Trace(2, L"[%s] NetworkProtection: is NOT detected", Function);
    } else {
        const std::wstring rules = JoinPath(report.WorkFolder.c_str(), L"NetworkProtection.rules", L'\\');
        if (DumpRules(installPath, rules)) list.push_back({rules, L"Logs\\Corvane\\NetworkProtection", true});
    }
    if (authServerLogs.empty())
        GetTrace().Trace(2, L"[%s] AuthServer: LogsPath EMPTY", Function);
    else
        ListFolder(list, authServerLogs, L"*.*", L"Logs\\Corvane\\AuthServer");

    report.LogSysInfo(L"CvSysInfo.log");
}

// The list of dumps found, appended to the report in its own encoding.
void AppendDumpList(const DiagReport& report, const std::list<Dump::FileInfo>& dumps) {
    std::wostringstream text;
    DiagReport::LogSectionTitle(text, L"Dumps found - " + std::to_wstring(dumps.size()) + L" files");
    for (const Dump::FileInfo& dump : dumps)
        text << L'"' << dump.path << L"\" - " << FormatNumber(dump.size, L'\'') << L" B\n";
    text << L'\n';
    const std::wstring bytes = text.str();
    CvBase::CWin32File file;
    file.Open_Ex(JoinPath(report.WorkFolder.c_str(), L"CvSysInfo.log", L'\\').c_str(), GENERIC_WRITE,
                 OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, FILE_ATTRIBUTE_NORMAL, nullptr);
    file.SeekToEnd();
    file.Write_Ex(bytes.data(), static_cast<DWORD>(bytes.size() * sizeof(wchar_t)));
}

}  // namespace

void DiagReport::Create(DWORD flags) {
    wchar_t name[64];
    const std::time_t now = std::time(nullptr);
    std::wcsftime(name, 64, L"CvDiagInfo_%Y%m%d%H%M%S", std::localtime(&now));
    WorkFolder = GetSystemFolderPath(3, name);
    if (!CreateDirectoryW(WorkFolder.c_str(), nullptr)) {
        const DWORD code = GetLastError();
        GetTrace().Trace(4, L"[%s] CreateDirectory( \"%s\" ), 0x%08X", Function, WorkFolder.c_str(), code);
        CvBase::ThrowError(code, L"SysReport", __LINE__, Function);
    }

    // Each step the screen shows, timed for the manifest.
    auto step = [this](const wchar_t* caption, const std::function<void()>& work) {
        console::echo::step(caption);
        const ULONGLONG start = GetTickCount64();
        work();
        Steps.push_back({caption, L"ok", (GetTickCount64() - start) / 1000.0});
        console::echo::ok(Console);
    };

    if (flags & CollectData) step(L"Collecting data", [this] { CollectingData(*this); });

    if (flags & CollectEventLogs) {
        step(L"Exporting Windows event logs", [this] {
            ExportEventLogs(EventLogCalls::System);
            ExportEventChannels(EventLogCalls::System);
        });
    }

    if (flags & CollectDumps) {
        step(L"Searching system and applications dumps", [this] {
            Find_Dumps(DumpsFound, 10080);
            // A report that cannot take the list (a full disk) still goes into the archive as it is.
            try {
                AppendDumpList(*this, DumpsFound);
            } catch (const CvBase::CCvError& error) {
                GetTrace().Trace(4, L"[%s] Dumps found: %s", Function, error.GetDump());
            }
        });
        if (!DumpsFound.empty()) console::echo::dumps(Console, DumpsFound);
    }

    console::echo::step(L"Packing collected data to cabinet");
    const std::wstring archive = JoinPath(WorkFolder.c_str(), L"CvDiagInfo.cab", L'\\');
    // The manifest goes last, written from what became of every other file. One that cannot be
    // written costs the archive nothing but itself.
    const std::wstring manifestPath = JoinPath(WorkFolder.c_str(), L"CvManifest.json", L'\\');
    const ClosingFile manifest = {
        {manifestPath, L"", true},
        [this, now, manifestPath](const std::vector<PackResult>& results) {
            try {
                const std::string text = FormatManifest(MakeManifestRecords(*this, now, results));
                CvBase::CWin32File file;
                file.Open_Ex(manifestPath.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0, nullptr, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
                file.Write_Ex(text.data(), static_cast<DWORD>(text.size()));
            } catch (const CvBase::CCvError& error) {
                GetTrace().Trace(4, L"[%s] CvManifest.json: %s", Function, error.GetDump());
            }
        },
    };
    {
        CabinetCompressCallback progress(Console);
        Cabinet_CompressFiles(archive, PackList, &progress, &manifest);
    }
    console::echo::ok(Console);
    console::echo::packed(Console, archive);

    console::echo::step(L"Cleaning temporary files");
    auto remove = [](const std::wstring& path) {
        if (!DeleteFileW(path.c_str()))
            GetTrace().Trace(4, L"[%s] DeleteFile( \"%s\" ), 0x%08X", Function, path.c_str(), GetLastError());
    };
    for (const PackItem& item : PackList)
        if (item.DeleteAfterPacking) remove(item.Source);
    remove(manifestPath);
    // What abandoned work made of its files so far.
    for (const std::wstring& path : AbandonedFiles)
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) remove(path);
    console::echo::ok(Console);
}
