#include "Manifest.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

#include "cvexception.h"
#include "output.h"
#include "utility.h"

namespace {

using Json = nlohmann::ordered_json;

// Seconds to the millisecond.
double Rounded(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

Json Records(const std::vector<RunRecord>& records) {
    Json list = Json::array();
    for (const RunRecord& record : records)
        list.push_back({{"name", ToUtf8(record.Name)}, {"result", ToUtf8(record.Result)}, {"seconds", Rounded(record.Seconds)}});
    return list;
}

}  // namespace

std::string FormatIsoTime(const std::tm& local, long offsetSeconds) {
    char text[40];
    const long minutes = std::labs(offsetSeconds) / 60;
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offsetSeconds < 0 ? '-' : '+', minutes / 60,
             minutes % 60);
    return text;
}

std::string LocalIsoTime(std::time_t moment) {
    std::tm local = *std::localtime(&moment);
    // The local fields read as UTC, less the moment: the offset, summer time included.
    std::tm fields = local;
    const long offset = static_cast<long>(_mkgmtime(&fields) - moment);
    return FormatIsoTime(local, offset);
}

std::string FormatManifest(const ManifestRecords& records) {
    Json files = Json::array();
    for (const ManifestFile& file : records.Files) {
        Json entry = {{"source", ToUtf8(file.Source)}, {"archiveName", ToUtf8(file.Result.Name)}};
        if (file.Result.Packed) {
            entry["status"] = "packed";
            entry["size"] = file.Result.Size;
            // (none when Windows could not hash the file)
            if (!file.Result.Sha256.empty()) entry["sha256"] = file.Result.Sha256;
        } else {
            entry["status"] = "left out";
            entry["error"] = file.Result.Error;
            entry["reason"] = ToUtf8(CvBase::FormatErrorMessage(file.Result.Error));
        }
        files.push_back(entry);
    }
    Json dumps = Json::array();
    for (const Dump::FileInfo& dump : records.Dumps) dumps.push_back({{"path", ToUtf8(dump.path)}, {"size", dump.size}});
    Json masked = Json::array();
    for (const MaskedValue& value : records.Masked)
        masked.push_back({{"file", ToUtf8(value.File)}, {"value", ToUtf8(value.Value)}});

    const Json manifest = {
        {"tool", "CvDiagReport"},
        {"version", ToUtf8(records.Version)},
        {"started", records.Started},
        {"finished", records.Finished},
        {"steps", Records(records.Steps)},
        {"sections", Records(records.Sections)},
        {"files", files},
        {"dumps", dumps},
        {"masked", masked},
    };
    // Text that is not whole UTF-16 (a lone surrogate in a file name) comes out with U+FFFD.
    return manifest.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

ManifestRecords MakeManifestRecords(const DiagReport& report, std::time_t started,
                                    const std::vector<PackResult>& results) {
    ManifestRecords records;
    records.Version = ToolVersion;
    records.Started = LocalIsoTime(started);
    records.Finished = LocalIsoTime(std::time(nullptr));
    records.Steps = report.Steps;
    records.Sections = report.Sections;
    for (size_t i = 0; i < results.size(); ++i) records.Files.push_back({report.PackList[i].Source, results[i]});
    records.Dumps = report.DumpsFound;
    records.Masked = report.Masked;
    return records;
}
