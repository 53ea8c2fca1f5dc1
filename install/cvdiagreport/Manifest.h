// "CvManifest.json": what the archive holds, what it lacks and why.
#pragma once

#include <ctime>
#include <list>
#include <string>
#include <vector>

#include "Cabinet.h"
#include "DiagReport.h"
#include "RegMask.h"

// One file of the packing list and what became of it (with its name inside the archive).
struct ManifestFile {
    std::wstring Source;
    PackResult Result;
};

// Everything the manifest tells, gathered by the run.
struct ManifestRecords {
    std::wstring Version;
    std::string Started;   // local time, ISO 8601 with the offset from UTC
    std::string Finished;
    std::vector<RunRecord> Steps;
    std::vector<RunRecord> Sections;
    std::vector<ManifestFile> Files;
    std::list<Dump::FileInfo> Dumps;
    std::vector<MaskedValue> Masked;
};

// A local time with its offset from UTC in seconds, as "2026-12-10T14:03:07+05:45".
std::string FormatIsoTime(const std::tm& local, long offsetSeconds);
// The local time of a moment, in that form.
std::string LocalIsoTime(std::time_t moment);

// The manifest's text: one JSON object, UTF-8 without a byte-order mark. Left-out files carry the
// system's message for their code.
std::string FormatManifest(const ManifestRecords& records);

// The records of a run that has packed its list with these results.
ManifestRecords MakeManifestRecords(const DiagReport& report, std::time_t started,
                                    const std::vector<PackResult>& results);
