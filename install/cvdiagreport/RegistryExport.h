// The registry branches exported with reg.exe into the working folder.
#pragma once

#include <windows.h>

#include <string>

// One exported branch: as reg.exe expects it, and the file that receives it.
struct RegKeyRow {
    const wchar_t* Branch;
    const wchar_t* File;
};

// Exported on every Windows, in this order.
extern const RegKeyRow CommonRegKeys[9];
// Exported on 64-bit Windows only (always, for the 64-bit collector).
extern const RegKeyRow Wow64RegKeys[4];

// How long the exports may take together. The services and device branches of
// a large computer are big; an export still running after this is ended.
const DWORD RegExportTimeLimit = 10 * 60 * 1000;

// The report line of a branch after its export ended with exitCode.
std::wstring RegKeyLine(const RegKeyRow& row, DWORD exitCode);
