// The collector's whole run with every time limit shortened, so that runs with
// hung components end within a test's time. The first argument is the limit of
// every wait in milliseconds; the rest is the tool's command line.
#include <cwchar>

#include "Entry.h"
#include "utility.h"

namespace {
DWORD limit = 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    limit = wcstoul(argv[1], nullptr, 10);
    const EntrySteps steps = {
        &Bitness::IsWow_Process,
        [](DiagReport& report) {
            report.Limits = {limit, limit, limit};
            report.Create(CollectData | CollectEventLogs | CollectDumps);
        },
        [](const std::wstring&) {},
    };
    return RunDiagReport(argc - 1, argv + 1, steps);
}
