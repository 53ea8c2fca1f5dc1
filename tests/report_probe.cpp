// Runs report sections of the collector in a process of its own.
//
//   report_probe SECTION WORKFOLDER [LIMIT]   runs the section "regkeys" (with
//       the time limit LIMIT in milliseconds when given) or "subsystems" with
//       the working folder WORKFOLDER and writes its text, then one line
//       "pack: FOLDER|SOURCE" per packing list entry, into WORKFOLDER\probe.txt
//       (UTF-16LE).
//   report_probe bench WORKFOLDER     prints the times, in milliseconds, of the
//       thirteen parallel exports, of each export alone, and of the system
//       modules section: "parallel MS", "single FILE MS", "modules MS"; then
//       of each work that runs under a time limit, with that limit:
//       "timed NAME MS LIMIT-MS".
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

#include "DiagReport.h"
#include "EventLogs.h"
#include "RegistryExport.h"

namespace {

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

void Bench(DiagReport& report) {
    std::wostringstream out;
    double start = Now();
    report.LogInfo_RegKeys(out);
    printf("parallel %.0f\n", Now() - start);
    for (const RegKeyRow* group : {CommonRegKeys, Wow64RegKeys}) {
        const size_t count = group == CommonRegKeys ? 9 : 4;
        for (size_t i = 0; i < count; ++i) {
            start = Now();
            HANDLE process = report.LogInfo_RegKey(group[i].Branch, group[i].File);
            WaitForSingleObject(process, INFINITE);
            CloseHandle(process);
            wprintf(L"single %ls %.0f\n", group[i].File, Now() - start);
        }
    }
    start = Now();
    report.LogInfo_SystemModules(L"CvSysMods.log", out);
    printf("modules %.0f\n", Now() - start);

    // The healthy times of what runs under a time limit, each with its limit.
    const struct {
        const char* name;
        DWORD limit;
        std::function<void()> run;
    } timed[] = {
        {"hardware", report.Limits.Call, [&] { report.LogHardwareInfo(out); }},
        {"computer-role", report.Limits.Call, [&] { report.LogInfo_ComputerRole(out); }},
        {"subsystems", report.Limits.Call, [&] { report.LogInfo_Subsystems(out); }},
        {"policy", report.Limits.Call, [&] { report.LogInfo_CvPolicy(out, L"CvPolicy.inf"); }},
        {"event-logs", report.Limits.EventLog, [&] {
             report.ExportEventLogs(EventLogCalls::System);
             report.ExportEventChannels(EventLogCalls::System);
         }},
        {"dump-search", report.Limits.DiskSearch, [&] {
             std::list<Dump::FileInfo> dumps;
             report.Find_Dumps(dumps, 10080);
         }},
    };
    for (const auto& work : timed) {
        start = Now();
        work.run();
        printf("timed %s %.0f %lu\n", work.name, Now() - start, static_cast<unsigned long>(work.limit));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) return 2;
    const std::wstring section = argv[1];
    DiagReport report;
    report.WorkFolder = argv[2];
    if (section == L"bench") {
        Bench(report);
        return 0;
    }
    std::wostringstream out;
    if (section == L"regkeys")
        report.LogInfo_RegKeys(out, argc == 4 ? wcstoul(argv[3], nullptr, 10) : RegExportTimeLimit);
    else if (section == L"subsystems")
        report.LogInfo_Subsystems(out);
    else
        return 2;
    for (const PackItem& item : report.PackList) out << L"pack: " << item.Folder << L"|" << item.Source << L"\n";
    const std::wstring text = out.str();
    std::ofstream file(std::filesystem::path(report.WorkFolder + L"\\probe.txt"), std::ios::binary);
    file.write(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return 0;
}
