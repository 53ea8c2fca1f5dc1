// The run of the collector, from the banner to the exit code.
#pragma once

#include <windows.h>

#include "DiagReport.h"

// What the run asks of the system: the WOW64 test, the collection and the
// opening of the working folder (wmain passes the real ones; tests replace them).
struct EntrySteps {
    bool (*IsWow)();
    void (*Collect)(DiagReport& report);
    void (*OpenFolder)(const std::wstring& folder);
};

// Runs the collector; returns the process exit code.
int RunDiagReport(int argc, wchar_t** argv, const EntrySteps& steps);
