#include <windows.h>
#include <shellapi.h>

#include "Entry.h"
#include "utility.h"

int wmain(int argc, wchar_t** argv) {
    const EntrySteps steps = {
        &Bitness::IsWow_Process,
        [](DiagReport& report) { report.Create(CollectData | CollectEventLogs | CollectDumps); },
        [](const std::wstring& folder) { ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOW); },
    };
    return RunDiagReport(argc, argv, steps);
}
